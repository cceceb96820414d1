// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// What the deeper checks cost and how fast they obey a stop. The soak's throughput at 19200 baud
// on a cable paced at the line's rate, against the line's capacity of 1,920 bytes/s; the rate
// sweep over the eight rates against the bytes' time on the wire; and, in every phase that
// waits (the run's wait for an echo, the lines check, the rates check, the soak), the time from
// a stop request to the return.
#include "loopback/linescheck.h"
#include "loopback/loopbacktest.h"
#include "loopback/ratescheck.h"
#include "loopback/runclock.h"
#include "loopback/runreport.h"
#include "loopback/soakcheck.h"
#include "serial/mscomm.h"
#include "serial/portnumber.h"
#include "tools/plugmodel.h"
#include "tools/virtualcable.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <functional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// COM 1 open on the cable, at the test's settings.
struct OpenPort
{
    explicit OpenPort(const VirtualCable &cable)
        : comm(map(cable))
    {
        comm.setSettings(u"19200,n,8,1"_s);
        comm.setInBufferSize(30000); // as the test sets it
        comm.setPortOpen(true);
    }
    static PortMap map(const VirtualCable &cable)
    {
        PortMap ports = PortMap::defaults();
        ports.setDevice(1, cable.devicePath());
        return ports;
    }
    MSComm comm;
};

// A stop asked for at a set time; when.
struct Stop
{
    explicit Stop(std::chrono::milliseconds after)
        : at(Clock::now() + after)
    {}
    bool operator()() const { return Clock::now() >= at; }
    double lateMs() const
    {
        return std::chrono::duration<double, std::milli>(Clock::now() - at).count();
    }
    Clock::time_point at;
};

// A run that the user stops while it waits for a dead cable's echo.
struct StoppingRun : LogWriter
{
    void Testout(const QString &) override {}
    bool stopRequested() const override { return stop(); }
    Stop stop{500ms};
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    EventLoopClock clock;

    {
        VirtualCable cable(VirtualCable::paced());
        OpenPort port(cable);
        const SoakResult result = soak(port.comm, clock, {19200, 10s});
        std::printf("soak at 19200 baud, paced cable, 10 s: %.0f bytes/s = %.1f %% of 1,920; "
                    "longest echo delay %lld ms, %lld faults\n",
                    result.bytesPerSecond(),
                    100.0 * result.bytesPerSecond() / 1920.0,
                    qint64(result.longestDelay.count()),
                    qint64(result.faults.size()));
    }
    {
        VirtualCable cable(VirtualCable::paced());
        OpenPort port(cable);
        const RatesResult result = checkRates(port.comm, clock);
        const double budget = 1.5 * double(result.onTheWire.count()) / 1000.0 + 1.0;
        std::printf("rates, eight from 1200 to 115200 baud: %.2f s; on the wire %.2f s, budget "
                    "%.2f s; %s\n",
                    double(result.took.count()) / 1000.0,
                    double(result.onTheWire.count()) / 1000.0,
                    budget,
                    result.faultFound() ? "a fault" : "all passed");
    }

    std::printf("stop obeyed, from the request to the return:\n");
    {
        VirtualCable cable(VirtualCable::dead());
        PortMap map = PortMap::defaults();
        for (int number = 1; number <= kLastPort; ++number)
            map.setDevice(number, u"/dev/tollbeck-bench-missing"_s);
        map.setDevice(1, cable.devicePath());
        MSComm comm(map);
        const SerialDevices devices([] { return QList<SerialDevice>{}; }, u"/nowhere"_s);
        StoppingRun report;
        LoopbackTest(report, comm, clock, {[] {}, [] { return u"COM 1"_s; }, map, devices, false})
            .run();
        std::printf("  the run, waiting for the probe's echo: %.1f ms\n", report.stop.lateMs());
    }
    {
        PlugModel plug(*PlugWiring::parse("CTS=OFF"));
        const Stop stop(300ms);
        checkLines(plug, clock, std::cref(stop));
        std::printf("  --lines, waiting for a stuck input: %.1f ms\n", stop.lateMs());
    }
    {
        VirtualCable cable(VirtualCable::dead());
        OpenPort port(cable);
        const Stop stop(500ms);
        checkRates(port.comm, clock, {50}, std::cref(stop));
        std::printf("  --rates=50, waiting for an echo that never comes: %.1f ms\n", stop.lateMs());
    }
    {
        VirtualCable cable(VirtualCable::paced());
        OpenPort port(cable);
        const Stop stop(1s);
        soak(port.comm, clock, {19200, 0s}, {std::cref(stop), {}, {}});
        std::printf("  --soak at 19200 baud: %.1f ms\n", stop.lateMs());
    }
    {
        VirtualCable cable(VirtualCable::paced());
        OpenPort port(cable);
        const Stop stop(1s);
        soak(port.comm, clock, {50, 0s}, {std::cref(stop), {}, {}});
        std::printf("  --soak at 50 baud: %.1f ms\n", stop.lateMs());
    }
    return 0;
}
