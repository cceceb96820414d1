// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "serial/commerror.h"

#include <QByteArray>

#include <optional>

// The control lines a port reads, as they stood when read.
struct ModemLines
{
    bool cts = false;
    bool dsr = false;
    bool dcd = false;
    bool ri = false;
};

// What a loopback test drives on the serial control. Every operation may throw CommError.
class CommControl
{
public:
    virtual ~CommControl() = default;

    virtual void setCommPort(qint16 port) = 0;
    virtual qint16 commPort() const = 0;
    virtual void setPortOpen(bool open) = 0;
    virtual bool portOpen() const = 0;
    // Puts the bytes on the line before it returns.
    virtual void setOutput(const QByteArray &bytes) = 0;
    // Bytes received and waiting, including any that arrived since the event loop last ran.
    virtual qint16 inBufferCount() = 0;
    // Every waiting byte, oldest first; empties the receive buffer.
    virtual QByteArray input() = 0;

    // The deeper checks need more of the line than the test does. A control without control
    // lines switches nothing and reports none, and one that cannot change its rate refuses.
    virtual void setDTREnable(bool) {}
    virtual void setRTSEnable(bool) {}
    // None when the device does not report its control lines.
    virtual std::optional<ModemLines> modemLines() { return std::nullopt; }
    // Takes effect at once when the port is open.
    virtual void setBaudRate(qint32 baud)
    {
        throw CommError(ErrorNumber::InvalidPropertyValue,
                        QStringLiteral("This port cannot run at %1 baud.").arg(baud));
    }
};
