// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "serial/commcontrol.h"
#include "tools/plugwiring.h"

#include <chrono>
#include <deque>

// A loopback plug on a port, played without a device: what is sent comes straight back, and the
// inputs follow the plug's wiring a set time after an output is switched, as an adapter that
// reports its lines by USB does, or a serial server across a network: what it reports now is
// how the lines stood lag ago, whatever was switched since. For checks that reach the lines
// through the serial control.
class PlugModel : public CommControl
{
public:
    using Clock = std::chrono::steady_clock;

    explicit PlugModel(PlugWiring wiring = {},
                       std::chrono::microseconds lag = std::chrono::milliseconds(2));

    void setCommPort(qint16 port) override { m_port = port; }
    qint16 commPort() const override { return m_port; }
    void setPortOpen(bool open) override { m_open = open; }
    bool portOpen() const override { return m_open; }
    void setOutput(const QByteArray &bytes) override { m_echo += bytes; }
    qint16 inBufferCount() override { return qint16(m_echo.size()); }
    QByteArray input() override { return std::exchange(m_echo, {}); }

    void setDTREnable(bool enable) override { m_dtr.set(enable); }
    void setRTSEnable(bool enable) override { m_rts.set(enable); }
    std::optional<ModemLines> modemLines() override;

private:
    // An output's switches, oldest first; each reaches the inputs only after the lag.
    struct Output
    {
        std::deque<std::pair<Clock::time_point, bool>> switches{{Clock::time_point{}, false}};
        void set(bool on) { switches.emplace_back(Clock::now(), on); }
    };
    bool seen(Output &output) const;

    PlugWiring m_wiring;
    std::chrono::microseconds m_lag;
    Output m_rts;
    Output m_dtr;
    qint16 m_port = 1;
    bool m_open = false;
    QByteArray m_echo;
};
