// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "support/module1.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <chrono>
#include <thread>

namespace Module1 {

void HiResDelay(double hundredths)
{
    using Seconds = std::chrono::duration<double>;
    const auto start = std::chrono::steady_clock::now();
    const Seconds limit{hundredths / 100.0};
    // A sleep lasts at least as long as asked, so one almost always does; the loop makes sure
    // that strictly more has passed. The wake-up comes some tens of microseconds late, as it does
    // for any program that sleeps; spinning that away would cost CPU on every pause of a run.
    for (Seconds elapsed{0}; elapsed <= limit; elapsed = std::chrono::steady_clock::now() - start)
        std::this_thread::sleep_for(std::chrono::ceil<std::chrono::nanoseconds>(limit - elapsed));
    QCoreApplication::processEvents();
}

Boolean FileExists(const QString &path)
{
    return !path.isEmpty() && QFileInfo::exists(path) ? kTrue : kFalse;
}

} // namespace Module1
