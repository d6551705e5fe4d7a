#include "core/app_paths.h"

#include <QDir>
#include <QFileInfo>

namespace varek {

namespace {
QString executablePath() {
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}
} // namespace

QString appDir() {
    QString dir = qEnvironmentVariable("VAREK_HOME");
    if (dir.isEmpty()) dir = QFileInfo(executablePath()).absolutePath();
    if (!dir.endsWith(u'/')) dir += u'/';
    return dir;
}

QString dataDir() {
    return appDir() + QStringLiteral("Data/");
}

QString applicationTitleFor(const QString& executableFileName) {
    QString name = executableFileName;
    const qsizetype dot = name.indexOf(u'.');
    if (dot >= 0) name.truncate(dot);
    if (name.size() > 1) name = name.left(1) + name.mid(1).toLower();
    return name;
}

QString applicationTitle() {
    return applicationTitleFor(QFileInfo(executablePath()).fileName());
}

} // namespace varek
