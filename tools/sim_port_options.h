#pragma once

#include "core/app_paths.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace varek::sim {

// The options with which every simulator places its pseudo-terminal: --com n
// (required, 1-255) and --ports DIR.
struct PortOptions {
    const QCommandLineOption com{QStringLiteral("com"), QStringLiteral("Port number n of COMn (1-255)."),
                                 QStringLiteral("n")};
    const QCommandLineOption ports{QStringLiteral("ports"),
                                   QStringLiteral("The program's ports/ directory (default: the one varek "
                                                  "uses; see man varek)."),
                                   QStringLiteral("dir")};

    // The n of --com; 0 when it is missing or out of range, after saying so on
    // standard error under the application's name.
    int comNumber(const QCommandLineParser& parser) const {
        bool ok = false;
        const int n = parser.value(com).toInt(&ok);
        if (!ok || n < 1 || n > 255) {
            std::fprintf(stderr, "%s: --com n (1-255) is required\n",
                         qPrintable(QCoreApplication::applicationName()));
            return 0;
        }
        return n;
    }

    // The directory of --ports, or ports/ in the program's directory.
    QString portsDir(const QCommandLineParser& parser) const {
        return parser.isSet(ports) ? parser.value(ports) : varek::appDir() + QStringLiteral("ports");
    }
};

} // namespace varek::sim
