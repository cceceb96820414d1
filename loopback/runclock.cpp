// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/runclock.h"

#include "support/module1.h"

#include <QCoreApplication>
#include <QTimer>

RunClock::TimePoint EventLoopClock::now() const
{
    return std::chrono::steady_clock::now();
}

void EventLoopClock::yield()
{
    QCoreApplication::processEvents();
}

void EventLoopClock::waitForEvents(std::chrono::nanoseconds limit)
{
    // The timer only bounds the block; its expiry is itself the event that ends it.
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    timer.start(std::chrono::ceil<std::chrono::milliseconds>(limit));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void EventLoopClock::settle(std::chrono::microseconds pause)
{
    using Hundredths = std::chrono::duration<double, std::centi>;
    Module1::HiResDelay(std::chrono::duration_cast<Hundredths>(pause).count());
}
