#pragma once

#include <QByteArray>
#include <QString>
#include <array>

namespace varek {

// A single-byte code page whose lower half is ASCII. Tables are built once
// from the C library's iconv and then used by plain lookups, so decoding a
// field costs no conversion calls.
class CodePage {
public:
    // The code pages of the register's files.
    static const CodePage& cp866();
    static const CodePage& cp1251();
    // A code page by its iconv name ("CP866", "CP1252", ...), or nullptr when
    // the C library does not know it. Results are built once and kept.
    static const CodePage* byIconvName(const char* iconvName);

    const QString& name() const { return m_name; } // e.g. "cp866"

    // Decodes bytes; bytes the code page leaves undefined read as U+FFFD.
    QString decode(const char* data, qsizetype size) const;
    char16_t unicodeOf(unsigned char byte) const { return m_toUnicode[byte]; }

    // Encodes text; returns false and the first character that has no byte
    // in this code page when the text cannot be stored.
    bool encode(const QString& text, QByteArray& out, QChar* unencodable) const;

private:
    CodePage(const char* iconvName, QString name);
    QString m_name;
    bool m_valid = false;
    std::array<char16_t, 256> m_toUnicode{};
    // Reverse table of the upper half: sorted (unicode, byte) pairs.
    std::array<std::pair<char16_t, unsigned char>, 128> m_fromUnicode{};
    int m_fromUnicodeSize = 0;
};

// The code page a dBASE language driver id stands for, or nullptr when the id
// is 0 or unknown. Cyrillic: 0x26 and 0x65 are cp866, 0xC9 and 0x57 cp1251.
const CodePage* codePageForLanguageDriver(unsigned char id);

// Level 7 files name their language driver; the code page such a name stands
// for, or nullptr.
const CodePage* codePageForLanguageDriverName(const QString& name);

// Tells cp866 text from cp1251 text by the bytes 0x80..0xFF it holds.
// Every such byte is read in both code pages and scored: a Russian letter
// scores 20 plus its frequency in Russian text per mille (о 110, е 85, а 80,
// ... ъ 0), anything else (box drawing, punctuation, letters of other
// languages) scores -40. The code page with the higher total wins; a tie,
// and text without such bytes, reads as cp866. Ordinary Russian words land
// on letters in the right code page and on box drawing or symbols in the
// other one, so a few words decide; a single short word can be misread.
// Files are judged on all their text fields over the first 4 MB of records.
class CyrillicDetector {
public:
    void add(const char* data, qsizetype size);
    qint64 upperBytes() const { return m_upper; }
    const CodePage& result() const;

private:
    qint64 m_score866 = 0;
    qint64 m_score1251 = 0;
    qint64 m_upper = 0;
};

} // namespace varek
