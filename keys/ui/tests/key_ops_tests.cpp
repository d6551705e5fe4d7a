// Issuing, editing, deleting and withdrawing keys through the real editor,
// over a real register of dBASE files in a temporary directory.

#include "core/port_numbers.h"
#include "core/recording_messages.h"
#include "dbase/dbf.h"
#include "keys/ui/ed_token.h"
#include "keys/ui/key_ops.h"
#include "keys/ui/rights_model.h"
#include "keys/ui/rights_tree_view.h"
#include "keys/ui/tests/key_editor_support.h"
#include "register/data_link.h"
#include "register/register_schema.h"
#include "register/table.h"
#include "register/varek_register.h"
#include "register/view.h"

#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

using namespace varek;

namespace {

const QString CodeA = QStringLiteral("01B2F5107C3A0086"); // card 016.62898
const QString CodeB = QStringLiteral("010900107C3A000D"); // card 016.00009
const QString CodeC = QStringLiteral("010000000000003D"); // card 000.00000

// Appends one record given by field name to a closed table file.
void appendRow(const QString& path, const QVariantHash& values) {
    auto file = DbfFile::open(path);
    QVector<QVariant> record(file->fields().size());
    for (auto it = values.begin(); it != values.end(); ++it) {
        const int index = file->fieldIndex(it.key());
        QVERIFY2(index >= 0, qPrintable(it.key()));
        record[index] = it.value();
    }
    file->appendRecord(record);
}

// Check states of the tree's nodes in order: 'x' checked, '-' unchecked, '~' partial.
QString treeStates(const TfrmEdToken& frm) {
    QString out;
    const RightsModel& rights = frm.rights();
    for (int i = 0; i < rights.nodeCount(); ++i) {
        const Qt::CheckState s = rights.checkState(rights.nodeAt(i));
        out += s == Qt::Checked ? u'x' : s == Qt::Unchecked ? u'-' : u'~';
    }
    return out;
}

QStringList sorted(QStringList list) {
    list.sort();
    return list;
}

} // namespace

// Two objects: "Склад" (1) with controllers 3 "Ворота" and 5 "Дверь", and
// "Офис" (2) with controller 7 "Вход". Tree positions: 0 Склад, 1 ctrl 3,
// 2 ctrl 5, 3 Офис, 4 ctrl 7.
class KeyOpsTests : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> home;
    std::unique_ptr<VarekRegister> reg;
    std::unique_ptr<RecordingMessages> messages;
    std::unique_ptr<KeyOperations> ops;

    QString dataPath() const { return home->path() + QStringLiteral("/Data/"); }

    void makeRegister(const std::function<void(const QString& dir)>& extra = {}) {
        const QString dir = dataPath();
        QDir().mkpath(dir);
        createRegisterFiles(dir);
        appendRow(dir + "obj.dbf", {{"obj_num", 1}, {"obj_name", QStringLiteral("Склад")}});
        appendRow(dir + "obj.dbf", {{"obj_num", 2}, {"obj_name", QStringLiteral("Офис")}});
        appendRow(dir + "ctrl.dbf",
                  {{"obj_num", 1}, {"ctrl_name", QStringLiteral("Ворота")}, {"ser_num", 3}});
        appendRow(dir + "ctrl.dbf", {{"obj_num", 2}, {"ctrl_name", QStringLiteral("Вход")}, {"ser_num", 7}});
        appendRow(dir + "ctrl.dbf", {{"obj_num", 1}, {"ctrl_name", QStringLiteral("Дверь")}, {"ser_num", 5}});
        if (extra) extra(dir);
        reg = std::make_unique<VarekRegister>();
        reg->open(dir);
        ops = std::make_unique<KeyOperations>(*reg, *messages, nullptr);
    }

    void addKey(const QString& dir, const QString& code, const QString& name, int status,
                const QList<int>& controllers) {
        appendRow(dir + "tokens.dbf", {{"token_code", code},
                                       {"token_card", QStringLiteral("999.99999")},
                                       {"user_name", name},
                                       {"give_date", QDate(2020, 5, 1)},
                                       {"status", status}});
        for (int ser : controllers)
            appendRow(dir + "tc.dbf", {{"token_code", code}, {"ser_num", ser}});
    }

    // Access rows as "code:ser", sorted.
    QStringList accessRows() const {
        Table& tc = reg->taTC();
        QStringList rows;
        for (int row = 0; row < tc.recordCount(); ++row)
            rows << QStringLiteral("%1:%2")
                        .arg(tc.value(row, tc.fieldIndex("token_code")).toString())
                        .arg(tc.value(row, tc.fieldIndex("ser_num")).toLongLong());
        rows.sort();
        return rows;
    }

    QStringList keyCodes() const {
        Table& t = reg->taTokens();
        QStringList codes;
        for (int row = 0; row < t.recordCount(); ++row)
            codes << t.value(row, t.fieldIndex("token_code")).toString();
        return codes;
    }

    QByteArray filesDigest() const {
        QCryptographicHash hash(QCryptographicHash::Sha1);
        for (const char* name : {"obj.dbf", "ctrl.dbf", "tokens.dbf", "tc.dbf"}) {
            QFile f(dataPath() + name);
            if (f.open(QIODevice::ReadOnly)) hash.addData(f.readAll());
        }
        return hash.result();
    }

    bool linksFollowAgain() const { return reg->dataSource3().enabled() && reg->dataSource4().enabled(); }

    void selectObject(int objNum) { QVERIFY(reg->taObj().locate("obj_num", {objNum})); }

