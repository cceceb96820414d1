// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/soakcheck.h"

#include "loopback/runclock.h"
#include "loopback/runreport.h"
#include "serial/commcontrol.h"

#include <QJsonArray>
#include <QLocale>

#include <algorithm>
#include <deque>
#include <optional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

using Milliseconds = std::chrono::milliseconds;

constexpr auto kDropout = 100ms;
constexpr auto kStatusEvery = 100ms;
constexpr auto kInFlight = 30ms; // of the line's time: enough to keep it busy between wake-ups
constexpr qint64 kMinInFlight = 8;
constexpr qint64 kMaxInFlight = 128; // well below 256, so an echo tells its place in the stream
constexpr int kBitsPerByte = 10;
// How long a byte that may be changed or the first after missing ones waits for the next.
constexpr auto kNoLookahead = 10ms;
// How late an echo may be, beyond its time on the line, before it counts as lost: an adapter
// hands on what it received every few milliseconds (an FTDI chip every 16 ms).
constexpr auto kLate = 60ms;

// The k-th byte of the stream: every value once in 256, each far from its neighbours.
quint8 streamByte(qint64 position)
{
    return quint8((position % 256) * 167 + 13);
}
// Where a byte stands in the stream, counted from position and below 256 further on.
qint64 distance(qint64 position, quint8 byte)
{
    for (qint64 d = 0; d < 256; ++d) {
        if (streamByte(position + d) == byte)
            return d;
    }
    return 256;
}

// The log's texts, in the order the soak writes them.
QString seconds(Milliseconds time)
{
    return QString::number(double(time.count()) / 1000.0, 'f', 3);
}
QString number(qint64 value)
{
    return QLocale(QLocale::English).toString(value);
}
QString faults(qsizetype count)
{
    return count == 1 ? u"1 fault"_s : u"%1 faults"_s.arg(count);
}
QString kindName(SoakFault::Kind kind)
{
    static const QString names[] = {u"dropout"_s, u"mismatch"_s, u"missing"_s};
    return names[int(kind)];
}

// The soak's state between wake-ups.
class Soak
{
public:
    Soak(CommControl &comm, RunClock &clock, const SoakOptions &options, const SoakCallbacks &calls)
        : m_comm(comm)
        , m_clock(clock)
        , m_calls(calls)
        , m_start(clock.now())
        , m_lastEcho(m_start)
    {
        m_result.options = options;
        const qint64 perSecond = options.baud / kBitsPerByte;
        m_inFlight = std::clamp(perSecond * kInFlight.count() / 1000, kMinInFlight, kMaxInFlight);
        m_character = std::chrono::microseconds(1'000'000 / perSecond);
    }

    SoakResult run()
    {
        try {
            m_comm.setBaudRate(m_result.options.baud);
            loop();
        } catch (const CommError &failure) {
            m_result.error = failure.description();
        }
        m_result.took = since(m_clock.now());
        return m_result;
    }

private:
    void loop()
    {
        const auto duration = m_result.options.duration;
        for (;;) {
            const RunClock::TimePoint now = m_clock.now();
            if (m_calls.stopRequested && m_calls.stopRequested()) {
                m_result.stopped = true;
                break;
            }
            if (duration > 0s && now - m_start >= duration)
                break;
            receive(now, false);
            send(); // into the room the echoes and the lost bytes left
            if (m_calls.status && now - m_lastStatus >= kStatusEvery) {
                m_lastStatus = now;
                m_calls.status({since(now), m_result.bytes, m_result.faults.size()});
            }
            RunClock::TimePoint wake = m_lastStatus + kStatusEvery;
            if (!m_due.empty())
                wake = std::min(wake, m_due.front());
            if (!m_received.isEmpty())
                wake = std::min(wake, m_lastEcho + kNoLookahead);
            if (duration > 0s)
                wake = std::min(wake, m_start + duration);
            m_clock.waitForEvents(std::max<std::chrono::nanoseconds>(wake - now, 0ns) + 1ms);
        }
        // What is on its way still counts.
        while (!m_due.empty()) {
            m_clock.waitForEvents(
                std::max<std::chrono::nanoseconds>(m_due.front() - m_clock.now(), 0ns) + 1ms);
            receive(m_clock.now(), false);
        }
        receive(m_clock.now(), true);
        if (const auto silence = m_clock.now() - m_lastEcho; silence > kDropout)
            dropout(silence);
    }

