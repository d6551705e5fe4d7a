// BuildControllerDump over a real register in a temporary directory: the
// current controller and the view of its keys give the two lists of the
// Details page.

#include "core/recording_messages.h"
#include "dbase/dbf.h"
#include "image/controller_dump.h"
#include "image/ui/build_controller_dump.h"
#include "image/ui/controller_label.h"
#include "image/ui/details_page.h"
#include "image/ui/memo_list.h"
#include "register/data_link.h"
#include "register/register_schema.h"
#include "register/table.h"
#include "register/varek_register.h"
#include "register/view.h"

#include <QDate>
#include <QTemporaryDir>
#include <QTest>

using namespace varek;
using Kind = RecordingMessages::Shown::Kind;

namespace {

const QString kAccess1 = QStringLiteral("01B2F5107C3A0086");
const QString kAccess2 = QStringLiteral("01D104117C3A00F8");
const QString kMaster = QStringLiteral("0117002A7C3A0016");

// An empty register in a temporary directory with rows laid into its files.
struct TempRegister {
    QTemporaryDir tmp;
    QString dir = tmp.path() + u'/';
    TempRegister() { createRegisterFiles(dir); }
    void add(const char* table, const QVector<QVariant>& values) const {
        DbfFile::open(dir + QLatin1String(table))->appendRecord(values);
    }
    void obj(int num, const QString& name) const { add("obj.dbf", {num, name, QString(), QString()}); }
    void ctrl(int objNum, const QString& name, int ser, const QVariant& openTime) const {
        add("ctrl.dbf", {objNum, name, ser, QString(), QString(), openTime});
    }
    void token(const QString& code, const QString& card, const QString& user, const QVariant& status) const {
        add("tokens.dbf", {code, card, user, QDate(2024, 5, 17), status});
    }
    void access(const QString& code, int ser) const { add("tc.dbf", {code, ser}); }
};

// The keys of the view in its own order, read without the builder.
QVector<ImageKey> viewKeys(View& view) {
    QVector<ImageKey> keys;
    const int status = view.fieldIndex(QStringLiteral("status"));
    const int code = view.fieldIndex(QStringLiteral("token_code"));
    for (int r = 0; r < view.recordCount(); ++r)
        keys << ImageKey{view.value(r, status).toInt(), view.value(r, code).toString(), {}, {}};
    return keys;
}

} // namespace

class BuildControllerDumpTests : public QObject {
    Q_OBJECT

private:
    TempRegister* m_data = nullptr;
    VarekRegister* m_reg = nullptr;
    RecordingMessages m_messages;
    DetailsPage* m_page = nullptr;

    bool build() {
        return guarded(m_messages, [this] {
            BuildControllerDump(m_reg->taCtrl(), m_reg->quCtrlToken(), m_reg->dataSource5(), *m_page,
                                m_messages);
        });
    }

    void openRegister() {
        m_reg = new VarekRegister;
        m_reg->open(m_data->dir);
    }

private slots:
    void init() {
        m_data = new TempRegister;
        m_data->obj(1, QStringLiteral("Офис"));
        m_data->obj(2, QStringLiteral("Пустой"));
        m_data->ctrl(1, QStringLiteral("Вход"), 1, 5);
        m_data->ctrl(1, QStringLiteral("Без ключей"), 2, QVariant());
        m_data->token(kAccess1, QStringLiteral("016.62898"), QStringLiteral("Иванов"), 1);
        m_data->token(kMaster, QStringLiteral("122.00023"), QStringLiteral("Петров"), 0);
        m_data->token(kAccess2, QStringLiteral("017.00465"), QStringLiteral("Сидоров"), 1);
        for (const QString& code : {kAccess1, kMaster, kAccess2})
            m_data->access(code, 1);
        m_messages = RecordingMessages();
        m_page = new DetailsPage(m_messages);
    }

    void cleanup() {
        delete m_page;
        delete m_reg;
        delete m_data;
        m_reg = nullptr;
    }

    void buildsTheCurrentControllersImage() {
        openRegister();
        QCOMPARE(m_reg->taCtrl().asString(QStringLiteral("ctrl_name")).trimmed(), QStringLiteral("Вход"));
        m_page->logList()->setLines({QStringLiteral("ответ устройства")});
        QList<bool> linkStates;
        m_reg->dataSource5().addEnabledHandler([&](bool on) { linkStates << on; });
        m_reg->quCtrlToken().last();

        QVERIFY(build());
        QVERIFY(m_messages.shown.isEmpty());
        const QStringList expected = buildControllerImage(QString(), 5, viewKeys(m_reg->quCtrlToken())).lines;
        QCOMPARE(m_page->dumpList()->lines(), expected);
        QCOMPARE(m_page->workList()->lines(), expected.mid(28));
        QVERIFY(expected.contains(QStringLiteral("01F80: FFFFFFFFFFFFFFFF") + kMaster + kMaster +
                                  QString(16, u'F')));
        // The header holds both access codes, in view order.
        QVERIFY(expected[28].startsWith(QStringLiteral("00380: 161605FFFFFFFFFF")));
        QVERIFY(expected[28].contains(kAccess1) && expected[28].contains(kAccess2));
        // The log list, the visibility of the lists and the link are as they were.
        QCOMPARE(m_page->logList()->lines(), QStringList{QStringLiteral("ответ устройства")});
        QVERIFY(!m_page->dumpShown());
        QCOMPARE(linkStates, (QList<bool>{false, true}));
        QVERIFY(m_reg->dataSource5().enabled());
        QCOMPARE(m_reg->quCtrlToken().recNo(), 0);

        // A second build, and a build after clearing, give the same lists.
        QVERIFY(build());
        QCOMPARE(m_page->dumpList()->lines(), expected);
        m_page->BtnClear1Click();
        QVERIFY(build());
        QCOMPARE(m_page->dumpList()->lines(), expected);
        QCOMPARE(m_page->workList()->lines(), expected.mid(28));
    }

