#include "shell/t_vareklocal.h"
#include "register/fields.h"

#include "backup/backup_ops.h"
#include "core/app_paths.h"
#include "core/convert.h"
#include "core/errors.h"
#include "core/messages.h"
#include "core/port_numbers.h"
#include "keys/ui/key_ops.h"
#include "link/serial_ports.h"
#include "register/data_link.h"
#include "register/table.h"
#include "register/ui/combo_accessibility.h"
#include "register/ui/db_grid.h"
#include "register/ui/grid_model.h"
#include "register/ui/grid_search.h"
#include "register/ui/objects_ops.h"
#include "register/varek_register.h"
#include "shell/widget_messages.h"

#include "image/ui/controller_label.h"
#include "image/ui/details_page.h"
#include "shell/zintor_commands.h"
#include "transfer/ui/key_transfer_ops.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QProgressDialog>
#include <QScreen>
#include <QSet>
#include <QShortcut>
#include <QSplitter>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

static void initIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace varek {

namespace {

const QString kCaption = QStringLiteral("Varek - Управление локальными контроллерами");
const QString kNoDataDir =
    QStringLiteral("Не удается получить доступ к каталогу с данными. Проверьте наличие каталога ");
constexpr int kSizeBarWidth = 4;

QWidget* panel(const char* name, QWidget* parent = nullptr) {
    auto* w = new QWidget(parent);
    w->setObjectName(QString::fromLatin1(name));
    auto* layout = new QVBoxLayout(w);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    return w;
}

QSplitter* sizeBars(const char* name) {
    auto* s = new QSplitter(Qt::Vertical);
    s->setObjectName(QString::fromLatin1(name));
    s->setHandleWidth(kSizeBarWidth);
    s->setChildrenCollapsible(false);
    return s;
}

// Gives a splitter's panels their design heights the first time it is laid
// out at its real size: the panels listed with a height keep it, the one
// with 0 takes the rest.
class PanelHeights : public QObject {
public:
    PanelHeights(QSplitter* splitter, QList<int> heights) : QObject(splitter), m_heights(std::move(heights)) {
        splitter->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* s = static_cast<QSplitter*>(watched);
        if (!m_done && (event->type() == QEvent::Resize || event->type() == QEvent::Show) && s->isVisible() &&
            s->height() > 0) {
            m_done = true;
            int fixed = 0;
            for (int h : m_heights)
                fixed += h;
            const int rest = s->height() - fixed - kSizeBarWidth * int(m_heights.size() - 1);
            QList<int> sizes = m_heights;
            for (int& h : sizes)
                if (h == 0) h = std::max(rest, 40);
            s->setSizes(sizes);
        }
        return false;
    }

private:
    QList<int> m_heights;
    bool m_done = false;
};

// A search field over a grid, with its icon; Ctrl+F on the page moves to it.
GridSearch* searchField(DbGrid* grid, const QString& name, const QStringList& fields, const char* objectName,
                        QWidget* page) {
    auto* search = new GridSearch(*grid, name, fields);
    search->setObjectName(QString::fromLatin1(objectName));
    search->edit()->setObjectName(QString::fromLatin1(objectName) + QStringLiteral("Edit"));
    search->countLabel()->setObjectName(QString::fromLatin1(objectName) + QStringLiteral("Count"));
    search->setIcon(QIcon(QStringLiteral(":/icons/search.svg")));
    auto* find = new QShortcut(QKeySequence::Find, page);
    find->setContext(Qt::WidgetWithChildrenShortcut);
    QObject::connect(find, &QShortcut::activated, search, [search] {
        search->edit()->setFocus(Qt::ShortcutFocusReason);
        search->edit()->selectAll();
    });
    return search;
}

// The progress of a backup's long parts: a modal box with a Cancel button
// that shows itself when the work takes a while. The window keeps
// repainting; the operator's input elsewhere waits until the work ends.
class BackupProgressBox {
public:
    BackupProgressBox(QWidget* parent, const QString& label)
        : m_box(label, QStringLiteral("Отменить"), 0, 100, parent) {
        m_box.setObjectName(QStringLiteral("BackupProgress"));
        m_box.setWindowTitle(applicationTitle());
        m_box.setWindowModality(Qt::WindowModal);
        m_box.setMinimumDuration(400);
        m_box.reset(); // nothing shows before the work starts
    }
    // Cancelling, or the window closing meanwhile, ends the work silently.
    void step(int percent, bool windowClosed) {
        if (windowClosed || m_box.wasCanceled()) throw EAbort();
        m_box.setValue(percent);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        if (m_box.wasCanceled()) throw EAbort();
    }

private:
    QProgressDialog m_box;
};

} // namespace

// The one wiring table of the toolbar buttons: name, hint (also the accessible
// name), icon and the handler the button runs. Each handler runs its operation
// under the error guard once; the operations themselves throw.
struct TTVarekLocal::ButtonWiring {
    const char* name;
    const char* hint; // UTF-8
    const char* icon;
    void (TTVarekLocal::*handler)();
};

const TTVarekLocal::ButtonWiring TTVarekLocal::kButtons[] = {
    {"ToolButton13", "Выдать жетон", "key_issue", &TTVarekLocal::ToolButton13Click},
    {"ToolButton8", "Изменить...", "edit", &TTVarekLocal::ToolButton8Click},
    {"ToolButton12", "Удалить ключ", "delete", &TTVarekLocal::ToolButton12Click},
    {"tbExportKeys", "Экспорт ключей в CSV", "keys_export", &TTVarekLocal::tbExportKeysClick},
    {"tbImportKeys", "Импорт ключей из CSV", "keys_import", &TTVarekLocal::tbImportKeysClick},
    {"bbAdd", "Новый объект...", "add", &TTVarekLocal::bbAddClick},
    {"bbEdit", "Изменить...", "edit", &TTVarekLocal::bbEditClick},
    {"bbDel", "Удалить объект", "delete", &TTVarekLocal::bbDelClick},
    {"ToolButton4", "Добавить контроллер...", "add", &TTVarekLocal::ToolButton4Click},
    {"tbMeg", "Редактировать...", "edit", &TTVarekLocal::tbMegClick},
    {"BtnSetTabs", "Удалить контроллер", "delete", &TTVarekLocal::BtnSetTabsClick},
    {"bbTest", "Считать ключи из Zintor", "device_read", &TTVarekLocal::bbTestClick},
    {"bbCheck", "Сверить с Zintor", "device_check", &TTVarekLocal::bbCheckClick},
    {"BtnClear", "Записать ключи в Zintor", "device_write", &TTVarekLocal::BtnClearClick},
    {"BtnSecurity", "Записать ключи в контроллер", "controller_write", &TTVarekLocal::BtnSecurityClick},
    {"tbDelToken", "Изъять жетон", "key_withdraw", &TTVarekLocal::tbDelTokenClick},
    // Additions: the register's backups, on the settings page.
    {"tbBackup", "Создать резервную копию", "backup_create", &TTVarekLocal::tbBackupClick},
    {"tbRestore", "Восстановить из копии", "backup_restore", &TTVarekLocal::tbRestoreClick},
};

TTVarekLocal::TTVarekLocal(Messages* messages, QWidget* parent)
    : QMainWindow(parent), m_ownMessages(messages ? nullptr : std::make_unique<WidgetMessages>(this)),
      m_messages(messages ? messages : m_ownMessages.get()), m_register(new VarekRegister(this)),
      m_iniStore(settingsPath()) {
    initIconResources();
    installComboBoxAccessibility();
    setObjectName(QStringLiteral("TVarekLocal"));
    setWindowTitle(kCaption);
    placeOnScreens(QSize(0, 0));

    m_pageControl1 = new QTabWidget(this);
    m_pageControl1->setObjectName(QStringLiteral("PageControl1"));
    m_pageControl1->setDocumentMode(true);
    m_pageControl1->addTab(buildKeysPage(), QStringLiteral("Ключи"));
    m_pageControl1->addTab(buildControllersPage(), QStringLiteral("Контроллеры"));
    m_pageControl1->addTab(buildDetailsPage(), QStringLiteral("Подробности"));
    m_pageControl1->addTab(buildSettingsPage(), QStringLiteral("Настройки"));
    m_pageControl1->setCurrentIndex(0);
    setCentralWidget(m_pageControl1);

    m_laCount->setText(m_register->keyCountText());
    connect(m_register, &VarekRegister::keyCountChanged, m_laCount, &QLabel::setText);
    // ZintorPort: the programming device's commands and their exchange.
    ZintorCommands::Widgets widgets;
    widgets.progressBar1 = m_progressBar1;
    widgets.pageControl1 = m_pageControl1;
    widgets.tshHint = m_tshHint;
    for (const char* name : {"bbTest", "bbCheck", "BtnClear", "BtnSecurity"})
        widgets.deviceButtons.append(m_buttons.value(QLatin1String(name)));
    m_zintorCommands = new ZintorCommands(*this, widgets, *m_register, *m_detailsPage, *m_messages);
}

TTVarekLocal::~TTVarekLocal() = default;

QToolBar* TTVarekLocal::toolBar(const char* name, const QString& title) {
    auto* bar = new QToolBar(title);
    bar->setObjectName(QString::fromLatin1(name));
    bar->setIconSize(QSize(24, 24));
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    return bar;
}

QLabel* TTVarekLocal::titleBar(const QString& text, const char* name) {
    auto* label = new QLabel(text);
    label->setObjectName(QString::fromLatin1(name));
    label->setStyleSheet(QStringLiteral("QLabel { background: palette(mid); color: palette(bright-text);"
                                        " font-weight: bold; padding: 3px 6px; }"));
    return label;
}

QToolButton* TTVarekLocal::addButton(QToolBar* bar, const char* name) {
    const ButtonWiring* wiring = nullptr;
    for (const ButtonWiring& w : kButtons)
        if (qstrcmp(w.name, name) == 0) wiring = &w;
    Q_ASSERT(wiring);
    const QString hint = QString::fromUtf8(wiring->hint);
    auto* b = new QToolButton(bar);
    b->setObjectName(QString::fromLatin1(name));
    b->setIcon(QIcon(QStringLiteral(":/icons/%1.svg").arg(QString::fromLatin1(wiring->icon))));
    b->setIconSize(bar->iconSize());
    b->setToolTip(hint);
    b->setAccessibleName(hint);
    b->setAutoRaise(true);
    b->setToolButtonStyle(Qt::ToolButtonIconOnly);
    connect(b, &QToolButton::clicked, this, [this, handler = wiring->handler] { (this->*handler)(); });
    bar->addWidget(b);
    m_buttons.insert(QString::fromLatin1(name), b);
    return b;
}

QWidget* TTVarekLocal::buildKeysPage() {
    QWidget* page = panel("tshTokens");

    QToolBar* bar = toolBar("Toolbar3", QStringLiteral("Ключи"));
    QLabel* title = titleBar(QStringLiteral("Ключи"), "Toolbar3Title");
    title->setStyleSheet(QStringLiteral("QLabel { font-weight: bold; padding: 0px 8px 0px 4px; }"));
    bar->addWidget(title);
    addButton(bar, "ToolButton13");
    addButton(bar, "ToolButton8");
    addButton(bar, "ToolButton12");
    bar->addSeparator();
    addButton(bar, "tbExportKeys");
    addButton(bar, "tbImportKeys");
    page->layout()->addWidget(bar);

    QSplitter* split = sizeBars("KeysSizeBars");
    QWidget* upper = panel("SizePanel4");
    m_dbGrid3 = new DbGrid(m_register->dataSource1(),
                           {{field::tokenCard, QStringLiteral("Жетон"), 90},
                            {field::userName, QStringLiteral("Пользователь"), 230},
                            {field::status, QStringLiteral("Статус"), 100},
                            {field::giveDate, QStringLiteral("Выдан"), 85},
                            {field::tokenCode, QStringLiteral("Код Dallas"), 150}},
                           {.rowSelect = true, .multiSelect = true, .keepHighlight = true, .tableGrid = true},
                           *m_messages);
    m_dbGrid3->setObjectName(QStringLiteral("DBGrid3"));
    m_dbGrid3->setDeletionScope(
        [this](const std::function<void()>& work) { DurableUnit::run(*m_register, work); });
    m_dbGrid3->setAccessibleName(QStringLiteral("Ключи"));
    m_dbGrid3->setNothingFoundText(QStringLiteral("Ни один ключ не подходит под условие поиска"));
    m_keySearch = searchField(m_dbGrid3, QStringLiteral("Поиск ключа"),
                              {field::tokenCard, field::userName, field::tokenCode}, "KeySearch", page);
    upper->layout()->addWidget(m_keySearch);
    upper->layout()->addWidget(m_dbGrid3);
    m_laCount = new QLabel(QStringLiteral("Всего:"));
    m_laCount->setObjectName(QStringLiteral("laCount"));
    m_laCount->setContentsMargins(6, 3, 6, 3);
    upper->layout()->addWidget(m_laCount);
    split->addWidget(upper);

    QWidget* lower = panel("SizePanel5");
    QLabel* accessTitle = titleBar(QStringLiteral("Права доступа"), "SizePanel5Title");
    lower->layout()->addWidget(accessTitle);
    m_gridAccess = new DbGrid(m_register->dataSource2(),
                              {{field::objName, QStringLiteral("Объект"), 300},
                               {field::ctrlName, QStringLiteral("Контроллер"), 300}},
                              {}, *m_messages);
    m_gridAccess->setObjectName(QStringLiteral("gridAccess"));
    m_gridAccess->setAccessibleName(accessTitle->text());
    accessTitle->setBuddy(m_gridAccess);
    m_gridAccess->followShownRowOf(*m_dbGrid3);
    lower->layout()->addWidget(m_gridAccess);
    split->addWidget(lower);
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    new PanelHeights(split, {324, 0});
    page->layout()->addWidget(split);
    return page;
}

QWidget* TTVarekLocal::buildControllersPage() {
    QWidget* page = panel("tshCtrl");
    QSplitter* split = sizeBars("CtrlSizeBars");

    QWidget* objects = panel("SizePanel1");
    QLabel* objectsTitle = titleBar(QStringLiteral("Объекты"), "SizePanel1Title");
    objects->layout()->addWidget(objectsTitle);
    QToolBar* bar1 = toolBar("Toolbar1", QStringLiteral("Объекты"));
    addButton(bar1, "bbAdd");
    addButton(bar1, "bbEdit");
    addButton(bar1, "bbDel");
    auto* spacer1 = new QWidget;
    spacer1->setObjectName(QStringLiteral("Toolbar1Spacer"));
    spacer1->setFixedWidth(8);
    bar1->addWidget(spacer1);
    objects->layout()->addWidget(bar1);
    m_dbGrid2 = new DbGrid(
        m_register->dataSource3(),
        {{field::objName, QStringLiteral("Наименование"), 220},
         {field::addr, QStringLiteral("Адрес"), 250},
         {field::notes, QStringLiteral("Примечание"), 200}},
        {.rowSelect = true, .multiSelect = true, .keepHighlight = false, .tableGrid = true}, *m_messages);
    m_dbGrid2->setObjectName(QStringLiteral("DBGrid2"));
    m_dbGrid2->setAccessibleName(objectsTitle->text());
    objectsTitle->setBuddy(m_dbGrid2);
    m_dbGrid2->setNothingFoundText(QStringLiteral("Ни один объект не подходит под условие поиска"));
    m_objectSearch = searchField(m_dbGrid2, QStringLiteral("Поиск объекта"),
                                 {field::objName, field::addr, field::notes}, "ObjectSearch", page);
    objects->layout()->addWidget(m_objectSearch);
    objects->layout()->addWidget(m_dbGrid2);
    split->addWidget(objects);

    QWidget* ctrls = panel("SizePanel2");
    QLabel* ctrlsTitle = titleBar(QStringLiteral("Контроллеры"), "SizePanel2Title");
    ctrls->layout()->addWidget(ctrlsTitle);
    QToolBar* bar2 = toolBar("Toolbar2", QStringLiteral("Контроллеры"));
    addButton(bar2, "ToolButton4");
    addButton(bar2, "tbMeg");
    addButton(bar2, "BtnSetTabs");
    bar2->addSeparator()->setObjectName(QStringLiteral("Toolbar2Separator"));
    addButton(bar2, "bbTest");
    addButton(bar2, "BtnClear");
    addButton(bar2, "BtnSecurity");
    addButton(bar2, "bbCheck"); // an addition: after the three device commands
    ctrls->layout()->addWidget(bar2);
    m_dbGrid1 = new DbGrid(
        m_register->dataSource4(),
        {{field::ctrlName, QStringLiteral("Наименование"), 200},
         {field::serNum, QStringLiteral("Номер"), 70},
         {field::hard, QStringLiteral("HARD"), 90},
         {field::notes, QStringLiteral("Примечания"), 200},
         {field::openTime, QStringLiteral("Время открывания"), 120}},
        {.rowSelect = false, .multiSelect = false, .keepHighlight = false, .tableGrid = true}, *m_messages);
    m_dbGrid1->setObjectName(QStringLiteral("DBGrid1"));
    m_dbGrid1->setAccessibleName(ctrlsTitle->text());
    ctrlsTitle->setBuddy(m_dbGrid1);
    m_dbGrid1->followShownRowOf(*m_dbGrid2);
    ctrls->layout()->addWidget(m_dbGrid1);
    m_progressBar1 = new QProgressBar;
    m_progressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    m_progressBar1->setRange(0, 100);
    m_progressBar1->setValue(0);
    m_progressBar1->setTextVisible(false);
    m_progressBar1->setMaximumHeight(14);
    m_progressBar1->setAccessibleName(QStringLiteral("Передача в устройство"));
    ctrls->layout()->addWidget(m_progressBar1);
    split->addWidget(ctrls);

    QWidget* keys = panel("SizePanel3");
    keys->layout()->addWidget(titleBar(QStringLiteral("Ключи"), "SizePanel3Title"));
    QToolBar* bar3 = toolBar("tbToken", QStringLiteral("Ключи контроллера"));
    addButton(bar3, "tbDelToken");
    keys->layout()->addWidget(bar3);
    m_dbGrid4 = new DbGrid(
        m_register->dataSource5(),
        {{field::tokenCard, QStringLiteral("Жетон"), 90},
         {field::userName, QStringLiteral("Пользователь"), 230},
         {field::giveDate, QStringLiteral("Выдан"), 85},
         {field::tokenCode, QStringLiteral("Код Dallas"), 150},
         {field::status, QStringLiteral("Статус"), 100}},
        {.rowSelect = true, .multiSelect = true, .keepHighlight = true, .tableGrid = false}, *m_messages);
    m_dbGrid4->setObjectName(QStringLiteral("DBGrid4"));
    m_dbGrid4->setAccessibleName(QStringLiteral("Ключи контроллера"));
    m_dbGrid4->followShownRowOf(*m_dbGrid1);
    keys->layout()->addWidget(m_dbGrid4);
    split->addWidget(keys);

    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    split->setStretchFactor(2, 0);
    new PanelHeights(split, {189, 0, 209});
    page->layout()->addWidget(split);

    // Ctrl+Delete in the objects and controllers grids removes what depends
    // on the row as the toolbar deletes do.
    m_dbGrid2->setRowDeleter([this] { ObjectsOperations(*m_register, *m_messages, this).deleteObjectRow(); });
    const auto unitScope = [this](const std::function<void()>& work) { DurableUnit::run(*m_register, work); };
    m_dbGrid2->setDeletionScope(unitScope);
    m_dbGrid1->setDeletionScope(unitScope);
    m_dbGrid1->setRowDeleter(
        [this] { ObjectsOperations(*m_register, *m_messages, this).deleteControllerRow(); });
    return page;
}

QWidget* TTVarekLocal::buildDetailsPage() {
    QWidget* page = panel("tshHint");
    m_tshHint = page;
    auto* details = new DetailsPage(*m_messages);
    const auto icon = [](const char* name) {
        return QIcon(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name)));
    };
    details->btnHorizontalTile()->setIcon(icon("dump_toggle"));
    details->btnSave()->setIcon(icon("save"));
    details->btnClear1()->setIcon(icon("clear"));
    details->btnNote()->setIcon(icon("load"));
    details->btnCheckDump()->setIcon(icon("dump_check"));
    details->setCheckDumpHandler([this] { m_zintorCommands->checkLoadedDump(); });
    // DBText1 follows the current controller.
    bindControllerName(*details, m_register->dataSource4());
    m_detailsPage = details;
    m_detailsPage->setObjectName(QStringLiteral("DetailsPage"));
    // A toolbar is heard by its title.
    if (auto* bar = m_detailsPage->findChild<QToolBar*>(QStringLiteral("Toolbar5")))
        bar->setWindowTitle(QStringLiteral("Подробности"));
    page->layout()->addWidget(m_detailsPage);
    return page;
}

