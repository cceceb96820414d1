// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <chrono>

// Time and the event loop, as a test run sees them.
class RunClock
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~RunClock() = default;

    // Monotonic: a run that spans midnight or a change of the wall clock times out correctly.
    virtual TimePoint now() const = 0;
    // Processes the pending events and returns.
    virtual void yield() = 0;
    // Blocks until an event arrives (received bytes among them) or the limit passes, then
    // processes what came. The run waits for replies only here, so it never spins.
    virtual void waitForEvents(std::chrono::nanoseconds limit) = 0;
    // Pauses for strictly longer than pause, then processes the pending events once.
    virtual void settle(std::chrono::microseconds pause) = 0;
};

// The real thing: the steady clock, Qt's event loop and Module1's delay.
class EventLoopClock : public RunClock
{
public:
    TimePoint now() const override;
    void yield() override;
    void waitForEvents(std::chrono::nanoseconds limit) override;
    void settle(std::chrono::microseconds pause) override;
};
