// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/terminalio.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace Terminal {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Written by the handler, read by the run: lock-free, so safe in a signal handler.
std::atomic<int> g_first{0};
std::atomic<int> g_firstNotInterrupt{0};
int g_pipe[2] = {-1, -1};
static_assert(std::atomic<int>::is_always_lock_free);

sigset_t stopSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kStopSignals)
        sigaddset(&set, signal);
    return set;
}

} // namespace

StopSignals::StopSignals()
{
    // A closed output fails the write instead of ending the program with the port open.
    std::signal(SIGPIPE, SIG_IGN);
    g_first = 0;
    g_firstNotInterrupt = 0;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [] {
            char drained[16];
            while (::read(g_pipe[0], drained, sizeof drained) > 0) {
            }
        });
    }
    struct sigaction action
    {};
    action.sa_handler = &StopSignals::handle;
    action.sa_flags = SA_RESTART;
    action.sa_mask = stopSet(); // one handler at a time
    for (const int signal : kStopSignals)
        ::sigaction(signal, &action, nullptr);
}

StopSignals::~StopSignals()
{
    for (const int signal : kStopSignals)
        std::signal(signal, SIG_DFL);
    m_notifier.reset();
    for (int &fd : g_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void StopSignals::handle(int signal)
{
    const int saved = errno;
    int none = 0;
    g_first.compare_exchange_strong(none, signal);
    none = 0;
    if (signal != SIGINT)
        g_firstNotInterrupt.compare_exchange_strong(none, signal);
    const char byte = 1;
    if (g_pipe[1] >= 0) [[maybe_unused]]
        const auto written = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

int StopSignals::received() const
{
    return g_first;
}

bool StopSignals::onlyInterrupted() const
{
    return g_first == SIGINT && g_firstNotInterrupt == 0;
}

int StopSignals::finish(int status, bool keepInterrupt)
{
    // Blocked, a signal that comes now waits until the default action is back, and then ends
    // the program; the port is closed by now.
    const sigset_t set = stopSet();
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, &set, &previous);
    if (g_first != 0 && !(keepInterrupt && onlyInterrupted())) {
        writeError(u"Stopped.\n"_s);
        dieBy(g_firstNotInterrupt != 0 ? g_firstNotInterrupt.load() : g_first.load());
    }
    for (const int signal : kStopSignals)
        std::signal(signal, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    return status;
}

void dieBy(int signal)
{
    std::fflush(stdout);
    // A core file of a program that stopped as asked is of no use to anyone.
    const struct rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    std::_Exit(128 + signal); // not reached
}

void Output::write(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    if (m_error != 0 || bytes.isEmpty())
        return;
    errno = 0;
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size())
        || std::fflush(stdout) != 0)
        m_error = errno != 0 ? errno : EIO;
}

void writeError(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

int finished(const Output &out, int status)
{
    if (out.error() == EPIPE)
        dieBy(SIGPIPE);
    if (out.error() != 0) {
        writeError(u"tollbeck: standard output could not be written: %1\n"_s.arg(
            QString::fromLocal8Bit(std::strerror(out.error()))));
        return OutputFailed;
    }
    return status;
}

int print(const QString &text)
{
    Output out;
    out.write(text);
    return finished(out, Success);
}

} // namespace Terminal
