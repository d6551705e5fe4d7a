#include "backup/register_backup.h"
#include "backup/libarchive_api.h"

#include "core/errors.h"
#include "core/settings.h"
#include "dbase/dbf.h"
#include "dbase/write_batch.h"
#include "register/dir_lock.h"
#include "register/register_schema.h"
#include "register/varek_register.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace varek {

namespace {

constexpr const char* kNoteName = "varek-backup.txt";
constexpr const char* kSettingsName = "settings.ini";
constexpr const char* kDataPrefix = "Data/";
constexpr qint64 kChunk = 64 * 1024;
// A dBASE file never passes 2 GiB; a member larger than that is not one of ours.
constexpr qint64 kMaxTableBytes = qint64(2) * 1024 * 1024 * 1024;
constexpr qint64 kMaxNoteBytes = 4096;

QString sysError(int e) {
    return QString::fromLocal8Bit(std::strerror(e));
}

QString withSlash(const QString& dir) {
    return dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
}

// The entry of dir named name under any case, the exact name first; empty when none.
QString findAnyCase(const QString& dir, const QString& name) {
    if (QFileInfo(dir + name).isFile()) return dir + name;
    const QStringList entries = QDir(dir).entryList(QDir::Files | QDir::Hidden);
    for (const QString& e : entries)
        if (e.compare(name, Qt::CaseInsensitive) == 0) return dir + e;
    return QString();
}

QString memoNameOf(const QString& tableName) {
    return QFileInfo(tableName).completeBaseName() + QStringLiteral(".dbt");
}

// Every name a backup may hold in Data/, in canonical (lower) case.
QStringList registerFileNames() {
    QStringList names;
    for (const TableSchema& t : registerTables())
        names << t.fileName << memoNameOf(t.fileName);
    return names;
}

void syncPath(const QString& path, bool directory) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return;
    const int rc = ::fsync(fd);
    const int e = errno;
    ::close(fd);
    if (rc != 0 && !(directory && e == EINVAL))
        throw EFileError(QStringLiteral("Не удалось записать на диск %1: %2.").arg(path, sysError(e)));
}

struct ArchiveWriteFree {
    void operator()(archive* a) const { libarchive().archive_write_free(a); }
};
struct ArchiveReadFree {
    void operator()(archive* a) const { libarchive().archive_read_free(a); }
};
struct EntryFree {
    void operator()(archive_entry* e) const { libarchive().archive_entry_free(e); }
};

QString archiveError(archive* a) {
    const char* s = libarchive().archive_error_string(a);
    return s ? QString::fromLocal8Bit(s) : QStringLiteral("неизвестная ошибка");
}

// Reports percent of a known total as work goes, each change once.
class Percent {
public:
    Percent(const BackupProgress& progress, qint64 total, int from = 0, int to = 100)
        : m_progress(progress), m_total(std::max<qint64>(total, 1)), m_from(from), m_to(to) {}
    void at(qint64 done) {
        if (!m_progress) return;
        const int p = m_from + int((m_to - m_from) * std::min(done, m_total) / m_total);
        if (p != m_last) {
            m_last = p;
            m_progress(p);
        }
    }

private:
    const BackupProgress& m_progress;
    qint64 m_total;
    int m_from, m_to;
    int m_last = m_from;
};

class ArchiveWriter {
public:
    ArchiveWriter(int fd, QString target, Percent& percent)
        : m_a(libarchive().archive_write_new()), m_target(std::move(target)), m_percent(percent) {
        if (!m_a || libarchive().archive_write_add_filter_gzip(m_a.get()) != ARCHIVE_OK ||
            libarchive().archive_write_set_format_pax_restricted(m_a.get()) != ARCHIVE_OK ||
            libarchive().archive_write_open_fd(m_a.get(), fd) != ARCHIVE_OK)
            fail();
    }

    void addBytes(const QString& name, const QByteArray& bytes, const QDateTime& mtime) {
        header(name, bytes.size(), mtime);
        if (!bytes.isEmpty() &&
            libarchive().archive_write_data(m_a.get(), bytes.constData(), size_t(bytes.size())) < 0)
            fail();
    }