    void aKeyWithEmptyStatusIsAMasterKey() {
        m_data->token(QStringLiteral("0100000000000000"), QStringLiteral("000.00000"),
                      QStringLiteral("Пусто"), QVariant());
        m_data->access(QStringLiteral("0100000000000000"), 2);
        openRegister();
        m_reg->taCtrl().next();
        QCOMPARE(m_reg->taCtrl().asString(QStringLiteral("ctrl_name")).trimmed(),
                 QStringLiteral("Без ключей"));
        QVERIFY(build());
        // An empty open time reads as 0; the key fills both master places.
        QCOMPARE(m_page->dumpList()->lines()[28], QStringLiteral("00380: 000000") + QString(58, u'F'));
        QCOMPARE(m_page->dumpList()->lines()[252], QStringLiteral("01F80: ") + QString(16, u'F') +
                                                       QStringLiteral("0100000000000000").repeated(2) +
                                                       QString(16, u'F'));
        QCOMPARE(m_page->dumpList()->lines()[0], QStringLiteral("00000: ") + QString(64, u'F'));
    }

    void noControllerIsAClosedDataset() {
        openRegister();
        m_page->dumpList()->setLines({QStringLiteral("старый дамп")});
        m_reg->taObj().next(); // an object without controllers: the view is closed
        QVERIFY(!m_reg->quCtrlToken().active());
        QVERIFY(!build());
        QCOMPARE(m_messages.texts(Kind::Error),
                 QStringList{QStringLiteral("Cannot perform this operation on a closed dataset.")});
        QCOMPARE(m_page->dumpList()->count(), 0);
        QCOMPARE(m_page->workList()->count(), 0);
        QVERIFY(m_reg->dataSource5().enabled());
    }

    void malformedCodesAreRefused() {
        m_data->token(QStringLiteral("01b2f5107c3a00"), QStringLiteral("016.62898"), QStringLiteral("Кривой"),
                      1);
        m_data->access(QStringLiteral("01b2f5107c3a00"), 1);
        openRegister();
        QVERIFY(!build());
        QCOMPARE(m_messages.texts(Kind::Error), QStringList());
        const QStringList plain = m_messages.texts(Kind::Plain);
        QCOMPARE(plain.size(), 1);
        QVERIFY2(plain[0].contains(
                     QStringLiteral("Жетон «016.62898», пользователь «Кривой», код «01b2f5107c3a00»")),
                 qPrintable(plain[0]));
        QVERIFY(plain[0].contains(QStringLiteral("«Вход»")));
        QCOMPARE(m_page->dumpList()->count(), 0);
        QCOMPARE(m_page->workList()->count(), 0);
        QVERIFY(m_reg->dataSource5().enabled());
    }

    void lowerCaseCodesAreWrittenUpperCase() {
        m_data->token(QStringLiteral("01aabbccddee00ff"), QStringLiteral("204.48059"),
                      QStringLiteral("Строчный"), 1);
        m_data->access(QStringLiteral("01aabbccddee00ff"), 2);
        openRegister();
        m_reg->taCtrl().next();
        QVERIFY(build());
        QCOMPARE(m_page->dumpList()->lines()[0], QStringLiteral("00000: FF") + QString(62, u'F'));
        QCOMPARE(m_page->dumpList()->lines()[28],
                 QStringLiteral("00380: FFFF00FFFFFFFFFF01AABBCCDDEE00FF") + QString(32, u'F'));
    }

    void openTimeOutOfRangeIsRefused() {
        m_data->ctrl(2, QStringLiteral("Долгий"), 3, 300);
        openRegister();
        m_reg->taObj().next();
        QCOMPARE(m_reg->taCtrl().asString(QStringLiteral("ctrl_name")).trimmed(), QStringLiteral("Долгий"));
        QVERIFY(!build());
        QCOMPARE(m_messages.texts(Kind::Plain),
                 QStringList{
                     QStringLiteral("Время открывания контроллера «Долгий» равно 300, а должно быть от 0 до "
                                    "255. Исправьте его в свойствах контроллера; дамп памяти не построен.")});
        QCOMPARE(m_page->dumpList()->count(), 0);
    }

    void theLabelFollowsTheSelectedController() {
        openRegister();
        bindControllerName(*m_page, m_reg->dataSource4());
        QCOMPARE(m_page->controllerName(), QStringLiteral("Вход"));
        m_reg->taCtrl().next();
        QCOMPARE(m_page->controllerName(), QStringLiteral("Без ключей"));
        // A build or a loaded dump does not change it.
        QVERIFY(build());
        QCOMPARE(m_page->controllerName(), QStringLiteral("Без ключей"));
        m_reg->taObj().next(); // an object without controllers
        QCOMPARE(m_page->controllerName(), QString());
        m_reg->taObj().first();
        QCOMPARE(m_page->controllerName(), QStringLiteral("Вход"));
        m_reg->close();
        QCOMPARE(m_page->controllerName(), QString());
    }
};

QTEST_MAIN(BuildControllerDumpTests)
#include "build_controller_dump_tests.moc"
