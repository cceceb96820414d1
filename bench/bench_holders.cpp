// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// What deciding "in use" costs on a busy machine: opening a port (the search for other holders
// included), and one search for the holders of one device against one for twelve, with 1,000
// extra processes that hold 20 descriptors each, median of several runs, against the same with no
// extra processes. A quarter of the extra descriptors are device nodes,
// which the search examines further; the rest are files, pipes and sockets.
#include "serial/mscomm.h"
#include "serial/portholders.h"
#include "serial/portnumber.h"
#include "tools/virtualcable.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int kExtraProcesses = 1000;
constexpr int kRuns = 21;

// Starts a process that holds 20 descriptors until it is killed (or this process ends).
pid_t startHolder(int ready)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Keep only the standard descriptors and the way to report back, not the cable's master.
    ::dup2(ready, 3);
    ::close_range(4, ~0U, 0);
    for (int i = 0; i < 5; ++i) {
        ::open("/dev/null", O_RDONLY);
        ::open("/etc/passwd", O_RDONLY);
    }
    int fds[2];
    for (int i = 0; i < 3; ++i)
        [[maybe_unused]] const int piped = ::pipe(fds);
    for (int i = 0; i < 2; ++i)
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(3, &byte, 1);
    ::close(3);
    for (;;)
        ::pause();
}

// Runs step kRuns times, then undo after each; the median and the worst time of step, in ms.
template<typename Step, typename Undo>
std::pair<double, double> time(const Step &step, const Undo &undo)
{
    std::vector<double> took;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = std::chrono::steady_clock::now();
        step();
        took.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        undo();
    }
    std::sort(took.begin(), took.end());
    return {took[took.size() / 2], took.back()};
}

void report(MSComm &comm, const QStringList &devices, const char *setting)
{
    const auto [openMedian, openWorst]
        = time([&] { comm.setPortOpen(true); }, [&] { comm.setPortOpen(false); });
    const auto [oneMedian, oneWorst] = time([&] { findPortHolders(devices.first()); }, [] {});
    const auto [allMedian, allWorst] = time([&] { findPortHolders(devices); }, [] {});
    std::printf("%s: open (search included) median %.1f ms, worst %.1f ms; search for one "
                "device median %.1f ms, worst %.1f ms; for %lld devices median %.1f ms, worst "
                "%.1f ms (%d runs each)\n",
                setting,
                openMedian,
                openWorst,
                oneMedian,
                oneWorst,
                static_cast<long long>(devices.size()),
                allMedian,
                allWorst,
                kRuns);
}

// What reading one descriptor's link text costs here, in microseconds: the search reads one for
// every descriptor of every process, so this sets its floor.
double linkReadMicroseconds()
{
    constexpr int kReads = 100000;
    char link[128];
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kReads; ++i)
        [[maybe_unused]] const auto length = ::readlink("/proc/self/fd/0", link, sizeof link);
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count()
           / kReads;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Twelve ports, each a cable: the walk and the port list ask for all of them.
    std::vector<std::unique_ptr<VirtualCable>> cables;
    QStringList devices;
    PortMap ports = PortMap::defaults();
    for (int port = 1; port <= kLastPort; ++port) {
        cables.push_back(std::make_unique<VirtualCable>());
        devices << cables.back()->devicePath();
        ports.setDevice(port, devices.back());
    }
    MSComm comm(ports);

    std::printf("one link read: %.2f us\n", linkReadMicroseconds());
    report(comm, devices, "no extra processes");

    int ready[2];
    if (::pipe(ready) != 0)
        return 1;
    std::vector<pid_t> holders;
    holders.reserve(kExtraProcesses);
    for (int i = 0; i < kExtraProcesses; ++i)
        holders.push_back(startHolder(ready[1]));
    for (int i = 0; i < kExtraProcesses; ++i) {
        char byte = 0;
        if (::read(ready[0], &byte, 1) != 1)
            return 1;
    }

    report(comm, devices, "1,000 extra processes x 20 descriptors");

    for (const pid_t pid : holders) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return 0;
}