    void addFile(const QString& name, const QString& path) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            throw EFileError(QStringLiteral("Не удалось прочитать файл %1: %2.").arg(path, f.errorString()));
        const qint64 size = f.size();
        header(name, size, QFileInfo(path).lastModified());
        QByteArray buf(kChunk, Qt::Uninitialized);
        qint64 done = 0;
        while (done < size) {
            const qint64 n = f.read(buf.data(), std::min(kChunk, size - done));
            if (n <= 0)
                throw EFileError(
                    QStringLiteral("Не удалось прочитать файл %1: %2.").arg(path, f.errorString()));
            if (libarchive().archive_write_data(m_a.get(), buf.constData(), size_t(n)) < 0) fail();
            done += n;
            m_written += n;
            m_percent.at(m_written);
        }
    }

    void close() {
        if (libarchive().archive_write_close(m_a.get()) != ARCHIVE_OK) fail();
    }

private:
    void header(const QString& name, qint64 size, const QDateTime& mtime) {
        std::unique_ptr<archive_entry, EntryFree> e(libarchive().archive_entry_new());
        const QByteArray utf8 = name.toUtf8();
        libarchive().archive_entry_set_pathname_utf8(e.get(), utf8.constData());
        libarchive().archive_entry_set_filetype(e.get(), AE_IFREG);
        libarchive().archive_entry_set_perm(e.get(), 0644);
        libarchive().archive_entry_set_size(e.get(), size);
        libarchive().archive_entry_set_mtime(e.get(), mtime.toSecsSinceEpoch(), 0);
        if (libarchive().archive_write_header(m_a.get(), e.get()) != ARCHIVE_OK) fail();
    }

    [[noreturn]] void fail() {
        throw EFileError(QStringLiteral("Не удалось записать резервную копию %1: %2.")
                             .arg(m_target, m_a ? archiveError(m_a.get()) : QStringLiteral("нет памяти")));
    }

    std::unique_ptr<archive, ArchiveWriteFree> m_a;
    QString m_target;
    Percent& m_percent;
    qint64 m_written = 0;
};

// What a member of an archive is to a restore.
enum class Role { Skip, Table, Memo, Settings, Note };

struct MemberName {
    Role role = Role::Skip;
    QString canonical; // obj.dbf, obj.dbt, settings.ini
};

// "Data/obj.dbf", "./Data/OBJ.DBF", "obj.dbf" are tables; "settings.ini" and
// the note only at the top; anything else is skipped.
MemberName classify(QString name) {
    while (name.startsWith(QLatin1String("./")))
        name.remove(0, 2);
    const QStringList parts = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty() || parts.size() > 2) return {};
    if (parts.size() == 2 && parts[0].compare(QLatin1String("Data"), Qt::CaseInsensitive) != 0) return {};
    const QString base = parts.last();
    for (const TableSchema& t : registerTables()) {
        if (base.compare(t.fileName, Qt::CaseInsensitive) == 0) return {Role::Table, t.fileName};
        if (base.compare(memoNameOf(t.fileName), Qt::CaseInsensitive) == 0)
            return {Role::Memo, memoNameOf(t.fileName)};
    }
    if (parts.size() == 1 && base.compare(QLatin1String(kSettingsName), Qt::CaseInsensitive) == 0)
        return {Role::Settings, QString::fromLatin1(kSettingsName)};
    if (parts.size() == 1 && base == QLatin1String(kNoteName)) return {Role::Note, base};
    return {};
}

// The register's checks of one table laid out from an archive, in Russian;
// returns the number of its rows.
int checkTable(const QString& archive, const QString& dir, const TableSchema& schema, Percent& percent,
               qint64& recordsRead) {
    const QString path = dir + schema.fileName;
    std::unique_ptr<DbfFile> file;
    try {
        file = DbfFile::open(path, DbfFile::Memos::Required);
    } catch (const VarekError& e) {
        // A table that opens without its memo file lacks only that file.
        bool memoMissing = false;
        if (!QFileInfo::exists(dir + memoNameOf(schema.fileName))) {
            try {
                memoMissing = DbfFile::open(path, DbfFile::Memos::IfPresent) != nullptr;
            } catch (const VarekError&) {
            }
        }
        if (memoMissing)
            throw EDatabaseError(
                QStringLiteral("В копии %1 нет файла заметок %2 к таблице %3: копия неполная. "
                               "Выберите другую копию.")
                    .arg(archive, memoNameOf(schema.fileName), schema.fileName));
        throw EDatabaseError(QStringLiteral("В копии %1 таблица %2 повреждена и не открывается (%3). "
                                            "Выберите другую копию.")
                                 .arg(archive, schema.fileName, e.message()));
    }
    for (const RequiredField& r : schema.required) {
        if (file->fieldIndex(r.name) < 0)
            throw EDatabaseError(QStringLiteral("В копии %1 в таблице %2 нет поля %3, без которого реестр "
                                                "не работает. Это не копия реестра Varek.")
                                     .arg(archive, schema.fileName, r.name));
    }
    try {
        checkRequiredFields(*file, schema);
    } catch (const VarekError& e) {
        throw EDatabaseError(QStringLiteral("В копии %1 таблица %2 не подходит реестру: у поля не тот тип "
                                            "(%3). Выберите другую копию.")
                                 .arg(archive, schema.fileName, e.message()));
    }
    int rows = 0;
    try {
        file->readAll([&](quint32, QVector<QVariant>&&) {
            ++rows;
            if (++recordsRead % 4096 == 0) percent.at(recordsRead);
        });
    } catch (const VarekError& e) {
        throw EDatabaseError(QStringLiteral("В копии %1 таблица %2 повреждена: не читаются её записи (%3). "
                                            "Выберите другую копию.")
                                 .arg(archive, schema.fileName, e.message()));
    }
    return rows;
}

