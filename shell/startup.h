#pragma once

#include "core/app_paths.h"

#include <QStringList>

class QGuiApplication;
class QLocale;
class QTranslator;

namespace varek {

class Messages;

// The program takes no arguments but --version and --help.
enum class StartAction { Run, PrintVersion, PrintHelp, BadUsage };
StartAction startActionFor(const QStringList& arguments); // arguments without the program's name

// Handles the command line before anything else starts: prints the version or
// the help on stdout, or a short usage message on stderr. Returns the exit
// code the program ends with (0 or 2), or -1 when it is to run.
int handleCommandLine(int argc, char** argv);

// Has the C library give each block of 128 KiB or more its own mapping,
// returned to the system when freed. Left to itself it raises that bound to
// the largest block freed so far, so that the blocks the register's reading
// makes and drops (a column's numbers widened, a pool's lookup grown) stay
// in its heap, those of the second thread in an arena no other thread
// takes: about 5 MB of the window's peak at 100,000 keys.
void keepLargeBlocksMapped();

// The desktop entry's id, the version and the window icon (the installed
// theme's, or the one built into the program).
void setApplicationIdentity(QGuiApplication& app);

// Qt's own texts (standard buttons, file dialogs, edit menus, the calendar)
// follow the user's locale when Qt is translated into its language; otherwise,
// English included, they are Russian like the rest of the program, and the
// default locale becomes Russian too. Loads into translator and installs it
// in the application; returns the locale whose translation was loaded.
QLocale loadQtTranslations(QTranslator& translator, const QLocale& userLocale);

// Before the register opens, in the installed layout: makes the settings
// directory, and on the first start (no Data/ in the data place yet) asks
// whether to lay an empty register there. On No nothing is laid, and the
// start-up goes on to fail as it does without a register. Beside the
// executable nothing is asked or made.
void prepareRegisterPlace(Messages& messages, const AppPlaces& places);

// For the window start benchmark (bench/window_start_bench): when the
// environment variable VAREK_FIRST_PAINT_REPORT is set, the first paint of a
// grid that shows rows prints "first-paint NS" on stdout, NS being the
// monotonic clock (CLOCK_MONOTONIC) in nanoseconds, and ends the event loop;
// set to "settled", three seconds later (the idle work done by then).
void reportFirstPaintWhenAsked(QGuiApplication& app);

} // namespace varek