QWidget* TTVarekLocal::buildSettingsPage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet2"));
    auto* grid = new QGridLayout(page);
    grid->setContentsMargins(16, 16, 16, 16);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(10);

    auto makeRow = [&](int row, const char* labelName, const QString& text, const char* boxName,
                       const char* deviceName, QComboBox*& box, QLabel*& device) {
        auto* label = new QLabel(text);
        label->setObjectName(QString::fromLatin1(labelName));
        box = new QComboBox;
        box->setObjectName(QString::fromLatin1(boxName));
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);
        box->setMinimumWidth(110);
        box->lineEdit()->setPlaceholderText(QStringLiteral("нет"));
        label->setBuddy(box);
        box->setAccessibleName(text);
        device = new QLabel;
        device->setObjectName(QString::fromLatin1(deviceName));
        device->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(label, row, 0);
        grid->addWidget(box, row, 1);
        grid->addWidget(device, row, 2);
    };
    makeRow(0, "laCom", QStringLiteral("Ком-порт устройства Zintor"), "cbCom", "laComDevice", m_cbCom,
            m_laComDevice);
    makeRow(1, "laComToken", QStringLiteral("Ком-порт считывателя Orvan"), "cbComToken", "laComTokenDevice",
            m_cbComToken, m_laComTokenDevice);
    // Where the register lives: its directory or its database server.
    m_laRegister = new QLabel(QStringLiteral("Реестр: не открыт"));
    m_laRegister->setObjectName(QStringLiteral("laRegister"));
    m_laRegister->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(m_laRegister, 2, 0, 1, 3);
    // An addition: the register's backups, below the ports.
    auto* backupLabel = new QLabel(QStringLiteral("Резервная копия реестра"));
    backupLabel->setObjectName(QStringLiteral("laBackup"));
    QToolBar* backupBar = toolBar("tbBackups", QStringLiteral("Резервная копия реестра"));
    addButton(backupBar, "tbBackup");
    addButton(backupBar, "tbRestore");
    grid->addWidget(backupLabel, 3, 0);
    grid->addWidget(backupBar, 3, 1, 1, 2);
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(4, 1);
    connectPortBox(m_cbCom, &TTVarekLocal::cbComChange);
    connectPortBox(m_cbComToken, &TTVarekLocal::cbComTokenChange);
    m_laComDevice->setText(deviceLabelText(0));
    m_laComTokenDevice->setText(deviceLabelText(0));
    return page;
}

