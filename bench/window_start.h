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

// settled: the window runs on for three seconds after its first paint (the
// work it does once idle is done by then), so the peak is that of a window
// in use; the times are those of the first paint all the same.
WindowStart measureWindowStart(const QString& varek, const QString& registerDir, int runs,
                               bool settled = false);

} // namespace varek
