// varek-zintor-sim: the Zintor programming device on a pseudo-terminal, linked
// into a ports/ directory as COMn so the program can use it without hardware.
//
//   varek-zintor-sim --com 3 [--ports DIR] [--silent] [--slow MS] [--stall MS]
//                    [--garbage] [--memory-out FILE] [--memory-in FILE]
//
// Runs until interrupted (Ctrl+C). SIGUSR1 writes the memory to --memory-out now.

#include "tools/sim_port_options.h"
#include "tools/zintor_device.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <pthread.h>

using namespace varek::sim;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("varek-zintor-sim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated Zintor programming device on a pseudo-terminal."));
    parser.addHelpOption();
    const PortOptions port;
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Never answer."));
    const QCommandLineOption slow(QStringLiteral("slow"), QStringLiteral("Pause before each reply line."),
                                  QStringLiteral("ms"));
    const QCommandLineOption stall(QStringLiteral("stall"),
                                   QStringLiteral("Pause in the middle of each reply line."),
                                   QStringLiteral("ms"));
    const QCommandLineOption garbage(QStringLiteral("garbage"), QStringLiteral("Answer random bytes."));
    const QCommandLineOption memoryOut(QStringLiteral("memory-out"),
                                       QStringLiteral("Write the memory here after each \"s\" and \"w\"."),
                                       QStringLiteral("file"));
    const QCommandLineOption memoryIn(QStringLiteral("memory-in"),
                                      QStringLiteral("Start with this memory (a dump file)."),
                                      QStringLiteral("file"));
    parser.addOptions({port.com, port.ports, silent, slow, stall, garbage, memoryOut, memoryIn});
    parser.process(app);

    const int n = port.comNumber(parser);
    if (n == 0) return 2;
    const QString portsDir = port.portsDir(parser);

    ZintorOptions options;
    options.silent = parser.isSet(silent);
    options.slowMs = parser.value(slow).toInt();
    options.stallMs = parser.value(stall).toInt();
    options.garbage = parser.isSet(garbage);
    options.memoryOut = parser.value(memoryOut);

    // Signals are taken by sigwait below, not by the device thread.
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        sigaddset(&handled, s);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);

    try {
        PtyPair pty;
        const QString link = pty.linkAs(portsDir, n);
        ZintorDevice device(pty, options);
        if (parser.isSet(memoryIn)) {
            QFile in(parser.value(memoryIn));
            if (!in.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "varek-zintor-sim: cannot read %s\n", qPrintable(in.fileName()));
                return 1;
            }
            QByteArray mem(ZintorDevice::MemorySize, char(0xFF));
            for (const QByteArray& raw : in.readAll().split('\n')) {
                const QByteArray line = raw.trimmed();
                if (line.size() == 71 && line.mid(5, 2) == ": ") {
                    const int a = line.left(5).toInt(nullptr, 16);
                    if (a % 32 == 0 && a < ZintorDevice::MemorySize)
                        mem.replace(a, 32, QByteArray::fromHex(line.mid(7)));
                }
            }
            device.setMemory(mem);
        }
        device.start();
        std::printf("Zintor simulator on COM%d: %s -> %s\n", n, qPrintable(link),
                    qPrintable(pty.slavePath()));
        std::fflush(stdout);
        for (;;) {
            int sig = 0;
            sigwait(&handled, &sig);
            if (sig == SIGUSR1) {
                if (!options.memoryOut.isEmpty()) device.writeMemoryFile(options.memoryOut);
                continue;
            }
            break;
        }
        device.stop();
        std::printf("Zintor simulator stopped after %d store/write command(s).\n", device.storeCount());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "varek-zintor-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
