// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/soakcheck.h"

#include "loopback/echoline.h"
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

// How late an echo may be beyond its time on the line before it is given up: a network link
// takes tens of milliseconds, more at low rates where an adapter waits for more bytes.
constexpr auto kDropout = 150ms;
constexpr int kDropoutBytes = 4;
constexpr auto kStatusEvery = 100ms;
constexpr auto kInFlight = 30ms; // of the line's time beyond its delay: the line stays busy
constexpr qint64 kMinInFlight = 8;
constexpr qint64 kMaxInFlight = 128; // well below 256, so an echo tells its place in the stream
// How long a byte that may be changed or the first after missing ones waits for the next.
constexpr auto kLookahead = 10ms;

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
    switch (kind) {
    case SoakFault::Kind::Dropout:
        return u"dropout"_s;
    case SoakFault::Kind::Mismatch:
        return u"mismatch"_s;
    case SoakFault::Kind::Missing:
        return u"missing"_s;
    }
    return {};
}
QString howFar(const SoakResult &result)
{
    const QString took = seconds(result.took).chopped(2);
    const QString of = result.options.duration > 0s
                           ? u"%1 of %2 s"_s.arg(took).arg(result.options.duration.count())
                           : took + u" s"_s;
    const QString found = result.faults.isEmpty()
                              ? QString()
                              : u"; %1 found so far"_s.arg(faults(result.faults.size()));
    if (result.lineLost())
        return u"Soak cut short after %1: the line was lost%2.\r\n"_s.arg(of, found);
    return u"Stopped after %1%2.\r\n"_s.arg(of, found);
}

// The soak's state between wake-ups.
class Soak
{
public:
    Soak(EchoLine &line, const SoakOptions &options, const SoakCallbacks &calls)
        : m_line(line)
        , m_clock(line.clock())
        , m_calls(calls)
        , m_start(m_clock.now())
        , m_lastEcho(m_start)
    {
        m_result.options = options;
        m_byte = byteTime(options.baud);
        m_limit = std::chrono::ceil<Milliseconds>(kDropout + kDropoutBytes * m_byte);
        m_result.dropoutLimit = m_limit;
        m_lookahead = kLookahead + 2 * m_byte;
    }

    SoakResult run()
    {
        if (m_line.changeRate(m_result.options.baud) == Outcome::Passed)
            loop();
        m_result.error = m_line.takeError();
        m_result.took = since(m_clock.now());
        return m_result;
    }

private:
    void loop()
    {
        const auto duration = m_result.options.duration;
        for (;;) {
            const RunClock::TimePoint now = m_clock.now();
            if (m_line.stopRequested()) {
                m_result.stopped = true;
                break;
            }
            if (duration > 0s && now - m_start >= duration)
                break;
            if (!receive(now, false) || !send())
                return;
            if (m_calls.status && now - m_lastStatus >= kStatusEvery) {
                m_lastStatus = now;
                m_calls.status({since(now), m_result.bytes, m_result.faults.size()});
            }
            RunClock::TimePoint wake = m_lastStatus + kStatusEvery;
            if (!m_line.inFlight().empty())
                wake = std::min(wake, m_line.inFlight().front().due + m_limit);
            if (!m_received.isEmpty())
                wake = std::min(wake, m_lastEcho + m_lookahead);
            if (duration > 0s)
                wake = std::min(wake, m_start + duration);
            m_line.pauseUntil(wake + 1ms);
        }
        // What is on its way still counts, unless the user wants to stop now.
        while (!m_result.stopped && !m_line.inFlight().empty()) {
            if (m_line.pauseUntil(m_line.inFlight().front().due + m_limit + 1ms))
                m_result.stopped = true;
            if (!receive(m_clock.now(), false))
                return;
        }
        if (!receive(m_clock.now(), true))
            return;
        if (m_inDropout)
            dropout(m_clock.now());
    }

    bool send()
    {
        std::deque<EchoLine::InFlight> &flight = m_line.inFlight();
        const qint64 perSecond = 1'000'000 / std::max<qint64>(m_byte.count(), 1);
        const qint64 wanted = std::clamp(perSecond * (kInFlight + m_lastDelay).count() / 1000,
                                         kMinInFlight,
                                         kMaxInFlight);
        QByteArray bytes;
        while (qint64(flight.size()) + bytes.size() < wanted)
            bytes += char(streamByte(m_sent + bytes.size()));
        if (bytes.isEmpty())
            return true;
        m_sent += bytes.size();
        return m_line.send(bytes);
    }

    bool receive(RunClock::TimePoint now, bool last)
    {
        const std::optional<QByteArray> arrived = m_line.receive();
        if (!arrived)
            return false;
        if (!arrived->isEmpty()) {
            if (m_inDropout)
                dropout(now);
            m_lastEcho = now;
            m_received += *arrived;
            compare(now, last);
        } else if (!m_received.isEmpty() && (last || now - m_lastEcho > m_lookahead)) {
            compare(now, true);
        }
        // Bytes overdue past the limit are lost: missing bytes, or a dropout when nothing
        // comes back meanwhile.
        std::deque<EchoLine::InFlight> &flight = m_line.inFlight();
        while (!flight.empty() && now > flight.front().due + m_limit && m_received.isEmpty()) {
            flight.pop_front();
            ++m_expected;
            m_givenUp = std::min<qint64>(m_givenUp + 1, kMaxInFlight);
            m_wrongRun = false;
            m_inDropout = true;
        }
        return true;
    }

