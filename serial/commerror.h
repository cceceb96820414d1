// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "serial/portholders.h"

#include <QList>
#include <QString>

// The numbers of every error the program raises, in one place. Where the classic serial control
// had a number for the same trouble we keep it, so a ham who has met it before recognises it.
enum class ErrorNumber : qint32 {
    NothingReceived = 9,        // a reply was expected to hold a byte and held none
    TypeMismatch = 13,          // a port-list text that does not end in a port number
    InvalidPropertyValue = 380, // a setting the control refuses, e.g. a malformed Settings text
    NotWhileOpen = 8000,        // a setting that cannot change while the port is open
    InvalidPortNumber = 8002,   // no device is mapped to COM n
    PortAlreadyOpen = 8005,     // opening a port that is open, or moving an open one
    PortInUse = 8010,           // another program holds the device
    LeftExclusive = 8011,       // held exclusively, with no program to be seen holding it
    PortNotOpen = 8012,         // sending or reading while the port is closed
    DeviceLost = 8020,          // the device failed or vanished while open (unplugged)
    NoSuchDevice = 8030,        // the mapped device node does not exist
    PermissionDenied = 8031,    // the user may not open the device (not in dialout)
    OpenFailed = 8032,          // any other reason the device would not open as a serial port
    WriteFailed = 8033,         // the bytes could not be handed to the device
    SystemConsole = 8034,       // the device is the system console or a virtual terminal
    NotASerialPort = 8035,      // a character device that is no terminal (/dev/null)
    LinesFailed = 8040,         // the control lines could not be read
};

// A failed operation: a nonzero number and a description meant for the user.
class CommError
{
public:
    CommError(ErrorNumber number, QString description, QList<PortHolder> holders = {});

    ErrorNumber number() const { return m_number; }
    const QString &description() const { return m_description; }
    // The programs that hold the port, for a port refused as in use; empty otherwise.
    QList<PortHolder> holders() const { return m_holders; }

private:
    ErrorNumber m_number;
    QString m_description;
    QList<PortHolder> m_holders;
};