// A gzip stream or a tar header at the start: a damaged archive rather than another kind of file.
bool looksLikeArchive(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return false;
    const QByteArray head = f.read(512);
    return head.startsWith("\x1f\x8b") || head.mid(257, 5) == "ustar";
}

void moveFile(const QString& from, const QString& to) {
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
        const int e = errno;
        throw EFileError(
            QStringLiteral("Не удалось переместить файл %1 в %2: %3.").arg(from, to, sysError(e)));
    }
}

} // namespace

QString defaultBackupName(const QDateTime& when) {
    return QStringLiteral("varek-%1.tar.gz").arg(when.toString(QStringLiteral("yyyy-MM-dd-HHmm")));
}

QString replacedRegisterName(const QDateTime& when) {
    return QStringLiteral("varek-before-restore-%1.tar.gz")
        .arg(when.toString(QStringLiteral("yyyy-MM-dd-HHmmss")));
}

QString withArchiveSuffix(const QString& path) {
    const QString lower = path.toLower();
    if (lower.endsWith(QLatin1String(".tar.gz")) || lower.endsWith(QLatin1String(".tgz"))) return path;
    return path + QStringLiteral(".tar.gz");
}

RegisterFiles registerFilesIn(const QString& dataDir) {
    const QString dir = withSlash(dataDir);
    RegisterFiles files;
    for (const TableSchema& t : registerTables()) {
        const QString table = findAnyCase(dir, t.fileName);
        if (table.isEmpty()) {
            files.missingTables << t.fileName;
            continue;
        }
        files.tables << table;
        const QString memo = findAnyCase(dir, memoNameOf(QFileInfo(table).fileName()));
        if (!memo.isEmpty()) files.memos << memo;
    }
    return files;
}

QString portableSettingsPath(const QString& dataDir) {
    QString dir = QDir::cleanPath(QFileInfo(dataDir).absoluteFilePath());
    return QFileInfo(dir).absolutePath() + QLatin1Char('/') + QLatin1String(kSettingsName);
}

void writeBackup(const QString& dataDir, const QString& settingsPath, const QString& target,
                 bool requireAllTables, const QDateTime& taken, const BackupProgress& progress) {
    if (progress) progress(0);
    const QString dir = withSlash(dataDir);
    if (!QFileInfo(dir).isDir()) throw EFileError(QStringLiteral("Каталог с данными %1 не найден.").arg(dir));
    const RegisterFiles files = registerFilesIn(dir);
    if (requireAllTables && !files.missingTables.isEmpty())
        throw EDatabaseError(QStringLiteral("В каталоге с данными %1 нет таблиц %2; без них копия реестра "
                                            "неполна. Проверьте, тот ли это каталог.")
                                 .arg(dir, files.missingTables.join(QStringLiteral(", "))));
    const QFileInfo targetInfo(target);
    const QString targetDir = targetInfo.absolutePath();
    if (!QFileInfo(targetDir).isDir())
        throw EFileError(
            QStringLiteral("Папка %1 для резервной копии не найдена. Выберите другое место.").arg(targetDir));
    if (targetInfo.isDir())
        throw EFileError(QStringLiteral("%1 — это папка; укажите имя файла копии.").arg(target));

    QTemporaryFile tmp(targetDir + QStringLiteral("/.") + targetInfo.fileName() + QStringLiteral(".XXXXXX"));
    if (!tmp.open())
        throw EFileError(QStringLiteral("Не удалось создать файл в папке %1: %2. Выберите другое место для "
                                        "копии.")
                             .arg(targetDir, tmp.errorString()));
    {
        qint64 total = 0;
        for (const QString& f : files.tables + files.memos)
            total += QFileInfo(f).size();
        Percent percent(progress, total, 0, 99);
        ArchiveWriter w(tmp.handle(), target, percent);
        const QByteArray note = "created=" + taken.toUTC().toString(Qt::ISODate).toLatin1() + "\n";
        w.addBytes(QString::fromLatin1(kNoteName), note, taken);
        for (const QString& t : files.tables)
            w.addFile(QLatin1String(kDataPrefix) + registerTable(QFileInfo(t).fileName())->fileName, t);
        for (const QString& m : files.memos)
            w.addFile(QLatin1String(kDataPrefix) + QFileInfo(m).fileName().toLower(), m);
        const QFileInfo settings(settingsPath);
        if (!settingsPath.isEmpty() && settings.isFile() && settings.size() <= maxSettingsFileBytes)
            w.addFile(QString::fromLatin1(kSettingsName), settingsPath);
        w.close();
    }
    if (::fsync(tmp.handle()) != 0) {
        const int e = errno;
        throw EFileError(
            QStringLiteral("Не удалось записать резервную копию %1 на диск: %2.").arg(target, sysError(e)));
    }
    moveFile(tmp.fileName(), target);
    tmp.setAutoRemove(false);
    syncPath(targetDir, true);
    if (progress) progress(100);
}