    void send()
    {
        QByteArray bytes;
        while (qint64(m_due.size()) + bytes.size() < m_inFlight)
            bytes += char(streamByte(m_sent + bytes.size()));
        if (bytes.isEmpty())
            return;
        m_comm.setOutput(bytes);
        m_sent += bytes.size();
        // Each byte waits for those ahead of it on the line.
        const RunClock::TimePoint now = m_clock.now();
        for (qsizetype i = 0; i < bytes.size(); ++i)
            m_due.push_back(now + m_character * qint64(m_due.size() + 1) + kLate);
    }

    void receive(RunClock::TimePoint now, bool last)
    {
        const QByteArray arrived = m_comm.input();
        if (!arrived.isEmpty()) {
            if (now - m_lastEcho > kDropout)
                dropout(now - m_lastEcho);
            m_lastEcho = now;
            m_received += arrived;
            compare(now, last);
        } else if (!m_received.isEmpty() && (last || now - m_lastEcho > kNoLookahead)) {
            compare(now, true);
        }
        // Bytes long overdue are lost: missing bytes, or part of a dropout.
        while (!m_due.empty() && now > m_due.front() && m_received.isEmpty()) {
            m_due.pop_front();
            ++m_expected;
            m_wrongRun = false;
        }
    }

    // Each echo against the stream. A byte that belongs further on means those before it went
    // missing, unless the byte after it shows it was only changed.
    void compare(RunClock::TimePoint now, bool last)
    {
        while (!m_received.isEmpty()) {
            const auto byte = quint8(m_received[0]);
            if (m_due.empty()) { // a late echo of a byte already given up
                m_received.remove(0, 1);
                continue;
            }
            const qint64 pending = qint64(m_due.size());
            const qint64 ahead = distance(m_expected, byte);
            if (ahead == 0) {
                accept();
                ++m_result.bytes;
                m_wrongRun = false;
                m_afterDropout = false;
                continue;
            }
            if (m_received.size() < 2 && !last && ahead < pending)
                return; // the next byte decides
            const bool changed
                = m_received.size() >= 2 && quint8(m_received[1]) == streamByte(m_expected + 1);
            if (ahead < pending && !changed) {
                for (qint64 i = 0; i < ahead; ++i)
                    m_due.pop_front();
                m_expected += ahead;
                if (!m_afterDropout) // those bytes are the dropout's
                    report(fault(SoakFault::Kind::Missing, now, int(ahead)));
                continue; // the byte is matched next time round
            }
            if (m_wrongRun) {
                ++m_result.faults.last().count;
            } else {
                SoakFault wrong = fault(SoakFault::Kind::Mismatch, now, 1);
                wrong.sent = streamByte(m_expected);
                wrong.received = byte;
                report(wrong);
                m_wrongRun = true;
            }
            accept();
        }
    }

    void accept()
    {
        m_received.remove(0, 1);
        m_due.pop_front();
        ++m_expected;
    }

    void dropout(std::chrono::nanoseconds silence)
    {
        const auto length = std::chrono::duration_cast<Milliseconds>(silence);
        m_result.longestDropout = std::max(m_result.longestDropout, length);
        SoakFault quiet = fault(SoakFault::Kind::Dropout, m_lastEcho, 0);
        quiet.length = length;
        report(quiet);
        m_wrongRun = false;
        m_afterDropout = true;
    }

    SoakFault fault(SoakFault::Kind kind, RunClock::TimePoint at, int count) const
    {
        SoakFault found;
        found.kind = kind;
        found.at = since(at);
        found.count = count;
        return found;
    }

    void report(const SoakFault &fault)
    {
        m_result.faults.append(fault);
        if (m_calls.fault)
            m_calls.fault(fault);
    }

    Milliseconds since(RunClock::TimePoint time) const
    {
        return std::chrono::duration_cast<Milliseconds>(time - m_start);
    }

    CommControl &m_comm;
    RunClock &m_clock;
    const SoakCallbacks &m_calls;
    SoakResult m_result;
    qint64 m_inFlight = kMinInFlight;
    std::chrono::microseconds m_character{};
    RunClock::TimePoint m_start;
    RunClock::TimePoint m_lastEcho;
    RunClock::TimePoint m_lastStatus = m_start;
    qint64 m_sent = 0;
    qint64 m_expected = 0;                 // the stream position the next echo should have
    std::deque<RunClock::TimePoint> m_due; // when each byte from m_expected on is lost
    QByteArray m_received;                 // echoes not yet compared
    bool m_wrongRun = false;               // the last byte compared came back changed
    bool m_afterDropout = false;           // no byte has come back right since a dropout
};

} // namespace

