// A virtual cable for trying Tollbeck without hardware: plays the far end of a cable on a
// pseudo-terminal, prints its device path and runs until interrupted.
//   virtual-cable [good|dead|doubled|modem|corrupt K|silent K|unplug K]
#include "tools/virtualcable.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[])
{
    const char *kind = argc > 1 ? argv[1] : "good";
    const int value = argc > 2 ? std::atoi(argv[2]) : 0;
    VirtualCable::Behaviour behaviour = VirtualCable::good();
    if (std::strcmp(kind, "dead") == 0)
        behaviour = VirtualCable::dead();
    else if (std::strcmp(kind, "doubled") == 0)
        behaviour = VirtualCable::doubled();
    else if (std::strcmp(kind, "modem") == 0)
        behaviour = VirtualCable::modem("OK");
    else if (std::strcmp(kind, "corrupt") == 0)
        behaviour = VirtualCable::corrupt(value, quint8(value ^ 0x80));
    else if (std::strcmp(kind, "silent") == 0)
        behaviour = VirtualCable::silentFrom(value);
    else if (std::strcmp(kind, "unplug") == 0)
        behaviour = VirtualCable::unplugAfter(value);
    else if (std::strcmp(kind, "good") != 0) {
        std::fprintf(stderr,
                     "usage: %s [good|dead|doubled|modem|corrupt K|silent K|unplug K]\n",
                     argv[0]);
        return 2;
    }

    // Block the stop signals before the cable's thread starts, so only sigwait sees them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    VirtualCable cable(behaviour);
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
