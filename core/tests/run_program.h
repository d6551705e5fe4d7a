#pragma once

// Test support: runs a program to its end, as scripts and the tests of the
// command-line tools do.

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace varek::test {

// Its exit code (-1 when it did not start, crashed or ran past the time),
// standard output and standard error as UTF-8.
struct ProgramRun {
    int exitCode = -1;
    QString out;
    QString err;
};

inline ProgramRun runProgram(const QString& program, const QStringList& args,
                             const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
                             int timeoutMs = 60000) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    ProgramRun r;
    if (!p.waitForFinished(timeoutMs)) return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

} // namespace varek::test
