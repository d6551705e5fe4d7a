// varek-orvan-sim: the Orvan card reader on a pseudo-terminal, linked into a
// ports/ directory as COMn. Each card is sent as STX, its ten hexadecimal
// digits, CR LF.
//
//   varek-orvan-sim --com 4 [--ports DIR] [--pieces K] [--pause MS] [--delay MS]
//                   [--once] [CARD...]
//
// Cards on the command line are sent first (after --delay); then every line
// typed on standard input is sent as a card, until end of input. With --once
// the program ends after the command-line cards.

#include "tools/sim_port_options.h"
#include "tools/zintor_device.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

using namespace varek::sim;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("varek-orvan-sim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulated Orvan card reader on a pseudo-terminal."));
    parser.addHelpOption();
    const PortOptions port;
    const QCommandLineOption pieces(QStringLiteral("pieces"), QStringLiteral("Send each card in K parts."),
                                    QStringLiteral("k"), QStringLiteral("1"));
    const QCommandLineOption pause(QStringLiteral("pause"), QStringLiteral("Pause between parts."),
                                   QStringLiteral("ms"), QStringLiteral("30"));
    const QCommandLineOption delay(QStringLiteral("delay"),
                                   QStringLiteral("Wait before the command-line cards and between them."),
                                   QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption once(QStringLiteral("once"),
                                  QStringLiteral("End after the command-line cards."));
    parser.addOptions({port.com, port.ports, pieces, pause, delay, once});
    parser.addPositionalArgument(QStringLiteral("card"), QStringLiteral("Ten hexadecimal digits."));
    parser.process(app);

    const int n = port.comNumber(parser);
    if (n == 0) return 2;
    const QString portsDir = port.portsDir(parser);
    const int k = parser.value(pieces).toInt();
    const int pauseMs = parser.value(pause).toInt();
    const int delayMs = parser.value(delay).toInt();
    static const QRegularExpression card(QStringLiteral("^[0-9A-Fa-f]{10}$"));

    try {
        PtyPair pty;
        const QString link = pty.linkAs(portsDir, n);
        OrvanReader reader(pty);
        std::printf("Orvan simulator on COM%d: %s -> %s\n", n, qPrintable(link), qPrintable(pty.slavePath()));
        std::fflush(stdout);
        auto send = [&](const QString& text) {
            const QString digits = text.trimmed().toUpper();
            if (!card.match(digits).hasMatch()) {
                std::fprintf(stderr, "not ten hexadecimal digits: %s\n", qPrintable(text));
                return;
            }
            reader.sendCard(digits.toLatin1(), k, pauseMs);
            std::printf("sent %s\n", qPrintable(digits));
            std::fflush(stdout);
        };
        for (const QString& arg : parser.positionalArguments()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            send(arg);
        }
        if (!parser.isSet(once)) {
            std::string line;
            while (std::getline(std::cin, line))
                if (!QString::fromStdString(line).trimmed().isEmpty()) send(QString::fromStdString(line));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "varek-orvan-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
