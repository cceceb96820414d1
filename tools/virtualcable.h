// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <deque>
#include <optional>
#include <thread>

struct termios;

// The far end of a serial cable, played on the master side of a pseudo-terminal by a thread
// of its own. The program under test opens devicePath() like any serial port.
//
// The cable tells the modem probe from the echo test by the line feed that ends the probe:
// "value k" below is the k-th byte after it, which the test sends as the value k. Closing the
// port starts the count again, and resets the modem.
//
// A cable may also play the line itself: its echo then leaves at the rate the program set on the
// port, one character time (start, data, parity and stop bits) after another.
class VirtualCable
{
public:
    enum class Kind {
        Good,        // echoes every byte
        Dead,        // swallows everything
        Corrupt,     // echoes, but returns `wrong` for value k
        SilentFrom,  // echoes values below k, then stays silent
        Doubled,     // echoes every byte twice
        Modem,       // a Hayes modem in command mode: echoes what it is sent, and answers each
                     // line that begins with AT and ends with CR a few milliseconds later:
                     // CR LF `answer` CR LF (V1, its default), "0" CR (V0), nothing (Q1)
        UnplugAfter, // echoes up to value k, then vanishes like a pulled USB adapter when the
                     // next byte comes
        Noisy,       // echoes every byte followed by a burst of garbage
        Radio        // a Kenwood-style transceiver's CAT port: echoes nothing, and answers "?;"
                     // to every command it does not know, ended by ";" or CR
    };
    struct Behaviour
    {
        Kind kind = Kind::Good;
        int value = 0;
        quint8 wrong = 0;
        QByteArray answer;
        bool atLineRate = false; // paces the echo at the port's rate
        // Above this rate every echoed byte loses its top bit, as on an adapter that cannot
        // keep up; 0 for never.
        qint32 corruptAbove = 0;
        // The intermittent conductor: open for openFor once every `every`, counted from the
        // first byte after the port was opened; what would cross it meanwhile is lost.
        std::chrono::milliseconds openFor{0};
        std::chrono::milliseconds every{0};
        // A remote serial server: every echo leaves this long after it was heard, in order.
        std::chrono::milliseconds late{0};
    };

    static Behaviour good() { return {}; }
    static Behaviour dead() { return {Kind::Dead, 0, 0, {}}; }
    static Behaviour corrupt(int value, quint8 wrong) { return {Kind::Corrupt, value, wrong, {}}; }
    static Behaviour silentFrom(int value) { return {Kind::SilentFrom, value, 0, {}}; }
    static Behaviour doubled() { return {Kind::Doubled, 0, 0, {}}; }
    static Behaviour modem(const QByteArray &answer) { return {Kind::Modem, 0, 0, answer}; }
    static Behaviour unplugAfter(int value) { return {Kind::UnplugAfter, value, 0, {}}; }
    static Behaviour noisy() { return {Kind::Noisy, 0, 0, {}}; }
    static Behaviour radio() { return {Kind::Radio, 0, 0, {}}; }
    static Behaviour paced(qint32 corruptAbove = 0)
    {
        return {Kind::Good, 0, 0, {}, true, corruptAbove, {}, {}};
    }
    static Behaviour intermittent(std::chrono::milliseconds openFor, std::chrono::milliseconds every)
    {
        return {Kind::Good, 0, 0, {}, true, 0, openFor, every};
    }
    static Behaviour late(std::chrono::milliseconds by)
    {
        return {Kind::Good, 0, 0, {}, true, 0, {}, {}, by};
    }

    explicit VirtualCable(Behaviour behaviour = good());
    ~VirtualCable();
    VirtualCable(const VirtualCable &) = delete;
    VirtualCable &operator=(const VirtualCable &) = delete;

    // Empty when no pseudo-terminal could be made.
    const QString &devicePath() const { return m_path; }
    // The line settings the program gave the port, as the far end sees them (a master reports
    // those of its slave). False when they cannot be read.
    bool lineSettings(termios &settings) const;

private:
    void serve();
    QByteArray answer(char byte);
    void hear(char byte);
    void reset();
    struct Pace
    {
        qint32 baud = 0;
        std::chrono::nanoseconds character{};
    };
    Pace pace() const;
    QByteArray dueOnTheLine(std::chrono::steady_clock::time_point now);

    Behaviour m_behaviour;
    int m_master = -1;
    int m_stop[2] = {-1, -1};
    QString m_path;
    bool m_probeSeen = false;
    int m_value = 0;
    QByteArray m_line;    // the modem's command line so far
    bool m_verbal = true; // V1
    bool m_quiet = false; // Q0
    QByteArray m_result;  // the modem's result code, written at m_resultDue
    std::chrono::steady_clock::time_point m_resultDue;
    void toTheLine(const QByteArray &replies, std::chrono::steady_clock::time_point now);
    // Echoes a late cable holds back, each with the time it leaves.
    std::deque<std::pair<std::chrono::steady_clock::time_point, QByteArray>> m_held;
    QByteArray m_onTheLine; // echoes waiting for the line, at its rate
    std::chrono::steady_clock::time_point m_nextDue;
    std::optional<std::chrono::steady_clock::time_point> m_firstHeard;
    std::thread m_thread;
};