void TTVarekLocal::connectPortBox(QComboBox* box, void (TTVarekLocal::*handler)()) {
    // Picking an entry from the list is a change.
    connect(box, &QComboBox::activated, this, [this, handler] { (this->*handler)(); });
    // A typed text that names an entry chooses that entry; any other text
    // chooses nothing while it is typed and is put back to the chosen
    // entry's name when the edit ends.
    connect(box->lineEdit(), &QLineEdit::textEdited, this, [this, box, handler](const QString& text) {
        const int i = box->findText(text.trimmed(), Qt::MatchFixedString);
        if (i >= 0 && i != box->currentIndex()) {
            const QSignalBlocker block(box);
            box->setCurrentIndex(i);
            box->setEditText(text);
            (this->*handler)();
        }
    });
    connect(box->lineEdit(), &QLineEdit::editingFinished, this, [box] {
        const QString chosen = box->currentIndex() >= 0 ? box->itemText(box->currentIndex()) : QString();
        if (box->currentText() != chosen) box->setEditText(chosen);
    });
}

namespace {

// What stands behind a port: its device, and for a USB adapter first the
// stable name under which it keeps its number.
QString portDescription(const SerialPortEntry& entry) {
    const QFileInfo info(entry.devicePath);
    QString device = info.isSymLink() ? info.canonicalFilePath() : entry.devicePath;
    if (device.isEmpty()) device = info.symLinkTarget();
    if (entry.stableName.isEmpty()) return device;
    return QStringLiteral("адаптер USB %1 (%2)").arg(entry.stableName, device);
}

} // namespace

