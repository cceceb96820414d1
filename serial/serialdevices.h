// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "serial/consoles.h"
#include "serial/usbadapters.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class PortMap;

// A serial device as the system lists it (QSerialPortInfo): its node and, when the system
// knows them, the adapter's product and maker.
struct SerialDevice
{
    QString path;    // e.g. /dev/ttyUSB0
    QString product; // e.g. FT232R USB UART
    QString maker;   // e.g. FTDI
};

// The serial devices on this computer now.
using DeviceList = std::function<QList<SerialDevice>()>;
// The serial-looking USB adapters now; with true, who claimed one through usbfs is looked for.
using UsbSurvey = std::function<QList<UsbAdapter>(bool)>;

// What the computer says about a device node at one moment.
struct DeviceFacts
{
    bool present = false;
    QString product;
    QString maker;

    // Those of product and maker that are known, "FT232R USB UART, FTDI"; empty for neither.
    QString known() const;
};

// What this computer says about its serial devices, for the user: which are there, what they
// are, the lasting names udev gives them, and those no COM number reaches. Every answer is
// looked up afresh, so it is current when it is asked for.
class SerialDevices
{
public:
    // The system's own list, the stable names in /dev/serial/by-id, the system's consoles and
    // its USB adapters.
    static SerialDevices system();
    SerialDevices(DeviceList list,
                  QString stableNames,
                  ConsoleList consoles = {},
                  UsbSurvey usb = {});

    // The facts for each path, in the same order, from one look at the system.
    QList<DeviceFacts> describe(const QStringList &paths) const;
    DeviceFacts describe(const QString &path) const;
    // The link among the stable names that leads to path's device; for a USB adapter whose
    // by-id name another present adapter shares, its by-path name. Empty when path is one of
    // them already, or when none leads there. surveyed: the USB adapters, when just looked at.
    QString lastingName(const QString &path, const QList<UsbAdapter> *surveyed = nullptr) const;
    // The USB adapters now, with the reason each that is no port is not.
    QList<UsbAdapter> usbAdapters(bool findHolders = true) const;
    // Those USB adapters that are no port; empty when none is, or nobody can ask.
    QList<UsbAdapter> adaptersNotPorts() const;
    // The listed devices that no COM number from 1 to 12 leads to, in natural order; never a
    // console.
    QStringList notReachedBy(const PortMap &map) const;

private:
    DeviceList m_list;
    QString m_stableNames;
    ConsoleList m_consoles;
    UsbSurvey m_usb;
};
