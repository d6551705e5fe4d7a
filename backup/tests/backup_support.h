#pragma once

// Helpers of the backup tests: a sample register in a portable layout,
// files read whole, standard tools run on archives.

#include "register/ui/tests/grid_sample_register.h"

#include "core/tests/run_program.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace varek::test {

inline QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(bytes);
}

// Every file of dir (hidden ones too, the lock file left out) with its bytes.
inline QMap<QString, QByteArray> dirSnapshot(const QString& dir) {
    QMap<QString, QByteArray> out;
    for (const QString& e : QDir(dir).entryList(QDir::Files | QDir::Hidden))
        if (e != QLatin1String(".varek.lock")) out.insert(e, fileBytes(QDir(dir).filePath(e)));
    return out;
}

// Runs a program (see runProgram).
using Ran = ProgramRun;
inline Ran run(const QString& program, const QStringList& args,
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    return runProgram(program, args, env);
}

// The member names tar lists.
inline QStringList tarList(const QString& archive) {
    return run(QStringLiteral("tar"), {QStringLiteral("-tzf"), archive}).out.split(u'\n', Qt::SkipEmptyParts);
}

// A portable installation: home/Data with the sample register, home/settings.ini.
struct SampleHome {
    QTemporaryDir tmp;
    QString home; // trailing '/'
    QString data; // home + "Data/"
    explicit SampleHome(bool withRegister = true) {
        home = tmp.path() + u'/';
        data = home + QStringLiteral("Data/");
        QDir().mkpath(data);
        if (withRegister) sample::makeRegister(data);
        writeBytes(home + QStringLiteral("settings.ini"), "[1]\ncom_zintor=3\ncom_token=4\n");
    }
};

} // namespace varek::test