QString TTVarekLocal::deviceLabelText(quint8 n) {
    if (n == 0) return QStringLiteral("порт не выбран");
    SerialPortEntry entry;
    if (!findSerialPort(n, entry)) return QStringLiteral("COM%1: такого порта нет").arg(n);
    return QStringLiteral("COM%1 — %2").arg(n).arg(portDescription(entry));
}

void TTVarekLocal::fillPortList(QComboBox* box, quint8 n) {
    const QSignalBlocker block(box);
    box->clear();
    QStringList names;
    for (const SerialPortEntry& entry : serialPortEntries()) {
        names << entry.name;
        box->addItem(entry.name);
        box->setItemData(box->count() - 1, portDescription(entry), Qt::ToolTipRole);
    }
    int selected = -1;
    for (int i = 0; i < names.size(); ++i) {
        if (strToInt(names[i].mid(3)) == n) selected = i;
    }
    box->setCurrentIndex(selected);
    if (selected < 0) box->setEditText(QString());
}

void TTVarekLocal::portChanged(QComboBox* box, quint8& number, QLabel* deviceLabel) {
    guarded(*m_messages, [&] {
        const int i = box->currentIndex();
        const QString text = i >= 0 ? box->itemText(i) : QString();
        number = quint8(strToInt(text.mid(3)));
    });
    deviceLabel->setText(deviceLabelText(number));
}

