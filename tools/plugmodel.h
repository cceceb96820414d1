// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "serial/commcontrol.h"
#include "tools/plugwiring.h"

#include <chrono>

// A loopback plug on a port, played without a device: what is sent comes straight back, and the
// inputs follow the plug's wiring a set time after an output is switched, as an adapter that
// reports its lines by USB does. For checks that reach the lines through the serial control.
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
    // An output as the plug sees it: the switch reaches the inputs only after the lag.
    struct Output
    {
        bool now = false;
        bool before = false;
        Clock::time_point switched;
        void set(bool on)
        {
            before = now;
            now = on;
            switched = Clock::now();
        }
    };
    bool seen(const Output &output) const;

    PlugWiring m_wiring;
    std::chrono::microseconds m_lag;
    Output m_rts;
    Output m_dtr;
    qint16 m_port = 1;
    bool m_open = false;
    QByteArray m_echo;
};
