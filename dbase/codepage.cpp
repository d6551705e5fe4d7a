#include "dbase/codepage.h"

#include <QHash>
#include <QMutex>
#include <algorithm>
#include <iconv.h>
#include <map>
#include <memory>
#include <string>

namespace varek {

CodePage::CodePage(const char* iconvName, QString name) : m_name(std::move(name)) {
    for (int b = 0; b < 128; ++b)
        m_toUnicode[b] = char16_t(b);
    iconv_t cd = iconv_open("UTF-16LE", iconvName);
    if (cd == iconv_t(-1)) return;
    m_valid = true;
    for (int b = 128; b < 256; ++b) {
        char in = char(b);
        char outBuf[8];
        char* inPtr = &in;
        char* outPtr = outBuf;
        size_t inLeft = 1, outLeft = sizeof outBuf;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        const size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        char16_t u = 0xFFFD;
        if (r != size_t(-1) && sizeof outBuf - outLeft == 2)
            u = char16_t(static_cast<unsigned char>(outBuf[0]) | static_cast<unsigned char>(outBuf[1]) << 8);
        m_toUnicode[b] = u;
        if (u != 0xFFFD) m_fromUnicode[m_fromUnicodeSize++] = {u, static_cast<unsigned char>(b)};
    }
    iconv_close(cd);
    std::sort(m_fromUnicode.begin(), m_fromUnicode.begin() + m_fromUnicodeSize);
}

const CodePage& CodePage::cp866() {
    static const CodePage* page = byIconvName("CP866");
    return *page;
}

const CodePage& CodePage::cp1251() {
    static const CodePage* page = byIconvName("CP1251");
    return *page;
}

const CodePage* CodePage::byIconvName(const char* iconvName) {
    static QMutex mutex;
    static std::map<std::string, std::unique_ptr<CodePage>> pages;
    QMutexLocker lock(&mutex);
    auto it = pages.find(iconvName);
    if (it == pages.end()) {
        std::unique_ptr<CodePage> page(new CodePage(iconvName, QString::fromLatin1(iconvName).toLower()));
        if (!page->m_valid) page.reset();
        it = pages.emplace(iconvName, std::move(page)).first;
    }
    return it->second.get();
}

QString CodePage::decode(const char* data, qsizetype size) const {
    // One pass through the table: the lower half maps to itself.
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    QString s(size, Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(s.data());
    for (qsizetype i = 0; i < size; ++i)
        out[i] = m_toUnicode[p[i]];
    return s;
}

bool CodePage::encode(const QString& text, QByteArray& out, QChar* unencodable) const {
    out.resize(text.size());
    char* o = out.data();
    const char16_t* in = reinterpret_cast<const char16_t*>(text.constData());
    const auto begin = m_fromUnicode.begin(), end = m_fromUnicode.begin() + m_fromUnicodeSize;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = in[i];
        if (c < 0x80) {
            o[i] = char(c);
            continue;
        }
        auto it = std::lower_bound(begin, end, std::pair<char16_t, unsigned char>{c, 0});
        if (it == end || it->first != c) {
            if (unencodable) *unencodable = QChar(c);
            return false;
        }
        o[i] = char(it->second);
    }
    return true;
}

const CodePage* codePageForLanguageDriver(unsigned char id) {
    switch (id) {
    case 0x01:
        return CodePage::byIconvName("CP437");
    case 0x02:
        return CodePage::byIconvName("CP850");
    case 0x03:
        return CodePage::byIconvName("CP1252");
    case 0x26:
    case 0x65:
        return &CodePage::cp866();
    case 0x64:
        return CodePage::byIconvName("CP852");
    case 0xC8:
        return CodePage::byIconvName("CP1250");
    case 0xC9:
    case 0x57:
        return &CodePage::cp1251();
    default:
        return nullptr;
    }
}

const CodePage* codePageForLanguageDriverName(const QString& name) {
    const QString n = name.trimmed().toUpper();
    if (n.isEmpty()) return nullptr;
    if (n.contains(QLatin1String("866"))) return &CodePage::cp866();
    if (n.contains(QLatin1String("1251")) || n.contains(QLatin1String("WINRU")) ||
        n.contains(QLatin1String("CYRR")) || n.contains(QLatin1String("ANCYR")))
        return &CodePage::cp1251();
    return nullptr;
}

namespace {

// Frequency of Russian letters in ordinary text, per mille, in alphabet order
// а..я; ё counts as е.
constexpr int kRussianFrequency[32] = {80, 16, 45, 17, 30, 85, 9, 16, 74, 12, 35, 44, 32, 67, 110, 28,
                                       47, 55, 63, 26, 3,  10, 5, 14, 7,  4,  0,  19, 17, 3,  6,   20};

int letterScore(char16_t u) {
    if (u >= 0x0410 && u <= 0x042F) return 20 + kRussianFrequency[u - 0x0410];
    if (u >= 0x0430 && u <= 0x044F) return 20 + kRussianFrequency[u - 0x0430];
    if (u == 0x0401 || u == 0x0451) return 20 + 1;
    return -40;
}

struct ScoreTables {
    int s866[256];
    int s1251[256];
    ScoreTables() {
        for (int b = 0; b < 256; ++b) {
            s866[b] = b < 128 ? 0 : letterScore(CodePage::cp866().unicodeOf(static_cast<unsigned char>(b)));
            s1251[b] = b < 128 ? 0 : letterScore(CodePage::cp1251().unicodeOf(static_cast<unsigned char>(b)));
        }
    }
};

const ScoreTables& scoreTables() {
    static const ScoreTables tables;
    return tables;
}

} // namespace

void CyrillicDetector::add(const char* data, qsizetype size) {
    const ScoreTables& t = scoreTables();
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    for (qsizetype i = 0; i < size; ++i) {
        if (!(p[i] & 0x80)) continue;
        ++m_upper;
        m_score866 += t.s866[p[i]];
        m_score1251 += t.s1251[p[i]];
    }
}

const CodePage& CyrillicDetector::result() const {
    return m_score1251 > m_score866 ? CodePage::cp1251() : CodePage::cp866();
}

} // namespace varek
