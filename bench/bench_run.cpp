// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// What a test run costs against what the protocol costs. A bare loop of plain POSIX calls does
// the same exchange as a passing run (probe, then 0 to 255, each awaited and read after its
// settle pause) over the same kind of cable: a virtual one in a process of its own, as a real
// cable would be outside ours. The two alternate, five times each; the medians of their wall
// times and CPU shares (process CPU time over wall time) are compared. Also the CPU share of a
// port that times out, and what a log append costs when the pane takes it in at once, on a short
// and on a long log.
#include "loopback/loopbacktest.h"
#include "serial/portnumber.h"
#include "tests/formharness.h"

#include <QApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRounds = 5;

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
    double cpuShare;
};

template<typename Run>
RunFigures timed(const Run &run)
{
    const double cpuStart = cpuSeconds();
    const auto wallStart = Clock::now();
    run();
    const std::chrono::duration<double> wall = Clock::now() - wallStart;
    return {wall.count(), (cpuSeconds() - cpuStart) / wall.count()};
}

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
    const RunFigures figures = timed([&] { form.Test(); });
    if (cableKind == u"good"_s && !form.Text1->toPlainText().contains(u"Test passed"_s))
        std::printf("the run did not pass\n");
    return figures;
}

// Writes the bytes, waits for the first of the reply, lets the rest arrive for the settle
// time and reads it. The first byte read, or -1 when nothing came within 3 s.
int exchange(int fd, const char *bytes, size_t count, std::chrono::nanoseconds settle)
{
    if (::write(fd, bytes, count) != ssize_t(count))
        return -1;
    pollfd reply{fd, POLLIN, 0};
    if (::poll(&reply, 1, 3000) != 1)
        return -1;
    const timespec pause{0, long(settle.count())};
    ::nanosleep(&pause, nullptr);
    unsigned char received[256];
    return ::read(fd, received, sizeof received) > 0 ? received[0] : -1;
}

// The protocol alone: what any program must spend on this cable.
RunFigures timeBareLoop()
{
    CableProcess cable(u"good"_s);
    bool passed = false;
    const RunFigures figures = timed([&] {
        const int fd = ::open(QFile::encodeName(cable.device).constData(), O_RDWR | O_NOCTTY);
        if (fd < 0)
            return;
        termios line{};
        ::tcgetattr(fd, &line);
        ::cfmakeraw(&line); // 8 data bits, no parity
        line.c_cflag &= ~tcflag_t(CSTOPB | CRTSCTS);
        line.c_cflag |= CLOCAL | CREAD;
        ::cfsetspeed(&line, B19200);
        ::tcsetattr(fd, TCSANOW, &line);
        passed = exchange(fd, "ATV1Q0\r\n", 8, 15ms) >= 0;
        for (int value = 0; passed && value <= LoopbackTest::kLastValue; ++value) {
            const char byte = char(value);
            passed = exchange(fd, &byte, 1, 5ms) == value;
        }
        ::close(fd);
    });
    if (!passed)
        std::printf("the bare loop did not pass\n");
    return figures;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Appends dump entries, 64 a line, and hands each to the document at once: what an append costs
// where the display's pace does not gather them.
double secondsPerAppend(Form1 &form, int appends)
{
    const auto start = Clock::now();
    for (int i = 0; i < appends; ++i) {
        form.Testout(i % 64 == 63 ? u"\r\n"_s : u"A5 "_s);
        form.Text1->flush();
    }
    return std::chrono::duration<double>(Clock::now() - start).count() / appends;
}

} // namespace

int main(int argc, char *argv[])
{
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); // as the program does at start-up
    QApplication app(argc, argv);

    // One passing run and nothing else, for a profiler.
    if (QCoreApplication::arguments().contains(u"once"_s)) {
        const RunFigures run = timeRun(u"good"_s);
        std::printf("passing run %.3f s, CPU %.1f %%\n", run.wall, 100.0 * run.cpuShare);
        return 0;
    }

    std::vector<double> runWalls, runShares, bareWalls, bareShares;
    for (int round = 1; round <= kRounds; ++round) {
        const RunFigures run = timeRun(u"good"_s);
        const RunFigures bare = timeBareLoop();
        std::printf("round %d: passing run %.3f s, CPU %.1f %%; bare loop %.3f s, CPU %.1f %%; "
                    "ratio %.3f\n",
                    round,
                    run.wall,
                    100.0 * run.cpuShare,
                    bare.wall,
                    100.0 * bare.cpuShare,
                    run.wall / bare.wall);
        runWalls.push_back(run.wall);
        runShares.push_back(run.cpuShare);
        bareWalls.push_back(bare.wall);
        bareShares.push_back(bare.cpuShare);
    }
    std::printf("medians of %d: passing run %.3f s = %.3f x the bare loop's %.3f s; CPU %.1f %% "
                "against %.1f %% of the wall time\n",
                kRounds,
                median(runWalls),
                median(runWalls) / median(bareWalls),
                median(bareWalls),
                100.0 * median(runShares),
                100.0 * median(bareShares));

    const RunFigures dead = timeRun(u"dead"_s);
    std::printf("dead port (3 s time-out, then 11 missing ports): %.3f s; CPU %.1f %% of the wall "
                "time\n",
                dead.wall,
                100.0 * dead.cpuShare);

    FormHarness harness;
    Form1 &form = harness.form();
    form.show();
    {
        const auto start = Clock::now();
        for (int i = 0; i < 256; ++i) {
            form.Testout(u"A5 "_s);
            form.Text1->flush();
        }
        std::printf("one dump line of 256 entries, each handed to the pane at once: %.1f ms\n",
                    std::chrono::duration<double>(Clock::now() - start).count() * 1e3);
        form.Testout(u"\r\n"_s);
    }
    const double early = secondsPerAppend(form, 3300);
    for (int i = 0; i < 1000000; ++i)
        form.Testout(i % 64 == 63 ? u"\r\n"_s : u"A5 "_s);
    form.Text1->flush();
    const double late = secondsPerAppend(form, 3300);
    std::printf("log append: %.1f us on a short log, %.1f us after %d lines (ratio %.2f)\n",
                early * 1e6,
                late * 1e6,
                form.Text1->document()->blockCount(),
                late / early);
    return 0;
}
