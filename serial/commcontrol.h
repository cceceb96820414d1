// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QByteArray>

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
};
