// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/portmap.h"

#include "serial/portnumber.h"

#include <QSettings>

using namespace Qt::StringLiterals;

PortMap PortMap::defaults()
{
    PortMap map;
    const QString families[] = {u"/dev/ttyS"_s, u"/dev/ttyUSB"_s, u"/dev/ttyACM"_s};
    int port = 1;
    for (const QString &family : families) {
        for (int index = 0; index < 4; ++index)
            map.setDevice(port++, family + QString::number(index));
    }
    return map;
}

PortMap PortMap::withOverrides(const QSettings &settings)
{
    PortMap map = defaults();
    map.m_settingsFile = settings.fileName();
    const QString prefix = u"Ports/COM"_s;
    for (const QString &key : settings.allKeys()) {
        if (!key.startsWith(prefix, Qt::CaseInsensitive))
            continue;
        bool ok = false;
        const int port = key.mid(prefix.size()).toShort(&ok);
        const QString device = settings.value(key).toString().trimmed();
        if (ok && !device.isEmpty())
            map.setDevice(port, device);
    }
    return map;
}

void PortMap::setDevice(int port, const QString &device)
{
    m_devices[port] = device;
}

QString PortMap::device(int port) const
{
    const auto it = m_devices.find(port);
    return it == m_devices.end() ? QString() : it->second;
}

QStringList PortMap::devices() const
{
    QStringList devices;
    for (int port = 1; port <= kLastPort; ++port)
        devices << device(port);
    return devices;
}

QString PortMap::settingsFile() const
{
    return m_settingsFile.isEmpty() ? u"Tollbeck's settings file"_s : m_settingsFile;
}

QString PortMap::whereToChange() const
{
    return u"the [Ports] section of "_s + settingsFile();
}
