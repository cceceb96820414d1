// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/usbadapters.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <map>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace SysfsText {
namespace {

// The text without the kernel's line feed; nothing for anything that is no single line.
std::optional<QByteArray> oneLine(const QByteArray &text)
{
    QByteArray line = text.endsWith('\n') ? text.chopped(1) : text;
    if (line.isEmpty() || line.contains('\n'))
        return std::nullopt;
    return line;
}

std::optional<unsigned> number(const QByteArray &text, int base, qsizetype maxDigits)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return std::nullopt;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)) || (base == 10 && (c < '0' || c > '9')))
            return std::nullopt;
    }
    return text.toUInt(nullptr, base);
}

} // namespace

std::optional<quint16> usbId(const QByteArray &text)
{
    const std::optional<QByteArray> line = oneLine(text);
    if (!line || line->size() != 4)
        return std::nullopt;
    const std::optional<unsigned> id = number(*line, 16, 4);
    return id ? std::optional<quint16>(quint16(*id)) : std::nullopt;
}

std::optional<int> decimal(const QByteArray &text)
{
    const std::optional<QByteArray> line = oneLine(text);
    const std::optional<unsigned> value = line ? number(*line, 10, 3) : std::nullopt;
    return value ? std::optional<int>(int(*value)) : std::nullopt;
}

std::optional<int> hexByte(const QByteArray &text)
{
    const std::optional<QByteArray> line = oneLine(text);
    if (!line || line->size() != 2)
        return std::nullopt;
    const std::optional<unsigned> value = number(*line, 16, 2);
    return value ? std::optional<int>(int(*value)) : std::nullopt;
}

std::optional<std::pair<unsigned, unsigned>> deviceNumber(const QByteArray &text)
{
    const std::optional<QByteArray> line = oneLine(text);
    if (!line || line->count(':') != 1)
        return std::nullopt;
    const qsizetype colon = line->indexOf(':');
    const std::optional<unsigned> major = number(line->left(colon), 10, 4);
    const std::optional<unsigned> minor = number(line->mid(colon + 1), 10, 7);
    if (!major || !minor)
        return std::nullopt;
    return std::pair{*major, *minor};
}

QString label(const QByteArray &text)
{
    constexpr qsizetype kLongest = 64;
    QString shown;
    for (const QChar c : QString::fromUtf8(text.left(4 * kLongest))) {
        if (c.isPrint() && c != QChar::ReplacementCharacter)
            shown += c;
        else if (c == u'\n')
            break;
    }
    return shown.trimmed().left(kLongest);
}

} // namespace SysfsText

