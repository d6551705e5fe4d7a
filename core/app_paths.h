#pragma once

#include <QString>

namespace varek {

// The directory of the executable, with a trailing '/'. The environment
// variable VAREK_HOME, when set and not empty, takes its place (tests, installs).
QString appDir();

// The register's directory: appDir() + "Data/", always with its trailing '/'.
QString dataDir();

// The application title: the executable's file name up to its first ".",
// every character after the first in lower case ("CARDS.EXE" gives "Cards").
QString applicationTitle();
QString applicationTitleFor(const QString& executableFileName);

} // namespace varek