BackupContents checkBackup(const QString& archivePath, const QString& stagingDir,
                           const BackupProgress& progress) {
    if (progress) progress(0);
    BackupContents contents;
    contents.stagingDir = withSlash(stagingDir);
    const QString& dir = contents.stagingDir;
    const QString name = QFileInfo(archivePath).fileName();
    if (!QFileInfo(archivePath).isFile())
        throw EFileError(QStringLiteral("Файл копии %1 не найден.").arg(archivePath));

    std::unique_ptr<archive, ArchiveReadFree> a(libarchive().archive_read_new());
    if (!a) throw EFileError(QStringLiteral("Не хватает памяти, чтобы прочитать копию %1.").arg(name));
    libarchive().archive_read_support_filter_gzip(a.get());
    libarchive().archive_read_support_filter_none(a.get());
    libarchive().archive_read_support_format_tar(a.get());
    const QByteArray native = QFile::encodeName(archivePath);
    // The first failure tells a file of another kind from a damaged archive.
    const auto unreadable = [&] {
        if (looksLikeArchive(archivePath))
            return EFileError(QStringLiteral("Копия %1 повреждена или обрезана: %2. Выберите другую копию.")
                                  .arg(name, archiveError(a.get())));
        return EFileError(QStringLiteral("Файл %1 не является резервной копией реестра (архивом tar.gz): %2.")
                              .arg(name, archiveError(a.get())));
    };
    if (libarchive().archive_read_open_filename(a.get(), native.constData(), size_t(kChunk)) != ARCHIVE_OK)
        throw unreadable();

    // Reading the archive is the first 40 in a hundred, by its bytes read;
    // reading every record of the tables the next 50; opening the rest.
    Percent reading(progress, QFileInfo(archivePath).size(), 0, 40);
    std::set<QString> seen;
    QDateTime newestTable;
    QByteArray note;
    QByteArray buf(kChunk, Qt::Uninitialized);
    bool first = true;
    for (;;) {
        archive_entry* entry = nullptr;
        const int r = libarchive().archive_read_next_header(a.get(), &entry);
        if (r == ARCHIVE_EOF) break;
        if (r < ARCHIVE_WARN) {
            if (first) throw unreadable();
            throw EFileError(QStringLiteral("Копия %1 повреждена или обрезана: %2. Выберите другую копию.")
                                 .arg(name, archiveError(a.get())));
        }
        first = false;
        const char* rawName = libarchive().archive_entry_pathname_utf8(entry);
        if (!rawName) rawName = libarchive().archive_entry_pathname(entry);
        const MemberName member = rawName ? classify(QString::fromUtf8(rawName)) : MemberName{};
        if (member.role == Role::Skip || libarchive().archive_entry_filetype(entry) != AE_IFREG) continue;
        if (!seen.insert(member.canonical).second)
            throw EFileError(QStringLiteral("В копии %1 файл %2 встречается дважды; программа таких копий не "
                                            "делает. Выберите другую копию.")
                                 .arg(name, member.canonical));
        const qint64 limit = member.role == Role::Settings ? maxSettingsFileBytes
                             : member.role == Role::Note   ? kMaxNoteBytes
                                                           : kMaxTableBytes;
        if (libarchive().archive_entry_size_is_set(entry) && libarchive().archive_entry_size(entry) > limit)
            throw EFileError(QStringLiteral("В копии %1 файл %2 слишком велик для файла реестра. Выберите "
                                            "другую копию.")
                                 .arg(name, member.canonical));
        if (member.role == Role::Table && libarchive().archive_entry_mtime_is_set(entry)) {
            const QDateTime t = QDateTime::fromSecsSinceEpoch(libarchive().archive_entry_mtime(entry));
            if (!newestTable.isValid() || t > newestTable) newestTable = t;
        }
        if (member.role == Role::Settings) contents.hasSettings = true;

        std::unique_ptr<QFile> out;
        if (member.role != Role::Note) {
            out = std::make_unique<QFile>(dir + member.canonical);
            if (!out->open(QIODevice::WriteOnly | QIODevice::NewOnly))
                throw EFileError(QStringLiteral("Не удалось создать файл %1: %2.")
                                     .arg(out->fileName(), out->errorString()));
        }
        qint64 total = 0;
        for (;;) {
            const la_ssize_t n = libarchive().archive_read_data(a.get(), buf.data(), size_t(buf.size()));
            if (n == 0) break;
            if (n < 0)
                throw EFileError(
                    QStringLiteral("Копия %1 повреждена или обрезана: %2. Выберите другую копию.")
                        .arg(name, archiveError(a.get())));
            total += n;
            reading.at(libarchive().archive_filter_bytes(a.get(), -1));
            if (total > limit)
                throw EFileError(QStringLiteral("В копии %1 файл %2 слишком велик для файла реестра. "
                                                "Выберите другую копию.")
                                     .arg(name, member.canonical));
            if (out) {
                if (out->write(buf.constData(), n) != n)
                    throw EFileError(QStringLiteral("Не удалось записать файл %1: %2.")
                                         .arg(out->fileName(), out->errorString()));
            } else {
                note.append(buf.constData(), n);
            }
        }
        if (out) {
            if (!out->flush() || ::fsync(out->handle()) != 0)
                throw EFileError(QStringLiteral("Не удалось записать файл %1 на диск.").arg(out->fileName()));
        }
    }

    QStringList missing;
    for (const TableSchema& t : registerTables())
        if (!seen.count(t.fileName)) missing << t.fileName;
    if (missing.size() == registerTables().size())
        throw EFileError(QStringLiteral("В архиве %1 нет таблиц реестра: это не резервная копия Varek. "
                                        "Выберите другой файл.")
                             .arg(name));
    if (!missing.isEmpty())
        throw EFileError(QStringLiteral("В копии %1 нет таблиц %2; из неполной копии реестр не восстановить. "
                                        "Выберите другую копию.")
                             .arg(name, missing.join(QStringLiteral(", "))));

    for (const QByteArray& line : note.split('\n'))
        if (line.startsWith("created=")) {
            const QDateTime t =
                QDateTime::fromString(QString::fromLatin1(line.mid(8)).trimmed(), Qt::ISODate);
            if (t.isValid()) contents.taken = t.toLocalTime();
        }
    if (!contents.taken.isValid()) contents.taken = newestTable;

    const auto& tables = registerTables();
    // The record counts of the tables' headers (bytes 4..7), for the progress bar only.
    qint64 records = 0, recordsRead = 0;
    for (const TableSchema& t : tables) {
        QFile f(dir + t.fileName);
        const QByteArray head = f.open(QIODevice::ReadOnly) ? f.read(8) : QByteArray();
        if (head.size() == 8) records += qFromLittleEndian<quint32>(head.constData() + 4);
    }
    Percent checking(progress, records, 40, 90);
    contents.objects = checkTable(name, dir, tables[0], checking, recordsRead);
    contents.controllers = checkTable(name, dir, tables[1], checking, recordsRead);
    contents.keys = checkTable(name, dir, tables[2], checking, recordsRead);
    contents.accessRows = checkTable(name, dir, tables[3], checking, recordsRead);
    checking.at(records);

    // The last word is the register's own opening over the files: its
    // checks, its indexes and its two views.
    try {
        VarekRegister reg;
        reg.open(dir);
        reg.close();
    } catch (const VarekError& e) {
        throw EDatabaseError(QStringLiteral("Реестр из копии %1 не открывается (%2). Выберите другую копию.")
                                 .arg(name, e.message()));
    }
    QFile::remove(dir + DirLock::lockFileName());
    if (progress) progress(100);
    return contents;
}