private slots:
    void init() {
        home = std::make_unique<QTemporaryDir>();
        qputenv("VAREK_HOME", home->path().toLocal8Bit());
        ComToken = 0; // no reader: the editor says so once and works without it
        messages = std::make_unique<RecordingMessages>();
    }

    void cleanup() {
        ops.reset();
        if (reg) reg->close();
        reg.reset();
        home.reset();
    }

    void issueNewKey() {
        makeRegister();
        selectObject(2);
        whenShown([](TfrmEdToken& f) {
            QCOMPARE(f.nodeCount(), 5);
            const QAbstractItemModel* tree = f.tvCtrl->model();
            QCOMPARE(tree->index(0, 0).data().toString(), QStringLiteral("Склад"));
            QCOMPARE(tree->index(1, 0, tree->index(0, 0)).data().toString(), QStringLiteral("Дверь"));
            QCOMPARE(treeStates(f), QStringLiteral("-----"));
            f.edName->setText(QStringLiteral("Иванов Иван"));
            f.edToken->setText(QStringLiteral("01b2f5107c3a0086"));
            f.setNodeChecked(1, true);
            f.setNodeChecked(4, true);
            f.bbSave->click();
        });
        guarded(*messages, [&] { ops->ToolButton13Click(); });
        QVERIFY(!ops->editor());
        QVERIFY2(messages->shown.size() == 1,
                 qPrintable(messages->texts(RecordingMessages::Shown::Plain).join('|')));
        QCOMPARE(messages->texts(RecordingMessages::Shown::Plain),
                 QStringList{QStringLiteral("Не удается подключиться к com-порту.")});
        QCOMPARE(messages->shown.size(), 1);

        Table& t = reg->taTokens();
        QCOMPARE(t.recordCount(), 1);
        QCOMPARE(t.asString("token_code"), CodeA);
        QCOMPARE(t.asString("token_card"), QStringLiteral("016.62898"));
        QCOMPARE(t.asString("user_name"), QStringLiteral("Иванов Иван"));
        QCOMPARE(t.asDate("give_date"), QDate::currentDate());
        QCOMPARE(t.asInteger("status"), 1);
        QCOMPARE(accessRows(), sorted({CodeA + ":3", CodeA + ":7"}));

        // Everything follows the tables again: the object that was current,
        // its controllers only, and the new key's controllers in its view.
        QVERIFY(linksFollowAgain());
        QCOMPARE(reg->taObj().asInteger("obj_num"), 2);
        QCOMPARE(reg->taCtrl().recordCount(), 1);
        QCOMPARE(reg->taCtrl().asInteger("ser_num"), 7);
        QVERIFY(reg->quTokenCtrl().active());
        QCOMPARE(reg->quTokenCtrl().recordCount(), 2);
        QVERIFY(reg->quCtrlToken().active());
        QCOMPARE(reg->quCtrlToken().recordCount(), 1);
    }

    // A code already registered (stored in whatever case): that key is
    // rewritten and keeps exactly the controllers checked now.
    void issueExistingCode_data() {
        QTest::addColumn<QString>("stored");
        QTest::newRow("same case") << CodeA;
        QTest::newRow("stored in lower case") << CodeA.toLower();
    }
    void issueExistingCode() {
        QFETCH(QString, stored);
        makeRegister([&](const QString& dir) {
            addKey(dir, CodeB, QStringLiteral("Другой"), 1, {3});
            addKey(dir, stored, QStringLiteral("Старый"), 1, {3, 5});
        });
        whenShown([](TfrmEdToken& f) {
            f.edName->setText(QStringLiteral("Новый"));
            f.edToken->setText(CodeA);
            f.cbSign->setCurrentIndex(0);
            f.setNodeChecked(4, true);
            f.bbSave->click();
        });
        guarded(*messages, [&] { ops->ToolButton13Click(); });
        QCOMPARE(keyCodes(), (QStringList{CodeB, CodeA}));
        Table& t = reg->taTokens();
        QCOMPARE(t.recNo(), 1);
        QCOMPARE(t.asString("user_name"), QStringLiteral("Новый"));
        QCOMPARE(t.asString("token_card"), QStringLiteral("016.62898"));
        QCOMPARE(t.asInteger("status"), 0);
        QStringList expected{CodeB + ":3", CodeA + ":7"};
        if (stored != CodeA) // rows under the old spelling are left where they are
            expected << stored + ":3" << stored + ":5";
        expected.sort();
        QCOMPARE(accessRows(), expected);
        QVERIFY(linksFollowAgain());
    }

    void editKey() {
        makeRegister([&](const QString& dir) {
            addKey(dir, CodeA, QStringLiteral("Петров"), 0, {3, 5});
            addKey(dir, CodeB, QStringLiteral("Другой"), 1, {5});
        });
        selectObject(1);
        QVERIFY(reg->taTokens().locate("token_code", {CodeA}));
        whenShown([](TfrmEdToken& f) {
            QCOMPARE(f.edName->text(), QStringLiteral("Петров"));
            QCOMPARE(f.edToken->text(), CodeA);
            QCOMPARE(f.dtFirstDay->date(), QDate(2020, 5, 1));
            QCOMPARE(f.cbSign->currentIndex(), 0);
            QCOMPARE(treeStates(f), QStringLiteral("xxx--"));
            f.rights().setData(f.rights().nodeAt(2), Qt::Unchecked, Qt::CheckStateRole); // controller 5
            f.rights().setData(f.rights().nodeAt(4), Qt::Checked, Qt::CheckStateRole);   // controller 7
            QCOMPARE(treeStates(f), QStringLiteral("~x-xx"));
            f.edName->setText(QStringLiteral("Петров П."));
            f.bbSave->click();
        });
        guarded(*messages, [&] { ops->ToolButton8Click(); });
        QVERIFY(messages->texts(RecordingMessages::Shown::Error).isEmpty());
        Table& t = reg->taTokens();
        QCOMPARE(t.recordCount(), 2);
        QCOMPARE(t.asString("token_code"), CodeA);
        QCOMPARE(t.asString("user_name"), QStringLiteral("Петров П."));
        QCOMPARE(t.asString("token_card"), QStringLiteral("016.62898")); // computed again
        QCOMPARE(t.asDate("give_date"), QDate(2020, 5, 1));
        QCOMPARE(accessRows(), sorted({CodeA + ":3", CodeA + ":7", CodeB + ":5"}));
        QVERIFY(linksFollowAgain());
        QCOMPARE(reg->taObj().asInteger("obj_num"), 1);
        QCOMPARE(reg->taCtrl().recordCount(), 2);
    }

    // Changing a key's code to one another key holds is refused, naming that key.
    void editToAnotherKeysCodeIsRefused() {
        makeRegister([&](const QString& dir) {
            addKey(dir, CodeA, QStringLiteral("Петров"), 1, {3});
            addKey(dir, CodeB, QStringLiteral("Сидоров"), 1, {5});
        });
        QVERIFY(reg->taTokens().locate("token_code", {CodeA}));
        const QByteArray before = filesDigest();
        whenShown([this](TfrmEdToken& f) {
            f.edToken->setText(CodeB.toLower());
            f.bbSave->click();
            QVERIFY(f.isVisible());
            const QStringList plain = messages->texts(RecordingMessages::Shown::Plain);
            QCOMPARE(plain.size(), 2); // the reader, then the refusal
            QVERIFY(plain[1].contains(QStringLiteral("Сидоров")));
            QVERIFY(plain[1].contains(QStringLiteral("999.99999")));
            f.edToken->setText(CodeA); // its own code is fine
            f.edName->setText(QStringLiteral("Петров П."));
            f.bbSave->click();
            QVERIFY(!f.isVisible());
        });
        guarded(*messages, [&] { ops->ToolButton8Click(); });
        QVERIFY(filesDigest() != before);
        QCOMPARE(keyCodes(), (QStringList{CodeA, CodeB}));
        QCOMPARE(reg->taTokens().asString("user_name"), QStringLiteral("Петров П."));
    }

    void editToAFreeCodeMovesTheKey() {
        makeRegister([&](const QString& dir) { addKey(dir, CodeA, QStringLiteral("Петров"), 1, {3}); });
        whenShown([](TfrmEdToken& f) {
            f.edToken->setText(CodeC.toLower());
            f.bbSave->click();
        });
        guarded(*messages, [&] { ops->ToolButton8Click(); });
        QCOMPARE(keyCodes(), QStringList{CodeC});
        QCOMPARE(reg->taTokens().asString("token_card"), QStringLiteral("000.00000"));
        QCOMPARE(accessRows(), sorted({CodeC + ":3", CodeA + ":3"}));
    }

    void editWithNoKeysAddsOne() {
        makeRegister();
        whenShown([](TfrmEdToken& f) {
            QVERIFY(f.edName->text().isEmpty());
            QVERIFY(f.edToken->text().isEmpty());
            QCOMPARE(treeStates(f), QStringLiteral("-----"));
            f.edToken->setText(CodeA);
            f.setNodeChecked(2, true);
            f.bbSave->click();
        });
        guarded(*messages, [&] { ops->ToolButton8Click(); });
        QCOMPARE(keyCodes(), QStringList{CodeA});
        QCOMPARE(accessRows(), QStringList{CodeA + ":5"});
    }

    void cancelledEditorChangesNothing_data() {
        QTest::addColumn<bool>("editing");
        QTest::newRow("issue") << false;
        QTest::newRow("edit") << true;
    }
    void cancelledEditorChangesNothing() {
        QFETCH(bool, editing);
        makeRegister([&](const QString& dir) { addKey(dir, CodeA, QStringLiteral("Петров"), 1, {3}); });
        selectObject(2);
        const QByteArray before = filesDigest();
        whenShown([](TfrmEdToken& f) {
            f.edToken->setText(CodeB);
            f.edName->setText(QStringLiteral("Кто-то"));
            f.setNodeChecked(4, true);
            f.bbCancel->click();
        });
        if (editing)
            guarded(*messages, [&] { ops->ToolButton8Click(); });
        else
            guarded(*messages, [&] { ops->ToolButton13Click(); });
        QCOMPARE(filesDigest(), before);
        QCOMPARE(keyCodes(), QStringList{CodeA});
        QCOMPARE(accessRows(), QStringList{CodeA + ":3"});
        QVERIFY(linksFollowAgain());
        QCOMPARE(reg->taObj().asInteger("obj_num"), 2);
        QCOMPARE(reg->taCtrl().recordCount(), 1);
        QVERIFY(!ops->editor());
    }

    // An access row that cannot be written (a controller number too wide for
    // the access table's field): the failure is reported with its reason;
    // the key row, posted before, stays.
    void failedSaveIsReported() {
        makeRegister([&](const QString& dir) {
            QFile::remove(dir + "tc.dbf");
            DbfFile::create(dir + "tc.dbf", {{"TOKEN_CODE", 'C', 16, 0}, {"SER_NUM", 'N', 1, 0}},
                            kRegisterLanguageDriver);
            appendRow(dir + "ctrl.dbf",
                      {{"obj_num", 2}, {"ctrl_name", QStringLiteral("Гараж")}, {"ser_num", 12}});
        });
        whenShown([](TfrmEdToken& f) {
            f.edToken->setText(CodeA);
            f.setNodeChecked(5, true); // controller 12
            f.bbSave->click();
        });
        guarded(*messages, [&] { ops->ToolButton13Click(); });
        const QStringList errors = messages->texts(RecordingMessages::Shown::Error);
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].startsWith(
                     QStringLiteral("Ключ сохранён, но его права доступа записаны не полностью: ")),
                 qPrintable(errors[0]));
        QCOMPARE(keyCodes(), QStringList{CodeA});
        QCOMPARE(reg->taTokens().state(), Dataset::State::Browse);
        QCOMPARE(reg->taTC().state(), Dataset::State::Browse);
        QVERIFY(accessRows().isEmpty());
        QVERIFY(linksFollowAgain());
    }

    // A name the keys table's code page cannot hold is refused on Save, the
    // editor staying open with it; the key is stored once it is corrected.
    void unstorableNameIsRefusedInTheEditor() {
        makeRegister();
        QStringList seen;
        whenShown([&](TfrmEdToken& f) {
            f.edName->setText(QStringLiteral("Петров — старший"));
            f.edToken->setText(CodeA);
            f.bbSave->click();
            seen << (f.isVisible() ? "open" : "closed") << f.edName->text() << f.edName->selectedText();
            f.edName->setText(QStringLiteral("Петров - старший"));
            f.bbSave->click();
        });
        ops->ToolButton13Click();
        QCOMPARE(seen, (QStringList{"open", QStringLiteral("Петров — старший"), QStringLiteral("—")}));
        QCOMPARE(
            messages->texts(RecordingMessages::Shown::Plain),
            (QStringList{QStringLiteral("Не удается подключиться к com-порту."),
                         QStringLiteral("Поле «ФИО»: символ — (U+2014) нельзя сохранить, его нет в кодировке "
                                        "таблицы (cp866). Замените его на «-».")}));
        QVERIFY(messages->texts(RecordingMessages::Shown::Error).isEmpty());
        QCOMPARE(keyCodes(), QStringList{CodeA});
        QCOMPARE(reg->taTokens().asString("user_name"), QStringLiteral("Петров - старший"));
    }

    // The zero entries at the end of a rights list name no controller.
    void applyRightsFollowsTheList() {
        makeRegister([&](const QString& dir) {
            addKey(dir, CodeA, QStringLiteral("Петров"), 1, {5, 0});
            addKey(dir, CodeB, QStringLiteral("Другой"), 1, {3});
        });
        ops->ApplyRights(CodeA, {31, 50, 71, 0, 0});
        QCOMPARE(accessRows(), sorted({CodeA + ":0", CodeA + ":3", CodeA + ":7", CodeB + ":3"}));
        ops->ApplyRights(CodeA, {31, 50, 71}); // nothing to change
        QCOMPARE(accessRows(), sorted({CodeA + ":0", CodeA + ":3", CodeA + ":7", CodeB + ":3"}));
    }

    void deleteAsksFirst() {
        makeRegister([&](const QString& dir) {
            addKey(dir, CodeA, QStringLiteral("Петров"), 1, {3});
            addKey(dir, CodeB, QStringLiteral("Сидоров"), 1, {5});
        });
        QVERIFY(reg->taTokens().locate("token_code", {CodeB}));
        messages->questionAnswers = {false, true};
        guarded(*messages, [&] { ops->ToolButton12Click(); });
        QCOMPARE(keyCodes(), (QStringList{CodeA, CodeB}));
        const QStringList asked = messages->texts(RecordingMessages::Shown::Question);
        QCOMPARE(asked.size(), 1);
        QVERIFY(asked[0].contains(QStringLiteral("999.99999")));
        QVERIFY(asked[0].contains(QStringLiteral("Сидоров")));
        guarded(*messages, [&] { ops->ToolButton12Click(); });
        QCOMPARE(keyCodes(), QStringList{CodeA});
        // The key's access rows stay; issuing the code again replaces them.
        QCOMPARE(accessRows(), sorted({CodeA + ":3", CodeB + ":5"}));
    }

    void deleteOnEmptyTableReportsTheError() {
        makeRegister();
        guarded(*messages, [&] { ops->ToolButton12Click(); });
        QVERIFY(messages->texts(RecordingMessages::Shown::Question).isEmpty());
        QCOMPARE(messages->texts(RecordingMessages::Shown::Error),
                 QStringList{QStringLiteral("Cannot perform this operation on an empty dataset.")});
    }

    void withdrawFromTheCurrentController() {
        makeRegister([&](const QString& dir) {
            addKey(dir, CodeA, QStringLiteral("Петров"), 1, {3, 5});
            addKey(dir, CodeB, QStringLiteral("Другой"), 1, {3});
        });
        selectObject(1);
        QVERIFY(reg->taCtrl().locate("ser_num", {3}));
        View& keys = reg->quCtrlToken();
        QVERIFY(keys.active());
        QCOMPARE(keys.recordCount(), 2);
        for (int row = 0; row < keys.recordCount() && keys.asString("token_code") != CodeA; ++row)
            keys.setRecNo(row);
        QCOMPARE(keys.asString("token_code"), CodeA);
        guarded(*messages, [&] { ops->tbDelTokenClick(); });
        QVERIFY(messages->shown.isEmpty());
        QCOMPARE(accessRows(), sorted({CodeA + ":5", CodeB + ":3"}));
        QCOMPARE(keyCodes(), (QStringList{CodeA, CodeB}));
        QCOMPARE(keys.recordCount(), 1);
        QCOMPARE(keys.asString("token_code"), CodeB);
    }
};

QTEST_MAIN(KeyOpsTests)
#include "key_ops_tests.moc"
