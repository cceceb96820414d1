// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "app/deeperchecks.h"

#include <QString>
#include <QStringList>

#include <variant>

// What the command line asks the terminal face for, as a plain value: nothing in it has been
// looked up, opened or started.
struct Request
{
    enum class Action { Check, List, Find, Help, Version };
    Action action = Action::Check;
    QString port;      // --check's PORT, trimmed; empty: the port saved at the window's last Exit
    bool walk = true;  // false with --no-walk
    bool json = false; // the result as one JSON document
    DeeperChecks deeper;
    int findSeconds = 60; // --find: how long to wait for the cable
    bool check = false;   // --find: then check the port found
};

// What is wrong with the arguments, in one line.
struct UsageError
{
    QString message;
};

// Reads the arguments, the program's name first. A pure function: it reads no file and needs
// no application object.
std::variant<Request, UsageError> parseArguments(const QStringList &arguments);

// What --help shows; settingsFile is where the [Ports] section is.
QString helpText(const QString &settingsFile);
