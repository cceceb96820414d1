// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "serial/usbadapters.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

class PortMap;
class SerialDevices;

// tollbeck --find: which port is the cable just plugged in. It watches /sys/class/tty and
// /sys/bus/usb/devices for something new, then lets the adapter settle (brltty takes one half
// a second after its serial device appeared) and says what became of it.
namespace FindPort {

inline const QString kPrompt
    = QStringLiteral("Plug the cable in now (or unplug it and plug it in again).");

struct Found
{
    bool stopped = false;                             // the user stopped the wait
    std::optional<std::chrono::milliseconds> noticed; // from the start to the first change seen
    QList<UsbAdapter> adapters; // the USB adapters that appeared, ports or not
    QStringList devices;        // serial devices that appeared besides them
    bool any() const { return !adapters.isEmpty() || !devices.isEmpty(); }
};

// Waits up to limit for a serial device or a serial-looking USB adapter to appear, looking ten
// times a second; stopRequested is asked as often. watching is called once the first look is
// taken: a cable plugged in before it would count as there all along.
Found wait(std::chrono::seconds limit,
           const std::function<bool()> &stopRequested,
           const std::function<void()> &watching);

// What appeared, for the user: each device with what it is, its lasting name and its COM
// number, or the [Ports] line to add (for COM freePort); each adapter that is no port with its
// reason. port is the first found device's COM number, 0 for none.
struct Report
{
    QString text;
    QJsonObject json;
    qint16 port = 0;
};
Report report(const Found &found,
              std::chrono::seconds limit,
              const PortMap &map,
              const SerialDevices &devices,
              int freePort);

} // namespace FindPort
