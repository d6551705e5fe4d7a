#include "core/errors.h"
#include "keys/token_code.h"

#include <gtest/gtest.h>

using namespace varek;

// Readable failures.
static void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

struct FrameCase {
    const char* frame;
    const char* code;
    const char* card;
};

QString conversionMessage(const std::function<void()>& body) {
    try {
        body();
    } catch (const EConvertError& e) {
        return e.message();
    }
    return QStringLiteral("<no error>");
}

} // namespace

TEST(TokenCode, ReaderFramesGiveCodesAndCardNumbers) {
    const FrameCase cases[] = {
        {"3A7C10F5B2", "01B2F5107C3A0086", "016.62898"},
        {"3A7C100009", "010900107C3A000D", "016.00009"}, // check byte keeps its leading zero
        {"0000000000", "010000000000003D", "000.00000"},
        {"FFFFFFFFFF", "01FFFFFFFFFF001A", "255.65535"},
        {"3A7C10F5B2FF", "01B2F5107C3A0086", "016.62898"}, // characters after the tenth are ignored
        {"3a7c10f5b2", "01B2F5107C3A0086", "016.62898"},   // lower-case digits give the upper-case code
    };
    for (const auto& c : cases) {
        const QString code = TokenCodeOf(QString::fromLatin1(c.frame));
        EXPECT_EQ(code, QString::fromLatin1(c.code)) << c.frame;
        EXPECT_EQ(CardNumberOf(code), QString::fromLatin1(c.card)) << c.frame;
        EXPECT_TRUE(isWellFormedTokenCode(code)) << c.frame;
        // The whole ROM image, check byte included, runs the CRC to zero.
        quint8 crc = 0;
        for (int i = 0; i < 8; ++i)
            crc = Crc8Step(crc, static_cast<quint8>(code.mid(i * 2, 2).toUInt(nullptr, 16)));
        EXPECT_EQ(crc, 0) << c.frame;
    }
}

TEST(TokenCode, Crc8RunningValuesAndCatalogueCheck) {
    const quint8 bytes[] = {0x01, 0xB2, 0xF5, 0x10, 0x7C, 0x3A, 0x00};
    const quint8 running[] = {0x5E, 0x4A, 0x73, 0x87, 0x54, 0x7A, 0x86};
    quint8 crc = 0;
    for (int i = 0; i < 7; ++i) {
        crc = Crc8Step(crc, bytes[i]);
        EXPECT_EQ(crc, running[i]) << "after byte " << i + 1;
    }
    crc = 0;
    for (const char c : QByteArrayLiteral("123456789"))
        crc = Crc8Step(crc, static_cast<quint8>(c));
    EXPECT_EQ(crc, 0xA1); // the CRC-8/MAXIM check value

    EXPECT_EQ(DallasCrc8(QStringLiteral("01B2F5107C3A00")), 0x86);
    EXPECT_EQ(DallasCrc8(QStringLiteral("01b2f5107c3a0086")), 0x86); // whole code, lower case
}

TEST(TokenCode, CardNumberReadsLowerCaseAndDigitsThreeToEight) {
    EXPECT_EQ(CardNumberOf(QStringLiteral("01b2f5107c3a0086")),
              CardNumberOf(QStringLiteral("01B2F5107C3A0086")));
    EXPECT_EQ(CardNumberOf(QStringLiteral("01B2F51")), QStringLiteral("001.62898")); // one-digit byte 4
    EXPECT_EQ(CardNumberOf(QStringLiteral("ZZB2F510")), QStringLiteral("016.62898"));
}

TEST(TokenCode, ConversionErrorsNameTheDigits) {
    EXPECT_EQ(conversionMessage([] { CardNumberOf(QStringLiteral("01B2F5G17C3A0086")); }),
              QStringLiteral("'xG1' is not a valid integer value"));
    EXPECT_EQ(conversionMessage([] { CardNumberOf(QStringLiteral("01B2F5")); }),
              QStringLiteral("'x' is not a valid integer value"));
    EXPECT_EQ(conversionMessage([] { CardNumberOf(QStringLiteral("01Z2F510")); }),
              QStringLiteral("'xF5Z2' is not a valid integer value"));
    EXPECT_EQ(conversionMessage([] { DallasCrc8(QStringLiteral("01B2F5107C3A")); }),
              QStringLiteral("'x' is not a valid integer value"));
    EXPECT_EQ(conversionMessage([] { DallasCrc8(QStringLiteral("01B2F5107C3A0")); }),
              QStringLiteral("<no error>"));
    EXPECT_EQ(conversionMessage([] { DallasCrc8(QStringLiteral("01B2-5107C3A00")); }),
              QStringLiteral("'x-5' is not a valid integer value"));
    EXPECT_EQ(conversionMessage([] { TokenCodeOf(QStringLiteral("3A7C10F5B")); }),
              QStringLiteral("'x3A7C10F5B' is not a valid integer value"));
    EXPECT_EQ(conversionMessage([] { TokenCodeOf(QStringLiteral("3A7C10F5BG")); }),
              QStringLiteral("'xBG' is not a valid integer value"));
}

TEST(TokenCode, PadLeftRepeatsTheWholeFill) {
    EXPECT_EQ(PadLeft(QStringLiteral("0"), QStringLiteral("7"), 3), QStringLiteral("007"));
    EXPECT_EQ(PadLeft(QStringLiteral("0"), QStringLiteral("1234"), 3), QStringLiteral("1234"));
    EXPECT_EQ(PadLeft(QStringLiteral("ab"), QStringLiteral("x"), 4), QStringLiteral("abababx"));
    EXPECT_EQ(PadLeft(QStringLiteral("0"), QString(), 0), QString());
}

TEST(TokenCode, WellFormedAndNormalised) {
    EXPECT_TRUE(isWellFormedTokenCode(QStringLiteral("01b2f5107c3a0086")));
    EXPECT_FALSE(isWellFormedTokenCode(QStringLiteral("01B2F5107C3A008")));
    EXPECT_FALSE(isWellFormedTokenCode(QStringLiteral("01B2F5107C3A00861")));
    EXPECT_FALSE(isWellFormedTokenCode(QStringLiteral("01B2F5107C3A008G")));
    EXPECT_FALSE(isWellFormedTokenCode(QStringLiteral(" 1B2F5107C3A0086")));
    EXPECT_FALSE(isWellFormedTokenCode(QString()));
    EXPECT_EQ(normalizeTokenCode(QStringLiteral("  01b2f5107c3a0086 ")), QStringLiteral("01B2F5107C3A0086"));
}
