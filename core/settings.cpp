#include "core/settings.h"

#include "core/convert.h"
#include "core/errors.h"
#include "core/port_numbers.h"

#include <QFile>
#include <QFileInfo>
#include <QVector>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varek {

namespace {

// One line of the file: its text and the line ending that followed it
// ("\r\n", "\n", or nothing for a last line without one).
struct Line {
    QByteArray text;
    QByteArray eol;
};

QVector<Line> splitLines(const QByteArray& content) {
    QVector<Line> lines;
    qsizetype start = 0;
    while (start < content.size()) {
        const qsizetype nl = content.indexOf('\n', start);
        if (nl < 0) {
            lines.append({content.mid(start), QByteArray()});
            break;
        }
        qsizetype end = nl;
        if (end > start && content.at(end - 1) == '\r') --end;
        lines.append({content.mid(start, end - start), content.mid(end, nl + 1 - end)});
        start = nl + 1;
    }
    return lines;
}

QByteArray joinLines(const QVector<Line>& lines) {
    QByteArray out;
    for (const Line& l : lines)
        out += l.text + l.eol;
    return out;
}

bool isComment(const QByteArray& trimmed) {
    return trimmed.startsWith(';') || trimmed.startsWith('#');
}

// The section name of a header line, or nothing.
std::optional<QByteArray> sectionOf(const QByteArray& text) {
    const QByteArray t = text.trimmed();
    if (!t.startsWith('[')) return std::nullopt;
    const qsizetype close = t.indexOf(']');
    if (close < 0) return std::nullopt;
    return t.mid(1, close - 1).trimmed();
}

// The key name of a key line, or nothing.
std::optional<QByteArray> keyOf(const QByteArray& text) {
    const QByteArray t = text.trimmed();
    if (t.isEmpty() || isComment(t) || t.startsWith('[')) return std::nullopt;
    const qsizetype eq = t.indexOf('=');
    if (eq < 0) return std::nullopt;
    return t.left(eq).trimmed();
}

bool sameName(const QByteArray& a, const QString& b) {
    return QString::fromUtf8(a).compare(b, Qt::CaseInsensitive) == 0;
}

struct Found {
    int header = -1;  // line of the section header
    int lastKey = -1; // last non-blank, non-header line of the section, or the header
    int key = -1;     // line of the key
};

Found find(const QVector<Line>& lines, const QString& section, const QString& key) {
    Found f;
    for (int i = 0; i < lines.size(); ++i) {
        if (const auto s = sectionOf(lines[i].text)) {
            if (f.header >= 0) break; // the first section of that name is the one used
            if (sameName(*s, section)) {
                f.header = i;
                f.lastKey = i;
            }
            continue;
        }
        if (f.header < 0) continue;
        if (!lines[i].text.trimmed().isEmpty()) f.lastKey = i;
        if (f.key < 0) {
            if (const auto k = keyOf(lines[i].text); k && sameName(*k, key)) f.key = i;
        }
    }
    return f;
}

QByteArray unquoted(QByteArray v) {
    v = v.trimmed();
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.mid(1, v.size() - 2);
    return v;
}

QByteArray readFile(const QString& path, bool* exists) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (exists) *exists = false;
        return {};
    }
    if (exists) *exists = true;
    return f.readAll();
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
    const QVector<Line> lines = splitLines(readFile(m_path, nullptr));
    const Found f = find(lines, section, key);
    if (f.key < 0) return std::nullopt;
    const QByteArray& text = lines[f.key].text;
    return QString::fromUtf8(unquoted(text.mid(text.indexOf('=') + 1)));
}

qint32 Settings::readInteger(const QString& section, const QString& key, qint32 defaultValue) const {
    const auto text = readString(section, key);
    if (!text) return defaultValue;
    return tryStrToInt(*text).value_or(defaultValue);
}

QByteArray Settings::withKeys(const QByteArray& content, const QString& section,
                              const QList<QPair<QString, QString>>& keys) {
    QVector<Line> lines = splitLines(content);
    QByteArray eol("\n");
    for (const Line& l : lines) {
        if (!l.eol.isEmpty()) {
            eol = l.eol;
            break;
        }
    }
    for (const auto& [key, value] : keys) {
        const Found f = find(lines, section, key);
        if (f.key >= 0) {
            QByteArray& text = lines[f.key].text;
            text = text.left(text.indexOf('=') + 1) + value.toUtf8();
            continue;
        }
        const Line keyLine{key.toUtf8() + '=' + value.toUtf8(), eol};
        if (f.header >= 0) {
            if (lines[f.lastKey].eol.isEmpty()) lines[f.lastKey].eol = eol;
            lines.insert(f.lastKey + 1, keyLine);
            continue;
        }
        if (!lines.isEmpty()) {
            if (lines.back().eol.isEmpty()) lines.back().eol = eol;
            if (!lines.back().text.trimmed().isEmpty()) lines.append({QByteArray(), eol});
        }
        lines.append({'[' + section.toUtf8() + ']', eol});
        lines.append(keyLine);
    }
    return joinLines(lines);
}

void Settings::writeStrings(const QString& section, const QList<QPair<QString, QString>>& keys) {
    QString target = m_path;
    const QFileInfo info(m_path);
    if (info.isSymLink()) target = info.symLinkTarget();
    bool exists = false;
    const QByteArray old = readFile(target, &exists);
    if (!exists && QFileInfo::exists(target))
        throw EFileError(QStringLiteral("Unable to write to %1").arg(m_path)); // present but unreadable
    if (!replaceAtomically(target, withKeys(old, section, keys)))
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

} // namespace varek
