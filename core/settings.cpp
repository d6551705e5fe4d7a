#include "core/settings.h"

#include "core/convert.h"
#include "core/errors.h"
#include "core/port_numbers.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varek {

namespace {

// One line of the file, as offsets into the content: its text runs from
// start to textEnd, its line ending ("\r\n", "\n", or nothing for a last line
// without one) from textEnd to end. Lines are never copied, so a file costs
// its own size in memory and nothing per line.
struct Line {
    qsizetype start = 0;
    qsizetype textEnd = 0;
    qsizetype end = 0;
    QByteArrayView text(QByteArrayView content) const { return content.sliced(start, textEnd - start); }
    bool hasEol() const { return end > textEnd; }
};

// Calls visit(line) for each line in order until it returns false.
template <class Visit> void forEachLine(QByteArrayView content, Visit visit) {
    qsizetype start = 0;
    while (start < content.size()) {
        const qsizetype nl = content.indexOf('\n', start);
        Line line;
        line.start = start;
        if (nl < 0) {
            line.textEnd = line.end = content.size();
        } else {
            line.textEnd = nl > start && content.at(nl - 1) == '\r' ? nl - 1 : nl;
            line.end = nl + 1;
        }
        if (!visit(line)) return;
        start = line.end;
    }
}

bool isComment(QByteArrayView trimmed) {
    return trimmed.startsWith(';') || trimmed.startsWith('#');
}

// The section name of a header line, or nothing.
std::optional<QByteArrayView> sectionOf(QByteArrayView text) {
    const QByteArrayView t = text.trimmed();
    if (!t.startsWith('[')) return std::nullopt;
    const qsizetype close = t.indexOf(']');
    if (close < 0) return std::nullopt;
    return t.sliced(1, close - 1).trimmed();
}

// The key name of a key line, or nothing.
std::optional<QByteArrayView> keyOf(QByteArrayView text) {
    const QByteArrayView t = text.trimmed();
    if (t.isEmpty() || isComment(t) || t.startsWith('[')) return std::nullopt;
    const qsizetype eq = t.indexOf('=');
    if (eq < 0) return std::nullopt;
    return t.first(eq).trimmed();
}

bool sameName(QByteArrayView a, const QString& b) {
    return QString::fromUtf8(a).compare(b, Qt::CaseInsensitive) == 0;
}

struct Found {
    std::optional<Line> header;  // the section header
    std::optional<Line> lastKey; // last non-blank, non-header line of the section, or the header
    std::optional<Line> key;     // the key's line
};

Found find(QByteArrayView content, const QString& section, const QString& key) {
    Found f;
    forEachLine(content, [&](const Line& line) {
        const QByteArrayView text = line.text(content);
        if (const auto s = sectionOf(text)) {
            if (f.header) return false; // the first section of that name is the one used
            if (sameName(*s, section)) {
                f.header = line;
                f.lastKey = line;
            }
            return true;
        }
        if (!f.header) return true;
        if (!text.trimmed().isEmpty()) f.lastKey = line;
        if (!f.key) {
            if (const auto k = keyOf(text); k && sameName(*k, key)) f.key = line;
        }
        return true;
    });
    return f;
}

QByteArrayView unquoted(QByteArrayView v) {
    v = v.trimmed();
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.sliced(1, v.size() - 2);
    return v;
}

// What reading the file found.
struct FileContent {
    bool unreadable = false; // there, but it could not be opened
    bool tooLarge = false;   // a regular file over the limit: not read
    QByteArray bytes;
};

// Reads a regular file of at most maxSettingsFileBytes. A larger file is not
// read at all; anything that is not a regular file (a FIFO would wait for a
// writer) reads as empty. The opening never waits.
FileContent readFile(const QString& path) {
    FileContent out;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        out.unreadable = errno != ENOENT && errno != ENOTDIR;
        return out;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return out;
    }
    if (st.st_size > maxSettingsFileBytes) {
        ::close(fd);
        out.tooLarge = true;
        return out;
    }
    // One byte more than the limit tells a file that grew meanwhile.
    out.bytes.resize(maxSettingsFileBytes + 1);
    qsizetype got = 0;
    while (got < out.bytes.size()) {
        const ssize_t n = ::read(fd, out.bytes.data() + got, size_t(out.bytes.size() - got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += n;
    }
    ::close(fd);
    if (got > maxSettingsFileBytes) {
        out.tooLarge = true;
        got = 0;
    }
    out.bytes.truncate(got);
    out.bytes.squeeze();
    return out;
}

bool writeAll(int fd, const QByteArray& data) {
    const char* p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// Replaces target with content: temporary file beside it, fsync, rename, fsync
// of the directory. False when any step fails (the temporary file is removed).
bool replaceAtomically(const QString& target, const QByteArray& content) {
    const QFileInfo info(target);
    const QByteArray dir = QFile::encodeName(info.absolutePath());
    const QByteArray targetName = QFile::encodeName(info.absoluteFilePath());

    struct stat st {};
    const bool existed = ::stat(targetName.constData(), &st) == 0;
    if (existed && (!S_ISREG(st.st_mode) || ::access(targetName.constData(), W_OK) != 0)) return false;

    QByteArray tmpl = dir + "/." + QFile::encodeName(info.fileName()) + ".XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return false;
    mode_t mode = 0;
    if (existed) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, content) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::rename(tmpl.constData(), targetName.constData()) == 0;
    if (!ok) {
        ::unlink(tmpl.constData());
        return false;
    }
    const int dfd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

} // namespace

Settings::Settings(QString path) : m_path(std::move(path)) {}

std::optional<QString> Settings::readString(const QString& section, const QString& key) const {
    const FileContent file = readFile(m_path);
    const Found f = find(file.bytes, section, key);
    if (!f.key) return std::nullopt;
    const QByteArrayView text = f.key->text(file.bytes);
    return QString::fromUtf8(unquoted(text.sliced(text.indexOf('=') + 1)));
}

qint32 Settings::readInteger(const QString& section, const QString& key, qint32 defaultValue) const {
    const auto text = readString(section, key);
    if (!text) return defaultValue;
    return tryStrToInt(*text).value_or(defaultValue);
}

bool Settings::tooLarge() const {
    struct stat st {};
    return ::stat(QFile::encodeName(m_path).constData(), &st) == 0 && S_ISREG(st.st_mode) &&
           st.st_size > maxSettingsFileBytes;
}

QByteArray Settings::withKeys(const QByteArray& content, const QString& section,
                              const QList<QPair<QString, QString>>& keys) {
    QByteArray out = content;
    QByteArray eol("\n");
    forEachLine(out, [&](const Line& line) {
        if (!line.hasEol()) return true;
        eol = out.sliced(line.textEnd, line.end - line.textEnd);
        return false;
    });
    for (const auto& [key, value] : keys) {
        const Found f = find(out, section, key);
        const QByteArray keyLine = key.toUtf8() + '=' + value.toUtf8() + eol;
        if (f.key) {
            const qsizetype valueStart = f.key->start + f.key->text(out).indexOf('=') + 1;
            out.replace(valueStart, f.key->textEnd - valueStart, value.toUtf8());
            continue;
        }
        if (f.header) {
            const Line& last = *f.lastKey;
            if (last.hasEol())
                out.insert(last.end, keyLine);
            else
                out.insert(last.end, eol + keyLine);
            continue;
        }
        std::optional<Line> lastLine;
        forEachLine(out, [&](const Line& line) {
            lastLine = line;
            return true;
        });
        if (lastLine) {
            if (!lastLine->hasEol()) out += eol;
            if (!lastLine->text(out).trimmed().isEmpty()) out += eol;
        }
        out += '[' + section.toUtf8() + ']' + eol + keyLine;
    }
    return out;
}

void Settings::writeStrings(const QString& section, const QList<QPair<QString, QString>>& keys) {
    QString target = m_path;
    const QFileInfo info(m_path);
    if (info.isSymLink()) target = info.symLinkTarget();
    const FileContent old = readFile(target);
    // A file too large to be a settings file is not ours to rewrite; one that
    // is there but cannot be read would lose its other lines. Anything but a
    // regular file is refused by the replacement.
    if (old.tooLarge || old.unreadable) throw EFileError(QStringLiteral("Unable to write to %1").arg(m_path));
    if (!replaceAtomically(target, withKeys(old.bytes, section, keys)))
        throw EFileError(QStringLiteral("Unable to write to %1").arg(m_path));
}

void Settings::writeString(const QString& section, const QString& key, const QString& value) {
    writeStrings(section, {{key, value}});
}

void Settings::writeInteger(const QString& section, const QString& key, qint32 value) {
    writeString(section, key, QString::number(value));
}

void readPortNumbers(const Settings& settings) {
    const QString section = QString::fromLatin1(portSection);
    ComZintor = quint8(settings.readInteger(section, QString::fromLatin1(comZintorKey), 0));
    ComToken = quint8(settings.readInteger(section, QString::fromLatin1(comTokenKey), 0));
}

void writePortNumbers(Settings& settings) {
    settings.writeStrings(QString::fromLatin1(portSection),
                          {{QString::fromLatin1(comZintorKey), QString::number(ComZintor)},
                           {QString::fromLatin1(comTokenKey), QString::number(ComToken)}});
}

bool connectionHasPassword(const QString& connection) {
    const QString c = connection.trimmed();
    if (c.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive) ||
        c.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive)) {
        // The authority's user:password@, or password= among the parameters.
        const qsizetype start = c.indexOf(QLatin1String("://")) + 3;
        qsizetype end = c.indexOf(QLatin1Char('/'), start);
        const qsizetype query = c.indexOf(QLatin1Char('?'), start);
        if (end < 0 || (query >= 0 && query < end)) end = query;
        const QString authority = c.mid(start, end < 0 ? -1 : end - start);
        const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
        if (at >= 0 && authority.left(at).contains(QLatin1Char(':'))) return true;
        if (query >= 0) {
            for (const QString& p : c.mid(query + 1).split(QLatin1Char('&')))
                if (p.section(QLatin1Char('='), 0, 0)
                        .trimmed()
                        .compare(QLatin1String("password"), Qt::CaseInsensitive) == 0)
                    return true;
        }
        return false;
    }
    static const QRegularExpression keyword(QStringLiteral("(^|\\s)password\\s*="),
                                            QRegularExpression::CaseInsensitiveOption);
    return keyword.match(c).hasMatch();
}

