#include "support/module1.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <chrono>
#include <thread>

namespace Module1 {

namespace {
// Sleeping is coarse (the kernel may wake us late by tens of microseconds), so the last stretch
// of every wait is spun. This keeps the pause precise without pinning a core for all of it.
constexpr std::chrono::duration<double> kSpinWindow{100e-6};
} // namespace

void HiResDelay(double hundredths)
{
    using Seconds = std::chrono::duration<double>;
    const auto start = std::chrono::steady_clock::now();
    const Seconds limit{hundredths / 100.0};
    Seconds elapsed{0};
    while (elapsed <= limit) {
        if (limit - elapsed > kSpinWindow)
            std::this_thread::sleep_for(limit - elapsed - kSpinWindow);
        elapsed = std::chrono::steady_clock::now() - start;
    }
    QCoreApplication::processEvents();
}

Boolean FileExists(const QString &path)
{
    return !path.isEmpty() && QFileInfo::exists(path) ? kTrue : kFalse;
}

} // namespace Module1
