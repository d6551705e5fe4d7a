#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <optional>

namespace varek {

// The settings file (settings.ini beside the executable) in the usual INI
// form: "[section]" header lines, "key=value" lines, ";" or "#" comment lines.
// Section and key names are matched without regard to case; blanks around
// names and values are ignored, and a value in matching double or single
// quotes is read without them.
//
// Writing changes only the lines of the keys written (or appends them, and
// the section when it is missing); every other byte of the file, other
// sections, keys, comments, blank lines and line endings included, stays as
// it was. A new line takes the line ending the file already uses (LF for a new
// file). The file is replaced atomically: the new content goes to a temporary
// file in the same directory, is flushed to disk, and is renamed over the old
// one, so a crash leaves either the old or the new file, never half of one.
//
// A settings file holds a few short lines: a file over maxSettingsFileBytes
// is something else under that name and is neither read (every key reads as
// missing) nor rewritten (a write throws). Only a regular file is read; the
// reading never waits (a FIFO reads as empty).
inline constexpr qint64 maxSettingsFileBytes = 1024 * 1024;

class Settings {
public:
    explicit Settings(QString path);

    const QString& path() const { return m_path; }

    // True when the file is a regular file over maxSettingsFileBytes.
    bool tooLarge() const;

    // The text of a key; nothing when the file, the section or the key is missing.
    std::optional<QString> readString(const QString& section, const QString& key) const;
    // A key read as an integer (see tryStrToInt); a missing key or a text that
    // cannot be read gives the default.
    qint32 readInteger(const QString& section, const QString& key, qint32 defaultValue) const;

    // Writes keys of one section in one replacement of the file. A write that
    // cannot be done throws EFileError "Unable to write to <path>".
    void writeStrings(const QString& section, const QList<QPair<QString, QString>>& keys);
    void writeString(const QString& section, const QString& key, const QString& value);
    void writeInteger(const QString& section, const QString& key, qint32 value);

    // The pure text transformation behind writeStrings (for tests).
    static QByteArray withKeys(const QByteArray& content, const QString& section,
                               const QList<QPair<QString, QString>>& keys);

private:
    QString m_path;
};

// The settings of the port numbers: section "1", keys "com_zintor" and "com_token".
inline constexpr const char* portSection = "1";
inline constexpr const char* comZintorKey = "com_zintor";
inline constexpr const char* comTokenKey = "com_token";

// Reads both keys into ComZintor and ComToken, keeping the low 8 bits; 0 when
// missing or unreadable.
void readPortNumbers(const Settings& settings);
// Writes ComZintor, then ComToken, in decimal.
void writePortNumbers(Settings& settings);

// Where the register lives: section "Register", key "Backend" ("dbase", the
// data directory, when missing, or "postgresql") and key "Connection" (a
// libpq URL or keyword string, or "service=NAME"). The settings never hold
// a password: it belongs in ~/.pgpass or the service file.
inline constexpr const char* registerSection = "Register";
inline constexpr const char* backendKey = "Backend";
inline constexpr const char* connectionKey = "Connection";

struct RegisterBackend {
    enum class Kind { Directory, Database };
    Kind kind = Kind::Directory;
    QString connection; // Database: the connection string
};
// Reads the section; fails with EConvertError (a Russian message that says
// what to write) on another Backend, on postgresql without Connection, and
// on a Connection that carries a password.
RegisterBackend readRegisterBackend(const Settings& settings);
// True when a connection string carries a password (a URL's user:password@
// or a password keyword).
bool connectionHasPassword(const QString& connection);

} // namespace varek
