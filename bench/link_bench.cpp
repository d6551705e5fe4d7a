// Measures a store of a full memory image (256 dump lines, then "s") to the
// simulated programming device over a pseudo-terminal, with the protocol's
// real timing, and prints how far its duration exceeds the protocol's own
// waits: 256 x 100 ms of listening after the dump lines plus 10 s after "s".
//
//   link_bench [--lines N] [--runs R]

#include "link/programmer.h"
#include "tools/zintor_device.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace varek;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int lineCount = 256;
    int runs = 1;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--lines"))
            lineCount = qBound(1, args[i + 1].toInt(), 256);
        else if (args[i] == QLatin1String("--runs"))
            runs = qMax(1, args[i + 1].toInt());
    }

    QTemporaryDir home;
    qputenv("VAREK_HOME", home.path().toLocal8Bit());
    sim::PtyPair pty;
    pty.linkAs(home.filePath(QStringLiteral("ports")), 3);
    sim::ZintorDevice device(pty);
    device.start();

    QStringList image;
    for (int a = 0; a < lineCount * 32; a += 32) {
        QByteArray bytes(32, 0);
        for (char& b : bytes)
            b = char(QRandomGenerator::global()->bounded(256));
        image << sim::ZintorDevice::dumpLine(a, bytes);
    }

    const ProgrammerTiming timing; // the protocol's figures
    const double protocolMs = double(lineCount) * timing.dumpPhase + timing.finalPhase;
    std::printf("store of %d dump lines over a pseudo-terminal, protocol waits %.0f ms\n", lineCount,
                protocolMs);

    // The event loop's own responsiveness while the exchange runs: the longest
    // gap between two ticks of a 20 ms timer.
    for (int run = 1; run <= runs; ++run) {
        ProgrammerExchange exchange;
        bool done = false, ok = false;
        int logLines = 0;
        QString message;
        QObject::connect(&exchange, &ProgrammerExchange::logLine, [&](const QString&) { ++logLines; });
        QObject::connect(&exchange, &ProgrammerExchange::finished, [&](bool k, const QString& m) {
            done = true;
            ok = k;
            message = m;
        });
        QElapsedTimer sinceTick;
        qint64 longestGap = 0;
        QTimer ticker;
        ticker.setInterval(20);
        QObject::connect(&ticker, &QTimer::timeout,
                         [&] { longestGap = qMax(longestGap, sinceTick.restart()); });
        QElapsedTimer total;
        total.start();
        sinceTick.start();
        ticker.start();
        exchange.start(ProgrammerExchange::Command::Store, image, QStringLiteral(R"(\\.\COM3)"));
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const double ms = double(total.nsecsElapsed()) / 1e6;
        ticker.stop();
        if (!ok) {
            std::printf("run %d failed: %s\n", run, qPrintable(message));
            return 1;
        }
        const double excess = ms - protocolMs;
        std::printf(
            "run %d: %.1f ms, exceeds the protocol's waits by %.1f ms (%.2f %%), %.2f ms per dump line; "
            "%d reply lines; longest event-loop gap %lld ms\n",
            run, ms, excess, 100.0 * excess / protocolMs, excess / lineCount, logLines, longestGap);
    }
    device.stop();
    return 0;
}
