// Keys to a CSV file and back, over real registers of dBASE files in
// temporary directories.

#include "core/errors.h"
#include "keys/token_code.h"
#include "register/fields.h"
#include "register/table.h"
#include "register/tests/dataset_support.h"
#include "register/varek_register.h"
#include "transfer/csv.h"
#include "transfer/key_transfer.h"
#include "transfer/tests/gtest_print.h"

#include <QDir>
#include <QFile>
#include <QMap>

#include <gtest/gtest.h>

using namespace varek;
using varek::test::TempRegister;
using Verdict = ImportRow::Verdict;

namespace {

// Codes with their right check bytes (and their card numbers).
const QString CodeA = QStringLiteral("01B2F5107C3A0086"); // 016.62898
const QString CodeB = QStringLiteral("010900107C3A000D"); // 016.00009
const QString CodeC = QStringLiteral("010000000000003D"); // 000.00000
const QString CodeD = QStringLiteral("01FFFFFFFFFF001A"); // 255.65535

QByteArray utf8(const QString& s) {
    return s.toUtf8();
}

// Every table file of a data directory, byte by byte.
QMap<QString, QByteArray> filesOf(const QString& dir) {
    QMap<QString, QByteArray> out;
    for (const QString& name : QDir(dir).entryList({QStringLiteral("*.dbf")}, QDir::Files)) {
        QFile f(dir + name);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        out.insert(name, f.readAll());
    }
    return out;
}

QStringList sorted(QStringList list) {
    list.sort();
    return list;
}

// "code:ser" of every access row, sorted.
QStringList accessRows(VarekRegister& reg) {
    Table& tc = reg.taTC();
    QStringList out;
    for (int row = 0; row < tc.recordCount(); ++row)
        out << tc.value(row, tc.fieldIndex(field::tokenCode)).toString() + u':' +
                   QString::number(tc.value(row, tc.fieldIndex(field::serNum)).toInt());
    out.sort();
    return out;
}

// Two objects: "Склад" with controllers 3 "Ворота" and 5 "Дверь", "Офис"
// with 7 "Вход" and two controllers 8 and 9 both named "Дверь"; and "Склад"'s
// controller 10, "Дверь; 2", whose name holds the list separator.
struct Register {
    TempRegister files;
    VarekRegister reg;

