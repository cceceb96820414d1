// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/findport.h"

#include "app/runjson.h"
#include "serial/portmap.h"
#include "serial/portnumber.h"
#include "serial/serialdevices.h"
#include "version.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QTimer>

#include <set>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace FindPort {
namespace {

constexpr auto kLook = 100ms;
// brltty takes an adapter about half a second after its serial device appeared, and a driver
// may take a moment to bind: what appeared is judged once nothing has changed for this long.
constexpr auto kSettle = 1000ms;

// The serial devices and USB interfaces there are, by name.
std::set<QString> snapshot()
{
    std::set<QString> names;
    for (const QString &tty :
         QDir(u"/sys/class/tty"_s).entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
        names.insert(u"tty/"_s + tty);
    for (const QString &usb :
         QDir(u"/sys/bus/usb/devices"_s).entryList({u"*:*"_s}, QDir::AllEntries))
        names.insert(u"usb/"_s + usb);
    return names;
}

// What the names that appeared since before are now.
void collect(const std::set<QString> &before, const std::set<QString> &now, Found &found)
{
    std::set<QString> usb;
    QStringList ttys;
    for (const QString &name : now) {
        if (before.count(name) != 0)
            continue;
        if (name.startsWith(u"usb/"_s))
            usb.insert(name.mid(4));
        else
            ttys << u"/dev/"_s + name.mid(4);
    }
    if (!usb.empty()) {
        for (const UsbAdapter &adapter : usbAdapters(true)) {
            if (usb.count(adapter.usbPath) != 0)
                found.adapters.append(adapter);
        }
    }
    for (const QString &tty : ttys) {
        const bool ofAdapter = std::any_of(found.adapters.cbegin(),
                                           found.adapters.cend(),
                                           [&](const UsbAdapter &a) { return a.device == tty; });
        if (!ofAdapter && QFile::exists(tty))
            found.devices << tty;
    }
}

std::optional<dev_t> nodeNumber(const QString &path)
{
    struct stat node
    {};
    if (::stat(QFile::encodeName(path).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
        return std::nullopt;
    return node.st_rdev;
}

qint16 portOf(const QString &device, const PortMap &map)
{
    const std::optional<dev_t> number = nodeNumber(device);
    for (qint16 port = 1; number && port <= kLastPort; ++port) {
        if (nodeNumber(map.device(port)) == number)
            return port;
    }
    return 0;
}

} // namespace

Found wait(std::chrono::seconds limit,
           const std::function<bool()> &stopRequested,
           const std::function<void()> &watching)
{
    QElapsedTimer clock;
    clock.start();
    const auto elapsed = [&] { return std::chrono::milliseconds(clock.elapsed()); };
    Found found;
    std::set<QString> before = snapshot();
    std::set<QString> last = before;
    watching();
    std::optional<std::chrono::milliseconds> changed;
    QEventLoop loop;
    QTimer look;
    look.setInterval(kLook);
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (stopRequested()) {
            found.stopped = true;
            loop.quit();
            return;
        }
        const std::set<QString> now = snapshot();
        // What went away counts as new when it comes back: the cable unplugged and plugged in.
        for (auto name = before.begin(); name != before.end();)
            name = now.count(*name) == 0 ? before.erase(name) : std::next(name);
        if (now != last) {
            last = now;
            changed = elapsed();
            if (!found.noticed)
                found.noticed = elapsed();
        }
        if (changed && elapsed() - *changed >= kSettle) {
            collect(before, now, found);
            if (found.any()) {
                loop.quit();
                return;
            }
            before = now; // it came and went: wait on
            changed.reset();
            found.noticed.reset();
        }
        if (!changed && elapsed() >= limit)
            loop.quit();
    });
    look.start();
    loop.exec();
    return found;
}

Report report(const Found &found,
              std::chrono::seconds limit,
              const PortMap &map,
              const SerialDevices &devices,
              int freePort)
{
    Report result;
    QJsonArray ports;
    const auto describe = [&](const QString &device, const UsbAdapter *adapter) {
        const DeviceFacts facts = devices.describe(device);
        const QString lasting = adapter ? adapter->lastingName() : devices.lastingName(device);
        const qint16 port = portOf(device, map);
        const QString known = facts.known().isEmpty() ? QString() : u" ("_s + facts.known() + u')';
        result.text += u"Found %1%2.\n"_s.arg(device, known);
        if (!lasting.isEmpty())
            result.text += u"Its lasting name is %1.\n"_s.arg(lasting);
        if (adapter && adapter->sharedById && !adapter->byPath.isEmpty())
            result.text += u"Another adapter has the same by-id name, so its lasting name is the "
                           "one by USB socket: keep it in this socket.\n"_s;
        const QString mapped = lasting.isEmpty() ? device : lasting;
        QString line;
        if (port > 0)
            result.text += u"It is COM %1: tollbeck --check COM%1 tests it.\n"_s.arg(port);
        else if (freePort > 0) {
            line = u"COM%1=%2"_s.arg(freePort).arg(mapped);
            result.text += u"No COM number reaches it. Add %1 under [Ports] in %2.\n"_s
                               .arg(line, map.settingsFile());
        } else
            result.text += u"No COM number reaches it. Map one to %1 under [Ports] in %2.\n"_s
                               .arg(mapped, map.settingsFile());
        if (result.port == 0)
            result.port = port;
        ports.append(QJsonObject{
            {u"device"_s, device},
            {u"product"_s, facts.product.isEmpty() ? QJsonValue() : QJsonValue(facts.product)},
            {u"maker"_s, facts.maker.isEmpty() ? QJsonValue() : QJsonValue(facts.maker)},
            {u"lasting_name"_s, lasting.isEmpty() ? QJsonValue() : QJsonValue(lasting)},
            {u"shared_by_id"_s, adapter && adapter->sharedById},
            {u"port"_s, port > 0 ? QJsonValue(port) : QJsonValue()},
            {u"ports_line"_s, line.isEmpty() ? QJsonValue() : QJsonValue(line)},
        });
    };
    for (const UsbAdapter &adapter : found.adapters) {
        if (adapter.state == UsbAdapter::State::Port)
            describe(adapter.device, &adapter);
    }
    for (const QString &device : found.devices)
        describe(device, nullptr);
    const QList<UsbAdapter> others = notPorts(found.adapters);
    for (const UsbAdapter &adapter : others)
        result.text += adapter.reason() + u'\n';
    if (!found.any())
        result.text = u"Nothing appeared in %1 s.\n"_s.arg(limit.count());
    result.json = {
        {u"schema"_s, 1},
        {u"version"_s, QLatin1String(Version::kVersion)},
        {u"waited_s"_s, qint64(limit.count())},
        {u"noticed_ms"_s, found.noticed ? QJsonValue(qint64(found.noticed->count())) : QJsonValue()},
        {u"found"_s, ports},
        {u"adapters_not_ports"_s, RunJson::adapters(others)},
    };
    return result;
}

} // namespace FindPort
