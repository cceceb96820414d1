// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "serial/portholders.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <map>
#include <optional>
#include <utility>

// The texts of sysfs attributes as the kernel writes them, read without trust: a file may be
// missing, empty, cut short or hold anything. Each parser takes the file's bytes and gives the
// value, or nothing when the text is not one.
namespace SysfsText {
// idVendor, idProduct: four hex digits ("0403").
std::optional<quint16> usbId(const QByteArray &text);
// busnum, devnum: a decimal number up to 999.
std::optional<int> decimal(const QByteArray &text);
// bInterfaceClass, bInterfaceSubClass: two hex digits ("ff").
std::optional<int> hexByte(const QByteArray &text);
// dev: "major:minor" of a device node.
std::optional<std::pair<unsigned, unsigned>> deviceNumber(const QByteArray &text);
// product, manufacturer, serial: printable text, at most 64 characters; empty for none.
QString label(const QByteArray &text);
} // namespace SysfsText

// One USB interface of an adapter that looks like a serial one (a serial chip's or a radio
// maker's identity, or the CDC ACM class), and what became of it, decided from sysfs alone.
struct UsbAdapter
{
    enum class State {
        Port,           // it has its serial device
        Claimed,        // a program took it through usbfs (libusb): holders name it
        NoDriver,       // no kernel driver knows its identity
        NoSerialDevice, // driver is bound but made no serial device
    };
    State state = State::NoDriver;
    QString usbPath; // its place on the bus, "1-1.2:1.0"
    std::optional<quint16> vendor;
    std::optional<quint16> product;
    QString productName; // as the adapter names itself; empty when it does not
    QString maker;
    QString serial;
    int bus = -1; // busnum and devnum: its node /dev/bus/usb/BBB/DDD
    int number = -1;
    QString driver;            // the interface's driver; empty when none is bound
    QString device;            // State::Port: its node, /dev/ttyUSB0
    QString byId;              // its link in /dev/serial/by-id, if any
    QString byPath;            // its link in /dev/serial/by-path, if any
    bool sharedById = false;   // another present adapter gets the same by-id name
    QList<PortHolder> holders; // State::Claimed: who has the node open
    QString brlttyRunning;     // State::Claimed, holders hidden: "brltty (process 812)"

    // "1a86:7523"; "????" for a part that could not be read.
    QString identity() const;
    // "/dev/bus/usb/001/005"; empty when busnum or devnum could not be read.
    QString usbNode() const;
    // The one line that says why it is no port and what to do; empty for a port.
    QString reason() const;
    // The name that stays: by-id, or by-path when another adapter shares its by-id name.
    QString lastingName() const;
};

// Every serial-looking USB interface under /sys/bus/usb/devices now, in bus order. With
// findHolders, the programs that claimed an interface through usbfs are looked for (a look at
// every process: only when one is claimed).
QList<UsbAdapter> usbAdapters(bool findHolders = true);
// The usbfs nodes of the claimed adapters, to be looked for with other paths in one search.
QStringList claimedNodes(const QList<UsbAdapter> &list);
// Names the holders of the claimed adapters from such a search.
void setHolders(QList<UsbAdapter> &list, const std::map<QString, QList<PortHolder>> &holders);

// The adapter of list whose serial device path leads to, compared by device number; null for
// none.
const UsbAdapter *adapterOf(const QList<UsbAdapter> &list, const QString &path);

// The adapters of list that are no port.
QList<UsbAdapter> notPorts(const QList<UsbAdapter> &list);