QString restoreQuestion(const QString& archive, const BackupContents& contents, const QString& keptAs) {
    const QString when = contents.taken.isValid()
                             ? contents.taken.toString(QStringLiteral("dd.MM.yyyy HH:mm"))
                             : QStringLiteral("неизвестного числа");
    QString text = QStringLiteral("Восстановить реестр из копии %1 от %2?\n"
                                  "В копии объектов: %3, контроллеров: %4, ключей: %5.")
                       .arg(QFileInfo(archive).fileName(), when)
                       .arg(contents.objects)
                       .arg(contents.controllers)
                       .arg(contents.keys);
    if (!keptAs.isEmpty())
        text +=
            QStringLiteral("\nТекущий реестр будет заменён; прежде он будет сохранён в файл %1.").arg(keptAs);
    return text;
}

void installBackup(const BackupContents& contents, const QString& dataDir) {
    const QString dir = withSlash(dataDir);
    const QString aside = contents.stagingDir + QStringLiteral("replaced/");
    if (!QDir().mkpath(aside)) throw EFileError(QStringLiteral("Не удалось создать каталог %1.").arg(aside));

    // Every register file the directory holds now, under any case.
    QStringList old;
    const QStringList names = registerFileNames();
    for (const QString& e : QDir(dir).entryList(QDir::Files | QDir::Hidden))
        for (const QString& n : names)
            if (e.compare(n, Qt::CaseInsensitive) == 0) old << e;
    QStringList incoming;
    for (const QString& n : names)
        if (QFileInfo::exists(contents.stagingDir + n)) incoming << n;

    std::vector<std::pair<QString, QString>> done; // from, to
    try {
        for (const QString& e : old) {
            moveFile(dir + e, aside + e);
            done.emplace_back(dir + e, aside + e);
        }
        for (const QString& n : incoming) {
            moveFile(contents.stagingDir + n, dir + n);
            done.emplace_back(contents.stagingDir + n, dir + n);
        }
        syncPath(dir, true);
    } catch (const VarekError& e) {
        for (auto it = done.rbegin(); it != done.rend(); ++it)
            ::rename(QFile::encodeName(it->second).constData(), QFile::encodeName(it->first).constData());
        try {
            syncPath(dir, true);
        } catch (...) {
        }
        throw EFileError(
            QStringLiteral("Реестр не восстановлен, прежние файлы оставлены на месте: %1").arg(e.message()));
    }
}

