#include "shell/quit_signals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace varek {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The socket pair: the handler writes into [0], the notifier reads [1].
int g_pair[2] = {-1, -1};
std::atomic<bool> g_requested{false};

extern "C" void onQuitSignal(int sig) {
    if (g_requested.exchange(true)) {
        // Asked again while the first request is being carried out: end now.
        ::signal(sig, SIG_DFL);
        ::raise(sig);
        return;
    }
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_pair[0], &byte, 1);
    errno = saved;
}

} // namespace

QuitSignals::QuitSignals(std::function<void(int)> onQuit, QObject* parent)
    : QObject(parent), m_onQuit(std::move(onQuit)) {
    // One watcher per process; without the socket pair the signals keep
    // their default action.
    if (g_pair[0] >= 0) return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_pair) != 0) {
        g_pair[0] = g_pair[1] = -1;
        return;
    }
    g_requested = false;
    m_notifier = new QSocketNotifier(g_pair[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitSignals::readSignal);
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : kSignals)
        ::sigaction(sig, &action, nullptr);
}

QuitSignals::~QuitSignals() {
    if (!m_notifier) return;
    for (int sig : kSignals)
        ::signal(sig, SIG_DFL);
    delete m_notifier;
    ::close(g_pair[0]);
    ::close(g_pair[1]);
    g_pair[0] = g_pair[1] = -1;
}

void QuitSignals::readSignal() {
    unsigned char byte = 0;
    if (::read(g_pair[1], &byte, 1) != 1 || m_received != 0) return;
    m_received = byte;
    m_notifier->setEnabled(false);
    m_onQuit(m_received);
}

} // namespace varek
