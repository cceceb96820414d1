// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "tools/virtualcable.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// How long the modem takes to answer after its echo: enough that a reply read as soon as the
// echo arrives misses the answer, and well within the pause before the program reads it.
constexpr auto kModemThinks = 2ms;

} // namespace

VirtualCable::VirtualCable(Behaviour behaviour)
    : m_behaviour(std::move(behaviour))
{
    int slave = -1;
    char name[128] = {};
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0 || ::pipe2(m_stop, O_CLOEXEC) != 0)
        return;
    // A program the test starts must not inherit the far end, or it would be the cable.
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    // Only the program under test may hold the port open, or it would count as in use.
    ::close(slave);
    // A full line must not block the cable's thread: it still has to notice the stop.
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_path = QString::fromLocal8Bit(name);
    m_thread = std::thread([this] { serve(); });
}

VirtualCable::~VirtualCable()
{
    if (m_thread.joinable()) {
        const char stop = 0;
        [[maybe_unused]] const auto written = ::write(m_stop[1], &stop, 1);
        m_thread.join();
    }
    for (const int fd : {m_master, m_stop[0], m_stop[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool VirtualCable::lineSettings(termios &settings) const
{
    return m_master >= 0 && ::tcgetattr(m_master, &settings) == 0;
}

void VirtualCable::serve()
{
    using Clock = std::chrono::steady_clock;
    for (;;) {
        pollfd fds[] = {{m_stop[0], POLLIN, 0}, {m_master, POLLIN, 0}};
        const nfds_t count = m_master >= 0 ? 2 : 1;
        // Woken for the modem's result and for the next echo the line carries, whichever is due
        // first; to the microsecond, as a byte at 115200 baud takes less than a tenth of a ms.
        std::optional<Clock::time_point> wake;
        if (!m_result.isEmpty())
            wake = m_resultDue;
        if (!m_onTheLine.isEmpty())
            wake = wake ? std::min(*wake, m_nextDue) : m_nextDue;
        if (!m_held.empty())
            wake = wake ? std::min(*wake, m_held.front().first) : m_held.front().first;
        timespec timeout{};
        if (wake) {
            const auto left = std::max<std::chrono::nanoseconds>(*wake - Clock::now(), 0ns);
            timeout.tv_sec = time_t(left.count() / 1'000'000'000);
            timeout.tv_nsec = long(left.count() % 1'000'000'000);
        }
        const int ready = ::ppoll(fds, count, wake ? &timeout : nullptr, nullptr);
        if (ready < 0 && errno != EINTR)
            return;
        if (fds[0].revents != 0)
            return;
        if (count < 2)
            continue;
        const auto now = Clock::now();
        while (!m_held.empty() && m_held.front().first <= now) {
            toTheLine(m_held.front().second, m_held.front().first);
            m_held.pop_front();
        }
        if (!m_result.isEmpty() && now >= m_resultDue) { // a write of its own, after the echo
            [[maybe_unused]] const auto written
                = ::write(m_master, m_result.constData(), size_t(m_result.size()));
            m_result.clear();
        }
        if (const QByteArray due = dueOnTheLine(now); !due.isEmpty()) [[maybe_unused]]
            const auto written = ::write(m_master, due.constData(), size_t(due.size()));
        if (ready <= 0)
            continue;

        char chunk[256];
        const ssize_t got = (fds[1].revents & POLLIN) ? ::read(m_master, chunk, sizeof chunk) : 0;
        if (got <= 0) {
            // Nobody holds the port open: the next user starts from the probe again. Hang-ups
            // are reported without pause, so wait a little before looking again.
            reset();
            pollfd stop{m_stop[0], POLLIN, 0};
            if (::poll(&stop, 1, 2) > 0)
                return;
            continue;
        }
        if (!m_firstHeard)
            m_firstHeard = now;
        // What one read brought is answered with one write: byte by byte, the echo of the probe
        // could arrive in pieces, and its tail would be taken for the echo of the next value.
        QByteArray replies;
        bool vanish = false;
        for (ssize_t i = 0; i < got && !vanish; ++i) {
            // Vanish on the value after k, so that the echo of k has surely been read.
            vanish = m_behaviour.kind == Kind::UnplugAfter && m_probeSeen
                     && m_value > m_behaviour.value;
            if (!vanish)
                replies += answer(chunk[i]);
        }
        if (m_behaviour.late > 0ms && !replies.isEmpty())
            m_held.emplace_back(now + m_behaviour.late, replies);
        else
            toTheLine(replies, now);
        if (vanish) {
            ::close(m_master);
            m_master = -1;
        }
    }
}

// The echoes go out: at the line's rate, one after another, or at once.
void VirtualCable::toTheLine(const QByteArray &replies, std::chrono::steady_clock::time_point now)
{
    if (replies.isEmpty() || m_master < 0)
        return;
    if (m_behaviour.atLineRate) {
        if (m_onTheLine.isEmpty()) // an idle line starts the next byte now
            m_nextDue = std::max(m_nextDue, now) + pace().character;
        m_onTheLine += replies;
        return;
    }
    [[maybe_unused]] const auto written
        = ::write(m_master, replies.constData(), size_t(replies.size()));
}

void VirtualCable::reset()
{
    m_probeSeen = false;
    m_value = 0;
    m_line.clear();
    m_verbal = true;
    m_quiet = false;
    m_result.clear();
    m_onTheLine.clear();
    m_held.clear();
    m_firstHeard.reset();
}

// The rate the program set, and one character's time on the line at it; none when it cannot be
// read.
VirtualCable::Pace VirtualCable::pace() const
{
    static const std::pair<speed_t, qint32> rates[]
        = {{B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
           {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
           {B1200, 1200},       {B2400, 2400},       {B4800, 4800},       {B9600, 9600},
           {B19200, 19200},     {B38400, 38400},     {B57600, 57600},     {B115200, 115200},
           {B230400, 230400},   {B460800, 460800},   {B500000, 500000},   {B576000, 576000},
           {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
           {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000},
           {B4000000, 4000000}};
    termios line{};
    if (!lineSettings(line))
        return {};
    const speed_t speed = ::cfgetospeed(&line);
    const auto rate = std::find_if(std::begin(rates), std::end(rates), [&](const auto &entry) {
        return entry.first == speed;
    });
    if (rate == std::end(rates))
        return {};
    static const std::pair<tcflag_t, int> sizes[] = {{CS5, 5}, {CS6, 6}, {CS7, 7}, {CS8, 8}};
    int bits = 1 + ((line.c_cflag & PARENB) ? 1 : 0) + ((line.c_cflag & CSTOPB) ? 2 : 1);
    for (const auto &[flag, size] : sizes)
        bits += (line.c_cflag & CSIZE) == flag ? size : 0;
    return {rate->second, std::chrono::nanoseconds(std::chrono::seconds(bits)) / rate->second};
}

// The echoes whose time on the line has come, as they arrive: corrupted above the rate the
// cable manages, lost while its conductor is open.
QByteArray VirtualCable::dueOnTheLine(std::chrono::steady_clock::time_point now)
{
    QByteArray due;
    const Pace line = pace();
    const bool corrupt = m_behaviour.corruptAbove > 0 && line.baud > m_behaviour.corruptAbove;
    while (!m_onTheLine.isEmpty() && m_nextDue <= now) {
        const char byte = m_onTheLine[0];
        m_onTheLine.remove(0, 1);
        const auto sinceFirst = m_nextDue - m_firstHeard.value_or(m_nextDue);
        const bool open = m_behaviour.every > 0ms && sinceFirst >= m_behaviour.every
                          && sinceFirst % m_behaviour.every < m_behaviour.openFor;
        if (!open)
            due += corrupt ? char(byte & 0x7F) : byte;
        m_nextDue += line.character;
    }
    return due;
}

// A command line ends at CR; the LF a terminal sends after it starts nothing. A line that
// does not begin with AT is no command and gets no result code.
void VirtualCable::hear(char byte)
{
    if (byte != '\r') {
        if (byte != '\n')
            m_line += byte;
        return;
    }
    const QByteArray line = std::exchange(m_line, {});
    if (!line.startsWith("AT"))
        return;
    for (qsizetype i = 2; i < line.size(); ++i) {
        const bool one = i + 1 < line.size() && line[i + 1] == '1'; // V and Q alone mean 0
        if (line[i] == 'V')
            m_verbal = one;
        else if (line[i] == 'Q')
            m_quiet = one;
    }
    if (!m_quiet)
        m_result += m_verbal ? "\r\n" + m_behaviour.answer + "\r\n" : QByteArray("0\r");
    m_resultDue = std::chrono::steady_clock::now() + kModemThinks;
}

QByteArray VirtualCable::answer(char byte)
{
    QByteArray echo(1, byte);
    if (m_behaviour.kind == Kind::Radio)
        return byte == ';' || byte == '\r' ? QByteArray("?;") : QByteArray();
    if (m_behaviour.kind == Kind::Modem) {
        hear(byte);
        return echo; // command mode echoes every byte (E1)
    }
    if (!m_probeSeen) {
        m_probeSeen = byte == '\n';
        switch (m_behaviour.kind) {
        case Kind::Dead:
            return {};
        case Kind::Doubled:
            return echo + echo;
        default:
            return echo;
        }
    }

    const int value = m_value++;
    switch (m_behaviour.kind) {
    case Kind::Dead:
        return {};
    case Kind::Corrupt:
        return value == m_behaviour.value ? QByteArray(1, char(m_behaviour.wrong)) : echo;
    case Kind::SilentFrom:
        return value < m_behaviour.value ? echo : QByteArray();
    case Kind::Doubled:
        return echo + echo;
    case Kind::Noisy:
        return echo + QByteArray(32, char(0xA5));
    default:
        return echo;
    }
}