void completePendingJournal(const QString& dataDir) {
    WriteBatch::recover(withSlash(dataDir) + VarekRegister::journalFileName());
}

QString replacedRegisterPath(const QString& archive, const QString& dataDir, const QDateTime& when) {
    const RegisterFiles files = registerFilesIn(dataDir);
    if (files.tables.isEmpty() && files.memos.isEmpty()) return QString();
    QString place = QFileInfo(archive).absolutePath();
    if (!QFileInfo(place).isWritable())
        place = QFileInfo(QDir::cleanPath(QFileInfo(dataDir).absoluteFilePath())).absolutePath();
    return withSlash(place) + replacedRegisterName(when);
}

bool restoreSettingsIfMissing(const BackupContents& contents, const QString& settingsPath) {
    if (!contents.hasSettings || settingsPath.isEmpty() || QFileInfo::exists(settingsPath)) return false;
    QFile in(contents.stagingDir + QLatin1String(kSettingsName));
    if (!in.open(QIODevice::ReadOnly))
        throw EFileError(QStringLiteral("Не удалось прочитать %1: %2.").arg(in.fileName(), in.errorString()));
    const QByteArray bytes = in.readAll();
    const QFileInfo info(settingsPath);
    if (!QDir().mkpath(info.absolutePath()))
        throw EFileError(QStringLiteral("Не удалось создать каталог %1.").arg(info.absolutePath()));
    QTemporaryFile tmp(info.absolutePath() + QStringLiteral("/.settings.ini.XXXXXX"));
    if (!tmp.open() || tmp.write(bytes) != bytes.size() || !tmp.flush() || ::fsync(tmp.handle()) != 0)
        throw EFileError(QStringLiteral("Не удалось записать файл настроек %1.").arg(settingsPath));
    tmp.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                       QFileDevice::ReadOther);
    moveFile(tmp.fileName(), settingsPath);
    tmp.setAutoRemove(false);
    syncPath(info.absolutePath(), true);
    return true;
}

} // namespace varek
