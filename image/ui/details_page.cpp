#include "image/ui/details_page.h"

#include "core/app_paths.h"
#include "core/messages.h"
#include "image/dump_file.h"
#include "image/ui/memo_list.h"

#include <QDir>
#include <QEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QSplitter>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace varek {

namespace {

constexpr int kToolbarHeight = 29;
constexpr int kSplitterBar = 5;

QString fileNameForMessage(const QString& path) {
    return QDir::toNativeSeparators(path);
}

} // namespace

DetailsPage::DetailsPage(Messages& messages, QWidget* parent) : QWidget(parent), m_messages(messages) {
    setObjectName(QStringLiteral("tshHint"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_toolbar5 = new QToolBar(this);
    m_toolbar5->setObjectName(QStringLiteral("Toolbar5"));
    m_toolbar5->setFixedHeight(kToolbarHeight);
    m_toolbar5->setMovable(false);
    m_toolbar5->setFloatable(false);
    const QStyle* st = style();
    m_btnHorizontalTile =
        addButton(QStringLiteral("BtnHorizontalTile"), QStringLiteral("Показать/спрятать дамп"),
                  QIcon::fromTheme(QStringLiteral("view-split-top-bottom"),
                                   st->standardIcon(QStyle::SP_TitleBarUnshadeButton)),
                  &DetailsPage::BtnHorizontalTileClick);
    m_btnSave = addButton(
        QStringLiteral("BtnSave"), QStringLiteral("Сохранить дамп в файл"),
        QIcon::fromTheme(QStringLiteral("document-save"), st->standardIcon(QStyle::SP_DialogSaveButton)),
        &DetailsPage::BtnSaveClick);
    m_btnClear1 =
        addButton(QStringLiteral("BtnClear1"), QStringLiteral("Очистить"),
                  QIcon::fromTheme(QStringLiteral("edit-clear"), st->standardIcon(QStyle::SP_TrashIcon)),
                  &DetailsPage::BtnClear1Click);
    m_btnNote = addButton(
        QStringLiteral("BtnNote"), QStringLiteral("Загрузить дамп из файла"),
        QIcon::fromTheme(QStringLiteral("document-open"), st->standardIcon(QStyle::SP_DialogOpenButton)),
        &DetailsPage::BtnNoteClick);
    m_btnCheckDump = addButton(
        QStringLiteral("BtnCheckDump"), QStringLiteral("Сверить загруженный дамп"),
        QIcon::fromTheme(QStringLiteral("edit-find"), st->standardIcon(QStyle::SP_FileDialogContentsView)),
        &DetailsPage::BtnCheckDumpClick);
    auto* spacer = new QWidget(m_toolbar5);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_toolbar5->addWidget(spacer);
    m_dbText1 = new QLabel(m_toolbar5);
    m_dbText1->setObjectName(QStringLiteral("DBText1"));
    m_dbText1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_dbText1->setTextFormat(Qt::PlainText);
    m_dbText1->setContentsMargins(0, 0, 6, 0);
    m_toolbar5->addWidget(m_dbText1);
    layout->addWidget(m_toolbar5);

    m_splitter1 = new QSplitter(Qt::Vertical, this);
    m_splitter1->setObjectName(QStringLiteral("Splitter1"));
    m_splitter1->setHandleWidth(kSplitterBar);
    m_splitter1->setChildrenCollapsible(false);
    m_memo1 = new MemoList(m_splitter1);
    m_memo1->setObjectName(QStringLiteral("Memo1"));
    m_memo1->setAccessibleName(QStringLiteral("Ответы устройства"));
    m_memo3 = new MemoList(m_splitter1);
    m_memo3->setObjectName(QStringLiteral("Memo3"));
    m_memo3->setAccessibleName(QStringLiteral("Дамп памяти"));
    m_splitter1->addWidget(m_memo1);
    m_splitter1->addWidget(m_memo3);
    // Like a list aligned to the top: the log list keeps its height when the
    // window is resized, the dump list takes the change.
    m_splitter1->setStretchFactor(0, 0);
    m_splitter1->setStretchFactor(1, 1);
    m_memo3->hide();
    m_splitter1->installEventFilter(this);
    layout->addWidget(m_splitter1, 1);

    // The working list is never shown.
    m_memo4 = new MemoList(this);
    m_memo4->setObjectName(QStringLiteral("Memo4"));
    m_memo4->hide();
}

QToolButton* DetailsPage::addButton(const QString& name, const QString& hint, const QIcon& icon,
                                    void (DetailsPage::*handler)()) {
    auto* button = new QToolButton(m_toolbar5);
    button->setObjectName(name);
    button->setIcon(icon);
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    button->setToolTip(hint);
    button->setAccessibleName(hint);
    button->setStatusTip(hint);
    button->setAutoRaise(true);
    connect(button, &QToolButton::clicked, this,
            [this, handler] { guarded(m_messages, [this, handler] { (this->*handler)(); }); });
    m_toolbar5->addWidget(button);
    return button;
}

void DetailsPage::setControllerName(const QString& name) {
    m_dbText1->setText(name);
}

QString DetailsPage::controllerName() const {
    return m_dbText1->text();
}

bool DetailsPage::dumpShown() const {
    return !m_memo3->isHidden();
}

int DetailsPage::halfWindowHeight() const {
    const int outer = window()->frameGeometry().height();
    int half = outer / 2;
    if (outer % 2 != 0 && half % 2 != 0) ++half; // x.5 goes to the even neighbour
    return half;
}

void DetailsPage::showDump() {
    m_memo3->show();
    if (m_splitter1->isVisible()) {
        sizeShownLists();
    } else {
        // Not laid out yet (another page is in front): size when it is.
        m_sizeWhenShown = true;
    }
}

void DetailsPage::sizeShownLists() {
    m_sizeWhenShown = false;
    const int top = halfWindowHeight();
    m_splitter1->refresh(); // take the shown list into account before sizing
    const int available = m_splitter1->height() - m_splitter1->handleWidth();
    m_splitter1->setSizes({top, qMax(1, available - top)});
}

bool DetailsPage::eventFilter(QObject* watched, QEvent* event) {
    const bool laidOut = event->type() == QEvent::Show || event->type() == QEvent::Resize;
    if (watched == m_splitter1 && m_sizeWhenShown && laidOut && m_splitter1->isVisible() && dumpShown())
        sizeShownLists();
    return QWidget::eventFilter(watched, event);
}

void DetailsPage::hideDump() {
    m_sizeWhenShown = false;
    m_memo3->hide();
}

void DetailsPage::setExchangeRunning(bool running) {
    m_exchangeRunning = running;
    m_btnClear1->setEnabled(!running);
    m_btnNote->setEnabled(!running);
    m_btnCheckDump->setEnabled(!running);
}

bool DetailsPage::refusedDuringExchange() {
    if (!m_exchangeRunning) return false;
    m_messages.plain(QStringLiteral("Идёт обмен с устройством Zintor. Дождитесь его окончания."));
    return true;
}

void DetailsPage::BtnHorizontalTileClick() {
    if (dumpShown())
        hideDump();
    else
        showDump();
}

void DetailsPage::BtnSaveClick() {
    const QStringList lines = m_memo3->lines();
    if (lines.isEmpty()) {
        m_messages.plain(QStringLiteral("Нечего сохранять!"));
        return;
    }
    const EncodedDump encoded = encodeDumpFile(lines);
    if (encoded.badLine >= 0) {
        m_messages.plain(
            QStringLiteral("В строке %1 дампа есть символ «%2», который нельзя записать в файл дампа "
                           "(в нём один байт на символ). Файл не записан.")
                .arg(encoded.badLine + 1)
                .arg(encoded.badChar));
        return;
    }
    const QString path = m_messages.saveFileName(appDir());
    if (path.isEmpty()) return;
    writeDumpFile(path, encoded.bytes);
}

void DetailsPage::BtnClear1Click() {
    if (refusedDuringExchange()) return;
    m_memo1->clear();
    m_memo3->clear();
    m_memo4->clear();
}

void DetailsPage::BtnCheckDumpClick() {
    if (refusedDuringExchange()) return;
    if (m_checkDump) m_checkDump();
}

void DetailsPage::BtnNoteClick() {
    if (refusedDuringExchange()) return;
    if (!dumpShown()) showDump();
    const QString path = m_messages.openFileName(appDir(), QStringLiteral("txt"));
    if (path.isEmpty()) return;
    const LoadedDump loaded = readDumpFile(path);
    switch (loaded.problem) {
    case LoadedDump::TooLarge:
        m_messages.plain(QStringLiteral("Файл «%1» больше 1 МБ, это не дамп памяти. Файл не загружен.")
                             .arg(fileNameForMessage(path)));
        return;
    case LoadedDump::Binary:
        m_messages.plain(
            QStringLiteral("Файл «%1» не текстовый: в нём есть двоичные данные. Файл не загружен.")
                .arg(fileNameForMessage(path)));
        return;
    case LoadedDump::None:
        break;
    }
    m_memo3->setLines(loaded.lines);
}

} // namespace varek