void TTVarekLocal::cbComChange() {
    portChanged(m_cbCom, ComZintor, m_laComDevice);
}

void TTVarekLocal::cbComTokenChange() {
    portChanged(m_cbComToken, ComToken, m_laComTokenDevice);
}

bool TTVarekLocal::FormCreate() {
    // From here on closing the window writes the settings, unless the
    // register cannot be opened below.
    m_started = true;
    m_iniStore = Settings(settingsPath());
    // A file that large is something else under the settings' name: it is
    // not read (the numbers stay 0) and closing leaves it as it is.
    m_settingsRefused = m_iniStore.tooLarge();
    if (m_settingsRefused)
        m_messages->plain(QStringLiteral("Файл настроек %1 больше 1 МБ, а настоящий файл настроек занимает "
                                         "несколько строк. Файл не прочитан, порты устройства Zintor и "
                                         "считывателя не выбраны. При выходе программа этот файл не изменит.")
                              .arg(m_iniStore.path()));
    const bool portsRead = guarded(*m_messages, [this] {
        readPortNumbers(m_iniStore);
        m_laComDevice->setText(deviceLabelText(ComZintor));
        m_laComTokenDevice->setText(deviceLabelText(ComToken));
        fillPortList(m_cbCom, ComZintor);
        fillPortList(m_cbComToken, ComToken);
    });
    if (!portsRead) return true; // the window opens over an empty register

    const QString dir = dataDir();
    // The register on a PostgreSQL server when the settings say so.
    RegisterBackend backend;
    bool settingsRead = false;
    try {
        backend = readRegisterBackend(m_iniStore);
        settingsRead = true;
        if (backend.kind == RegisterBackend::Kind::Database) m_register->openDatabase(backend.connection);
    } catch (const std::exception& e) {
        const auto* ve = dynamic_cast<const VarekError*>(&e);
        const QString reason = ve ? ve->message() : QString::fromUtf8(e.what());
        m_messages->plain(settingsRead
                              ? QStringLiteral("Не удалось открыть реестр на сервере PostgreSQL.\n") + reason
                              : reason);
        try {
            m_register->close();
        } catch (...) {
        }
        m_started = false;
        return false;
    }
    if (backend.kind == RegisterBackend::Kind::Database) {
        m_laRegister->setText(QStringLiteral("Реестр: ") + m_register->backendDescription());
        m_pageControl1->setCurrentIndex(0);
        return true;
    }
    try {
        m_register->open(dir);
    } catch (const std::exception& e) {
        const auto* ve = dynamic_cast<const VarekError*>(&e);
        const QString reason = ve ? ve->message() : QString::fromUtf8(e.what());
        QString text = kNoDataDir + dir + QStringLiteral(" на диске");
        if (!reason.isEmpty()) text += u'\n' + reason;
        m_messages->plain(text);
        try {
            m_register->close();
        } catch (...) {
        }
        m_started = false;
        return false;
    }
    m_laRegister->setText(QStringLiteral("Реестр: ") + m_register->backendDescription());
    m_pageControl1->setCurrentIndex(0);
    return true;
}

