#pragma once

#include "loopback/runclock.h"

// Time-outs run thirty times faster, so a dead port costs a tenth of a second.
class FastClock : public EventLoopClock
{
public:
    static constexpr int kScale = 30;

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

// Also skips the settle pauses, for many runs where only their outcome matters.
class HurriedClock : public FastClock
{
public:
    void settle(double) override { yield(); }
};
