// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "serial/portholders.h"
#include "serial/serialdevices.h"
#include "serial/usbadapters.h"

#include <QList>
#include <QString>

class PortMap;
struct PortGuards;

// One COM number as tollbeck --list shows it.
struct PortFacts
{
    qint16 port = 0;
    QString path;
    DeviceFacts facts;
    QString lastingName;
    QList<PortHolder> holders;
    QString console;                // "system console", "virtual terminal"; empty for neither
    QList<LockFile> staleLockFiles; // ignored
    QString notSerialClass;         // the class of a device that is no serial port ("mem")
    QString byId;                   // its USB adapter's names in /dev/serial, if any
    QString byPath;
    bool sharedById = false;    // another present adapter has the same by-id name
    QList<UsbAdapter> notPorts; // for a port not there: the USB adapters that are no port
};

// COM 1 to COM 12 with what is known of each, from one look at the system. Opens no port.
QList<PortFacts> surveyPorts(const PortMap &map,
                             const PortGuards &guards,
                             const SerialDevices &devices);

// One line a port, in columns: its number, its device and what is known of it; then one line
// for each USB adapter that is no port.
QString surveyText(const QList<PortFacts> &ports);
