// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// A virtual cable for trying Tollbeck without hardware: plays the far end of a cable on a
// pseudo-terminal, prints its device path and runs until interrupted.
//   virtual-cable [good|dead|doubled|modem|radio|corrupt K|silent K|unplug K]
#include "tools/virtualcable.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

using Behaviour = VirtualCable::Behaviour;

// The kinds a user can ask for; those that take K are given it, a byte value.
struct Kind
{
    const char *name;
    bool takesValue;
    Behaviour (*make)(int value);
};

const Kind kKinds[] = {
    {"good", false, [](int) { return VirtualCable::good(); }},
    {"dead", false, [](int) { return VirtualCable::dead(); }},
    {"doubled", false, [](int) { return VirtualCable::doubled(); }},
    {"modem", false, [](int) { return VirtualCable::modem("OK"); }},
    {"radio", false, [](int) { return VirtualCable::radio(); }},
    {"corrupt", true, [](int k) { return VirtualCable::corrupt(k, quint8(k ^ 0x80)); }},
    {"silent", true, [](int k) { return VirtualCable::silentFrom(k); }},
    {"unplug", true, [](int k) { return VirtualCable::unplugAfter(k); }},
};

// The behaviour the arguments ask for; none when they ask for nothing this cable can do.
std::optional<Behaviour> parse(int argc, char *argv[])
{
    const char *name = argc > 1 ? argv[1] : "good";
    for (const Kind &kind : kKinds) {
        if (std::strcmp(name, kind.name) != 0)
            continue;
        if (!kind.takesValue)
            return argc <= 2 ? std::optional(kind.make(0)) : std::nullopt;
        if (argc != 3)
            return std::nullopt;
        char *end = nullptr;
        const long value = std::strtol(argv[2], &end, 10); // K is decimal, 0 to 255
        if (*argv[2] == '\0' || *end != '\0' || value < 0 || value > 255)
            return std::nullopt;
        return kind.make(int(value));
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
            "usage: virtual-cable [good|dead|doubled|modem|radio|corrupt K|silent K|unplug K]\n"
            "K is a byte value from 0 to 255, in decimal.\n");
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
