#include "link/serial_failure.h"

#include "link/line_serial.h"
#include "link/reader_com_port.h"
#include "link/tests/pty_fixture.h"
#include "link/tests/qt_app.h"
#include "link/tests/run_as_nobody.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <functional>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace varek;
using namespace varek::test;

namespace {

QString openAsNobody() {
    return QString::fromUtf8(runAsNobody([] {
        TLineSerial port;
        port.OpenDevice(QStringLiteral(R"(\\.\COM3)"));
        QByteArray answer = QByteArray::number(port.LastError()) + '\n';
        TReaderComPort reader;
        reader.setComNumber(3);
        try {
            reader.setOpen(true);
            answer += "opened";
        } catch (const EComPortError& e) {
            answer += "port error " + QByteArray::number(e.code());
        } catch (const EInOutError& e) {
            answer += "system error " + QByteArray::number(e.code());
        }
        answer += '\n';
        answer += serialFailureCause(SerialPeer::Zintor, QStringLiteral("COM3"), port.devicePath(),
                                     port.LastError(), SerialStep::Opening)
                      .toUtf8();
        return answer;
    }));
}

} // namespace

class SerialFailure : public PtyFixture {
protected:
    void SetUp() override {
        PtyFixture::SetUp();
        testApp();
        m_pty = makePort(3);
        // The unprivileged child must reach ports/COM3 to be refused by the device itself.
        QFile::setPermissions(m_home.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                 QFileDevice::ExeOther);
        QFile::setPermissions(portsDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                              QFileDevice::ExeOther);
    }
    std::unique_ptr<sim::PtyPair> m_pty;
};

// A user outside the device's group: both ports report the refused
// permission as such (not as a port in use), and the operator is told the
// device, its group and the command that admits the user.
TEST_F(SerialFailure, PermissionDeniedNamesTheDeviceAndItsGroup) {
    const group* dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    const QByteArray slave = QFile::encodeName(m_pty->slavePath());
    // As a serial device node on Debian: root:dialout, 0660.
    ASSERT_EQ(::chown(slave.constData(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(slave.constData(), 0660), 0);

    const QStringList answer = openAsNobody().split(u'\n');
    ASSERT_EQ(answer.size(), 3) << answer.join('|').toStdString();
    EXPECT_EQ(answer[0], QString::number(EACCES));
    EXPECT_EQ(answer[1], QStringLiteral("system error %1").arg(EACCES));
    EXPECT_EQ(answer[2], QStringLiteral("Нет прав на доступ к порту COM3 (%1): он доступен группе dialout, а "
                                        "пользователь nobody в неё не входит. Выполните «sudo usermod -aG "
                                        "dialout nobody» и войдите в систему заново.")
                             .arg(m_pty->slavePath()));

    // A node that only root may open: no group to join.
    ASSERT_EQ(::chmod(slave.constData(), 0600), 0);
    const QStringList rootOnly = openAsNobody().split(u'\n');
    ASSERT_EQ(rootOnly.size(), 3);
    EXPECT_EQ(rootOnly[0], QString::number(EACCES));
    EXPECT_TRUE(rootOnly[2].contains(QStringLiteral("только администратор"))) << rootOnly[2].toStdString();
    EXPECT_FALSE(rootOnly[2].contains(QStringLiteral("usermod"))) << rootOnly[2].toStdString();
}

// Each failure gets the cause that fits it; the same error number means "no
// such port" at open and "the device went away" later.
TEST(SerialFailureCause, EachFailureGetsItsCause) {
    const struct {
        SerialPeer peer;
        const char* port;
        qint32 code;
        SerialStep step;
        const char* cause;
    } cases[] = {
        {SerialPeer::Zintor, "", ENOENT, SerialStep::Opening, "Порт устройства Zintor не выбран"},
        {SerialPeer::Orvan, "", 0, SerialStep::Opening, "Порт считывателя Orvan не выбран"},
        {SerialPeer::Zintor, "COM9", ENOENT, SerialStep::Opening, "Порт COM9 не найден"},
        {SerialPeer::Orvan, "COM9", ENXIO, SerialStep::Opening, "Порт COM9 не найден"},
        {SerialPeer::Zintor, "COM3", EBUSY, SerialStep::Opening, "Порт COM3 занят другой программой"},
        {SerialPeer::Orvan, "COM3", EBUSY, SerialStep::Opening, "Порт COM3 занят другой программой"},
        {SerialPeer::Zintor, "COM3", EIO, SerialStep::Receiving, "Связь с устройством Zintor потеряна"},
        {SerialPeer::Zintor, "COM3", ENXIO, SerialStep::Sending, "Связь с устройством Zintor потеряна"},
        {SerialPeer::Orvan, "COM3", EIO, SerialStep::Receiving, "Связь со считывателем Orvan потеряна"},
        {SerialPeer::Zintor, "COM3", SerialCode::Timeout, SerialStep::Receiving,
         "Ответ устройства Zintor оборвался"},
        {SerialPeer::Zintor, "COM3", SerialCode::Timeout, SerialStep::Sending,
         "Устройство Zintor не принимает данные"},
        {SerialPeer::Zintor, "COM3", SerialCode::BufferExceeded, SerialStep::Receiving,
         "Устройство Zintor прислало слишком длинную строку"},
        {SerialPeer::Zintor, "COM3", SerialCode::ParityError, SerialStep::Receiving,
         "Данные от устройства Zintor искажены"},
        {SerialPeer::Zintor, "COM3", EINVAL, SerialStep::Opening, "Ошибка обмена с устройством Zintor"},
    };
    for (const auto& c : cases) {
        const QString cause =
            serialFailureCause(c.peer, QString::fromLatin1(c.port), QString(), c.code, c.step);
        EXPECT_TRUE(cause.startsWith(QString::fromUtf8(c.cause)))
            << c.port << " " << c.code << ": " << cause.toStdString();
        EXPECT_FALSE(cause.contains(u'\n')) << cause.toStdString(); // one line
    }
    EXPECT_EQ(portNameOfDevice(QStringLiteral(R"(\\.\COM3)")), QStringLiteral("COM3"));
    EXPECT_EQ(portNameOfDevice(QStringLiteral(R"(\\.\COM0)")), QString());
    EXPECT_EQ(portNameOfDevice(QStringLiteral("/dev/ttyUSB0")), QStringLiteral("/dev/ttyUSB0"));
}
