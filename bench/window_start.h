#pragma once

#include <QString>

namespace varek {

// One measurement of the window's start (see window_start_bench.cpp): medians of runs.
struct WindowStart {
    bool ok = false;
    QString error;
    double wallMs = 0; // exec to the first paint of rows
    double cpuMs = 0;  // the program's processor time until it ended
    long maxRssKiB = 0;
};

WindowStart measureWindowStart(const QString& varek, const QString& registerDir, int runs);

} // namespace varek
