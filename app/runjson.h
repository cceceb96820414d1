// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "loopback/runrecord.h"
#include "serial/portholders.h"

#include <QJsonArray>
#include <QJsonObject>

// The terminal's results as JSON for scripts, schema 1: fields are only ever added to it, never
// renamed or given another meaning.
namespace RunJson {

// A whole run: when and where it began, every attempt and the port that passed.
QJsonObject run(const RunRecord &run);

// One COM number as --list shows it.
struct PortFacts
{
    qint16 port = 0;
    QString path;
    DeviceFacts facts;
    QString lastingName;
    QList<PortHolder> holders;
    QString console;                // "system console", "virtual terminal"; empty for neither
    QList<LockFile> staleLockFiles; // ignored
    QString byId;                   // its USB adapter's names in /dev/serial, if any
    QString byPath;
    bool sharedById = false;    // another present adapter has the same by-id name
    QList<UsbAdapter> notPorts; // for a port not there: the USB adapters that are no port
};
QJsonArray portList(const QList<PortFacts> &ports);
// A USB adapter that is no port: its identity, what it is, why it is none.
QJsonObject adapter(const UsbAdapter &adapter);
QJsonArray adapters(const QList<UsbAdapter> &adapters);

} // namespace RunJson
