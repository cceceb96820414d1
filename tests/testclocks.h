// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "loopback/runclock.h"

// Time-outs run five times faster, so a dead port costs 0.6 s; an echo still has that long to
// come back on a loaded machine, even under the sanitizers.
class FastClock : public EventLoopClock
{
public:
    static constexpr int kScale = 5;

    TimePoint now() const override
    {
        return m_origin + (EventLoopClock::now() - m_origin) * kScale;
    }
    void waitForEvents(std::chrono::nanoseconds limit) override
    {
        EventLoopClock::waitForEvents(limit / kScale);
    }

private:
    TimePoint m_origin = EventLoopClock::now();
};

// Real time-outs, but no settle pauses, for many runs where only their outcome matters.
class HurriedClock : public EventLoopClock
{
public:
    void settle(std::chrono::microseconds) override { yield(); }
};
