#include "link/serial_failure.h"

#include "link/line_serial.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QVector>

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varek {

namespace {

// The words that differ between the two devices.
struct PeerWords {
    QString notChosen; // no port chosen
    QString lost;      // the device went away
    QString retry;     // how to try again
    QString other;     // anything else
    QString settings;  // the list on the Settings page
};

PeerWords wordsFor(SerialPeer peer, const QString& port) {
    if (peer == SerialPeer::Zintor)
        return {QStringLiteral("Порт устройства Zintor не выбран"),
                QStringLiteral("Связь с устройством Zintor потеряна: устройство отключено или недоступно. "
                               "Проверьте кабель и питание устройства и повторите."),
                QStringLiteral("повторите"),
                QStringLiteral("Ошибка обмена с устройством Zintor через порт %1. Проверьте подключение и "
                               "повторите.")
                    .arg(port),
                QStringLiteral("«Ком-порт устройства Zintor»")};
    return {QStringLiteral("Порт считывателя Orvan не выбран"),
            QStringLiteral("Связь со считывателем Orvan потеряна: считыватель отключён или недоступен. "
                           "Подключите его и откройте окно ключа заново."),
            QStringLiteral("откройте окно ключа заново"),
            QStringLiteral("Не удалось открыть порт считывателя Orvan %1. Проверьте подключение и откройте "
                           "окно ключа заново.")
                .arg(port),
            QStringLiteral("«Ком-порт считывателя Orvan»")};
}

// The device as the operator finds it: the node behind a ports/ link.
QString shownDevice(const QString& devicePath) {
    const QString canonical = QFileInfo(devicePath).canonicalFilePath();
    return canonical.isEmpty() ? devicePath : canonical;
}

QString portWithDevice(const QString& port, const QString& devicePath) {
    return devicePath.isEmpty() ? port : QStringLiteral("%1 (%2)").arg(port, shownDevice(devicePath));
}

QString currentUserName() {
    if (const passwd* pw = ::getpwuid(::geteuid())) return QString::fromLocal8Bit(pw->pw_name);
    const QString user = qEnvironmentVariable("USER");
    return user.isEmpty() ? QStringLiteral("$USER") : user; // the shell fills it in
}

// Whether the user's account lists the group although this process lacks it
// (added to the group, but the session began before that).
bool accountHasGroup(const QString& user, gid_t group) {
    const QByteArray name = user.toLocal8Bit();
    const passwd* pw = ::getpwnam(name.constData());
    if (!pw) return false;
    int count = 64;
    QVector<gid_t> groups(count);
    if (::getgrouplist(name.constData(), pw->pw_gid, groups.data(), &count) < 0) {
        groups.resize(count);
        if (::getgrouplist(name.constData(), pw->pw_gid, groups.data(), &count) < 0) return false;
    }
    groups.resize(count);
    return groups.contains(group);
}

QString noPermission(const QString& port, const QString& devicePath) {
    const QString where = portWithDevice(port, devicePath);
    QString groupName;
    bool groupMayOpen = false;
    gid_t gid = 0;
    struct stat st {};
    if (!devicePath.isEmpty() && ::stat(QFile::encodeName(devicePath).constData(), &st) == 0) {
        gid = st.st_gid;
        groupMayOpen = gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
        if (const group* gr = ::getgrgid(gid)) groupName = QString::fromLocal8Bit(gr->gr_name);
    } else {
        // The serial devices' group on Debian.
        static const QRegularExpression serial(QStringLiteral("^tty(S|USB|ACM)[0-9]+$"));
        if (serial.match(QFileInfo(devicePath).fileName()).hasMatch()) {
            groupName = QStringLiteral("dialout");
            groupMayOpen = true;
            if (const group* gr = ::getgrnam("dialout")) gid = gr->gr_gid;
        }
    }
    if (!groupMayOpen || groupName.isEmpty())
        return QStringLiteral("Нет прав на доступ к порту %1: открыть его может только администратор. "
                              "Попросите администратора дать вам доступ к этому устройству.")
            .arg(where);
    const QString user = currentUserName();
    if (gid != 0 && accountHasGroup(user, gid))
        return QStringLiteral("Нет прав на доступ к порту %1: пользователь %2 уже добавлен в группу %3, но "
                              "права появятся только после нового входа. Войдите в систему заново.")
            .arg(where, user, groupName);
    return QStringLiteral("Нет прав на доступ к порту %1: он доступен группе %3, а пользователь %2 в неё не "
                          "входит. Выполните «sudo usermod -aG %3 %2» и войдите в систему заново.")
        .arg(where, user, groupName);
}

bool meansDeviceGone(qint32 code) {
    return code == EIO || code == ENXIO || code == ENODEV || code == EBADF || code == EPIPE;
}

} // namespace

QString portNameOfDevice(const QString& deviceName) {
    static const QRegularExpression pattern(QStringLiteral(R"(^(?:\\\\\.\\)?COM(\d{1,9})$)"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto match = pattern.match(deviceName);
    if (!match.hasMatch()) return deviceName;
    const qint64 n = match.captured(1).toLongLong();
    return n == 0 ? QString() : QStringLiteral("COM%1").arg(n);
}

QString serialFailureCause(SerialPeer peer, const QString& portName, const QString& devicePath, qint32 code,
                           SerialStep step) {
    const PeerWords words = wordsFor(peer, portWithDevice(portName, devicePath));
    if (portName.isEmpty())
        return QStringLiteral("%1: выберите его в списке %2 на странице «Настройки».")
            .arg(words.notChosen, words.settings);
    if (code == EACCES || code == EPERM) return noPermission(portName, devicePath);
    if (step == SerialStep::Opening) {
        if (code == ENOENT || code == ENXIO || code == ENODEV || code == ENOTTY)
            return QStringLiteral("Порт %1 не найден: устройство не подключено или порт выбран неверно. "
                                  "Подключите устройство или выберите другой порт в списке %2 на странице "
                                  "«Настройки».")
                .arg(portName, words.settings);
        if (code == EBUSY)
            return QStringLiteral("Порт %1 занят другой программой. Закройте её и %2.")
                .arg(portWithDevice(portName, devicePath), words.retry);
    }
    if (meansDeviceGone(code)) return words.lost;
    if (peer == SerialPeer::Orvan) return words.other; // the reader's port only opens and listens
    switch (code) {
    case SerialCode::Timeout:
        if (step == SerialStep::Sending)
            return QStringLiteral("Устройство Zintor не принимает данные: передача строки не закончилась "
                                  "вовремя. Проверьте кабель и питание устройства и повторите.");
        return QStringLiteral("Ответ устройства Zintor оборвался на середине строки. Проверьте кабель и "
                              "питание устройства и повторите.");
    case SerialCode::BufferExceeded:
        return QStringLiteral("Устройство Zintor прислало слишком длинную строку без конца строки: "
                              "возможно, на линии помехи или у устройства другая скорость. Проверьте "
                              "кабель и настройки устройства (2400 бод, 8N1) и повторите.");
    case SerialCode::FramingError:
    case SerialCode::OverrunError:
    case SerialCode::QueueOverflow:
    case SerialCode::ParityError:
    case SerialCode::TransmitQueueFull:
        return QStringLiteral("Данные от устройства Zintor искажены на линии. Проверьте кабель и настройки "
                              "устройства (2400 бод, 8N1) и повторите.");
    default:
        return words.other;
    }
}

} // namespace varek
