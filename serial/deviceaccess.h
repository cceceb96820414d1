// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>

// Who may use a device node and whether the user is among them: what a refused open is
// explained with.
struct DeviceAccess
{
    QString device;
    // Names, or numbers where the system has no name; both empty when the node could not be
    // looked at.
    QString owner;
    QString group;
    quint32 mode = 0;         // st_mode: the kind of node and its permission bits
    bool isOwner = false;     // the node belongs to the user
    bool inGroup = false;     // the node's group is one of this session's groups
    bool joinedGroup = false; // the system's group list names the user in the node's group
};

// The user's name, or the number where the system has no name for it.
QString userName(uint uid);

// Reads the node's owner, group and mode, and the groups of this session and of the user.
DeviceAccess deviceAccess(const QString &device);

// One line for the log saying why the user may not open the device: the group to join and the
// command that does it; that the user joined it after this session began; or that the device
// lets neither the user nor their groups in, with its owner, group and mode.
QString permissionDenied(const DeviceAccess &access);