    // Each echo against the stream. A byte that belongs further on means those before it went
    // missing, unless the byte after it shows it was only changed; one of the bytes given up
    // coming back is late, not wrong.
    void compare(RunClock::TimePoint now, bool last)
    {
        std::deque<EchoLine::InFlight> &flight = m_line.inFlight();
        while (!m_received.isEmpty()) {
            const auto byte = quint8(m_received[0]);
            if (flight.empty() || givenUp(byte)) {
                m_received.remove(0, 1);
                continue;
            }
            const qint64 pending = qint64(flight.size());
            const qint64 ahead = distance(m_expected, byte);
            if (ahead == 0) {
                accept(now);
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
                    flight.pop_front();
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
            accept(now);
        }
    }

    bool givenUp(quint8 byte) const
    {
        for (qint64 back = 1; back <= m_givenUp; ++back) {
            if (streamByte(m_expected - back) == byte)
                return true;
        }
        return false;
    }

    void accept(RunClock::TimePoint now)
    {
        std::deque<EchoLine::InFlight> &flight = m_line.inFlight();
        m_lastDelay = std::max(std::chrono::duration_cast<Milliseconds>(now - flight.front().due),
                               Milliseconds(0));
        m_result.longestDelay = std::max(m_result.longestDelay, m_lastDelay);
        m_received.remove(0, 1);
        flight.pop_front();
        ++m_expected;
        m_givenUp = 0;
    }

    // No echo from the last one before the bytes given up to now.
    void dropout(RunClock::TimePoint now)
    {
        const auto length = std::chrono::duration_cast<Milliseconds>(now - m_lastEcho);
        m_result.longestDropout = std::max(m_result.longestDropout, length);
        SoakFault quiet = fault(SoakFault::Kind::Dropout, m_lastEcho, 0);
        quiet.length = length;
        report(quiet);
        m_wrongRun = false;
        m_afterDropout = true;
        m_inDropout = false;
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

    EchoLine &m_line;
    RunClock &m_clock;
    const SoakCallbacks &m_calls;
    SoakResult m_result;
    std::chrono::microseconds m_byte{};
    Milliseconds m_limit{};
    std::chrono::microseconds m_lookahead{};
    Milliseconds m_lastDelay{};
    RunClock::TimePoint m_start;
    RunClock::TimePoint m_lastEcho;
    RunClock::TimePoint m_lastStatus = m_start;
    qint64 m_sent = 0;
    qint64 m_expected = 0;       // the stream position of the oldest byte in flight
    qint64 m_givenUp = 0;        // bytes given up since the last one that came back
    QByteArray m_received;       // echoes not yet compared
    bool m_wrongRun = false;     // the last byte compared came back changed
    bool m_afterDropout = false; // no byte has come back right since a dropout
    bool m_inDropout = false;    // bytes were given up and nothing has come back since
};

} // namespace

bool SoakResult::cutShort() const
{
    return lineLost() || (stopped && options.duration > 0s);
}

double SoakResult::bytesPerSecond() const
{
    return took > 0ms ? double(bytes) * 1000.0 / double(took.count()) : 0.0;
}

SoakResult soak(CommControl &comm,
                RunClock &clock,
                const SoakOptions &options,
                const SoakCallbacks &callbacks)
{
    EchoLine line(comm, clock, callbacks.stopRequested);
    return Soak(line, options, callbacks).run();
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
                      "%5 ms, longest echo delay %6 ms.\r\n"_s
                          .arg(number(result.bytes),
                               seconds(result.took).chopped(2),
                               number(qint64(result.bytesPerSecond())),
                               faults(result.faults.size()))
                          .arg(result.longestDropout.count())
                          .arg(result.longestDelay.count());
    if (result.error)
        summary += result.error->description() + u"\r\n"_s;
    if (result.cutShort())
        return summary + howFar(result);
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
    QJsonValue verdict; // none for a soak cut short
    if (!result.cutShort())
        verdict = result.faultFound() ? u"intermittent"_s : u"steady"_s;
    QJsonObject section{{u"ran"_s, true},
                        {u"baud"_s, result.options.baud},
                        {u"requested_seconds"_s,
                         result.options.duration > 0s
                             ? QJsonValue(qint64(result.options.duration.count()))
                             : QJsonValue()},
                        {u"seconds"_s, double(result.took.count()) / 1000.0},
                        {u"bytes"_s, result.bytes},
                        {u"bytes_per_second"_s, result.bytesPerSecond()},
                        {u"faults"_s, faults},
                        {u"longest_dropout_ms"_s, qint64(result.longestDropout.count())},
                        {u"longest_echo_delay_ms"_s, qint64(result.longestDelay.count())},
                        {u"dropout_limit_ms"_s, qint64(result.dropoutLimit.count())},
                        {u"stopped"_s, result.stopped},
                        {u"line_lost"_s, result.lineLost()},
                        {u"verdict"_s, verdict},
                        {u"passed"_s, !result.faultFound() && !result.cutShort()}};
    if (result.error)
        section[u"error"_s] = errorJson(*result.error);
    return section;
}
