#include "keys/ui/ed_token.h"
#include "register/fields.h"

#include "core/messages.h"
#include "core/port_numbers.h"
#include "keys/token_code.h"
#include "keys/ui/rights_model.h"
#include "keys/ui/rights_tree_view.h"
#include "link/reader_com_port.h"
#include "link/serial_failure.h"
#include "link/serial_ports.h"
#include "register/ui/combo_accessibility.h"
#include "register/ui/editor_support.h"

#include <QComboBox>
#include <QDateEdit>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace varek {

namespace {

// The date field of "Выдан": a whole date can be typed as it is written,
// 10.12.2026. A section that is full moves the cursor to the next one by
// itself; the separator typed right after it is then the one already passed
// and must not skip another section.
class DayDateEdit : public QDateEdit {
public:
    using QDateEdit::QDateEdit;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        const QString text = event->text();
        const bool separator = text.size() == 1 && QStringLiteral(".,/-").contains(text);
        if (separator && m_advanced) {
            m_advanced = false;
            event->accept();
            return;
        }
        const Section before = currentSection();
        QDateEdit::keyPressEvent(event);
        m_advanced = text.size() == 1 && text.front().isDigit() && currentSection() != before;
    }
    void focusInEvent(QFocusEvent* event) override {
        m_advanced = false;
        QDateEdit::focusInEvent(event);
    }

private:
    bool m_advanced = false;
};

bool isReaderDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

} // namespace

