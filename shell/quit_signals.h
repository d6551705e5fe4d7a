#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace varek {

// The requests to end that reach the program as signals: SIGTERM (shutdown,
// kill), SIGINT (Ctrl+C in a terminal) and SIGHUP (logout, the terminal
// closed). While an object of this class lives, the first of them runs
// onQuit(signal) on the thread of the event loop; any further one, while that
// is still in hand, ends the process at once by the signal's default action.
//
// The signal handler only writes the signal's number into one end of a
// socket pair; a socket notifier on the other end brings it into the event
// loop, where anything may be done.
class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(std::function<void(int signal)> onQuit, QObject* parent = nullptr);
    // Gives the three signals back their default action.
    ~QuitSignals() override;

    // The signal that asked to end, or 0.
    int received() const { return m_received; }

private:
    void readSignal();

    std::function<void(int)> m_onQuit;
    QSocketNotifier* m_notifier = nullptr;
    int m_received = 0;
};

} // namespace varek
