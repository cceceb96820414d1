// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/portsurvey.h"

#include "serial/deviceclass.h"
#include "serial/mscomm.h"
#include "serial/portnumber.h"

#include <algorithm>

using namespace Qt::StringLiterals;

QList<PortFacts> surveyPorts(const PortMap &map,
                             const PortGuards &guards,
                             const SerialDevices &devices)
{
    const QStringList paths = map.devices();
    const QList<DeviceFacts> facts = devices.describe(paths);
    const std::map<QString, QList<PortHolder>> holders
        = findPortHolders(paths, guards.lockDirectories);
    const QStringList consoles = guards.consoles();
    QList<PortFacts> ports;
    for (qint16 port = 1; port <= kLastPort; ++port) {
        const QString &path = paths[port - 1];
        const DeviceFacts &device = facts[port - 1];
        PortFacts &known = ports.emplace_back();
        known.port = port;
        known.path = path;
        known.facts = device;
        if (!device.present)
            continue;
        known.notSerialClass = nonTerminalClass(path);
        if (!known.notSerialClass.isEmpty())
            continue;
        known.lastingName = devices.lastingName(path);
        known.holders = holders.at(path);
        known.console = consoleName(consoleKind(path, consoles));
        known.staleLockFiles = staleLockFiles(path, guards.lockDirectories);
    }
    return ports;
}

QString surveyText(const QList<PortFacts> &ports)
{
    qsizetype width = 0;
    for (const PortFacts &port : ports)
        width = std::max(width, port.path.size());
    QString text;
    for (const PortFacts &port : ports) {
        QStringList about;
        if (!port.facts.present) {
            about << u"not there"_s;
        } else if (!port.notSerialClass.isEmpty()) {
            about << u"not a serial port (a %1 device); never opened"_s.arg(port.notSerialClass);
        } else {
            about << port.facts.known() << port.console;
            if (!port.lastingName.isEmpty())
                about << u"lasting name "_s + port.lastingName;
            if (!port.holders.isEmpty())
                about << u"in use by "_s + holderNames(port.holders);
            for (const LockFile &lock : port.staleLockFiles)
                about << u"stale lock file %1 (%2)"_s.arg(lock.path, lock.owner);
        }
        about.removeAll(QString());
        if (about.isEmpty())
            about << u"present"_s;
        text += u"%1  %2  %3\n"_s.arg(portEntryText(port.port).leftJustified(6),
                                      port.path.leftJustified(width),
                                      about.join(u"; "_s));
    }
    return text;
}
