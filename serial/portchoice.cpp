// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/portchoice.h"

#include "serial/consoles.h"
#include "serial/deviceclass.h"
#include "serial/portmap.h"
#include "serial/portnumber.h"
#include "serial/serialdevices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace Qt::StringLiterals;

namespace {

// /dev/tty, the controlling terminal of whoever opens it, is 5:0.
constexpr unsigned kControllingTerminalMajor = 5;

// The terminal this program runs in, as its device number; 0 for none.
dev_t controllingTerminal()
{
    QFile file(u"/proc/self/stat"_s);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    // "pid (name) state ppid pgrp session tty_nr ...": the name may hold spaces itself.
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 1).simplified().split(' ');
    if (fields.size() <= 4)
        return 0;
    // The kernel's encoding: major in bits 8 to 19, minor in bits 0 to 7 and 20 to 31.
    const auto number = fields[4].toUInt();
    return number == 0
               ? 0
               : ::makedev((number >> 8) & 0xfffU, (number & 0xffU) | ((number >> 12) & 0xfff00U));
}

// What a console is called when it is refused as PORT; empty for none.
QString consoleWords(const QString &path, const QStringList &consoles)
{
    struct stat node
    {};
    if (::stat(QFile::encodeName(path).constData(), &node) == 0 && S_ISCHR(node.st_mode)
        && (node.st_rdev == ::makedev(kControllingTerminalMajor, 0)
            || node.st_rdev == controllingTerminal()))
        return u"the controlling terminal"_s;
    switch (consoleKind(path, consoles)) {
    case Console::SystemConsole:
        return u"the system console"_s;
    case Console::VirtualTerminal:
        return u"a virtual terminal"_s;
    case Console::None:
        break;
    }
    return {};
}

} // namespace

bool sameDevice(const QString &a, const QString &b)
{
    struct stat nodeA
    {};
    struct stat nodeB
    {};
    if (::stat(QFile::encodeName(a).constData(), &nodeA) != 0
        || ::stat(QFile::encodeName(b).constData(), &nodeB) != 0)
        return QDir::cleanPath(QFileInfo(a).absoluteFilePath())
               == QDir::cleanPath(QFileInfo(b).absoluteFilePath());
    if (S_ISCHR(nodeA.st_mode) && S_ISCHR(nodeB.st_mode))
        return nodeA.st_rdev == nodeB.st_rdev;
    return nodeA.st_dev == nodeB.st_dev && nodeA.st_ino == nodeB.st_ino;
}

int freePort(const PortMap &map, const SerialDevices &devices)
{
    const PortMap defaults = PortMap::defaults();
    const QList<DeviceFacts> facts = devices.describe(map.devices());
    for (int port = 1; port <= kLastPort; ++port) {
        if (!facts[port - 1].present && map.device(port) == defaults.device(port))
            return port;
    }
    return 0;
}

std::pair<qint16, QString> choosePort(const QString &given,
                                      const QSettings &settings,
                                      const PortMap &map,
                                      const SerialDevices &devices,
                                      const QStringList &consoles)
{
    if (given.isEmpty())
        return {savedPort(settings), {}};
    if (const std::optional<int> port = comNumber(given)) {
        if (*port >= 1 && *port <= kLastPort)
            return {qint16(*port), {}};
        return {0, u"%1 is not a port: choose COM1 to COM%2."_s.arg(given).arg(kLastPort)};
    }
    if (!given.contains(u'/') && !QFileInfo::exists(given))
        return {0,
                u"%1 is neither a COM number (COM1 to COM%2) nor a device."_s.arg(given).arg(
                    kLastPort)};
    struct stat node
    {};
    if (::stat(QFile::encodeName(given).constData(), &node) == 0 && !S_ISCHR(node.st_mode))
        return {0, u"%1 is not a serial device: it is no character device."_s.arg(given)};
    // Refused even where a COM number is mapped to it: the check would write to it.
    if (const QString console = consoleWords(given, consoles); !console.isEmpty())
        return {0,
                u"%1 is %2, and Tollbeck never writes to it. Give the serial port your cable "
                "is plugged into."_s.arg(given, console)};
    if (const QString kind = nonTerminalClass(given); !kind.isEmpty())
        return {0,
                u"%1 is not a serial port: the system files it as a %2 device. Give the serial "
                "port your cable is plugged into."_s.arg(given, kind)};
    for (qint16 port = 1; port <= kLastPort; ++port) {
        if (sameDevice(given, map.device(port)))
            return {port, {}};
    }
    if (!QFileInfo::exists(given))
        return {0, u"%1 is not there, and no COM number is mapped to it."_s.arg(given)};
    const QString device = QFileInfo(given).absoluteFilePath();
    // The [Ports] line names the device by the name that lasts, when it has one.
    const QString lasting = devices.lastingName(given);
    const QString mapped = lasting.isEmpty() ? device : lasting;
    if (const int port = freePort(map, devices); port > 0)
        return {0,
                u"%1 is not in the port list. Add COM%2=%3 under [Ports] in %4, then run "
                "tollbeck --check COM%2."_s.arg(device)
                    .arg(port)
                    .arg(mapped, map.settingsFile())};
    return {0,
            u"%1 is not in the port list. Map a COM number to it under [Ports] in %2, as in "
            "COM%3=%4, then check that COM number."_s.arg(device, map.settingsFile())
                .arg(kLastPort)
                .arg(mapped)};
}
