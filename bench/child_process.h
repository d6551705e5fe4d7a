#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

namespace varek {

// How a program run by runChild ended, and what it cost.
struct ChildRun {
    bool exited = false; // ended by itself (not by a signal)
    int exitCode = -1;
    int status = 0;    // as wait4 gave it
    QByteArray output; // its standard output, unless discarded
    double cpuMs = 0;  // its processor time, user and system
    long maxRssKiB = 0;
};

// Runs program with args (no shell), the variables of env set in its
// environment, and waits for its end. Its standard output is read into
// output, or goes to /dev/null when discardOutput; its standard error goes
// to /dev/null when quiet. The benchmarks measure programs this way.
ChildRun runChild(const QByteArray& program, const QList<QByteArray>& args,
                  const QList<QPair<QByteArray, QByteArray>>& env = {}, bool discardOutput = false,
                  bool quiet = false);

// Keeps this process, and the programs it runs from now on, on the
// processor it runs on now; that processor's number, or -1 when it cannot.
// The processors of a shared machine need not be equally fast, so figures
// that are compared with each other are measured on one of them.
int stayOnThisProcessor();

} // namespace varek
