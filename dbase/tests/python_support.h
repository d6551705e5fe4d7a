#pragma once

// Running Debian's python3 (with its python3-dbf and python3-dbfread) from
// tests, as an independent writer and reader of dBASE files.

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <gtest/gtest.h>

namespace varek::test {

// Debian's own interpreter: one found first on the PATH may not see Debian's modules.
inline const char* const kPython = "/usr/bin/python3";

inline bool hasModule(const char* module) {
    QProcess p;
    p.start(kPython, {"-c", QStringLiteral("import %1").arg(QLatin1String(module))});
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Runs script with args; a failure of the script fails the test. Its standard output, as UTF-8.
inline QByteArray runPython(const QString& script, const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PYTHONIOENCODING", "utf-8");
    p.setProcessEnvironment(env);
    p.start(kPython, QStringList{"-c", script} + args);
    EXPECT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    return p.readAllStandardOutput();
}

} // namespace varek::test