void TTVarekLocal::FormClose() {
    if (m_closed) return;
    m_closed = true;
    guarded(*m_messages, [this] { m_register->close(); });
    if (m_started && !m_settingsRefused) guarded(*m_messages, [this] { writePortNumbers(m_iniStore); });
}

void TTVarekLocal::closeOnQuitRequest() {
    if (QWidget* modal = QApplication::activeModalWidget()) {
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        // Its event loop ends once this call has returned; look again then.
        QTimer::singleShot(20, this, [this] { closeOnQuitRequest(); });
        return;
    }
    close();
    QCoreApplication::quit(); // also when the window was never shown
}

void TTVarekLocal::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TTVarekLocal::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_placed) return;
    m_placed = true;
    // The design size is the outer size: once the frame is known, take it off.
    QTimer::singleShot(0, this, [this] {
        const QRect outer = frameGeometry();
        const QRect inner = geometry();
        const QSize frame(outer.width() - inner.width(), outer.height() - inner.height());
        if (frame.width() > 0 || frame.height() > 0) placeOnScreens(frame);
    });
}

QRect TTVarekLocal::fittedGeometry(const QRect& design, const QList<QRect>& availableAreas) {
    if (availableAreas.isEmpty()) return design;
    for (const QRect& area : availableAreas)
        if (area.contains(design)) return design;
    // The screen the window starts on; else the one it overlaps most; else the first.
    QRect area = availableAreas.first();
    int overlap = -1;
    for (const QRect& a : availableAreas) {
        if (a.contains(design.topLeft())) {
            area = a;
            break;
        }
        const QRect common = a.intersected(design);
        const int size = common.isEmpty() ? 0 : common.width() * common.height();
        if (size > overlap) {
            overlap = size;
            area = a;
        }
    }
    const QSize size = design.size().boundedTo(area.size());
    QRect fitted(design.topLeft(), size);
    if (fitted.right() > area.right()) fitted.moveRight(area.right());
    if (fitted.bottom() > area.bottom()) fitted.moveBottom(area.bottom());
    if (fitted.left() < area.left()) fitted.moveLeft(area.left());
    if (fitted.top() < area.top()) fitted.moveTop(area.top());
    return fitted;
}

