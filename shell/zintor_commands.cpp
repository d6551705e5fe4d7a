#include "shell/zintor_commands.h"

#include "core/errors.h"
#include "core/messages.h"
#include "core/port_numbers.h"
#include "image/controller_dump.h"
#include "image/image_check.h"
#include "image/ui/build_controller_dump.h"
#include "image/ui/details_page.h"
#include "image/ui/memo_list.h"
#include "register/data_link.h"
#include "register/fields.h"
#include "register/table.h"
#include "register/varek_register.h"
#include "register/view.h"

#include <QAbstractButton>
#include <QEvent>
#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>

namespace varek {

namespace {

const QString kBusy = QStringLiteral("Идёт обмен с устройством Zintor. Дождитесь его окончания.");

template <class T> T* required(T* widget) {
    if (!widget) throw VarekError(QStringLiteral("Команды устройства Zintor созданы без элемента окна"));
    return widget;
}

} // namespace

ZintorCommands::ZintorCommands(QMainWindow& window, const Widgets& widgets, VarekRegister& reg,
                               DetailsPage& details, Messages& messages)
    : QObject(&window), m_window(window), m_register(reg), m_details(details), m_messages(messages),
      m_progressBar1(required(widgets.progressBar1)), m_pageControl1(required(widgets.pageControl1)),
      m_tshHint(required(widgets.tshHint)), m_deviceButtons(widgets.deviceButtons),
      m_statusBar(window.findChild<QStatusBar*>(QString(), Qt::FindDirectChildrenOnly)),
      m_ownStatusBar(m_statusBar == nullptr) {
    for (QAbstractButton* b : std::as_const(m_deviceButtons))
        required(b);
    setObjectName(QStringLiteral("ZintorPort"));
    if (m_ownStatusBar) {
        m_statusBar = window.statusBar();
        m_statusBar->hide();
    }
    m_statusLabel = new QLabel;
    m_statusLabel->setObjectName(QStringLiteral("laZintorStatus"));
    m_statusLabel->hide();
    m_statusBar->addWidget(m_statusLabel, 1);
    m_cancelButton = new QPushButton(QStringLiteral("Прервать обмен"));
    m_cancelButton->setObjectName(QStringLiteral("btnCancelExchange"));
    m_cancelButton->setToolTip(QStringLiteral(
        "Прервать обмен с устройством Zintor: оставшиеся строки и команда записи не отправляются"));
    m_cancelButton->hide();
    m_statusBar->addPermanentWidget(m_cancelButton);
    connect(m_cancelButton, &QPushButton::clicked, this, &ZintorCommands::cancel);
    window.installEventFilter(this);
}

// The exchange (if one still runs) is stopped and waited for by its own
// destructor; the window's widgets may already be gone here.
ZintorCommands::~ZintorCommands() = default;

bool ZintorCommands::running() const {
    return m_zintorPort && m_zintorPort->isRunning();
}

ProgrammerExchange& ZintorCommands::zintorPort() {
    if (!m_zintorPort) {
        m_zintorPort = std::make_unique<ProgrammerExchange>();
        ProgrammerExchange* port = m_zintorPort.get();
        connect(port, &ProgrammerExchange::logLine, m_details.logList(), &MemoList::appendLine);
        connect(port, &ProgrammerExchange::dumpLine, m_details.dumpList(), &MemoList::appendLine);
        connect(port, &ProgrammerExchange::progress, this, &ZintorCommands::onProgress);
        connect(port, &ProgrammerExchange::status, m_statusLabel, &QLabel::setText);
        connect(port, &ProgrammerExchange::finished, this, &ZintorCommands::onFinished);
    }
    return *m_zintorPort;
}

bool ZintorCommands::refusedWhileRunning() {
    if (!running()) return false;
    m_messages.plain(kBusy);
    return true;
}

void ZintorCommands::bbTestClick() {
    if (refusedWhileRunning()) return;
    m_details.logList()->clear();
    m_details.dumpList()->clear();
    m_checking = false;
    begin(Command::Read, {});
}

void ZintorCommands::bbCheckClick() {
    if (refusedWhileRunning()) return;
    // The register's side first: a refused image reads nothing.
    RegisterImage image = registerImage();
    m_details.logList()->clear();
    m_details.dumpList()->clear();
    begin(Command::Read, {});
    m_checking = true;
    m_checkImage = std::move(image);
}

void ZintorCommands::checkLoadedDump() {
    if (refusedWhileRunning()) return;
    const QStringList lines = m_details.dumpList()->lines();
    if (lines.isEmpty()) {
        m_messages.plain(QStringLiteral(
            "Дамп пуст. Загрузите его из файла или считайте память из Zintor, затем повторите сверку."));
        return;
    }
    reportCheck(registerImage(), lines, QStringLiteral("дампа"));
}

ZintorCommands::RegisterImage ZintorCommands::registerImage() {
    RegisterImage out;
    const ControllerImage image = registerImageOf(m_register.taCtrl(), m_register.quCtrlToken(),
                                                  m_register.dataSource5(), &out.controller);
    if (!image.built()) {
        m_messages.plain(image.refusal);
        throw EAbort();
    }
    out.lines = image.lines;
    out.notices = image.notices;
    return out;
}

void ZintorCommands::reportCheck(const RegisterImage& image, const QStringList& deviceLines,
                                 const QString& source) {
    Table& tokens = m_register.taTokens();
    const int codeField = tokens.fieldIndex(field::tokenCode);
    const int cardField = tokens.fieldIndex(field::tokenCard);
    const int userField = tokens.fieldIndex(field::userName);
    const KeyLookup lookup = [&tokens, codeField, cardField, userField](const QString& code) {
        std::optional<KeyHolder> found;
        if (codeField < 0) return found;
        const auto holderOf = [&](int id) {
            return KeyHolder{cardField < 0 ? QString() : tokens.storedValue(id, cardField).toString(),
                             userField < 0 ? QString() : tokens.storedValue(id, userField).toString()};
        };
        std::vector<int> ids;
        const int n = tokens.lookup(codeField, code, &ids);
        if (n > 0) return found = holderOf(ids.front());
        if (n < 0) {
            for (int id = 0; id < tokens.storedRowCount(); ++id)
                if (tokens.storedRowLive(id) && tokens.storedValue(id, codeField)
                                                        .toString()
                                                        .trimmed()
                                                        .compare(code, Qt::CaseInsensitive) == 0)
                    return found = holderOf(id);
        }
        return found;
    };
    const ImageCheck check = compareWithRegister(deviceLines, image.lines, lookup);
    MemoList* log = m_details.logList();
    log->appendLine(QStringLiteral("Сверка %1 с реестром, контроллер «%2»:").arg(source, image.controller));
    const QStringList report = check.report();
    for (const QString& line : report)
        log->appendLine(line);
    for (const QString& notice : image.notices)
        log->appendLine(notice);
}

void ZintorCommands::BtnClearClick() {
    storeOrWrite(Command::Store);
}

void ZintorCommands::BtnSecurityClick() {
    storeOrWrite(Command::Write);
}

void ZintorCommands::storeOrWrite(Command command) {
    if (refusedWhileRunning()) return;
    m_details.logList()->clear();
    // Refusals of the build end here (EAbort: nothing sent, nothing more shown).
    // The exchange sends the built lines themselves: nothing done to the
    // dump list meanwhile changes what goes to the device.
    const QStringList lines = BuildControllerDump(m_register.taCtrl(), m_register.quCtrlToken(),
                                                  m_register.dataSource5(), m_details, m_messages);
    begin(command, lines);
}

void ZintorCommands::begin(Command command, const QStringList& lines) {
    ProgrammerExchange& port = zintorPort();
    port.setTiming(m_timing);
    m_command = command;
    m_lineCount = int(lines.size());
    m_progressCount = 0;
    if (!port.start(command, lines, zintorDeviceName(ComZintor))) throw VarekError(kBusy);
    m_statusLabel->setText(QStringLiteral("Обмен с устройством Zintor (COM%1)…").arg(ComZintor));
    setRunning(true);
}

void ZintorCommands::onProgress(int percent) {
    m_progressBar1->setValue(percent);
    // One report follows each dump line, one more comes just before the
    // final command: from then on a cancel has no effect.
    if (m_command != Command::Read && ++m_progressCount > m_lineCount) m_cancelButton->setEnabled(false);
}

void ZintorCommands::cancel() {
    if (!running()) return;
    m_zintorPort->cancel();
    m_cancelButton->setEnabled(false);
    m_statusLabel->setText(QStringLiteral("Обмен с устройством Zintor прерывается…"));
}

void ZintorCommands::onFinished(bool ok, const QString& message) {
    const bool cancelled = m_zintorPort && m_zintorPort->wasCancelled();
    setRunning(false);
    const bool checking = std::exchange(m_checking, false);
    if (ok && m_command == Command::Read) {
        m_details.hideDump();
        m_pageControl1->setCurrentWidget(m_tshHint);
        if (checking)
            guarded(m_messages, [this] {
                reportCheck(m_checkImage, m_details.dumpList()->lines(), QStringLiteral("памяти Zintor"));
            });
    }
    // A cancel is noted in the log; anything else that ended the exchange
    // early goes to the default error report.
    if (!ok && !cancelled) m_messages.errorReport(errorReportText(message));
    emit exchangeFinished(ok);
}

void ZintorCommands::setRunning(bool running) {
    for (QAbstractButton* b : std::as_const(m_deviceButtons))
        b->setEnabled(!running);
    m_details.setExchangeRunning(running);
    m_statusLabel->setVisible(running);
    m_cancelButton->setVisible(running);
    m_cancelButton->setEnabled(running);
    if (m_ownStatusBar) m_statusBar->setVisible(running);
    if (!running) m_statusLabel->clear();
}

void ZintorCommands::stopForClose() {
    if (!running()) return;
    // The exchange's destructor stops it at once (also while it listens after
    // its final command) and waits until the port is closed.
    m_zintorPort.reset();
    m_progressBar1->setValue(0);
    setRunning(false);
}

bool ZintorCommands::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &m_window && event->type() == QEvent::Close) stopForClose();
    return QObject::eventFilter(watched, event);
}

} // namespace varek
