#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace varek::fuzz {

// A directory of its own for this fuzzing process, removed at exit.
const QString& scratchDir();

// Writes bytes to a file of that directory, replacing it; returns its path.
QString writeScratchFile(const QString& name, const char* data, std::size_t size);
inline QString writeScratchFile(const QString& name, const QByteArray& bytes) {
    return writeScratchFile(name, bytes.constData(), std::size_t(bytes.size()));
}

// Stops the run with a message when an expectation about the code fails;
// libFuzzer reports it as a crash and keeps the input.
[[noreturn]] void fail(const char* what);
inline void expect(bool ok, const char* what) {
    if (!ok) fail(what);
}

} // namespace varek::fuzz