void TTVarekLocal::placeOnScreens(const QSize& frame) {
    QList<QRect> areas;
    for (const QScreen* screen : QGuiApplication::screens())
        areas << screen->availableGeometry();
    const QRect outer = fittedGeometry(designGeometry(), areas);
    move(outer.topLeft());
    resize(std::max(outer.width() - frame.width(), 1), std::max(outer.height() - frame.height(), 1));
}

void TTVarekLocal::savePagePictures(const QString& dir) {
    static const char* const names[] = {"page1_keys", "page2_controllers", "page3_details", "page4_settings"};
    QDir().mkpath(dir);
    const int current = m_pageControl1->currentIndex();
    for (int i = 0; i < m_pageControl1->count() && i < 4; ++i) {
        m_pageControl1->setCurrentIndex(i);
        QApplication::processEvents();
        QApplication::processEvents();
        grab().save(QDir(dir).filePath(QString::fromLatin1(names[i]) + QStringLiteral(".png")));
    }
    m_pageControl1->setCurrentIndex(current);
}

void TTVarekLocal::runUnit(const std::function<void()>& operation) {
    guarded(*m_messages, [&] { DurableUnit::run(*m_register, operation); });
    // The operation may have made a row current that a search hides.
    m_dbGrid3->ensureCurrentShown();
    m_dbGrid2->ensureCurrentShown();
}

bool TTVarekLocal::refuseHiddenRow(DbGrid* grid) {
    if (!grid->currentHidden()) return false;
    const bool keys = grid == m_dbGrid3;
    QString text;
    if (grid->gridModel()->rowCount() == 0)
        text = keys ? QStringLiteral("Ключ не выбран: ни один ключ не подходит под условие поиска. Измените "
                                     "текст в поле «Поиск ключа» или очистите его клавишей Esc.")
                    : QStringLiteral("Объект не выбран: ни один объект не подходит под условие поиска. "
                                     "Измените текст в поле «Поиск объекта» или очистите его клавишей Esc.");
    else
        text = keys ? QStringLiteral("Выбранный ключ скрыт поиском. Выберите ключ в списке или очистите поле "
                                     "«Поиск ключа» клавишей Esc.")
                    : QStringLiteral("Выбранный объект скрыт поиском. Выберите объект в списке или очистите "
                                     "поле «Поиск объекта» клавишей Esc.");
    m_messages->plain(text);
    return true;
}

void TTVarekLocal::ToolButton13Click() {
    runUnit([this] { KeyOperations(*m_register, *m_messages, this).ToolButton13Click(); });
}

