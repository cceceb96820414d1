// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// How precise and how cheap HiResDelay is: overshoot past the asked time (median, worst) and
// the process CPU time as a share of the wall time, over many calls.
#include "support/module1.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include <sys/prctl.h>

namespace {

double cpuSeconds()
{
    return double(std::clock()) / CLOCKS_PER_SEC;
}

void measure(double hundredths, int calls)
{
    using Clock = std::chrono::steady_clock;
    std::vector<double> overshoots;
    overshoots.reserve(size_t(calls));
    const double cpuStart = cpuSeconds();
    const auto wallStart = Clock::now();
    for (int i = 0; i < calls; ++i) {
        const auto start = Clock::now();
        Module1::HiResDelay(hundredths);
        const std::chrono::duration<double> took = Clock::now() - start;
        overshoots.push_back(took.count() - hundredths / 100.0);
    }
    const std::chrono::duration<double> wall = Clock::now() - wallStart;
    const double cpu = cpuSeconds() - cpuStart;
    std::sort(overshoots.begin(), overshoots.end());
    std::printf("HiResDelay(%.1f) x %d: overshoot median %.3f ms, worst %.3f ms; CPU %.1f %% of "
                "wall time\n",
                hundredths,
                calls,
                overshoots[overshoots.size() / 2] * 1e3,
                overshoots.back() * 1e3,
                100.0 * cpu / wall.count());
}

} // namespace

int main(int argc, char *argv[])
{
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); // as the program does at start-up
    QCoreApplication app(argc, argv);
    measure(0.5, 1000);
    measure(1.5, 400);
    return 0;
}
