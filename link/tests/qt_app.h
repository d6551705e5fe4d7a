#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <functional>
#include <ostream>

// Readable QString values in test failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

// One QCoreApplication for a GoogleTest executable, made on first use.
inline QCoreApplication* testApp() {
    static int argc = 1;
    static char name[] = "link_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app =
        QCoreApplication::instance() ? QCoreApplication::instance() : new QCoreApplication(argc, argv);
    return app;
}

// Runs the event loop until `done` holds or ms pass; returns `done()`.
inline bool processEventsUntil(const std::function<bool()>& done, int ms) {
    testApp();
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    return done();
}
