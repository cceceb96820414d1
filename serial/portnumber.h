// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>

#include <optional>

class QSettings;

// The ports a user can choose: COM 1 to COM kLastPort.
constexpr qint16 kLastPort = 12;

// The port list shows "COM n". Every reader takes n back from the last two characters, trimmed.

QString portEntryText(int port);

// The trimmed last two characters: "1" for "COM 1", "12" for "COM 12".
QString portNumberText(const QString &entryText);

// The same text as a number; throws CommError (TypeMismatch) when it is none.
qint16 portNumber(const QString &entryText);

// The number a PORT given in a terminal names as "COM5", "COM 5", "com5" or "5" (spaces around
// it removed already), whether or not it is a port's; none when the text is no COM number.
std::optional<int> comNumber(const QString &given);

// Where Exit saves the selected port's number text: [Settings] CommPort.
inline QString savedPortGroup()
{
    return QStringLiteral("Settings");
}
inline QString savedPortKey()
{
    return QStringLiteral("CommPort");
}

// The port saved at the window's last Exit. A value the program would not
// have written (edited by hand, damaged) means COM 1, as nothing stored does.
qint16 savedPort(const QSettings &settings);
