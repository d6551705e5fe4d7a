// The operations of the "Контроллеры" page over a real register in a
// temporary directory, driven through the real editor dialogs.

#include "core/errors.h"
#include "core/recording_messages.h"
#include "dbase/dbf.h"
#include "register/data_link.h"
#include "register/register_schema.h"
#include "register/table.h"
#include "register/ui/db_grid.h"
#include "register/ui/ed_ctrl.h"
#include "register/ui/ed_obj.h"
#include "register/ui/objects_ops.h"
#include "register/ui/tests/ed_test_support.h"
#include "register/varek_register.h"
#include "register/view.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace varek;
using namespace varek::test;

namespace {

using Rows = QList<QVariantMap>;

const QString kCtrlDbf = QStringLiteral("ctrl.dbf");
const QString kObjDbf = QStringLiteral("obj.dbf");
const QString kTcDbf = QStringLiteral("tc.dbf");

} // namespace

class ObjectsOpsTests : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<VarekRegister> reg;
    RecordingMessages messages;
    std::unique_ptr<ObjectsOperations> ops;

    // The live rows of a table file, read from the disk, field names in lower case.
    Rows fileRows(const QString& file) const {
        const auto f = DbfFile::open(dir->filePath(file));
        Rows out;
        f->readAll([&](quint32, QVector<QVariant>&& values) {
            QVariantMap row;
            for (int i = 0; i < values.size(); ++i)
                row[f->fields()[i].name.toLower()] = values[i];
            out << row;
        });
        return out;
    }
    QList<qint64> fileColumn(const QString& file, const QString& field) const {
        QList<qint64> out;
        for (const auto& row : fileRows(file))
            out << row.value(field).toLongLong();
        return out;
    }
    QVariantMap fileRow(const QString& file, const QString& field, qint64 value) const {
        for (const auto& row : fileRows(file))
            if (row.value(field).isValid() && row.value(field).toLongLong() == value) return row;
        return {};
    }
    QByteArray fileBytes(const QString& file) const {
        QFile f(dir->filePath(file));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QList<QByteArray> allFiles() const {
        return {fileBytes(kObjDbf), fileBytes(kCtrlDbf), fileBytes(QStringLiteral("tokens.dbf")),
                fileBytes(kTcDbf)};
    }

    void putObj(const QVariant& num, const QString& name) {
        Table& t = reg->taObj();
        t.append();
        t.setFieldValue(QStringLiteral("obj_num"), num);
        t.setFieldValue(QStringLiteral("obj_name"), name);
        t.post();
    }
    void putCtrl(qint32 objNum, qint32 serNum, const QString& name, qint32 openTime = 5) {
        Table& t = reg->taCtrl();
        t.append();
        t.setFieldValue(QStringLiteral("obj_num"), objNum);
        t.setFieldValue(QStringLiteral("ser_num"), serNum);
        t.setFieldValue(QStringLiteral("ctrl_name"), name);
        t.setFieldValue(QStringLiteral("open_time"), openTime);
        t.post();
    }
    void putToken(const QString& code, const QString& user) {
        Table& t = reg->taTokens();
        t.append();
        t.setFieldValue(QStringLiteral("token_code"), code);
        t.setFieldValue(QStringLiteral("user_name"), user);
        t.setFieldValue(QStringLiteral("status"), 1);
        t.post();
    }
    void putAccess(const QString& code, qint32 serNum) {
        Table& t = reg->taTC();
        t.append();
        t.setFieldValue(QStringLiteral("token_code"), code);
        t.setFieldValue(QStringLiteral("ser_num"), serNum);
        t.post();
    }
    void goToObject(qint32 num) { QVERIFY(reg->taObj().locate(QStringLiteral("obj_num"), {num})); }
    void goToCtrl(qint32 ser) { QVERIFY(reg->taCtrl().locate(QStringLiteral("ser_num"), {ser})); }
    qint32 currentObj() const { return reg->taObj().asInteger(QStringLiteral("obj_num")); }
    qint32 currentSer() const { return reg->taCtrl().asInteger(QStringLiteral("ser_num")); }
    // ser_num of the controllers presented for the current object.
    QList<qint32> presentedSers() const {
        QList<qint32> out;
        const Table& t = reg->taCtrl();
        const int f = t.fieldIndex(QStringLiteral("ser_num"));
        for (int row = 0; row < t.recordCount(); ++row)
            out << t.value(row, f).toInt();
        std::sort(out.begin(), out.end());
        return out;
    }

    // Two objects: "Школа" (1) with controllers 1 "Вход" and 2 "Склад",
    // "Офис" (2) with controller 3 "Дверь"; keys A and B; access rows
    // A-1, B-1, A-2, C-2 (C is no key), A-3. The current object is "Школа".
    void sampleRegister() {
        putObj(1, QStringLiteral("Школа"));
        putObj(2, QStringLiteral("Офис"));
        goToObject(1);
        putCtrl(1, 1, QStringLiteral("Вход"));
        putCtrl(1, 2, QStringLiteral("Склад"), 8);
        putCtrl(2, 3, QStringLiteral("Дверь"));
        putToken(QStringLiteral("0100000000000A2B"), QStringLiteral("Иванов"));
        putToken(QStringLiteral("0100000000000B3C"), QStringLiteral("Петров"));
        putAccess(QStringLiteral("0100000000000A2B"), 1);
        putAccess(QStringLiteral("0100000000000B3C"), 1);
        putAccess(QStringLiteral("0100000000000A2B"), 2);
        putAccess(QStringLiteral("01000000000000C0"), 2);
        putAccess(QStringLiteral("0100000000000A2B"), 3);
        goToObject(1);
    }

    // Replaces a table file of the (closed and reopened) register by one with
    // the same fields, in another code page or with one field narrowed.
    void remakeTable(const QString& file, quint8 languageDriver, const QString& narrowField = QString(),
                     int width = 0) {
        ops.reset();
        reg->close();
        QVector<DbfField> fields = registerTable(file)->fields;
        for (DbfField& f : fields)
            if (f.name.compare(narrowField, Qt::CaseInsensitive) == 0) f.length = width;
        QVERIFY(QFile::remove(dir->filePath(file)));
        DbfFile::create(dir->filePath(file), fields, languageDriver);
        reg->open(dir->path() + QLatin1Char('/'));
        ops = std::make_unique<ObjectsOperations>(*reg, messages);
    }

    void checkLinksBack() {
        QVERIFY(reg->dataSource3().enabled());
        QVERIFY(reg->dataSource4().enabled());
        QVERIFY(reg->taCtrl().masterAttached());
    }

private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        createRegisterFiles(dir->path());
        reg = std::make_unique<VarekRegister>();
        reg->open(dir->path() + QLatin1Char('/'));
        messages.clear();
        messages.questionAnswers.clear();
        ops = std::make_unique<ObjectsOperations>(*reg, messages);
    }

    void cleanup() {
        ops.reset();
        reg->close();
        reg.reset();
        dir.reset();
        QVERIFY(!frmEdObj && !frmEdCtrl);
    }

    void objectNumbers_data() {
        QTest::addColumn<QVariantList>("existing");
        QTest::addColumn<int>("next");
        QTest::newRow("empty register") << QVariantList{} << 1;
        QTest::newRow("1, 2, 7") << QVariantList{1, 7, 2} << 8;
        QTest::newRow("null and 0") << QVariantList{QVariant(), 0} << 1;
        QTest::newRow("negative only") << QVariantList{-4} << 1;
    }

    void objectNumbers() {
        QFETCH(QVariantList, existing);
        QFETCH(int, next);
        for (const QVariant& num : existing)
            putObj(num, QStringLiteral("o%1").arg(num.toInt()));
        whenModal([](QDialog* dlg) {
            setEdit(dlg, "edName", QStringLiteral("Новая школа"));
            setEdit(dlg, "edAddr", QStringLiteral("ул. Мира, 3"));
            click(dlg, "bbSave");
        });
        ops->addObject();
        QVERIFY(messages.shown.isEmpty());
        const QVariantMap row = fileRows(kObjDbf).last();
        QCOMPARE(row.value(QStringLiteral("obj_num")).toInt(), next);
        QCOMPARE(row.value(QStringLiteral("obj_name")).toString(), QStringLiteral("Новая школа"));
        QCOMPARE(row.value(QStringLiteral("addr")).toString(), QStringLiteral("ул. Мира, 3"));
        // The new object is the current one.
        QCOMPARE(currentObj(), next);
        checkLinksBack();
    }

    void controllerNumbersAcrossObjects() {
        putObj(1, QStringLiteral("А"));
        putObj(2, QStringLiteral("Б"));
        goToObject(1);
        for (int ser = 1; ser <= 5; ++ser)
            putCtrl(1, ser, QStringLiteral("к%1").arg(ser));
        putCtrl(2, 6, QStringLiteral("к6"));
        goToObject(1);

        const auto addOne = [this](const QString& name) {
            whenModal([name](QDialog* dlg) {
                auto* cb = child<QComboBox>(dlg, "cbObj");
                QCOMPARE(cb->currentText(), QStringLiteral("А")); // the current object
                QCOMPARE(cb->count(), 2);
                QCOMPARE(child<QLineEdit>(dlg, "edName")->text(), QString());
                QCOMPARE(child<QLineEdit>(dlg, "edOpen")->text(), QStringLiteral("5"));
                setEdit(dlg, "edName", name);
                click(dlg, "bbSave");
            });
            ops->addController();
        };
        addOne(QStringLiteral("Новый"));
        QVariantMap row = fileRow(kCtrlDbf, QStringLiteral("ser_num"), 7);
        QCOMPARE(row.value(QStringLiteral("obj_num")).toInt(), 1);
        QCOMPARE(row.value(QStringLiteral("ctrl_name")).toString(), QStringLiteral("Новый"));
        QCOMPARE(row.value(QStringLiteral("open_time")).toInt(), 5);
        QCOMPARE(presentedSers(), (QList<qint32>{1, 2, 3, 4, 5, 7}));
        checkLinksBack();

        goToCtrl(7);
        ops->deleteController();
        QCOMPARE(messages.texts(RecordingMessages::Shown::Question),
                 QStringList{QStringLiteral("Удалить контроллер «Новый»?")});
        QCOMPARE(fileColumn(kCtrlDbf, QStringLiteral("ser_num")), (QList<qint64>{1, 2, 3, 4, 5, 6}));

        addOne(QStringLiteral("Ещё один"));
        QCOMPARE(
            fileRow(kCtrlDbf, QStringLiteral("ser_num"), 7).value(QStringLiteral("ctrl_name")).toString(),
            QStringLiteral("Ещё один"));
    }

    void cancelledEditorsChangeNothing() {
        sampleRegister();
        goToCtrl(2);
        const QList<QByteArray> before = allFiles();
        const auto cancel = [](QDialog* dlg) {
            setEdit(dlg, "edName", QStringLiteral("не сохранять"));
            click(dlg, "bbCancel");
        };

        whenModal(cancel);
        ops->addObject();
        whenModal(cancel);
        ops->editObject();
        whenModal(cancel);
        ops->editController();
        QCOMPARE(currentSer(), 2); // the edited controller is current again
        whenModal(cancel);
        ops->addController();
        QCOMPARE(currentSer(), 1); // the current object's first controller
        QCOMPARE(currentObj(), 1);

        QVERIFY(allFiles() == before);
        QVERIFY(messages.shown.isEmpty());
        checkLinksBack();
        // Nothing was allocated: the next numbers are still the same.
        QCOMPARE(ops->NextObjNum(), 3);
        QCOMPARE(ops->NextSerNum(), 4);
    }

    void editObjectKeepsItsNumber() {
        sampleRegister();
        whenModal([](QDialog* dlg) {
            QCOMPARE(child<QLineEdit>(dlg, "edName")->text(), QStringLiteral("Школа"));
            setEdit(dlg, "edName", QStringLiteral("Школа №1"));
            setEdit(dlg, "edNote", QStringLiteral("вход со двора"));
            click(dlg, "bbSave");
        });
        ops->editObject();
        const QVariantMap row = fileRow(kObjDbf, QStringLiteral("obj_num"), 1);
        QCOMPARE(row.value(QStringLiteral("obj_name")).toString(), QStringLiteral("Школа №1"));
        QCOMPARE(row.value(QStringLiteral("notes")).toString(), QStringLiteral("вход со двора"));
        QCOMPARE(fileColumn(kObjDbf, QStringLiteral("obj_num")), (QList<qint64>{1, 2}));
        QCOMPARE(presentedSers(), (QList<qint32>{1, 2}));
    }

    void editControllerMovesItToAnotherObject() {
        sampleRegister();
        goToCtrl(2);
        whenModal([](QDialog* dlg) {
            auto* cb = child<QComboBox>(dlg, "cbObj");
            QCOMPARE(cb->currentText(), QStringLiteral("Школа"));
            QCOMPARE(child<QLineEdit>(dlg, "edName")->text(), QStringLiteral("Склад"));
            QCOMPARE(child<QLineEdit>(dlg, "edOpen")->text(), QStringLiteral("8"));
            cb->setCurrentIndex(cb->findText(QStringLiteral("Офис")));
            setEdit(dlg, "edOpen", QStringLiteral("10"));
            click(dlg, "bbSave");
        });
        ops->editController();
        QVERIFY(messages.shown.isEmpty());
        const QVariantMap row = fileRow(kCtrlDbf, QStringLiteral("ser_num"), 2);
        QCOMPARE(row.value(QStringLiteral("obj_num")).toInt(), 2);
        QCOMPARE(row.value(QStringLiteral("open_time")).toInt(), 10);
        QCOMPARE(row.value(QStringLiteral("ctrl_name")).toString(), QStringLiteral("Склад"));
        QCOMPARE(currentObj(), 1);
        QCOMPARE(presentedSers(), QList<qint32>{1});
        goToObject(2);
        QCOMPARE(presentedSers(), (QList<qint32>{2, 3}));
        checkLinksBack();
    }

    void editsHoldWhatTheFieldsStore() {
        putObj(1, QStringLiteral("Школа"));
        const int nameWidth = reg->taObj().fieldWidth(QStringLiteral("obj_name"));
        const int ctrlWidth = reg->taCtrl().fieldWidth(QStringLiteral("ctrl_name"));
        QVERIFY(nameWidth > 0 && ctrlWidth > 0);
        const QString longName = QString(nameWidth + 5, QChar(u'Ж'));
        whenModal([&](QDialog* dlg) {
            auto* edit = child<QLineEdit>(dlg, "edName");
            QCOMPARE(edit->maxLength(), nameWidth);
            edit->setText(longName); // what a paste would do
            click(dlg, "bbSave");
        });
        ops->addObject();
        QCOMPARE(fileRow(kObjDbf, QStringLiteral("obj_num"), 2).value(QStringLiteral("obj_name")).toString(),
                 longName.left(nameWidth));
        whenModal([&](QDialog* dlg) {
            QCOMPARE(child<QLineEdit>(dlg, "edName")->maxLength(), ctrlWidth);
            QCOMPARE(child<QLineEdit>(dlg, "edHard")->maxLength(),
                     reg->taCtrl().fieldWidth(QStringLiteral("hard")));
            QCOMPARE(child<QLineEdit>(dlg, "edNote")->maxLength(),
                     reg->taCtrl().fieldWidth(QStringLiteral("notes")));
            click(dlg, "bbCancel");
        });
        ops->addController();
        QVERIFY(messages.shown.isEmpty());
    }

    void thePickedObjectIsStored() {
        putObj(1, QStringLiteral("Склад"));
        putObj(2, QStringLiteral("Склад"));
        putObj(3, QStringLiteral("Офис"));
        goToObject(3);
        whenModal([](QDialog* dlg) {
            auto* cb = child<QComboBox>(dlg, "cbObj");
            QCOMPARE(cb->currentText(), QStringLiteral("Офис"));
            cb->setCurrentIndex(1); // the second "Склад"
            setEdit(dlg, "edName", QStringLiteral("Ворота"));
            click(dlg, "bbSave");
        });
        ops->addController();
        QCOMPARE(fileRow(kCtrlDbf, QStringLiteral("ser_num"), 1).value(QStringLiteral("obj_num")).toInt(), 2);
        QCOMPARE(presentedSers(), QList<qint32>{}); // not listed under "Офис"
    }

    void wrongValuesAreRefused() {
        sampleRegister();
        const QList<QByteArray> before = allFiles();
        QStringList seen;
        whenModal([&](QDialog* dlg) {
            setEdit(dlg, "edName", QStringLiteral("Новый"));
            setEdit(dlg, "edOpen", QStringLiteral("300"));
            click(dlg, "bbSave");
            seen << (dlg->isVisible() ? "open" : "closed");
            setEdit(dlg, "edOpen", QStringLiteral("5"));
            child<QComboBox>(dlg, "cbObj")->setEditText(QStringLiteral("Гараж"));
            click(dlg, "bbSave");
            seen << (dlg->isVisible() ? "open" : "closed");
            click(dlg, "bbCancel");
        });
        ops->addController();
        QCOMPARE(seen, (QStringList{"open", "open"}));
        const QStringList errors = messages.texts(RecordingMessages::Shown::Error);
        QCOMPARE(errors.size(), 2);
        QVERIFY(errors[0].startsWith(QStringLiteral("Поле «Время откр.»")));
        QVERIFY(errors[1].startsWith(QStringLiteral("Поле «Объект»")));

        goToCtrl(2);
        whenModal([&](QDialog* dlg) {
            setEdit(dlg, "edOpen", QStringLiteral("300"));
            click(dlg, "bbSave");
            click(dlg, "bbCancel");
        });
        ops->editController();
        QCOMPARE(messages.texts(RecordingMessages::Shown::Error).size(), 3);
        QVERIFY(allFiles() == before);
    }

    void deletingAnObjectLeavesNoAccessBehind() {
        sampleRegister();
        const QList<QByteArray> before = allFiles();
        messages.questionAnswers = {false};
        ops->deleteObject();
        QCOMPARE(messages.texts(RecordingMessages::Shown::Question),
                 QStringList{QStringLiteral("Удалить объект «Школа» и его контроллеры (2)?")});
        QVERIFY(allFiles() == before);

        ops->deleteObject();
        QCOMPARE(fileColumn(kObjDbf, QStringLiteral("obj_num")), QList<qint64>{2});
        QCOMPARE(fileColumn(kCtrlDbf, QStringLiteral("ser_num")), QList<qint64>{3});
        QCOMPARE(fileColumn(kTcDbf, QStringLiteral("ser_num")), QList<qint64>{3});
        QCOMPARE(currentObj(), 2);
        QCOMPARE(presentedSers(), QList<qint32>{3});
        checkLinksBack();

        // An object without controllers is asked about by name alone.
        putObj(5, QStringLiteral("Пустой"));
        goToObject(5);
        ops->deleteObject();
        QCOMPARE(messages.texts(RecordingMessages::Shown::Question).last(),
                 QStringLiteral("Удалить объект «Пустой»?"));
        QCOMPARE(fileColumn(kObjDbf, QStringLiteral("obj_num")), QList<qint64>{2});
    }

    void deletingAControllerTakesItsAccessRows() {
        sampleRegister();
        goToCtrl(2);
        messages.questionAnswers = {false};
        ops->deleteController();
        QCOMPARE(
            messages.texts(RecordingMessages::Shown::Question),
            QStringList{QStringLiteral("Удалить контроллер «Склад» и права доступа к нему ключей (2)?")});
        QCOMPARE(fileColumn(kCtrlDbf, QStringLiteral("ser_num")).size(), 3);

        ops->deleteController();
        QCOMPARE(fileColumn(kCtrlDbf, QStringLiteral("ser_num")), (QList<qint64>{1, 3}));
        // The row of a key that no longer exists goes too.
        QCOMPARE(fileColumn(kTcDbf, QStringLiteral("ser_num")), (QList<qint64>{1, 1, 3}));
        QCOMPARE(currentSer(), 1);
        QCOMPARE(reg->quCtrlToken().recordCount(), 2); // the keys of the controller now current

        // Ctrl+Delete's deleter asks nothing of its own.
        messages.clear();
        ops->deleteControllerRow();
        QVERIFY(messages.shown.isEmpty());
        QCOMPARE(fileColumn(kTcDbf, QStringLiteral("ser_num")), QList<qint64>{3});
        QCOMPARE(presentedSers(), QList<qint32>{});
    }

    void ctrlDeleteOfAnObjectTakesItsDependents() {
        sampleRegister();
        goToObject(2);
        ops->deleteObjectRow();
        QVERIFY(messages.shown.isEmpty());
        QCOMPARE(fileColumn(kObjDbf, QStringLiteral("obj_num")), QList<qint64>{1});
        QCOMPARE(fileColumn(kCtrlDbf, QStringLiteral("ser_num")), (QList<qint64>{1, 2}));
        QCOMPARE(fileColumn(kTcDbf, QStringLiteral("ser_num")), (QList<qint64>{1, 1, 2, 2}));
    }

    void ctrlDeleteInTheGridsTakesDependents() {
        sampleRegister();
        putObj(3, QStringLiteral("Склад-2"));
        goToObject(3);
        putCtrl(3, 4, QStringLiteral("Ворота"));
        putAccess(QStringLiteral("0100000000000B3C"), 4);

        DbGrid objects(reg->dataSource3(), {{QStringLiteral("obj_name"), QStringLiteral("Наименование")}},
                       {.rowSelect = true, .multiSelect = true, .tableGrid = true}, messages);
        objects.setRowDeleter([this] { ops->deleteObjectRow(); });
        for (int row : {0, 2})
            objects.selectionModel()->select(objects.model()->index(row, 0),
                                             QItemSelectionModel::Select | QItemSelectionModel::Rows);
        objects.deleteRows();
        QCOMPARE(messages.texts(RecordingMessages::Shown::Confirm),
                 QStringList{QStringLiteral("Delete all selected records?")});
        QCOMPARE(fileColumn(kObjDbf, QStringLiteral("obj_num")), QList<qint64>{2});
        QCOMPARE(fileColumn(kCtrlDbf, QStringLiteral("ser_num")), QList<qint64>{3});
        QCOMPARE(fileColumn(kTcDbf, QStringLiteral("ser_num")), QList<qint64>{3});

        DbGrid ctrls(reg->dataSource4(), {{QStringLiteral("ctrl_name"), QStringLiteral("Наименование")}},
                     {.tableGrid = true}, messages);
        ctrls.setRowDeleter([this] { ops->deleteControllerRow(); });
        QCOMPARE(currentObj(), 2);
        ctrls.deleteRows();
        QCOMPARE(fileColumn(kCtrlDbf, QStringLiteral("ser_num")), QList<qint64>{});
        QCOMPARE(fileColumn(kTcDbf, QStringLiteral("ser_num")), QList<qint64>{});
        checkLinksBack();
    }

    void emptyListsCannotBeDeletedFrom() {
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, ops->deleteObject());
        putObj(1, QStringLiteral("Без контроллеров"));
        try {
            ops->deleteController();
            QFAIL("deleted from an empty list");
        } catch (const EDatabaseError& e) {
            QCOMPARE(e.message(), QStringLiteral("Cannot perform this operation on an empty dataset"));
        }
        QVERIFY(messages.shown.isEmpty());
    }

    void nothingToEdit() {
        bool opened = false;
        auto cancelWait = whenModal([&](QDialog* dlg) {
            opened = true;
            click(dlg, "bbCancel");
        });
        ops->editObject();
        ops->editController();
        ops->addController();
        putObj(1, QStringLiteral("Без контроллеров"));
        ops->editController();
        cancelWait();
        QVERIFY(!opened);
        QCOMPARE(messages.texts(RecordingMessages::Shown::Plain),
                 (QStringList{
                     QStringLiteral("Нет объекта для изменения: список объектов пуст."),
                     QStringLiteral("Нет контроллера для изменения: список объектов пуст."),
                     QStringLiteral("Нет ни одного объекта: сначала добавьте объект, затем его контроллеры."),
                     QStringLiteral("Нет контроллера для изменения: у текущего объекта нет контроллеров.")}));
        QCOMPARE(fileRows(kCtrlDbf).size(), 0);
        QCOMPARE(fileRows(kObjDbf).size(), 1);
    }

    void linksComeBackAfterAFailure() {
        sampleRegister();
        const QList<QByteArray> before = allFiles();

        // A failure while the controllers table is detached (the walk of NextSerNum).
        bool armed = true;
        DataLink ctrlProbe(&reg->taCtrl());
        ctrlProbe.addChangeHandler([&] {
            if (armed && !reg->taCtrl().masterAttached()) {
                armed = false;
                throw EDatabaseError(QStringLiteral("сбой чтения"));
            }
        });
        whenModal([](QDialog* dlg) {
            setEdit(dlg, "edName", QStringLiteral("Новый"));
            click(dlg, "bbSave");
        });
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, ops->addController());
        QVERIFY(!armed);
        checkLinksBack();
        QCOMPARE(presentedSers(), (QList<qint32>{1, 2}));

        // A failure while the objects' link is suspended (the walk of the editor's object list).
        armed = true;
        DataLink objProbe(&reg->taObj());
        objProbe.addChangeHandler([&] {
            if (armed && !reg->dataSource3().enabled()) {
                armed = false;
                throw EDatabaseError(QStringLiteral("сбой чтения"));
            }
        });
        goToCtrl(2);
        auto cancelWait = whenModal([](QDialog* dlg) { click(dlg, "bbCancel"); });
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, ops->editController());
        cancelWait();
        QVERIFY(!armed);
        QVERIFY(!frmEdCtrl);
        checkLinksBack();
        QCOMPARE(currentObj(), 1);
        QCOMPARE(presentedSers(), (QList<qint32>{1, 2}));
        QVERIFY(allFiles() == before);
    }

    // A text that the table's code page (cp866 here) cannot hold is refused on
    // Save before anything is written: the message names the field and the
    // character and offers a plain look-alike when there is one; the editor
    // stays open with the typing, the character selected. Corrected, it saves.
    void unstorableTextIsRefusedInTheEditor_data() {
        QTest::addColumn<bool>("controller");
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("bad");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("corrected");
        const QString cp866 = QStringLiteral(" нельзя сохранить, его нет в кодировке таблицы (cp866).");
        QTest::newRow("object name, guillemets")
            << false << "edName" << QStringLiteral("Склад «Юг»") << QStringLiteral("«")
            << QStringLiteral("Поле «Наименование»: символ « (U+00AB)") + cp866 +
                   QStringLiteral(" Замените его на «\"».")
            << QStringLiteral("Склад \"Юг\"");
        QTest::newRow("object address, ellipsis")
            << false << "edAddr" << QStringLiteral("ул. Мира…") << QStringLiteral("…")
            << QStringLiteral("Поле «Адрес»: символ … (U+2026)") + cp866 +
                   QStringLiteral(" Замените его на «...».")
            << QStringLiteral("ул. Мира...");
        QTest::newRow("object note, a character outside 16 bits")
            << false << "edNote" << QStringLiteral("ок 👍") << QStringLiteral("👍")
            << QStringLiteral("Поле «Примечание»: символ 👍 (U+1F44D)") + cp866 +
                   QStringLiteral(" Удалите его или замените другим.")
            << QStringLiteral("ок");
        QTest::newRow("controller firmware, dash")
            << true << "edHard" << QStringLiteral("v1—2") << QStringLiteral("—")
            << QStringLiteral("Поле «Прошивка»: символ — (U+2014)") + cp866 +
                   QStringLiteral(" Замените его на «-».")
            << QStringLiteral("v1-2");
        QTest::newRow("controller name, invisible character")
            << true << "edName" << QStringLiteral("Вход\u200B") << QStringLiteral("\u200B")
            << QStringLiteral("Поле «Наименование»: символ U+200B") + cp866 +
                   QStringLiteral(" Удалите его или замените другим.")
            << QStringLiteral("Вход");
    }

    void unstorableTextIsRefusedInTheEditor() {
        QFETCH(bool, controller);
        QFETCH(QString, edit);
        QFETCH(QString, typed);
        QFETCH(QString, bad);
        QFETCH(QString, message);
        QFETCH(QString, corrected);
        putObj(1, QStringLiteral("Школа"));
        QStringList seen;
        whenModal([&](QDialog* dlg) {
            auto* field = dlg->findChild<QLineEdit*>(edit);
            field->setText(typed);
            click(dlg, "bbSave");
            seen << (dlg->isVisible() ? "open" : "closed") << field->text() << field->selectedText()
                 << (dlg->focusWidget() == field ? "focus" : "no focus");
            field->setText(corrected);
            click(dlg, "bbSave");
            seen << (dlg->isVisible() ? "open" : "closed");
        });
        if (controller)
            ops->addController();
        else
            ops->addObject();
        QCOMPARE(messages.texts(RecordingMessages::Shown::Error), QStringList{message});
        QCOMPARE(seen.size(), 5);
        QCOMPARE(seen[0], QStringLiteral("open"));
        QCOMPARE(seen[1], typed);
        QCOMPARE(seen[2], bad); // the refused character is selected
        QCOMPARE(seen[3], QStringLiteral("focus"));
        QCOMPARE(seen[4], QStringLiteral("closed"));
        const QString column = edit == QLatin1String("edName")   ? (controller ? "ctrl_name" : "obj_name")
                               : edit == QLatin1String("edAddr") ? "addr"
                               : edit == QLatin1String("edHard") ? "hard"
                                                                 : "notes";
        const QVariantMap row = controller ? fileRow(kCtrlDbf, QStringLiteral("ser_num"), 1)
                                           : fileRow(kObjDbf, QStringLiteral("obj_num"), 2);
        QCOMPARE(row.value(column).toString(), corrected);
    }

    // A register in cp1251 holds the typographic characters that cp866 lacks:
    // they are stored as typed.
    void cp1251RegisterStoresWhatCp866Refuses() {
        remakeTable(kObjDbf, 0xC9);
        whenModal([](QDialog* dlg) {
            setEdit(dlg, "edName", QStringLiteral("Склад «Юг» — 2…"));
            click(dlg, "bbSave");
        });
        ops->addObject();
        QVERIFY(messages.shown.isEmpty());
        QCOMPARE(fileRow(kObjDbf, QStringLiteral("obj_num"), 1).value(QStringLiteral("obj_name")).toString(),
                 QStringLiteral("Склад «Юг» — 2…"));
    }

    // A row that the storage refuses (here the tenth number in a field of one
    // digit) is dropped once the error is on its way to the report: the
    // table is not left holding it, and the next operation works.
    void refusedRowIsDroppedSoTheNextOperationWorks_data() {
        QTest::addColumn<bool>("controller");
        QTest::newRow("new object") << false;
        QTest::newRow("new controller") << true;
    }

    void refusedRowIsDroppedSoTheNextOperationWorks() {
        QFETCH(bool, controller);
        remakeTable(controller ? kCtrlDbf : kObjDbf, kRegisterLanguageDriver,
                    controller ? QStringLiteral("ser_num") : QStringLiteral("obj_num"), 1);
        putObj(1, QStringLiteral("о1"));
        for (int n = controller ? 1 : 2; n <= 9; ++n) {
            if (controller)
                putCtrl(1, n, QStringLiteral("к%1").arg(n));
            else
                putObj(n, QStringLiteral("о%1").arg(n));
        }
        goToObject(1);
        Table& table = controller ? reg->taCtrl() : reg->taObj();
        const int rows = table.recordCount();
        const QString file = controller ? kCtrlDbf : kObjDbf;
        const QByteArray before = fileBytes(file);

        whenModal([](QDialog* dlg) {
            setEdit(dlg, "edName", QStringLiteral("Десятый"));
            click(dlg, "bbSave");
        });
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, controller ? ops->addController() : ops->addObject());
        QCOMPARE(table.state(), Dataset::State::Browse);
        QCOMPARE(table.recordCount(), rows);
        QCOMPARE(fileBytes(file), before);
        checkLinksBack();

        // The next operation: renaming the current row.
        whenModal([](QDialog* dlg) {
            setEdit(dlg, "edName", QStringLiteral("Первый"));
            click(dlg, "bbSave");
        });
        controller ? ops->editController() : ops->editObject();
        QCOMPARE(table.state(), Dataset::State::Browse);
        QCOMPARE(table.recordCount(), rows);
        QCOMPARE(fileRows(file).size(), rows);
        QCOMPARE(table.asString(controller ? QStringLiteral("ctrl_name") : QStringLiteral("obj_name")),
                 QStringLiteral("Первый"));
        QVERIFY(messages.shown.isEmpty());
    }

    void reopenedFilesShowTheChanges() {
        sampleRegister();
        whenModal([](QDialog* dlg) {
            setEdit(dlg, "edName", QStringLiteral("Почта"));
            click(dlg, "bbSave");
        });
        ops->addObject(); // number 3, current
        whenModal([](QDialog* dlg) {
            setEdit(dlg, "edName", QStringLiteral("Окно выдачи"));
            setEdit(dlg, "edHard", QStringLiteral("v3"));
            setEdit(dlg, "edOpen", QStringLiteral("12"));
            click(dlg, "bbSave");
        });
        ops->addController(); // number 4 under "Почта"
        goToObject(1);
        goToCtrl(1);
        ops->deleteController();

        ops.reset();
        reg->close();
        reg = std::make_unique<VarekRegister>();
        reg->open(dir->path());
        goToObject(3);
        QCOMPARE(reg->taObj().asString(QStringLiteral("obj_name")), QStringLiteral("Почта"));
        QCOMPARE(presentedSers(), QList<qint32>{4});
        QCOMPARE(reg->taCtrl().asString(QStringLiteral("ctrl_name")), QStringLiteral("Окно выдачи"));
        QCOMPARE(reg->taCtrl().asString(QStringLiteral("hard")), QStringLiteral("v3"));
        QCOMPARE(reg->taCtrl().asInteger(QStringLiteral("open_time")), 12);
        goToObject(1);
        QCOMPARE(presentedSers(), QList<qint32>{2});
        QCOMPARE(reg->taTC().recordCount(), 3);
    }
};

QTEST_MAIN(ObjectsOpsTests)
#include "objects_ops_tests.moc"
