// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QStringList>

class MSComm;
class QSettings;
class RunClock;
class SerialDevices;

// The terminal face, for a station without a screen and for testing cable after cable:
// tollbeck --check [PORT] [--no-walk], --list, --help and --version. The check runs the same
// test as the window's Start and writes its log to standard output. Nothing here opens a
// window or writes the settings.
namespace Terminal {

// Does what the arguments (the program's name first) ask for and returns the exit status (see
// terminalio.h). comm
// is the serial control, set up with the port map from settings.
int run(const QStringList &arguments,
        const QSettings &settings,
        MSComm &comm,
        RunClock &clock,
        const SerialDevices &devices);

} // namespace Terminal
