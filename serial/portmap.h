// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>
#include <QStringList>

#include <map>

class QSettings;

// Which device node stands behind each COM number. Linux has no COM ports, so the user may map
// any of them to a device of their own in the [Ports] group of the settings file.
class PortMap
{
public:
    // COM 1-4: /dev/ttyS0-3, COM 5-8: /dev/ttyUSB0-3, COM 9-12: /dev/ttyACM0-3.
    static PortMap defaults();
    // The defaults with the user's COMn=/dev/... overrides. Reads the settings, never writes them.
    static PortMap withOverrides(const QSettings &settings);

    void setDevice(int port, const QString &device);
    // Empty when nothing is mapped to the port.
    QString device(int port) const;
    // The devices of COM 1 to COM 12, in order.
    QStringList devices() const;
    // The file whose [Ports] section the user changes the map in, for the log's texts.
    QString settingsFile() const;
    // The same place, as a phrase for error texts.
    QString whereToChange() const;

private:
    std::map<int, QString> m_devices;
    QString m_settingsFile;
};
