// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/serialdevices.h"

#include "serial/portmap.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>
#include <map>
#include <set>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

// Where a path leads: through every link to the node itself. A node that is not there keeps
// its path, so that it can still be compared.
QString nodeOf(const QString &path)
{
    const QString node = QFileInfo(path).canonicalFilePath();
    return node.isEmpty() ? QDir::cleanPath(path) : node;
}

// A node the kernel backs with serial hardware is listed when that hardware is really there;
// most PCs have four /dev/ttyS nodes with nothing behind them, and those are not. A node
// without hardware behind it, such as a pseudo-terminal, is there when it exists.
bool existsUnlisted(const QString &path)
{
    const QFileInfo node(nodeOf(path));
    return node.exists() && !QFileInfo::exists(u"/sys/class/tty/%1/device"_s.arg(node.fileName()));
}

// /dev/ttyUSB4 before /dev/ttyUSB10.
std::pair<QString, qint64> naturalKey(const QString &path)
{
    qsizetype digits = path.size();
    while (digits > 0 && path[digits - 1].isDigit())
        --digits;
    return {path.left(digits), path.mid(digits).toLongLong()};
}

} // namespace

QString DeviceFacts::known() const
{
    QStringList fields;
    for (const QString *field : {&product, &maker}) {
        if (!field->isEmpty())
            fields << *field;
    }
    return fields.join(u", "_s);
}

SerialDevices SerialDevices::system()
{
    return SerialDevices(
        [] {
            QList<SerialDevice> devices;
            const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
            for (const QSerialPortInfo &port : ports) {
                // In a container the system may describe hardware whose node is not there.
                if (QFileInfo::exists(port.systemLocation()))
                    devices.append({port.systemLocation(), port.description(), port.manufacturer()});
            }
            return devices;
        },
        u"/dev/serial/by-id"_s,
        systemConsoles,
        ::usbAdapters);
}

SerialDevices::SerialDevices(DeviceList list,
                             QString stableNames,
                             ConsoleList consoles,
                             UsbSurvey usb)
    : m_list(std::move(list))
    , m_stableNames(std::move(stableNames))
    , m_consoles(std::move(consoles))
    , m_usb(std::move(usb))
{}

QList<DeviceFacts> SerialDevices::describe(const QStringList &paths) const
{
    // Each listed device by the node it leads to, looked up once for all the paths.
    std::map<QString, SerialDevice> listed;
    for (const SerialDevice &device : m_list())
        listed.emplace(nodeOf(device.path), device);
    QList<DeviceFacts> facts;
    for (const QString &path : paths) {
        const auto device = listed.find(nodeOf(path));
        if (device != listed.end())
            facts.append({true, device->second.product, device->second.maker});
        else
            facts.append({existsUnlisted(path), {}, {}});
    }
    return facts;
}

DeviceFacts SerialDevices::describe(const QString &path) const
{
    return describe(QStringList{path}).constFirst();
}

QString SerialDevices::lastingName(const QString &path, const QList<UsbAdapter> *surveyed) const
{
    const QDir stable(m_stableNames);
    const QString folder = QFileInfo(path).absolutePath();
    if (folder == QDir::cleanPath(stable.absolutePath()) || folder == u"/dev/serial/by-path"_s)
        return {};
    // A USB adapter's, by device number: its by-id link, or its by-path one when that is shared.
    if (m_usb || surveyed) {
        const QList<UsbAdapter> adapters = surveyed ? *surveyed : m_usb(false);
        if (const UsbAdapter *adapter = adapterOf(adapters, path);
            adapter && !adapter->lastingName().isEmpty())
            return adapter->lastingName();
    }
    const QString node = QFileInfo(path).canonicalFilePath();
    if (node.isEmpty())
        return {};
    const QFileInfoList links
        = stable.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &link : links) {
        if (link.canonicalFilePath() == node)
            return link.filePath();
    }
    return {};
}

QList<UsbAdapter> SerialDevices::usbAdapters(bool findHolders) const
{
    return m_usb ? m_usb(findHolders) : QList<UsbAdapter>();
}

QList<UsbAdapter> SerialDevices::adaptersNotPorts() const
{
    return notPorts(usbAdapters());
}

QStringList SerialDevices::notReachedBy(const PortMap &map) const
{
    std::set<QString> reached;
    for (const QString &device : map.devices())
        reached.insert(nodeOf(device));
    QStringList paths;
    const QList<SerialDevice> listed = m_list();
    const QStringList consoles = m_consoles ? m_consoles() : QStringList();
    for (const SerialDevice &device : listed) {
        if (reached.count(nodeOf(device.path)) == 0
            && consoleKind(device.path, consoles) == Console::None)
            paths.append(device.path);
    }
    std::sort(paths.begin(), paths.end(), [](const QString &a, const QString &b) {
        return naturalKey(a) < naturalKey(b);
    });
    return paths;
}