    explicit Register(bool withKeys = true) {
        files.obj(1, QStringLiteral("Склад"));
        files.obj(2, QStringLiteral("Офис"));
        files.ctrl(1, QStringLiteral("Ворота"), 3);
        files.ctrl(1, QStringLiteral("Дверь"), 5);
        files.ctrl(2, QStringLiteral("Вход"), 7);
        files.ctrl(2, QStringLiteral("Дверь"), 8);
        files.ctrl(2, QStringLiteral("Дверь"), 9);
        files.ctrl(1, QStringLiteral("Дверь; 2"), 10);
        if (withKeys) {
            key(CodeA, QStringLiteral("Иванов, Пётр \"Шеф\""), QDate(2024, 5, 17), 1);
            key(CodeB, QStringLiteral("Охрана"), QDate(2023, 1, 2), 0);
            key(CodeC, QString(), QVariant(), 1);
            files.access(CodeA, 3);
            files.access(CodeA, 7);
            files.access(CodeB, 5);
            files.access(CodeB, 42); // a controller deleted long ago
        }
        reg.open(files.dir);
    }
    void key(const QString& code, const QString& user, const QVariant& date, int status) {
        files.add("tokens.dbf", {code, CardNumberOf(code), user, date, status});
    }
    ImportPlan plan(const QString& text) { return planImport(reg, utf8(text)); }
};

const QString Header = QStringLiteral("Жетон,Пользователь,Выдан,Статус,Код Dallas,Контроллеры\r\n");

TEST(KeyExport, WritesEveryKeyWithItsControllers) {
    Register r;
    int count = 0;
    const QByteArray bytes = exportKeysCsv(r.reg, {}, &count);
    EXPECT_EQ(count, 3);
    const QString expected =
        Header + QStringLiteral("016.62898,\"Иванов, Пётр \"\"Шеф\"\"\",17.05.2024,доступ,%1,"
                                "Склад / Ворота; Офис / Вход\r\n"
                                "016.00009,Охрана,02.01.2023,мастер-ключ,%2,Склад / Дверь\r\n"
                                "000.00000,,,доступ,%3,\r\n")
                     .arg(CodeA, CodeB, CodeC);
    EXPECT_EQ(bytes, QByteArray("\xEF\xBB\xBF") + expected.toUtf8());
}

TEST(KeyExport, WritesTheSubsetByRowIdOrCard) {
    Register r;
    int count = 0;
    const QByteArray bytes = exportKeysCsv(r.reg, {{2}, {QStringLiteral("016.62898")}}, &count);
    EXPECT_EQ(count, 2);
    const QList<CsvRecord> records = parseCsv(bytes);
    ASSERT_EQ(records.size(), 3);
    EXPECT_EQ(records[1].cells[4], CodeA);
    EXPECT_EQ(records[2].cells[4], CodeC);
}

TEST(KeyExport, FileThatCannotBeWrittenIsRefusedAndNothingIsLeft) {
    Register r;
    const QString path = r.files.dir + QStringLiteral("missing/keys.csv");
    EXPECT_TRUE(
        test::errorOf([&] { exportKeys(r.reg, path); }).contains(QStringLiteral("Не удалось записать")));
    EXPECT_FALSE(QFile::exists(path));
}

TEST(KeyRoundTrip, ExportIntoAnEmptyRegisterGivesTheSameKeysAndRights) {
    Register from;
    const QByteArray bytes = exportKeysCsv(from.reg);
    Register into(false);
    const ImportPlan plan = planImport(into.reg, bytes);
    ASSERT_TRUE(plan.fileError.isEmpty()) << plan.fileError.toStdString();
    EXPECT_EQ(plan.summary(), QStringLiteral("Добавить: 3, изменить: 0, отклонено: 0"));
    const ImportResult result = applyImport(into.reg, plan);
    EXPECT_EQ(result.added, 3);
    EXPECT_EQ(exportKeysCsv(into.reg), bytes);
    // The access row of the deleted controller 42 names nothing and is not carried.
    EXPECT_EQ(accessRows(into.reg), sorted(QStringList{CodeA + ":3", CodeA + ":7", CodeB + ":5"}));

    // The same file again changes nothing.
    const ImportPlan again = planImport(into.reg, bytes);
    EXPECT_EQ(again.count(Verdict::Same), 3);
    EXPECT_FALSE(again.canApply());
}

TEST(KeyImport, ChangesMatchByCodeAndReplaceAccessRowsWhenNamed) {
    Register r;
    const ImportPlan plan =
        r.plan(Header + QStringLiteral(",Петров,01.02.2025,мастер-ключ,%1,Склад / Дверь;офис /  вход\r\n"
                                       ",Охрана,02.01.2023,0,%2,Склад / Дверь\r\n"
                                       "999.99999,Новый,3.4.2025,доступ,%3,\r\n")
                            .arg(CodeA.toLower(), CodeB, CodeD));
    ASSERT_EQ(plan.rows.size(), 3);
    EXPECT_EQ(plan.rows[0].verdict, Verdict::Change);
    EXPECT_EQ(plan.rows[0].reason, QStringLiteral("изменится: пользователь, дата, статус, контроллеры"));
    EXPECT_EQ(plan.rows[1].verdict, Verdict::Same); // "0" is the stored number of a master key
    EXPECT_EQ(plan.rows[2].verdict, Verdict::Add);
    applyImport(r.reg, plan);

    Table& tokens = r.reg.taTokens();
    ASSERT_TRUE(tokens.locate(field::tokenCode, {CodeA}));
    EXPECT_EQ(tokens.asString(field::userName), QStringLiteral("Петров"));
    EXPECT_EQ(tokens.asDate(field::giveDate), QDate(2025, 2, 1));
    EXPECT_EQ(tokens.asInteger(field::status), 0);
    ASSERT_TRUE(tokens.locate(field::tokenCode, {CodeD}));
    EXPECT_EQ(tokens.asString(field::tokenCard), QStringLiteral("255.65535")); // from the code, not the file
    EXPECT_EQ(tokens.asDate(field::giveDate), QDate(2025, 4, 3));
    // Key B's row for the deleted controller goes with the replacement only
    // when B changes; B did not change.
    EXPECT_EQ(accessRows(r.reg),
              sorted(QStringList{CodeA + ":5", CodeA + ":7", CodeB + ":42", CodeB + ":5"}));
}

TEST(KeyImport, WithoutControllersColumnKeepsAccessRowsAndGivesNewKeysNone) {
    Register r;
    const ImportPlan plan =
        r.plan(QStringLiteral("Код Dallas,ПОЛЬЗОВАТЕЛЬ, статус \r\n%1,Сидоров,мастер-ключ\r\n"
                              "%2,Гость,доступ\r\n")
                   .arg(CodeA, CodeD));
    EXPECT_EQ(plan.summary(), QStringLiteral("Добавить: 1, изменить: 1, отклонено: 0"));
    applyImport(r.reg, plan);
    Table& tokens = r.reg.taTokens();
    ASSERT_TRUE(tokens.locate(field::tokenCode, {CodeA}));
    EXPECT_EQ(tokens.asString(field::userName), QStringLiteral("Сидоров"));
    EXPECT_EQ(tokens.asDate(field::giveDate), QDate(2024, 5, 17)); // kept
    ASSERT_TRUE(tokens.locate(field::tokenCode, {CodeD}));
    EXPECT_EQ(tokens.asDate(field::giveDate), QDate::currentDate()); // as issuing a key gives it
    EXPECT_EQ(tokens.asInteger(field::status), 1);
    EXPECT_EQ(accessRows(r.reg),
              sorted(QStringList{CodeA + ":3", CodeA + ":7", CodeB + ":42", CodeB + ":5"}));
}

struct RefusalCase {
    const char* name;
    const char* row; // the cells of one row under Header; %1 stands for a good new code
    const char* reason;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class KeyImportRefuses : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(KeyImportRefuses, TheRowWithItsReason) {
    Register r;
    QString row = QString::fromUtf8(GetParam().row);
    if (row.contains(QStringLiteral("%1"))) row = row.arg(CodeD);
    const ImportPlan plan = r.plan(Header + row + QStringLiteral("\r\n"));
    ASSERT_TRUE(plan.fileError.isEmpty()) << plan.fileError.toStdString();
    ASSERT_FALSE(plan.rows.isEmpty());
    EXPECT_EQ(plan.rows[0].verdict, Verdict::Refused);
    EXPECT_TRUE(plan.rows[0].reason.contains(QString::fromUtf8(GetParam().reason)))
        << plan.rows[0].reason.toStdString();
    EXPECT_FALSE(plan.canApply());
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, KeyImportRefuses,
    ::testing::Values(
        RefusalCase{"empty_code", ",Гость,,доступ,,", "не указан код ключа"},
        RefusalCase{"short_code", ",Гость,,доступ,01B2F5107C3A00,",
                    "должен состоять из 16 шестнадцатеричных цифр"},
        RefusalCase{"not_hex", ",Гость,,доступ,01B2F5107C3A00GG,", "должен состоять из 16 шестнадцатеричных"},
        RefusalCase{
            "wrong_check_byte", ",Гость,,доступ,01B2F5107C3A0087,",
            "неверный контрольный байт кода «01B2F5107C3A0087»: по первым 14 цифрам он должен быть «86»"},
        RefusalCase{"unknown_controller", ",Гость,,доступ,%1,Склад / Ворота; Склад / Окно",
                    "нет контроллера «Склад / Окно»"},
        RefusalCase{"ambiguous_controller", ",Гость,,доступ,%1,Офис / Дверь",
                    "несколько контроллеров (номера 8, 9)"},
        RefusalCase{"code_twice", ",Гость,,доступ,%1,\r\n,Другой,,доступ,%1,",
                    "код встречается в файле несколько раз (строки 2, 3)"},
        RefusalCase{"bad_date", ",Гость,31.02.2024,доступ,%1,", "дата «31.02.2024» не читается"},
        RefusalCase{"bad_status", ",Гость,,гость,%1,", "статус «гость» не распознан"},
        RefusalCase{"stored_number_other_than_0_1", ",Гость,,2,%1,", "статус «2» не распознан"},
        RefusalCase{"holder_not_in_code_page", ",Guest ☺,,доступ,%1,", "символ «☺» не записывается"},
        RefusalCase{"holder_with_line_break", ",\"Гость\nвторой\",,доступ,%1,", "перевод строки"},
        RefusalCase{"extra_cells", ",Гость,,доступ,%1,,лишнее",
                    "больше ячеек (7), чем столбцов в заголовке (6)"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST(KeyImport, AControllerNameHoldingTheSeparatorIsFound) {
    Register r;
    const ImportPlan plan =
        r.plan(QStringLiteral("Код Dallas,Контроллеры\r\n%1,Склад / Дверь; 2; Офис / Вход;Склад / Дверь\r\n")
                   .arg(CodeD));
    ASSERT_EQ(plan.rows[0].verdict, Verdict::Add) << plan.rows[0].reason.toStdString();
    EXPECT_EQ(*plan.rows[0].setControllers, (QList<qint32>{10, 7, 5}));
}

TEST(KeyImport, BothRowsOfATwiceGivenCodeAreRefused) {
    Register r;
    const ImportPlan plan = r.plan(QStringLiteral("Код Dallas\r\n%1\r\n%2\r\n %1 \r\n").arg(CodeD, CodeC));
    EXPECT_EQ(plan.rows[0].verdict, Verdict::Refused);
    EXPECT_EQ(plan.rows[1].verdict, Verdict::Same);
    EXPECT_EQ(plan.rows[2].verdict, Verdict::Refused);
}

TEST(KeyImport, WholeFileRefusals) {
    Register r;
    const struct {
        QByteArray bytes;
        const char* reason;
    } cases[] = {
        {QByteArray("\xCA\xEE\xE4 Dallas\r\n"), "не в кодировке UTF-8"},
        {utf8(QStringLiteral("Пользователь,Статус\r\nГость,доступ\r\n")), "нет столбца «Код Dallas»"},
        {utf8(QStringLiteral("Код Dallas,код dallas\r\n")), "указан в заголовке дважды"},
        {QByteArray("\"Код"), "кавычка открыта"},
        {QByteArray(), "Файл пуст"},
    };
    for (const auto& c : cases) {
        const ImportPlan plan = planImport(r.reg, c.bytes);
        EXPECT_TRUE(plan.fileError.contains(QString::fromUtf8(c.reason))) << plan.fileError.toStdString();
        EXPECT_TRUE(plan.refused());
    }
    const ImportPlan missing = planImportFile(r.reg, r.files.dir + QStringLiteral("nothing.csv"));
    EXPECT_TRUE(missing.fileError.startsWith(QStringLiteral("Не удалось открыть файл")))
        << missing.fileError.toStdString();
    const ImportPlan dir = planImportFile(r.reg, r.files.dir);
    EXPECT_TRUE(dir.refused());
}

TEST(KeyImport, UnknownColumnsAreListedAndLeftAlone) {
    Register r;
    const ImportPlan plan = r.plan(QStringLiteral("Примечание,Код Dallas\r\nчто-то,%1\r\n").arg(CodeD));
    EXPECT_EQ(plan.ignoredColumns, QStringList{QStringLiteral("Примечание")});
    EXPECT_EQ(plan.rows[0].verdict, Verdict::Add);
}

TEST(KeyImport, AFileWithARefusedRowChangesNoFile) {
    Register r;
    const auto before = filesOf(r.files.dir);
    const ImportPlan plan = r.plan(
        Header + QStringLiteral(",Новый,,доступ,%1,Склад / Ворота\r\n,Плохой,,доступ,0100,\r\n").arg(CodeD));
    EXPECT_EQ(plan.summary(), QStringLiteral("Добавить: 1, изменить: 0, отклонено: 1"));
    EXPECT_TRUE(
        test::errorOf([&] { applyImport(r.reg, plan); }).contains(QStringLiteral("отклонённые строки")));
    EXPECT_EQ(filesOf(r.files.dir), before);
    EXPECT_EQ(r.reg.taTokens().recordCount(), 3);
}

// A failure after some rows were written in memory: the unit is dropped, the
// files stay byte for byte as they were and the tables read them anew.
TEST(KeyImport, AFailureMidwayAppliesNothing) {
    Register r;
    const auto before = filesOf(r.files.dir);
    const QByteArray keysBefore = exportKeysCsv(r.reg);
    const ImportPlan plan = r.plan(Header + QStringLiteral(",Петров,,доступ,%1,Офис / Вход\r\n"
                                                           ",Новый,,доступ,%2,Склад / Ворота\r\n"
                                                           ",Гость,,доступ,%3,\r\n")
                                                .arg(CodeA, CodeD, QStringLiteral("01B2F5107C3B0042")));
    ASSERT_TRUE(plan.canApply()) << plan.rows[2].reason.toStdString();
    const QString message = test::errorOf([&] {
        applyImport(r.reg, plan, [](int done, int) {
            if (done == 2) throw EDatabaseError(QStringLiteral("planted failure"));
        });
    });
    EXPECT_EQ(message, QStringLiteral("planted failure"));
    EXPECT_FALSE(r.reg.unitOpen());
    EXPECT_EQ(filesOf(r.files.dir), before);
    EXPECT_EQ(exportKeysCsv(r.reg), keysBefore);
    EXPECT_EQ(r.reg.taTokens().state(), Dataset::State::Browse);

    // The register goes on: the same plan applies afterwards.
    EXPECT_EQ(applyImport(r.reg, plan).added, 2);
    EXPECT_EQ(r.reg.taTokens().recordCount(), 5);
}

// The register changed between the check and the apply (a key of the plan
// deleted): the apply stops there and leaves everything as it was.
TEST(KeyImport, APlanOverAChangedRegisterIsNotApplied) {
    Register r;
    const ImportPlan plan =
        r.plan(Header + QStringLiteral(",Новый,,доступ,%1,\r\n,Петров,,доступ,%2,\r\n").arg(CodeD, CodeB));
    ASSERT_TRUE(r.reg.taTokens().locate(field::tokenCode, {CodeB}));
    r.reg.taTokens().deleteRecord();
    const auto before = filesOf(r.files.dir);
    EXPECT_TRUE(
        test::errorOf([&] { applyImport(r.reg, plan); }).contains(QStringLiteral("Реестр изменился")));
    EXPECT_EQ(filesOf(r.files.dir), before);
    EXPECT_EQ(r.reg.taTokens().recordCount(), 2);
}

} // namespace

namespace {

// A card number made elsewhere that does not follow from the code is left
// alone by a row that changes nothing else, and computed anew, as editing
// does, for a key that changes.
TEST(KeyImport, ACardNumberIsComputedOnlyForAKeyThatChanges) {
    TempRegister files;
    files.token(CodeA, QStringLiteral("Иванов")); // card 001.00001
    files.token(CodeB, QStringLiteral("Охрана"));
    VarekRegister reg;
    reg.open(files.dir);
    const ImportPlan plan = planImport(
        reg, utf8(QStringLiteral("Код Dallas,Пользователь\r\n%1,Иванов\r\n%2,Петров\r\n").arg(CodeA, CodeB)));
    EXPECT_EQ(plan.rows[0].verdict, Verdict::Same);
    EXPECT_EQ(plan.rows[1].reason, QStringLiteral("изменится: пользователь, жетон"));
    applyImport(reg, plan);
    Table& tokens = reg.taTokens();
    ASSERT_TRUE(tokens.locate(field::tokenCode, {CodeA}));
    EXPECT_EQ(tokens.asString(field::tokenCard), QStringLiteral("001.00001"));
    ASSERT_TRUE(tokens.locate(field::tokenCode, {CodeB}));
    EXPECT_EQ(tokens.asString(field::tokenCard), QStringLiteral("016.00009"));
}

} // namespace