void TTVarekLocal::ToolButton8Click() {
    if (refuseHiddenRow(m_dbGrid3)) return;
    runUnit([this] { KeyOperations(*m_register, *m_messages, this).ToolButton8Click(); });
}

void TTVarekLocal::ToolButton12Click() {
    if (refuseHiddenRow(m_dbGrid3)) return;
    runUnit([this] { KeyOperations(*m_register, *m_messages, this).ToolButton12Click(); });
}

// With a search on, the keys the grid shows are exported; otherwise all.
void TTVarekLocal::tbExportKeysClick() {
    guarded(*m_messages, [this] {
        KeySubset subset;
        const GridModel* model = m_dbGrid3->gridModel();
        if (model->filtering()) {
            if (model->rowCount() == 0)
                throw EDatabaseError(QStringLiteral(
                    "Нечего выгружать: ни один ключ не подходит под условие поиска. Измените текст в поле "
                    "«Поиск ключа» или очистите его клавишей Esc, чтобы выгрузить все ключи."));
            QSet<int> shown;
            for (int row = 0; row < model->rowCount(); ++row)
                shown.insert(model->sourceRow(row));
            const Table& tokens = m_register->taTokens();
            for (int id = 0; id < tokens.storedRowCount(); ++id) {
                const int row = tokens.rowOfStored(id);
                if (row >= 0 && shown.contains(row)) subset.rowIds.append(id);
            }
        }
        KeyTransferOperations(*m_register, *m_messages, this).exportKeys(subset);
    });
}

// The import is its own unit of work, dropped whole when it fails (not the
// window's unit, which keeps what was done).
void TTVarekLocal::tbImportKeysClick() {
    guarded(*m_messages, [this] { KeyTransferOperations(*m_register, *m_messages, this).importKeys(); });
}

void TTVarekLocal::bbAddClick() {
    runUnit([this] { ObjectsOperations(*m_register, *m_messages, this).addObject(); });
}

void TTVarekLocal::bbEditClick() {
    if (refuseHiddenRow(m_dbGrid2)) return;
    runUnit([this] { ObjectsOperations(*m_register, *m_messages, this).editObject(); });
}

void TTVarekLocal::bbDelClick() {
    if (refuseHiddenRow(m_dbGrid2)) return;
    runUnit([this] { ObjectsOperations(*m_register, *m_messages, this).deleteObject(); });
}

void TTVarekLocal::ToolButton4Click() {
    if (refuseHiddenRow(m_dbGrid2)) return;
    runUnit([this] { ObjectsOperations(*m_register, *m_messages, this).addController(); });
}

void TTVarekLocal::tbMegClick() {
    if (refuseHiddenRow(m_dbGrid2)) return;
    runUnit([this] { ObjectsOperations(*m_register, *m_messages, this).editController(); });
}

void TTVarekLocal::BtnSetTabsClick() {
    if (refuseHiddenRow(m_dbGrid2)) return;
    runUnit([this] { ObjectsOperations(*m_register, *m_messages, this).deleteController(); });
}

void TTVarekLocal::bbTestClick() {
    guarded(*m_messages, [this] { m_zintorCommands->bbTestClick(); });
}

void TTVarekLocal::bbCheckClick() {
    if (refuseHiddenRow(m_dbGrid2)) return;
    guarded(*m_messages, [this] { m_zintorCommands->bbCheckClick(); });
}

void TTVarekLocal::BtnClearClick() {
    if (refuseHiddenRow(m_dbGrid2)) return;
    guarded(*m_messages, [this] { m_zintorCommands->BtnClearClick(); });
}

void TTVarekLocal::BtnSecurityClick() {
    if (refuseHiddenRow(m_dbGrid2)) return;
    guarded(*m_messages, [this] { m_zintorCommands->BtnSecurityClick(); });
}

void TTVarekLocal::tbDelTokenClick() {
    if (refuseHiddenRow(m_dbGrid2)) return;
    runUnit([this] { KeyOperations(*m_register, *m_messages, this).tbDelTokenClick(); });
}

// The backups read the register's files, and a restore replaces them: they
// run between operations, never inside a unit of work.
void TTVarekLocal::tbBackupClick() {
    guarded(*m_messages, [this] {
        BackupOperations ops(*m_register, *m_messages, dataDir(), settingsPath());
        BackupProgressBox box(this, QStringLiteral("Создание резервной копии реестра..."));
        ops.setProgress([this, &box](int percent) { box.step(percent, m_closed); });
        ops.createBackup(appDir());
    });
}

void TTVarekLocal::tbRestoreClick() {
    guarded(*m_messages, [this] {
        BackupOperations ops(*m_register, *m_messages, dataDir(), settingsPath());
        BackupProgressBox box(this, QStringLiteral("Проверка резервной копии и восстановление реестра..."));
        ops.setProgress([this, &box](int percent) { box.step(percent, m_closed); });
        ops.restoreBackup(appDir());
    });
}

} // namespace varek
