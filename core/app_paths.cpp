#include "core/app_paths.h"

#include <QDir>
#include <QFileInfo>

namespace varek {

namespace {

QString executablePath() {
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}

QString withSlash(QString dir) {
    if (!dir.endsWith(u'/')) dir += u'/';
    return dir;
}

// An XDG base directory: the variable when it holds an absolute path, else
// the default under the home directory.
QString xdgBase(const std::function<QString(const char*)>& env, const char* variable,
                const QString& fallback) {
    const QString value = env(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value)) return withSlash(value);
    QString home = env("HOME");
    if (home.isEmpty()) home = QDir::homePath();
    return withSlash(home) + fallback;
}

} // namespace

AppPlaces appPlacesFor(const QString& exeDir, const std::function<QString(const char*)>& env) {
    const QString home = env("VAREK_HOME");
    if (!home.isEmpty()) return {withSlash(home), withSlash(home), true};
    const QString beside = withSlash(exeDir);
    if (QFileInfo(beside + QStringLiteral("Data")).isDir() ||
        QFileInfo::exists(beside + QStringLiteral("settings.ini")))
        return {beside, beside, true};
    return {xdgBase(env, "XDG_DATA_HOME", QStringLiteral(".local/share/")) + QStringLiteral("varek/"),
            xdgBase(env, "XDG_CONFIG_HOME", QStringLiteral(".config/")) + QStringLiteral("varek/"), false};
}

AppPlaces appPlaces() {
    return appPlacesFor(executableDir(), [](const char* name) { return qEnvironmentVariable(name); });
}

QString executableDir() {
    return withSlash(QFileInfo(executablePath()).absolutePath());
}

QString appDir() {
    return appPlaces().dataHome;
}

QString dataDir() {
    return appDir() + QStringLiteral("Data/");
}

QString settingsPath() {
    return appPlaces().configHome + QStringLiteral("settings.ini");
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
