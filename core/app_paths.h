#pragma once

#include <QString>
#include <functional>

namespace varek {

// Where the program keeps its files. Two layouts:
//  - beside the executable ("portable"): when the executable's directory holds
//    Data/ or settings.ini, or when VAREK_HOME is set (then that directory
//    takes the executable's place), Data/, ports/ and settings.ini all lie
//    in that one directory;
//  - installed: otherwise Data/ and ports/ lie in $XDG_DATA_HOME/varek/
//    (~/.local/share/varek/) and settings.ini in $XDG_CONFIG_HOME/varek/
//    (~/.config/varek/). A relative or empty XDG variable is ignored.
struct AppPlaces {
    QString dataHome;   // holds Data/ and ports/; trailing '/'
    QString configHome; // holds settings.ini; trailing '/'
    bool portable = true;
};

// The places for an executable in exeDir, with env giving the environment
// (an unset variable reads as empty).
AppPlaces appPlacesFor(const QString& exeDir, const std::function<QString(const char*)>& env);
// The places of this process (the directory of /proc/self/exe, the real environment).
AppPlaces appPlaces();

// The directory of the running executable, with a trailing '/'.
QString executableDir();

// The directory that holds Data/ and ports/ (appPlaces().dataHome), with a
// trailing '/'. Dump file dialogs start here too.
QString appDir();

// The register's directory: appDir() + "Data/", always with its trailing '/'.
QString dataDir();

// The settings file: appPlaces().configHome + "settings.ini".
QString settingsPath();

// The application title: the executable's file name up to its first ".",
// every character after the first in lower case ("CARDS.EXE" gives "Cards").
QString applicationTitle();
QString applicationTitleFor(const QString& executableFileName);

} // namespace varek
