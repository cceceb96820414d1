// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

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

// The line that names the serial devices no COM number reaches, and where to map them.
QString notInPortList(const QStringList &devices, const QString &settingsFile);

// The window, as a test run sees it: what the user sees of a run, and the user's request to
// stop it. Any of it but that request may throw CommError.
class RunWindow
{
public:
    virtual ~RunWindow() = default;

    virtual void setTestRunning(bool running) = 0;
    // Start, Exit, Help and the port list, in that order.
    virtual void setControlsEnabled(bool enabled) = 0;
    virtual void clearLog() = 0;
    // Appends text to the log exactly as given.
    virtual void Testout(const QString &text) = 0;
    // The user asked the run to stop (from a terminal, with Ctrl+C); the window never does.
    virtual bool stopRequested() const { return false; }
};

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
// port, then on the other ports until one passes. Every step is guarded: a failing step
// becomes the pending error and the run goes on, so every run ends with the controls enabled
// and the port closed. At its end the run names the device behind a passing port; or, when
// all failed, why the selected port could not be opened, and, when devices were missing, the
// serial devices the port map does not reach. A stop request ends it where it waits.
class LoopbackTest
{
public:
    LoopbackTest(RunWindow &window, CommControl &comm, RunClock &clock, RunPorts ports);

    // True when a port passed.
    bool run();

    // The values echoed are 0 to kLastValue. What arrives during the pause after the probe's
    // first reply byte, or after an echo, belongs to that reply.
    static constexpr int kLastValue = 255;
    static constexpr std::chrono::microseconds kProbeSettle{15'000};
    static constexpr std::chrono::microseconds kEchoSettle{5'000};

private:
    bool attempt(qint16 port);
    bool echoAll();
    void nameDevice();
    void failedAll(qint16 startPort);
    void pointToUnreached();
    bool replied();
    quint8 receivedByte() const;
    void log(const QString &text);
    template<typename Build>
    void logBuilt(const Build &build);
    template<typename Step>
    void guard(const Step &step);

    RunWindow &m_window;
    CommControl &m_comm;
    RunClock &m_clock;
    RunPorts m_ports;

    std::optional<CommError> m_pending;
    bool m_deviceMissing = false; // an attempt failed because its device is not there
    bool m_openFailed = false;    // the latest attempt failed at the check after opening
    QString m_selectedFailure;    // why the selected port could not be opened
    QByteArray m_sendBuffer{1, '\0'};
    QByteArray m_received;
};
