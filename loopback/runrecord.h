// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "loopback/outcome.h"
#include "serial/commerror.h"
#include "serial/serialdevices.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// What one attempt on one port did: the facts both faces present, the log as text and
// --json as data.
struct Attempt
{
    // Of a port: NoData to the probe or to value, Mismatch when value came back as received.
    using Outcome = ::Outcome;

    qint16 port = 0;
    QString device;      // as the port map holds it
    QString lastingName; // the link in /dev/serial/by-id that leads to it, if any
    DeviceFacts facts;   // what the system says of the device that passed
    Outcome outcome = Outcome::Stopped;
    // The value under test when the attempt ended: -1 while probing, 256 once all passed. The
    // values below it came back unchanged.
    int value = -1;
    quint8 received = 0;   // the byte that came back for value, when it differs
    QByteArray reply;      // what answered the probe
    bool timedOut = false; // the wait for a reply ran out before the line was found lost
    std::optional<CommError> error;
    std::chrono::milliseconds took{0};
    std::optional<std::chrono::milliseconds> probeEcho; // from the probe's write to its reply
};

// A whole run: every attempt in the order made, and what the run ended with.
struct RunRecord
{
    QDateTime started; // UTC
    qint16 selected = 0;
    bool walk = true;
    QString settingsFile;
    QList<Attempt> attempts;
    bool stopped = false;
    // When a device was missing: the serial devices that no COM number reaches.
    QStringList unreached;
    // When a device was missing: the USB adapters that did not become a serial device.
    QList<UsbAdapter> adapters;

    // The attempt that passed; null when none did.
    const Attempt *passed() const
    {
        return !attempts.isEmpty() && attempts.constLast().outcome == Attempt::Outcome::Passed
                   ? &attempts.constLast()
                   : nullptr;
    }
};
