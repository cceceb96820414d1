// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>
#include <QStringList>

#include <utility>

class PortMap;
class QSettings;
class SerialDevices;

// Whether two paths lead to the same device (or file): compared by device number as the
// holder search does, and by path where either is not there to ask.
bool sameDevice(const QString &a, const QString &b);

// A COM number a device no COM number reaches could be mapped to: the lowest one that the user
// has not mapped and whose device is not there, so that mapping it hides nothing. 0 for none.
int freePort(const PortMap &map, const SerialDevices &devices);

// The COM number that a PORT given on the command line stands for: "COM5", "com 5", "5", or a
// device (or a link to one) that a COM number is mapped to; empty for the port saved at the
// window's last Exit. 0 with a one-line usage error when it stands for none. A console, the
// controlling terminal and a device that is no serial port are refused as PORT and never
// suggested for the port list. Looks with stat and at sysfs; opens nothing.
std::pair<qint16, QString> choosePort(const QString &given,
                                      const QSettings &settings,
                                      const PortMap &map,
                                      const SerialDevices &devices,
                                      const QStringList &consoles);
