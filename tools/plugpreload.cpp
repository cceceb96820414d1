// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// A loopback plug's control lines on pseudo-terminals, which have none: preloaded into a program
// (LD_PRELOAD), it answers the modem-line requests on a pseudo-terminal's slave by the wiring in
// TOLLBECK_PLUG (see PlugWiring; unset or empty is the standard plug) and passes every other
// request on. The wiring is read at each request, so a test may change it between checks.
// TOLLBECK_PLUG_LAG_MS makes the inputs report the outputs as they stood that many milliseconds
// ago, as a slow adapter or a serial server across a network does.
#include "tools/plugwiring.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

std::atomic<int> g_outputs{0}; // TIOCM_RTS and TIOCM_DTR as last set

// The outputs as they were set, latest last: enough for the lines a check switches.
using Clock = std::chrono::steady_clock;
struct Switch
{
    Clock::time_point at;
    int outputs = 0;
};
constexpr int kKept = 64;
Switch g_switches[kKept];
int g_switchCount = 0;
std::mutex g_switchesLock;

void remember(int outputs)
{
    const std::lock_guard lock(g_switchesLock);
    g_switches[g_switchCount++ % kKept] = {Clock::now(), outputs};
}

// The outputs as the far end sees them now: as they were set the lag ago.
int seenOutputs()
{
    const char *text = std::getenv("TOLLBECK_PLUG_LAG_MS");
    const long lag = text ? std::strtol(text, nullptr, 10) : 0;
    const Clock::time_point then = Clock::now() - std::chrono::milliseconds(lag);
    const std::lock_guard lock(g_switchesLock);
    for (int i = g_switchCount - 1; i >= 0 && i >= g_switchCount - kKept; --i) {
        if (g_switches[i % kKept].at <= then)
            return g_switches[i % kKept].outputs;
    }
    return g_switchCount > kKept ? g_switches[g_switchCount % kKept].outputs : 0;
}

bool isPseudoTerminalSlave(int fd)
{
    struct stat status = {};
    return ::fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && major(status.st_rdev) >= 136
           && major(status.st_rdev) <= 143;
}

int inputs(int outputs)
{
    const char *text = std::getenv("TOLLBECK_PLUG");
    auto wiring = PlugWiring::parse(text ? text : "");
    if (!wiring) {
        std::fprintf(stderr,
                     "TOLLBECK_PLUG=%s is no plug's wiring; using the standard plug\n",
                     text);
        wiring = PlugWiring{};
    }
    const bool rts = (outputs & TIOCM_RTS) != 0;
    const bool dtr = (outputs & TIOCM_DTR) != 0;
    return (PlugWiring::level(wiring->cts, rts, dtr) ? TIOCM_CTS : 0)
           | (PlugWiring::level(wiring->dsr, rts, dtr) ? TIOCM_DSR : 0)
           | (PlugWiring::level(wiring->dcd, rts, dtr) ? TIOCM_CAR : 0)
           | (PlugWiring::level(wiring->ri, rts, dtr) ? TIOCM_RNG : 0);
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);

    const bool modemRequest
        = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (modemRequest && argument && isPseudoTerminalSlave(fd)) {
        int &bits = *static_cast<int *>(argument);
        constexpr int kOutputs = TIOCM_RTS | TIOCM_DTR;
        if (request == TIOCMGET) {
            bits = g_outputs | inputs(seenOutputs());
            return 0;
        }
        if (request == TIOCMSET)
            g_outputs = bits & kOutputs;
        else if (request == TIOCMBIS)
            g_outputs |= bits & kOutputs;
        else
            g_outputs &= ~(bits & kOutputs);
        remember(g_outputs);
        return 0;
    }
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto next = reinterpret_cast<Ioctl>(::dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, argument);
}
