// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// A virtual cable for trying Tollbeck without hardware: plays the far end of a cable on a
// pseudo-terminal, prints its device path and runs until interrupted.
//   virtual-cable [good|dead|doubled|modem|radio|corrupt K|silent K|unplug K|paced
//                  |paced-fail-above RATE|intermittent MS EVERY_MS|late MS]
#include "tools/virtualcable.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

using namespace std::chrono_literals;

namespace {

using Behaviour = VirtualCable::Behaviour;

// The kinds a user can ask for, with the numbers each takes (at most two, up to max).
struct Kind
{
    const char *name;
    int values;
    long max;
    Behaviour (*make)(const long *values);
};

const Kind kKinds[] = {
    {"good", 0, 0, [](const long *) { return VirtualCable::good(); }},
    {"dead", 0, 0, [](const long *) { return VirtualCable::dead(); }},
    {"doubled", 0, 0, [](const long *) { return VirtualCable::doubled(); }},
    {"modem", 0, 0, [](const long *) { return VirtualCable::modem("OK"); }},
    {"radio", 0, 0, [](const long *) { return VirtualCable::radio(); }},
    {"corrupt",
     1,
     255,
     [](const long *k) { return VirtualCable::corrupt(int(*k), quint8(*k ^ 0x80)); }},
    {"silent", 1, 255, [](const long *k) { return VirtualCable::silentFrom(int(*k)); }},
    {"unplug", 1, 255, [](const long *k) { return VirtualCable::unplugAfter(int(*k)); }},
    {"paced", 0, 0, [](const long *) { return VirtualCable::paced(); }},
    {"paced-fail-above",
     1,
     4'000'000,
     [](const long *rate) { return VirtualCable::paced(qint32(*rate)); }},
    {"intermittent",
     2,
     3'600'000,
     [](const long *ms) { return VirtualCable::intermittent(ms[0] * 1ms, ms[1] * 1ms); }},
    {"late", 1, 10'000, [](const long *ms) { return VirtualCable::late(ms[0] * 1ms); }},
};

// The behaviour the arguments ask for; none when they ask for nothing this cable can do.
std::optional<Behaviour> parse(int argc, char *argv[])
{
    const char *name = argc > 1 ? argv[1] : "good";
    for (const Kind &kind : kKinds) {
        if (std::strcmp(name, kind.name) != 0)
            continue;
        if (argc != std::max(2, kind.values + 2))
            return std::nullopt;
        long values[2] = {};
        for (int i = 0; i < kind.values; ++i) {
            char *end = nullptr;
            values[i] = std::strtol(argv[i + 2], &end, 10); // decimal
            if (*argv[i + 2] == '\0' || *end != '\0' || values[i] < 0 || values[i] > kind.max)
                return std::nullopt;
        }
        return kind.make(values);
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::optional<Behaviour> behaviour = parse(argc, argv);
    if (!behaviour) {
        std::fprintf(
            stderr,
            "usage: virtual-cable [good|dead|doubled|modem|radio|corrupt K|silent K|unplug K\n"
            "                      |paced|paced-fail-above RATE|intermittent MS EVERY_MS\n"
            "                      |late MS]\n"
            "K is a byte value from 0 to 255, in decimal. A paced cable echoes at the\n"
            "rate set on the port; above RATE it loses each byte's top bit; an\n"
            "intermittent one is open for MS milliseconds every EVERY_MS; a late one,\n"
            "a serial server far away, echoes in order but MS milliseconds late.\n");
        return 2;
    }

    // Block the stop signals before the cable's thread starts, so only sigwait sees them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    VirtualCable cable(*behaviour);
    if (cable.devicePath().isEmpty()) {
        std::fprintf(stderr, "no pseudo-terminal could be made\n");
        return 1;
    }
    std::printf("%s\n", qPrintable(cable.devicePath()));
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}
