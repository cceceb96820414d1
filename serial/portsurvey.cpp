// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/portsurvey.h"

#include "serial/deviceclass.h"
#include "serial/mscomm.h"
#include "serial/portnumber.h"

#include <algorithm>
#include <tuple>

using namespace Qt::StringLiterals;

QList<PortFacts> surveyPorts(const PortMap &map,
                             const PortGuards &guards,
                             const SerialDevices &devices)
{
    const QStringList paths = map.devices();
    const QList<DeviceFacts> facts = devices.describe(paths);
    // One look at every process for the ports and for the adapters claimed through usbfs.
    QList<UsbAdapter> adapters = devices.usbAdapters(false);
    const std::map<QString, QList<PortHolder>> holders
        = findPortHolders(paths + claimedNodes(adapters), guards.lockDirectories);
    setHolders(adapters, holders);
    const QStringList consoles = guards.consoles();
    QList<PortFacts> ports;
    for (qint16 port = 1; port <= kLastPort; ++port) {
        const QString &path = paths[port - 1];
        const DeviceFacts &device = facts[port - 1];
        PortFacts &known = ports.emplace_back();
        known.port = port;
        known.path = path;
        known.facts = device;
        if (!device.present) {
            known.notPorts = notPorts(adapters);
            continue;
        }
        known.notSerialClass = nonTerminalClass(path);
        if (!known.notSerialClass.isEmpty())
            continue;
        if (const UsbAdapter *usb = adapterOf(adapters, path))
            std::tie(known.byId, known.byPath, known.sharedById)
                = std::tuple(usb->byId, usb->byPath, usb->sharedById);
        known.lastingName = devices.lastingName(path, &adapters);
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
            if (port.sharedById)
                about << u"another adapter has the same by-id name"_s;
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
    // Every port not there knows the same adapters: one line each, once.
    for (const PortFacts &port : ports) {
        for (const UsbAdapter &adapter : port.notPorts)
            text += adapter.reason() + u'\n';
        if (!port.notPorts.isEmpty())
            break;
    }
    return text;
}
