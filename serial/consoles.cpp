// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/consoles.h"

#include <QFile>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace Qt::StringLiterals;

namespace {

// The virtual terminals /dev/tty0 to /dev/tty63 share major 4 with the serial ports /dev/ttyS0
// and up, which begin at minor 64.
constexpr unsigned kTtyMajor = 4;
constexpr unsigned kFirstSerialMinor = 64;

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) ? file.readAll() : QByteArray();
}

bool deviceNumber(const QString &path, dev_t &device)
{
    struct stat node
    {};
    if (::stat(QFile::encodeName(path).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
        return false;
    device = node.st_rdev;
    return true;
}

} // namespace

QStringList systemConsoles()
{
    QStringList consoles{u"/dev/console"_s, u"/dev/tty"_s};
    consoles += consoleDevices(readAll(u"/proc/consoles"_s),
                               readAll(u"/sys/class/tty/console/active"_s));
    consoles.removeDuplicates();
    return consoles;
}

QStringList consoleDevices(const QByteArray &procConsoles, const QByteArray &active)
{
    QStringList consoles;
    // "ttyS0                -W- (EC p a)    4:64", one line a console.
    for (const QByteArray &line : procConsoles.split('\n')) {
        if (const QByteArray name = line.simplified().split(' ').constFirst(); !name.isEmpty())
            consoles << u"/dev/"_s + QString::fromLocal8Bit(name);
    }
    for (const QByteArray &name : active.simplified().split(' ')) {
        if (!name.isEmpty())
            consoles << u"/dev/"_s + QString::fromLocal8Bit(name);
    }
    consoles.removeDuplicates();
    return consoles;
}

Console consoleKind(const QString &path, const QStringList &consoles)
{
    dev_t device = 0;
    if (!deviceNumber(path, device))
        return Console::None;
    if (::major(device) == kTtyMajor && ::minor(device) < kFirstSerialMinor)
        return Console::VirtualTerminal;
    for (const QString &console : consoles) {
        dev_t consoleDevice = 0;
        if (deviceNumber(console, consoleDevice) && consoleDevice == device)
            return Console::SystemConsole;
    }
    return Console::None;
}

QString consoleName(Console kind)
{
    switch (kind) {
    case Console::SystemConsole:
        return u"system console"_s;
    case Console::VirtualTerminal:
        return u"virtual terminal"_s;
    case Console::None:
        break;
    }
    return {};
}
