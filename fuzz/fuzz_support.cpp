#include "fuzz/fuzz_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace varek::fuzz {

const QString& scratchDir() {
    // In memory where the machine has it: the codecs sync every write to disk.
    static QTemporaryDir dir(QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                                 ? QStringLiteral("/dev/shm/varek-fuzz-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/varek-fuzz-XXXXXX"));
    static const QString path = dir.path();
    if (!dir.isValid()) fail("cannot make a temporary directory");
    return path;
}

QString writeScratchFile(const QString& name, const char* data, std::size_t size) {
    const QString path = scratchDir() + u'/' + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data, qint64(size)) != qint64(size))
        fail("cannot write a scratch file");
    f.close();
    return path;
}

void fail(const char* what) {
    std::fprintf(stderr, "expectation failed: %s\n", what);
    std::abort();
}

} // namespace varek::fuzz
