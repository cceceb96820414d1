// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

// USB adapters planted in a umockdev test bed, shaped as a real kernel shows them, for the tests
// and the benchmarks that run under umockdev-wrapper.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QtDebug>

#include <cstdio>

#include <umockdev.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// One adapter as the kernel shows it: the USB device, its interface with its driver, and the
// serial device below it when the driver made one.
struct Plant
{
    QString port;   // its place on the bus, "1-2"
    int devnum = 2; // bus 1 always
    QString ids;    // "1a86:7523"
    QString names;  // "product|manufacturer|serial", each may be empty
    QString driver; // of the interface; empty for none
    QString tty;    // "ttyUSB0", "ttyACM0" or empty
    QString byId;   // the link udev made, if any
    QString interfaceClass = u"ff"_s;

    QString sysPath() const { return u"/devices/pci0000:00/0000:00:14.0/usb1/"_s + port; }
    QString text() const
    {
        const QStringList name = names.split(u'|');
        QString s = u"P: %1\nN: bus/usb/001/%2\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                    "A: idVendor=%3\nA: idProduct=%4\nA: busnum=1\nA: devnum=%5\nA: dev=189:%6\n"_s
                        .arg(sysPath())
                        .arg(devnum, 3, 10, QChar(u'0'))
                        .arg(ids.left(4), ids.mid(5))
                        .arg(devnum)
                        .arg(devnum - 1);
        const char16_t *files[] = {u"product", u"manufacturer", u"serial"};
        for (int i = 0; i < 3; ++i) {
            if (!name.value(i).isEmpty())
                s += u"A: %1=%2\n"_s.arg(QString::fromUtf16(files[i]), name.value(i));
        }
        const QString interface = sysPath() + u'/' + port + u":1.0"_s;
        s += u"\nP: %1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=%2\n"
             "A: bInterfaceSubClass=02\nA: bInterfaceNumber=00\n"_s.arg(interface, interfaceClass);
        if (!driver.isEmpty())
            s += u"E: DRIVER=%1\nL: driver=../../../../../../bus/usb/drivers/%1\n"_s.arg(driver);
        if (tty.isEmpty())
            return s;
        const QString below
            = tty.startsWith(u"ttyUSB"_s) ? tty + u"/tty/"_s + tty : u"tty/"_s + tty;
        const int major = tty.startsWith(u"ttyUSB"_s) ? 188 : 166;
        s += u"\nP: %1/%2\nN: %3\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/%3\nA: dev=%4:%5\n"
             "S: serial/by-path/pci-0000:00:14.0-usb-0:%6:1.0-port0\n"_s.arg(interface, below, tty)
                 .arg(major)
                 .arg(tty.right(1))
                 .arg(port.mid(2));
        if (!byId.isEmpty())
            s += u"S: serial/by-id/%1\n"_s.arg(byId);
        return s;
    }
};

// A test bed of its own for each test, with the driver folders a kernel has.
class Bed
{
public:
    Bed()
        : m_bed(umockdev_testbed_new())
    {
        const QString root = QString::fromUtf8(umockdev_testbed_get_root_dir(m_bed));
        for (const char16_t *driver : {u"usb", u"ftdi_sio", u"ch341", u"cdc_acm", u"usbfs", u"snd"})
            QDir().mkpath(root + u"/sys/bus/usb/drivers/"_s + QString::fromUtf16(driver));
    }
    ~Bed() { g_object_unref(m_bed); }
    Bed(const Bed &) = delete;
    Bed &operator=(const Bed &) = delete;

    bool plant(const Plant &plant) const
    {
        GError *error = nullptr;
        const QByteArray text = plant.text().toUtf8();
        const bool planted = umockdev_testbed_add_from_string(m_bed, text.constData(), &error);
        if (error)
            qWarning() << error->message;
        g_clear_error(&error);
        return planted;
    }
    // Unplugs it. umockdev leaves its nodes and the links to it behind, which the kernel and
    // udev remove.
    void remove(const Plant &plant) const
    {
        umockdev_testbed_remove_device(m_bed, (u"/sys"_s + plant.sysPath()).toUtf8().constData());
        const QString root = QString::fromUtf8(umockdev_testbed_get_root_dir(m_bed));
        const QString usb = u"bus/usb/001/%1"_s.arg(plant.devnum, 3, 10, QChar(u'0'));
        for (const QString &node : {usb, plant.tty}) {
            QFile::remove(root + u"/dev/"_s + node);
            QFile::remove(root + u"/dev/.node/"_s + QString(node).replace(u'/', u'_'));
        }
        for (const char16_t *folder : {u"/sys/bus/usb/devices",
                                       u"/sys/class/tty",
                                       u"/sys/dev/char",
                                       u"/dev/serial/by-id",
                                       u"/dev/serial/by-path"}) {
            const QDir links(root + QString::fromUtf16(folder));
            for (const QFileInfo &link : links.entryInfoList(QDir::System | QDir::AllEntries)) {
                if (link.isSymLink() && !link.exists())
                    QFile::remove(link.filePath());
            }
        }
    }
    void setAttribute(const Plant &plant, const char *name, QByteArray value) const
    {
        umockdev_testbed_set_attribute_binary(m_bed,
                                              (u"/sys"_s + plant.sysPath()).toUtf8().constData(),
                                              name,
                                              reinterpret_cast<guint8 *>(value.data()),
                                              int(value.size()));
    }

private:
    UMockdevTestbed *m_bed;
};

// Puts the preload that mends umockdev's realpath() ahead of umockdev's own and runs the
// program again; false when it does not run under umockdev-wrapper, or cannot be run again.
inline bool mendedUmockdev(char *argv[])
{
    const QByteArray preload = qgetenv("LD_PRELOAD");
    if (!preload.contains("libumockdev-preload")) {
        std::fprintf(stderr, "%s: run it under umockdev-wrapper\n", argv[0]);
        return false;
    }
    if (preload.startsWith(REALPATH_PRELOAD))
        return true;
    qputenv("LD_PRELOAD", REALPATH_PRELOAD ":" + preload);
    ::execv("/proc/self/exe", argv);
    return false;
}
