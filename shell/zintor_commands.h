#pragma once

#include "link/programmer.h"

#include <QObject>
#include <QStringList>
#include <memory>

class QAbstractButton;
class QLabel;
class QMainWindow;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QWidget;

namespace varek {

class DetailsPage;
class Messages;
class VarekRegister;

// The commands of the Zintor programming device on the controllers toolbar:
// read its memory back (bbTest), read it back and compare it with the
// register's image of the current controller (bbCheck), have it store the
// current controller's image (BtnClear), have it write the image into the
// controller (BtnSecurity). Also the comparison of the dump list with the
// register ("Сверить загруженный дамп" on the Details page).
//
// It holds the window's ZintorPort slot: one ProgrammerExchange, which runs
// each exchange on a worker thread that owns the port, so the window keeps
// repainting throughout. The reply lines go to the log list (Memo1), a read's
// dump lines to the dump list (Memo3), the progress of a store or write to
// ProgressBar1.
//
// One exchange at a time: while one runs, the device buttons are
// disabled, the Details page refuses Clear and Load, and the handlers refuse
// with a message. During an exchange the window's status bar shows what is
// being done, how far and about how long is left, with the button
// "Прервать обмен"; when idle the bar is hidden (unless someone else uses it).
//
// Closing the main window during an exchange stops the exchange and waits for
// the port to be released before the window goes on closing.
class ZintorCommands : public QObject {
    Q_OBJECT
public:
    // The window's widgets the commands use, handed over by the window.
    struct Widgets {
        QProgressBar* progressBar1 = nullptr;
        QTabWidget* pageControl1 = nullptr;
        QWidget* tshHint = nullptr;            // the Details page, shown after a read
        QList<QAbstractButton*> deviceButtons; // bbTest, bbCheck, BtnClear, BtnSecurity
    };

    // All of widgets must be set. The status bar of window takes the
    // exchange's line and cancel button; closing window stops the exchange.
    ZintorCommands(QMainWindow& window, const Widgets& widgets, VarekRegister& reg, DetailsPage& details,
                   Messages& messages);
    ~ZintorCommands() override;

    // The handlers. They throw (the window runs them through the guard);
    // the exchange's own end is reported when it comes.
    void bbTestClick();
    void BtnClearClick();
    void BtnSecurityClick();
    // "Сверить с Zintor": reads the device's memory back as bbTest does, then
    // compares it with the register's image of the current controller (taken
    // when the read starts) and adds the report to the log list.
    void bbCheckClick();
    // "Сверить загруженный дамп": compares the dump list with the register's
    // image of the current controller and adds the report to the log list.
    void checkLoadedDump();

    // Stops the running exchange (a store or write before its final command;
    // a read at once). The log says so when it has stopped.
    void cancel();

    bool running() const;
    // The exchange's time limits (the protocol's figures unless changed).
    void setTiming(const ProgrammerTiming& timing) { m_timing = timing; }
    const ProgrammerTiming& timing() const { return m_timing; }

    QPushButton* cancelButton() const { return m_cancelButton; }
    QLabel* statusLabel() const { return m_statusLabel; }

signals:
    // After an exchange's end has been shown (lists, page, report).
    void exchangeFinished(bool ok);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    using Command = ProgrammerExchange::Command;

    void storeOrWrite(Command command);
    bool refusedWhileRunning();
    ProgrammerExchange& zintorPort();
    void begin(Command command, const QStringList& lines);
    void onProgress(int percent);
    void onFinished(bool ok, const QString& message);
    void setRunning(bool running);
    void stopForClose();
    // The register's image of the current controller, without touching the
    // dump lists; a refused image is shown and ends in EAbort.
    struct RegisterImage {
        QString controller;
        QStringList lines;
        QStringList notices;
    };
    RegisterImage registerImage();
    void reportCheck(const RegisterImage& image, const QStringList& deviceLines, const QString& source);

    QMainWindow& m_window;
    VarekRegister& m_register;
    DetailsPage& m_details;
    Messages& m_messages;
    QProgressBar* m_progressBar1;
    QTabWidget* m_pageControl1;
    QWidget* m_tshHint;
    QList<QAbstractButton*> m_deviceButtons;
    QStatusBar* m_statusBar;
    bool m_ownStatusBar;
    QLabel* m_statusLabel;
    QPushButton* m_cancelButton;

    std::unique_ptr<ProgrammerExchange> m_zintorPort;
    ProgrammerTiming m_timing;
    Command m_command = Command::Read;
    int m_lineCount = 0;     // dump lines of the running store or write
    int m_progressCount = 0; // progress reports received from it
    bool m_checking = false; // the running read is a check
    RegisterImage m_checkImage;
};

} // namespace varek