double SoakResult::bytesPerSecond() const
{
    return took > 0ms ? double(bytes) * 1000.0 / double(took.count()) : 0.0;
}

SoakResult soak(CommControl &comm,
                RunClock &clock,
                const SoakOptions &options,
                const SoakCallbacks &callbacks)
{
    return Soak(comm, clock, options, callbacks).run();
}

QString soakStartLine(const SoakOptions &options)
{
    const QString length = options.duration > 0s ? u"for %1 s"_s.arg(options.duration.count())
                                                 : u"until you press Ctrl+C"_s;
    return u"Soak: echoing at %1 baud %2. Move the cable and its plugs along their length.\r\n"_s
        .arg(options.baud)
        .arg(length);
}

QString soakFaultLine(const SoakFault &fault)
{
    const QString at = seconds(fault.at) + u" s: "_s;
    switch (fault.kind) {
    case SoakFault::Kind::Dropout:
        return at + u"dropout, no echo for %1 ms\r\n"_s.arg(fault.length.count());
    case SoakFault::Kind::Mismatch:
        return at
               + u"mismatch, sent %1, received %2\r\n"_s.arg(LogText::hexByte(fault.sent),
                                                             LogText::hexByte(fault.received));
    default:
        return at
               + u"%1 missing\r\n"_s.arg(fault.count == 1 ? u"1 byte"_s
                                                          : u"%1 bytes"_s.arg(fault.count));
    }
}

QString soakStatusLine(const SoakStatus &status)
{
    return u"%1 s, %2 bytes echoed, %3"_s.arg(seconds(status.elapsed).chopped(2),
                                              number(status.bytes),
                                              faults(status.faults));
}

QString soakSummary(const SoakResult &result)
{
    QString summary = u"Soak summary: %1 bytes echoed in %2 s (%3 bytes/s), %4, longest dropout "
                      "%5 ms.\r\n"_s
                          .arg(number(result.bytes),
                               seconds(result.took).chopped(2),
                               number(qint64(result.bytesPerSecond())),
                               faults(result.faults.size()))
                          .arg(result.longestDropout.count());
    if (!result.error.isEmpty())
        summary += result.error + u"\r\n"_s;
    return summary
           + (result.faultFound() ? u"Intermittent: %1.\r\n"_s.arg(faults(result.faults.size()))
                                  : u"Steady.\r\n"_s);
}

QString soakLog(const SoakResult &result)
{
    QString log = soakStartLine(result.options);
    for (const SoakFault &fault : result.faults)
        log += soakFaultLine(fault);
    return log + soakSummary(result);
}

QJsonObject soakJson(const SoakResult &result)
{
    QJsonArray faults;
    for (const SoakFault &fault : result.faults) {
        QJsonObject entry{{u"kind"_s, kindName(fault.kind)},
                          {u"at"_s, double(fault.at.count()) / 1000.0}};
        if (fault.kind == SoakFault::Kind::Dropout)
            entry[u"ms"_s] = qint64(fault.length.count());
        if (fault.kind == SoakFault::Kind::Mismatch) {
            entry[u"sent"_s] = fault.sent;
            entry[u"received"_s] = fault.received;
        }
        if (fault.kind != SoakFault::Kind::Dropout)
            entry[u"count"_s] = fault.count;
        faults.append(entry);
    }
    QJsonObject section{{u"baud"_s, result.options.baud},
                        {u"seconds"_s, double(result.took.count()) / 1000.0},
                        {u"bytes"_s, result.bytes},
                        {u"bytesPerSecond"_s, result.bytesPerSecond()},
                        {u"faults"_s, faults},
                        {u"longestDropoutMs"_s, qint64(result.longestDropout.count())},
                        {u"stopped"_s, result.stopped},
                        {u"verdict"_s, result.faultFound() ? u"intermittent"_s : u"steady"_s},
                        {u"passed"_s, !result.faultFound()}};
    if (result.options.duration > 0s)
        section[u"requestedSeconds"_s] = qint64(result.options.duration.count());
    if (!result.error.isEmpty())
        section[u"error"_s] = result.error;
    return section;
}
