// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "loopback/echoline.h"
#include "loopback/runrecord.h"
#include "serial/commcontrol.h"
#include "serial/commerror.h"
#include "serial/portmap.h"
#include "serial/serialdevices.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class RunClock;
class RunReport;

// The ports a run starts from, and what stands behind them.
struct RunPorts
{
    // Sets the serial control up for the selected port; shows its own failures.
    std::function<void()> configure;
    // The selected port as the port list shows it, "COM n"; read after configure.
    std::function<QString()> selected;
    // The map the serial control opens devices by, and what the system says of them.
    const PortMap &map;
    const SerialDevices &devices;
    // When the selected port fails, try the others.
    bool walk = true;
};

// One loopback test run: the modem probe and the echo of every byte value on the selected
// port, then on the other ports until one passes. It produces facts, not words: the report
// hears each step as it happens, and the run returns the record of every attempt. Every step
// is guarded: a failing step's error becomes the attempt's (the first one counts) and the run
// goes on, so every run ends with the port closed. A stop request ends it where it waits.
class LoopbackTest
{
public:
    LoopbackTest(RunReport &report, CommControl &comm, RunClock &clock, RunPorts ports);

    RunRecord run();

    // The modem probe. A cable echoes it; a modem answers "OK".
    static inline const QByteArray kProbe = QByteArrayLiteral("ATV1Q0\r\n");
    // The values echoed are 0 to kLastValue. What arrives during the pause after the probe's
    // first reply byte, or after an echo, belongs to that reply.
    static constexpr int kLastValue = 255;
    static constexpr std::chrono::microseconds kProbeSettle{15'000};
    static constexpr std::chrono::microseconds kEchoSettle{5'000};

private:
    const Attempt &attempt(qint16 port);
    Outcome probeAndEcho(Attempt &attempt);
    Outcome echoAll(Attempt &attempt);
    EchoLine::Wait replied();
    bool read();
    template<typename Step>
    void guard(const Step &step);

    RunReport &m_report;
    CommControl &m_comm;
    RunClock &m_clock;
    RunPorts m_ports;

    RunRecord m_record;
    // What failed before the first attempt; it fails that attempt unless it fails of its own.
    std::optional<CommError> m_runError;
    std::optional<EchoLine> m_line; // the attempt in progress
    QByteArray m_sendBuffer{1, '\0'};
    QByteArray m_received;
};