RegisterBackend readRegisterBackend(const Settings& settings) {
    const QString section = QString::fromLatin1(registerSection);
    RegisterBackend b;
    const QString kind =
        settings.readString(section, QString::fromLatin1(backendKey)).value_or(QString()).trimmed();
    if (kind.isEmpty() || kind.compare(QLatin1String("dbase"), Qt::CaseInsensitive) == 0) return b;
    if (kind.compare(QLatin1String("postgresql"), Qt::CaseInsensitive) != 0)
        throw EConvertError(
            QStringLiteral("В файле настроек %1, раздел [Register]: Backend=%2 — такого хранилища "
                           "реестра нет. Напишите Backend=dbase (каталог Data) или "
                           "Backend=postgresql.")
                .arg(settings.path(), kind));
    b.kind = RegisterBackend::Kind::Database;
    b.connection =
        settings.readString(section, QString::fromLatin1(connectionKey)).value_or(QString()).trimmed();
    if (b.connection.isEmpty())
        throw EConvertError(
            QStringLiteral("В файле настроек %1, раздел [Register]: для Backend=postgresql нужна "
                           "строка Connection=, например Connection=postgresql://сервер/varek "
                           "или Connection=service=varek.")
                .arg(settings.path()));
    if (connectionHasPassword(b.connection))
        throw EConvertError(
            QStringLiteral("В файле настроек %1, раздел [Register]: строка Connection содержит "
                           "пароль. Пароль в файле настроек не хранится: уберите его оттуда и "
                           "запишите в ~/.pgpass или в файл служб PostgreSQL (pg_service.conf).")
                .arg(settings.path()));
    return b;
}

} // namespace varek
