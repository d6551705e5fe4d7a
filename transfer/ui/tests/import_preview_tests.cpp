// The keys page's export and import through the real preview dialog,
// offscreen, over a real register in a temporary directory; the file choice
// is scripted through RecordingMessages.

#include "core/recording_messages.h"
#include "dbase/dbf.h"
#include "keys/token_code.h"
#include "register/fields.h"
#include "register/register_schema.h"
#include "register/table.h"
#include "register/varek_register.h"
#include "transfer/ui/import_preview.h"
#include "transfer/ui/key_transfer_ops.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

using namespace varek;

namespace {

const QString CodeA = QStringLiteral("01B2F5107C3A0086");
const QString CodeD = QStringLiteral("01FFFFFFFFFF001A");

// Runs check on the preview once it is shown, then closes it with the given button.
void onPreview(const std::function<void(ImportPreviewDialog&)>& check, bool apply) {
    QTimer::singleShot(0, [check, apply] {
        auto* dialog = qobject_cast<ImportPreviewDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        check(*dialog);
        if (apply && dialog->applyButton()->isEnabled())
            QTest::mouseClick(dialog->applyButton(), Qt::LeftButton);
        else
            QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
    });
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class ImportPreviewTests : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<VarekRegister> reg;
    RecordingMessages messages;
    QString dir;

    QString writeCsv(const QString& text) {
        const QString path = tmp->filePath(QStringLiteral("keys.csv"));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(text.toUtf8());
        return path;
    }
    QByteArray tables() {
        QByteArray all;
        for (const char* name : {"obj.dbf", "ctrl.dbf", "tokens.dbf", "tc.dbf"})
            all += readAll(dir + QLatin1String(name));
        return all;
    }

private slots:
    void init() {
        tmp = std::make_unique<QTemporaryDir>();
        dir = tmp->path() + QStringLiteral("/");
        createRegisterFiles(dir);
        DbfFile::open(dir + QStringLiteral("obj.dbf"))
            ->appendRecord({1, QStringLiteral("Склад"), QString(), QString()});
        DbfFile::open(dir + QStringLiteral("ctrl.dbf"))
            ->appendRecord({1, QStringLiteral("Ворота"), 3, QString(), QString(), 5});
        DbfFile::open(dir + QStringLiteral("tokens.dbf"))
            ->appendRecord({CodeA, CardNumberOf(CodeA), QStringLiteral("Иванов"), QDate(2024, 5, 17), 1});
        reg = std::make_unique<VarekRegister>();
        reg->open(dir);
        messages = RecordingMessages();
    }
    void cleanup() { reg.reset(); }

    void applyShowsTheRowsAndWritesThem() {
        messages.fileAnswers << writeCsv(QStringLiteral("Код Dallas,Пользователь,Статус,Контроллеры\r\n"
                                                        "%1,Петров,доступ,Склад / Ворота\r\n"
                                                        "%2,Иванов,мастер-ключ,\r\n")
                                             .arg(CodeD, CodeA));
        onPreview(
            [](ImportPreviewDialog& d) {
                QCOMPARE(d.countsLabel()->text(), QStringLiteral("Добавить: 1, изменить: 1, отклонено: 0"));
                QTableWidget* t = d.rowsTable();
                QCOMPARE(t->rowCount(), 2);
                QCOMPARE(t->item(0, 3)->text(), QStringLiteral("добавить"));
                QCOMPARE(t->item(1, 3)->text(), QStringLiteral("изменить"));
                QCOMPARE(t->item(1, 4)->text(), QStringLiteral("изменится: статус"));
                QVERIFY(d.applyButton()->isEnabled());
            },
            true);
        KeyTransferOperations(*reg, messages, nullptr).importKeys();
        QCOMPARE(messages.texts(RecordingMessages::Shown::Plain),
                 QStringList{QStringLiteral("Применено: добавлено 1, изменено 1.")});
        Table& tokens = reg->taTokens();
        QCOMPARE(tokens.recordCount(), 2);
        QVERIFY(tokens.locate(field::tokenCode, {CodeA}));
        QCOMPARE(tokens.asInteger(field::status), 0);
        QCOMPARE(reg->taTC().recordCount(), 1);
    }

    void refusedRowsCannotBeAppliedAndCancelChangesNothing() {
        const QByteArray before = tables();
        messages.fileAnswers << writeCsv(
            QStringLiteral("Код Dallas,Статус\r\n%1,доступ\r\n%1,гость\r\n").arg(CodeD));
        onPreview(
            [](ImportPreviewDialog& d) {
                QCOMPARE(d.countsLabel()->text(), QStringLiteral("Добавить: 0, изменить: 0, отклонено: 2"));
                QVERIFY(!d.applyButton()->isEnabled());
                QVERIFY(d.rowsTable()->item(1, 4)->text().contains(
                    QStringLiteral("статус «гость» не распознан")));
                QVERIFY(d.findChild<QLabel*>(QStringLiteral("laWhy")));
            },
            true);
        KeyTransferOperations(*reg, messages, nullptr).importKeys();
        QVERIFY(messages.shown.size() == 1); // the file choice only
        QCOMPARE(tables(), before);
    }

    void anUnreadableFileIsRefusedBeforeAnyPreview() {
        messages.fileAnswers << tmp->filePath(QStringLiteral("absent.csv"));
        QVERIFY(!guarded(messages, [&] { KeyTransferOperations(*reg, messages, nullptr).importKeys(); }));
        const QStringList errors = messages.texts(RecordingMessages::Shown::Error);
        QCOMPARE(errors.size(), 1);
        QVERIFY(errors[0].startsWith(QStringLiteral("Не удалось открыть файл")));
    }

    void exportAsksBeforeReplacingAFile() {
        const QString path = writeCsv(QStringLiteral("old"));
        messages.fileAnswers << path << tmp->filePath(QStringLiteral("new"));
        messages.questionAnswers << false;
        KeyTransferOperations ops(*reg, messages, nullptr);
        ops.exportKeys();
        QCOMPARE(readAll(path), QByteArray("old"));
        ops.exportKeys(); // no suffix: ".csv" is added
        QVERIFY(readAll(tmp->filePath(QStringLiteral("new.csv"))).contains(CodeA.toLatin1()));
        QCOMPARE(
            messages.texts(RecordingMessages::Shown::Plain).last(),
            QStringLiteral("Выгружено ключей: 1 в файл %1").arg(tmp->filePath(QStringLiteral("new.csv"))));
    }
};

QTEST_MAIN(ImportPreviewTests)
#include "import_preview_tests.moc"