TfrmEdToken::TfrmEdToken(Messages& messages, QWidget* parent) : QDialog(parent), m_messages(messages) {
    setObjectName(QStringLiteral("frmEdToken"));
    setWindowTitle(QStringLiteral("Ключ"));
    // No buttons in the caption bar: the dialog ends through Save or Cancel (or Esc).
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setModal(true);
    installComboBoxAccessibility();

    // Upper panel: name, date, code, status.
    auto* upper = new QWidget(this);
    upper->setObjectName(QStringLiteral("Panel1"));
    auto* form = new QFormLayout(upper);

    edName = new QLineEdit(upper);
    edName->setObjectName(QStringLiteral("edName"));
    auto* laName = new QLabel(QStringLiteral("ФИО"), upper);
    laName->setBuddy(edName);
    edName->setAccessibleName(laName->text());
    form->addRow(laName, edName);

    dtFirstDay = new DayDateEdit(upper);
    dtFirstDay->setObjectName(QStringLiteral("dtFirstDay"));
    dtFirstDay->setCalendarPopup(true);
    dtFirstDay->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    dtFirstDay->setDate(QDate::currentDate());
    auto* laDate = new QLabel(QStringLiteral("Выдан"), upper);
    laDate->setBuddy(dtFirstDay);
    dtFirstDay->setAccessibleName(laDate->text());
    form->addRow(laDate, dtFirstDay);

    edToken = new QLineEdit(upper);
    edToken->setObjectName(QStringLiteral("edToken"));
    auto* laToken = new QLabel(QStringLiteral("Код DALLAS:"), upper);
    laToken->setBuddy(edToken);
    edToken->setAccessibleName(laToken->text());
    form->addRow(laToken, edToken);

    cbSign = new QComboBox(upper);
    cbSign->setObjectName(QStringLiteral("cbSign"));
    cbSign->setEditable(false); // a fixed list: a key is a master key or an access key
    cbSign->addItem(QStringLiteral("Мастер-ключ"), QStringLiteral("0"));
    cbSign->addItem(QStringLiteral("Доступ"), QStringLiteral("1"));
    cbSign->setCurrentIndex(1);
    auto* laSign = new QLabel(QStringLiteral("Статус:"), upper);
    laSign->setBuddy(cbSign);
    cbSign->setAccessibleName(laSign->text());
    form->addRow(laSign, cbSign);

    laReader = new QLabel(upper);
    laReader->setObjectName(QStringLiteral("laReader"));
    laReader->setWordWrap(true); // the cause of a missing reader can be a long line
    laReader->setTextInteractionFlags(Qt::TextSelectableByMouse); // the command in it can be copied
    form->addRow(laReader);

    // Lower panel: the controllers the key may open.
    auto* lower = new QWidget(this);
    lower->setObjectName(QStringLiteral("Panel2"));
    auto* lowerLayout = new QVBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
    m_rights = new RightsModel(this);
    tvCtrl = new RightsTreeView(lower);
    tvCtrl->setObjectName(QStringLiteral("tvCtrl"));
    tvCtrl->setRightsModel(m_rights);
    auto* laCtrl = new QLabel(QStringLiteral("Права доступа по контроллерам:"), lower);
    laCtrl->setBuddy(tvCtrl);
    lowerLayout->addWidget(laCtrl);
    lowerLayout->addWidget(tvCtrl);
    tvCtrl->setAccessibleName(laCtrl->text());

    createSaveCancelButtons(this, bbSave, bbCancel);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(bbSave);
    buttons->addWidget(bbCancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(upper);
    layout->addWidget(lower, 1);
    layout->addLayout(buttons);
    resize(420, 480);

    connect(bbSave, &QPushButton::clicked, this, [this] { guarded(m_messages, [this] { BitBtn1Click(); }); });
    connect(bbCancel, &QPushButton::clicked, this, [this] { BitBtn2Click(); });

    FormCreate();
}

TfrmEdToken::~TfrmEdToken() {
    FormClose();
}

void TfrmEdToken::FormCreate() {
    ReaderPort1 = std::make_unique<TReaderComPort>();
    // The reader's line: 9600 8N1, XON/XOFF on reception at 10 characters, DTR and RTS on.
    ReaderPort1->Baud = 9600;
    ReaderPort1->DataBits = 8;
    ReaderPort1->StopBits = 1;
    ReaderPort1->InQueueSize = 128;
    ReaderPort1->SoftwareFlow = TReaderComPort::SoftwareFlowMode::sfReceive;
    ReaderPort1->XonChar = 17;
    ReaderPort1->XoffChar = 19;
    ReaderPort1->XonLevel = 10;
    ReaderPort1->XoffLevel = 10;
    ReaderPort1->DTR = true;
    ReaderPort1->RTS = true;
    connect(ReaderPort1.get(), &TReaderComPort::OnTriggerAvail, this, [this](quint16 count) {
        guarded(m_messages, [this, count] { ReaderPort1TriggerAvail(count); });
    });
    const quint8 number = ComToken;
    const QString portName = number == 0 ? QString() : QStringLiteral("COM%1").arg(number);
    connect(ReaderPort1.get(), &TReaderComPort::deviceLost, this, [this, portName](int error) {
        m_readerLost = true;
        m_readerCause =
            serialFailureCause(SerialPeer::Orvan, portName, m_readerDevice, error, SerialStep::Receiving);
        laReader->setText(readerStatusText());
    });
    // Why the reader could not be opened: the system's error behind the port's refusal.
    auto refused = [&](int systemError) {
        m_readerCause = serialFailureCause(SerialPeer::Orvan, portName, ReaderPort1->devicePath(),
                                           systemError, SerialStep::Opening);
        m_messages.plain(QStringLiteral("Не удается подключиться к com-порту."));
    };
    try {
        ReaderPort1->setOpen(false);
        ReaderPort1->setComNumber(number);
        ReaderPort1->setOpen(true);
        m_readerDevice = ReaderPort1->devicePath();
    } catch (const EComPortError& e) {
        refused(e.systemError());
    } catch (const EInOutError& e) {
        refused(e.code());
    } catch (const std::exception&) {
        refused(0);
    }
    laReader->setText(readerStatusText());
}

void TfrmEdToken::FormClose() {
    if (ReaderPort1 && !m_portClosed) {
        m_portClosed = true;
        try {
            ReaderPort1->setOpen(false);
        } catch (const std::exception&) {
            // Closing never reaches the operator; the device is released either way.
        }
        laReader->setText(readerStatusText());
    }
}

bool TfrmEdToken::readerConnected() const {
    return ReaderPort1 && !m_portClosed && !m_readerLost && ReaderPort1->Open();
}

QString TfrmEdToken::readerStatusText() const {
    if (!readerConnected()) {
        const QString line = QStringLiteral("Считыватель не подключён");
        return m_readerCause.isEmpty() ? line : line + QStringLiteral(". ") + m_readerCause;
    }
    return QStringLiteral("Считыватель: COM%1 (%2)").arg(ComToken).arg(m_readerDevice);
}

void TfrmEdToken::done(int result) {
    FormClose();
    QDialog::done(result);
}

void TfrmEdToken::clearTree() {
    m_rights->clear();
}

QModelIndex TfrmEdToken::addObjectNode(const QString& text, qint32 objNum) {
    return m_rights->addObject(text, objNum);
}

QModelIndex TfrmEdToken::addControllerNode(const QModelIndex& objectNode, const QString& text,
                                           qint32 serNum) {
    return m_rights->addController(objectNode, text, serNum);
}

int TfrmEdToken::nodeCount() const {
    return m_rights->nodeCount();
}

void TfrmEdToken::setNodeChecked(int position, bool checked) {
    m_rights->setNodeChecked(position, checked);
}

QVector<qint32> TfrmEdToken::CollectRights() const {
    return m_rights->rights();
}

void TfrmEdToken::setFieldWidths(int nameWidth, int codeWidth) {
    if (nameWidth > 0) edName->setMaxLength(nameWidth);
    // The code is stored without the blanks around it (and checked on Save), so
    // the field leaves room for them: a pasted code with blanks is never cut.
    if (codeWidth > 0) edToken->setMaxLength(2 * codeWidth);
}

void TfrmEdToken::ReaderPort1TriggerAvail(int count) {
    // Take exactly the announced characters; an error while reading leaves
    // ReaderBuf as it was before this event.
    QString kept;
    for (int i = 0; i < count; ++i) {
        const char c = static_cast<char>(ReaderPort1->ReadChar());
        if (isReaderDigit(c)) kept += QLatin1Char(c);
    }
    if (kept.size() >= 10)
        ReaderBuf = kept;
    else
        ReaderBuf += kept;
    if (ReaderBuf.size() < 10) return;
    edToken->setText(TokenCodeOf(ReaderBuf.left(10)));
    ReaderBuf.clear();
}

bool TfrmEdToken::collectFields(TToken& out) {
    if (const QString refusal = refusalFor(edName, field::userName, m_fitOf); !refusal.isEmpty()) {
        m_messages.plain(refusal);
        return false;
    }
    const QString code = normalizeTokenCode(edToken->text());
    if (!isWellFormedTokenCode(code)) {
        m_messages.plain(
            QStringLiteral("Код DALLAS должен состоять из 16 шестнадцатеричных цифр (0-9, A-F)."));
        edToken->setFocus();
        return false;
    }
    const quint8 expected = DallasCrc8(code);
    const QString expectedText = QStringLiteral("%1").arg(expected, 2, 16, QLatin1Char('0')).toUpper();
    if (code.right(2) != expectedText &&
        !m_messages.question(QStringLiteral("Контрольный байт кода %1 не совпадает с вычисленным (%2): "
                                            "возможно, код набран с ошибкой. Сохранить ключ с этим кодом?")
                                 .arg(code, expectedText))) {
        edToken->setFocus();
        return false;
    }
    if (cbSign->currentIndex() < 0) {
        m_messages.plain(QStringLiteral("Выберите статус ключа: мастер-ключ или доступ."));
        cbSign->setFocus();
        return false;
    }
    if (m_codeCheck) {
        const QString refusal = m_codeCheck(code);
        if (!refusal.isEmpty()) {
            m_messages.plain(refusal);
            edToken->setFocus();
            return false;
        }
    }
    out.give_date = QDateTime(dtFirstDay->date(), QTime(0, 0));
    out.user_name = edName->text();
    out.token_code = code;
    out.status = static_cast<quint8>(cbSign->currentIndex());
    out.rights = CollectRights();
    return true;
}

void TfrmEdToken::BitBtn1Click() {
    TToken entered = m_token;
    if (!collectFields(entered)) return; // the editor stays open with everything typed
    m_token = entered;
    m_saved = true;
    accept();
}

void TfrmEdToken::BitBtn2Click() {
    m_saved = false;
    reject();
}

bool NewToken(std::unique_ptr<TfrmEdToken>& frmEdToken, TToken& token) {
    TfrmEdToken& frm = *frmEdToken;
    frm.m_token = token;
    frm.dtFirstDay->setDate(QDate::currentDate());
    return runOneUseEditor(frmEdToken, token, &TfrmEdToken::m_token, &TfrmEdToken::m_saved);
}

bool EditToken(std::unique_ptr<TfrmEdToken>& frmEdToken, TToken& token) {
    TfrmEdToken& frm = *frmEdToken;
    frm.m_token = token;
    frm.edToken->setText(token.token_code);
    frm.edName->setText(token.user_name);
    if (token.give_date.isValid()) frm.dtFirstDay->setDate(token.give_date.date());
    frm.cbSign->setCurrentIndex(token.status <= 1 ? token.status : -1);
    return runOneUseEditor(frmEdToken, token, &TfrmEdToken::m_token, &TfrmEdToken::m_saved);
}

} // namespace varek
