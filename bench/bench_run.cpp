// What a test run costs: the wall time of a passing run against its floor (the settle delays
// alone), and the process CPU time as a share of the wall time for a passing run and for a port
// that times out. The cable is a virtual one in a process of its own, as a real cable would be
// outside ours. Also the cost of one log append on an empty and on a long log.
#include "loopback/loopbacktest.h"
#include "serial/portnumber.h"
#include "tests/formharness.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QProcess>

#include <chrono>
#include <cstdio>
#include <ctime>

#include <sys/prctl.h>

using namespace Qt::StringLiterals;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds()
{
    return double(std::clock()) / CLOCKS_PER_SEC;
}

// A virtual cable in a child process; COM 1 is mapped to it.
struct CableProcess
{
    explicit CableProcess(const QString &kind)
    {
        process.start(QString::fromLocal8Bit(VIRTUAL_CABLE), {kind});
        process.waitForReadyRead(5000);
        device = QString::fromLocal8Bit(process.readLine()).trimmed();
    }
    ~CableProcess()
    {
        process.terminate();
        process.waitForFinished(2000);
    }
    QProcess process;
    QString device;
};

struct RunFigures
{
    double wall;
    double cpu;
};

RunFigures timeRun(const QString &cableKind)
{
    CableProcess cable(cableKind);
    PortMap ports = PortMap::defaults();
    for (int port = 1; port <= kLastPort; ++port)
        ports.setDevice(port, u"/dev/tollbeck-bench-missing"_s);
    ports.setDevice(1, cable.device);
    FormHarness harness;
    Form1 &form = harness.form(ports);
    form.show();
    QCoreApplication::processEvents();

    const double cpuStart = cpuSeconds();
    const auto wallStart = Clock::now();
    form.Test();
    const std::chrono::duration<double> wall = Clock::now() - wallStart;
    return {wall.count(), cpuSeconds() - cpuStart};
}

double secondsPerAppend(Form1 &form, int appends)
{
    const auto start = Clock::now();
    for (int i = 0; i < appends; ++i)
        form.Testout(i % 64 == 63 ? u"\r\n"_s : u"A5 "_s);
    return std::chrono::duration<double>(Clock::now() - start).count() / appends;
}

} // namespace

int main(int argc, char *argv[])
{
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); // as the program does at start-up
    QApplication app(argc, argv);

    constexpr double kFloor
        = std::chrono::duration<double>((LoopbackTest::kLastValue + 1) * LoopbackTest::kEchoSettle
                                        + LoopbackTest::kProbeSettle)
              .count();
    const RunFigures pass = timeRun(u"good"_s);
    std::printf("passing run: %.3f s against a floor of %.3f s (%.1f %% over); CPU %.1f %% of the "
                "wall time\n",
                pass.wall,
                kFloor,
                100.0 * (pass.wall / kFloor - 1.0),
                100.0 * pass.cpu / pass.wall);
    const RunFigures dead = timeRun(u"dead"_s);
    std::printf("dead port (3 s time-out, then 11 missing ports): %.3f s; CPU %.1f %% of the wall "
                "time\n",
                dead.wall,
                100.0 * dead.cpu / dead.wall);

    FormHarness harness;
    Form1 &form = harness.form();
    form.show();
    {
        const auto start = Clock::now();
        for (int i = 0; i < 256; ++i)
            form.Testout(u"A5 "_s);
        std::printf("one dump line of 256 entries: %.1f ms\n",
                    std::chrono::duration<double>(Clock::now() - start).count() * 1e3);
        form.Testout(u"\r\n"_s);
    }
    const double early = secondsPerAppend(form, 3300);
    secondsPerAppend(form, 1000000);
    const double late = secondsPerAppend(form, 3300);
    std::printf("log append: %.1f us on a short log, %.1f us after %d lines (ratio %.2f)\n",
                early * 1e6,
                late * 1e6,
                form.Text1->document()->blockCount(),
                late / early);
    return 0;
}
