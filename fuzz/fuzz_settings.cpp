// The settings reader and writer over arbitrary files. The input gives a
// section, a key and a value, then the file's content. Every read must cope;
// a key written must read back, and writing it again must change nothing.
#include "core/errors.h"
#include "core/settings.h"
#include "fuzz/fuzz_support.h"

#include <QFile>

#include <fuzzer/FuzzedDataProvider.h>

using namespace varek;

namespace {

// Names and values that the file form can carry as they are: no line ends,
// brackets, '=', comment marks, quotes or blanks at the ends.
bool plain(const QString& s, bool isValue) {
    if (s.isEmpty() && !isValue) return false;
    for (const QChar c : s) {
        const bool ok = c.isLetterOrNumber() || c == u'_' || c == u'.' || c == u'-' ||
                        (isValue && (c == u':' || c == u'/' || c == u','));
        if (!ok) return false;
    }
    return true;
}

QString text(FuzzedDataProvider& in) {
    return QString::fromUtf8(QByteArray::fromStdString(in.ConsumeRandomLengthString(12)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const QString section = text(in);
    const QString key = text(in);
    const QString value = text(in);
    const std::vector<char> rest = in.ConsumeRemainingBytes<char>();
    const QByteArray content(rest.data(), qsizetype(rest.size()));

    const QString path = fuzz::writeScratchFile(QStringLiteral("settings.ini"), content);
    Settings settings(path);
    try {
        (void)settings.readString(section, key);
        (void)settings.readInteger(section, key, 7);
        readPortNumbers(settings);
    } catch (const VarekError&) {
    }

    const QByteArray once = Settings::withKeys(content, section, {{key, value}});
    if (!plain(section, false) || !plain(key, false) || !plain(value, true)) return 0;

    try {
        settings.writeString(section, key, value);
    } catch (const VarekError&) {
        return 0; // e.g. a file over the size the reader accepts
    }
    QFile f(path);
    fuzz::expect(f.open(QIODevice::ReadOnly), "the written file opens");
    fuzz::expect(f.readAll() == once, "the file holds what withKeys gives");
    std::optional<QString> back;
    try {
        back = settings.readString(section, key);
    } catch (const VarekError&) {
        return 0;
    }
    fuzz::expect(back && *back == value, "a key written reads back");
    fuzz::expect(Settings::withKeys(once, section, {{key, value}}) == once,
                 "writing a key twice changes nothing");
    return 0;
}
