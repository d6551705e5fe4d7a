#include "shell/zintor_commands.h"

#include "core/errors.h"
#include "core/messages.h"
#include "core/port_numbers.h"
#include "image/ui/build_controller_dump.h"
#include "image/ui/details_page.h"
#include "image/ui/memo_list.h"
#include "register/varek_register.h"

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
    begin(Command::Read, {});
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
    if (ok && m_command == Command::Read) {
        m_details.hideDump();
        m_pageControl1->setCurrentWidget(m_tshHint);
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