namespace {

const QString kUsbDevices = u"/sys/bus/usb/devices"_s;
constexpr int kVendorSpecific = 0xff;
constexpr int kCommunications = 0x02;
constexpr int kAbstractControl = 0x02;
constexpr quint16 kFtdi = 0x0403;

// Serial chips and radio makers whose adapters speak serial through a vendor-specific interface.
struct Maker
{
    quint16 vendor;
    const char16_t *name;
};
constexpr Maker kSerialMakers[] = {
    {kFtdi, u"FTDI"},
    {0x067b, u"Prolific"},
    {0x10c4, u"Silicon Labs"},
    {0x1a86, u"WCH (QinHeng)"},
    {0x0c26, u"Icom"},
};

const Maker *serialMaker(std::optional<quint16> vendor)
{
    for (const Maker &maker : kSerialMakers) {
        if (vendor && maker.vendor == *vendor)
            return &maker;
    }
    return nullptr;
}

// An attribute's bytes; empty when it cannot be read. A sysfs file is small, but a broken one
// must not be read without end.
QByteArray attribute(const QString &dir, const QString &name)
{
    QFile file(dir + u'/' + name);
    return file.open(QIODevice::ReadOnly) ? file.read(4096) : QByteArray();
}

std::optional<dev_t> nodeNumber(const QString &path)
{
    struct stat node
    {};
    if (::stat(QFile::encodeName(path).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
        return std::nullopt;
    return node.st_rdev;
}

// The serial device below an interface: ttyUSBn (usb-serial) or tty/ttyACMn (cdc-acm).
QString serialDeviceBelow(const QString &interface)
{
    const QDir dir(interface);
    const QStringList usbSerial = dir.entryList({u"ttyUSB*"_s}, QDir::Dirs, QDir::Name);
    if (!usbSerial.isEmpty())
        return usbSerial.constFirst();
    const QStringList acm
        = QDir(interface + u"/tty"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    return acm.value(0);
}

// The links udev makes in /dev/serial/by-id or by-path, each with the device number of its
// node. udev links straight to the node in /dev, so besides the link's own target the node of
// that name in /dev is asked: a test bed may write the target's absolute path elsewhere.
std::multimap<dev_t, QString> serialLinks(const QString &folder)
{
    std::multimap<dev_t, QString> links;
    const QFileInfoList entries
        = QDir(folder).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &link : entries) {
        const QString target = link.symLinkTarget();
        std::optional<dev_t> number = nodeNumber(u"/dev/"_s + QFileInfo(target).fileName());
        if (!number)
            number = nodeNumber(link.filePath());
        if (number)
            links.emplace(*number, link.filePath());
    }
    return links;
}

QString linkTo(const std::multimap<dev_t, QString> &links, std::optional<dev_t> number)
{
    if (!number)
        return {};
    const auto found = links.find(*number);
    return found == links.end() ? QString() : found->second;
}

// A process named brltty, from the names every user may read: where /proc hides another
// user's open files it is the likely holder, and is named as such.
QString runningBrltty()
{
    const QStringList processes = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : processes) {
        if (!pid.front().isDigit())
            continue;
        if (attribute(u"/proc/"_s + pid, u"comm"_s).trimmed() == "brltty")
            return u"brltty (process %1)"_s.arg(pid);
    }
    return {};
}

// What udev would call it in /dev/serial/by-id: maker, model, serial and interface number.
QString byIdKey(const UsbAdapter &adapter)
{
    const QString interface = adapter.usbPath.section(u'.', -1);
    return QStringList{adapter.maker.isEmpty() ? adapter.identity().left(4) : adapter.maker,
                       adapter.productName.isEmpty() ? adapter.identity().mid(5)
                                                     : adapter.productName,
                       adapter.serial,
                       interface}
        .join(u'\x1f');
}

} // namespace

QString UsbAdapter::identity() const
{
    const auto hex = [](std::optional<quint16> id) {
        return id ? u"%1"_s.arg(*id, 4, 16, QChar(u'0')) : u"????"_s;
    };
    return hex(vendor) + u':' + hex(product);
}

QString UsbAdapter::usbNode() const
{
    if (bus < 0 || number < 0)
        return {};
    return u"/dev/bus/usb/%1/%2"_s.arg(bus, 3, 10, QChar(u'0')).arg(number, 3, 10, QChar(u'0'));
}

QString UsbAdapter::lastingName() const
{
    return sharedById && !byPath.isEmpty() ? byPath : byId;
}

QString UsbAdapter::reason() const
{
    QStringList names;
    for (const QString *name : {&productName, &maker}) {
        if (!name->isEmpty())
            names << *name;
    }
    const QString about = names.isEmpty() ? QString() : u" ("_s + names.join(u", "_s) + u')';
    const QString adapter
        = u"USB adapter %1%2 on USB %3 is no serial port: "_s.arg(identity(), about, usbPath);
    switch (state) {
    case State::Port:
        return {};
    case State::Claimed: {
        const QString node = usbNode().isEmpty() ? u"its USB node"_s : usbNode();
        const bool brltty = std::any_of(holders.cbegin(), holders.cend(), [](const PortHolder &h) {
            return h.name == u"brltty"_s;
        });
        if (brltty)
            return adapter
                   + u"brltty, the braille display service, took it (%1). Unless you use a "
                     "braille display, remove brltty (sudo apt remove brltty) or mask its udev "
                     "rules, then plug the adapter in again."_s.arg(holderNames(holders));
        if (!holders.isEmpty())
            return adapter
                   + u"%1 took it over USB (%2). Close that program, then plug the adapter in "
                     "again."_s.arg(holderNames(holders), node);
        if (!brlttyRunning.isEmpty())
            return adapter
                   + u"a program took it over USB (%1); this user cannot see which, but %2, "
                     "the braille display service, is running and does this. Unless you use a "
                     "braille display, remove brltty (sudo apt remove brltty) or mask its udev "
                     "rules, then plug the adapter in again."_s.arg(node, brlttyRunning);
        return adapter
               + u"a program took it over USB (%1) that this user cannot see; as root, "
                 "tollbeck --list names it. Close it, then plug the adapter in again."_s.arg(node);
    }
    case State::NoDriver:
        if (vendor == kFtdi && product == 0)
            return adapter
                   + u"its chip's product id was erased to 0000 (a counterfeit FTDI chip, "
                     "bricked by a Windows driver), so no driver takes it. Write the id back "
                     "with ftdi_eeprom, or use another cable."_s;
        return adapter
               + u"no driver on this computer knows its identity %1. It needs its maker's "
                 "driver, or a newer kernel."_s.arg(identity());
    case State::NoSerialDevice:
        return adapter
               + u"its driver %1 made no serial device. Unplug it and plug it in again; "
                 "dmesg tells what the driver said."_s.arg(driver);
    }
    return {};
}

QList<UsbAdapter> usbAdapters(bool findHolders)
{
    QList<UsbAdapter> found;
    QStringList interfaces = QDir(kUsbDevices).entryList({u"*:*"_s}, QDir::AllEntries, QDir::Name);
    const std::multimap<dev_t, QString> byId = serialLinks(u"/dev/serial/by-id"_s);
    const std::multimap<dev_t, QString> byPath = serialLinks(u"/dev/serial/by-path"_s);
    for (const QString &name : interfaces) {
        const QString interface = kUsbDevices + u'/' + name;
        const QString device = kUsbDevices + u'/' + name.section(u':', 0, 0);
        const std::optional<int> kind
            = SysfsText::hexByte(attribute(interface, u"bInterfaceClass"_s));
        const std::optional<int> subKind
            = SysfsText::hexByte(attribute(interface, u"bInterfaceSubClass"_s));
        UsbAdapter adapter;
        adapter.vendor = SysfsText::usbId(attribute(device, u"idVendor"_s));
        const bool acm = kind == kCommunications && subKind == kAbstractControl;
        if (!acm && !(serialMaker(adapter.vendor) && (!kind || kind == kVendorSpecific)))
            continue;
        adapter.usbPath = name;
        adapter.product = SysfsText::usbId(attribute(device, u"idProduct"_s));
        adapter.productName = SysfsText::label(attribute(device, u"product"_s));
        adapter.maker = SysfsText::label(attribute(device, u"manufacturer"_s));
        adapter.serial = SysfsText::label(attribute(device, u"serial"_s));
        adapter.bus = SysfsText::decimal(attribute(device, u"busnum"_s)).value_or(-1);
        adapter.number = SysfsText::decimal(attribute(device, u"devnum"_s)).value_or(-1);
        adapter.driver = QFileInfo(QFileInfo(interface + u"/driver"_s).symLinkTarget()).fileName();
        if (const QString tty = serialDeviceBelow(interface); !tty.isEmpty()) {
            adapter.state = UsbAdapter::State::Port;
            adapter.device = u"/dev/"_s + tty;
            const std::optional<dev_t> number = nodeNumber(adapter.device);
            adapter.byId = linkTo(byId, number);
            adapter.byPath = linkTo(byPath, number);
        } else if (adapter.driver == u"usbfs"_s) {
            adapter.state = UsbAdapter::State::Claimed;
        } else {
            adapter.state = adapter.driver.isEmpty() ? UsbAdapter::State::NoDriver
                                                     : UsbAdapter::State::NoSerialDevice;
        }
        found.append(adapter);
    }

    // udev keeps one by-id link where two adapters would get the same name.
    std::map<QString, int> names;
    for (const UsbAdapter &adapter : found) {
        if (adapter.state == UsbAdapter::State::Port)
            ++names[byIdKey(adapter)];
    }
    for (UsbAdapter &adapter : found) {
        if (adapter.state == UsbAdapter::State::Port)
            adapter.sharedById = names[byIdKey(adapter)] > 1;
    }
    const QStringList claimed = claimedNodes(found);
    if (findHolders && !claimed.isEmpty())
        setHolders(found, findPortHolders(claimed));
    return found;
}

QStringList claimedNodes(const QList<UsbAdapter> &list)
{
    QStringList nodes;
    for (const UsbAdapter &adapter : list) {
        if (adapter.state == UsbAdapter::State::Claimed && !adapter.usbNode().isEmpty())
            nodes << adapter.usbNode();
    }
    return nodes;
}

void setHolders(QList<UsbAdapter> &list, const std::map<QString, QList<PortHolder>> &holders)
{
    QString brltty;
    bool looked = false;
    for (UsbAdapter &adapter : list) {
        const auto found = holders.find(adapter.usbNode());
        if (adapter.state != UsbAdapter::State::Claimed || found == holders.end())
            continue;
        adapter.holders = found->second;
        // Root sees every process's files: a holder hidden from root does not exist.
        if (adapter.holders.isEmpty() && ::geteuid() != 0 && !std::exchange(looked, true))
            brltty = runningBrltty();
        if (adapter.holders.isEmpty())
            adapter.brlttyRunning = brltty;
    }
}

const UsbAdapter *adapterOf(const QList<UsbAdapter> &list, const QString &path)
{
    const std::optional<dev_t> number = nodeNumber(path);
    if (!number)
        return nullptr;
    for (const UsbAdapter &adapter : list) {
        if (adapter.state == UsbAdapter::State::Port && nodeNumber(adapter.device) == number)
            return &adapter;
    }
    return nullptr;
}

QList<UsbAdapter> notPorts(const QList<UsbAdapter> &list)
{
    QList<UsbAdapter> others = list;
    others.removeIf([](const UsbAdapter &a) { return a.state == UsbAdapter::State::Port; });
    return others;
}
