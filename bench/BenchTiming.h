#pragma once

// Timing shared by the benchmarks: wall time in milliseconds, and one curl run
// timed as a whole process, as the comparison figures are.

#include <QProcess>
#include <QStringList>

#include <chrono>
#include <cstdio>

using Clock = std::chrono::steady_clock;

inline double MsSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Runs curl with args, waiting at most timeoutMs; a failure is told on stderr.
inline double CurlMs(const QStringList& args, int timeoutMs)
{
    QProcess curl;
    const auto start = Clock::now();
    curl.start("curl", args);
    curl.waitForFinished(timeoutMs);
    const double ms = MsSince(start);
    if (curl.exitCode() != 0)
        std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
    return ms;
}
