// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>

#include <functional>

class QWidget;

// What the window asks of the desktop around it. main() hands in systemDesktop(); tests hand in
// a recorder of warnings, so no person has to click OK, and put a stand-in xdg-open on the PATH.
struct Desktop
{
    // A modal box with the exclamation icon and one OK button.
    std::function<void(QWidget *owner, const QString &title, const QString &text)> warn;
    // Opens a document with the desktop's default viewer. When the desktop has no way to show
    // it, calls failed, at once or later from the event loop, as long as owner exists.
    std::function<void(QWidget *owner, const QString &path, const std::function<void()> &failed)>
        open;
    // The directory that holds the executable.
    QString programDir;
};

// The desktop the program runs on: Qt's message box, xdg-open, the executable's directory.
Desktop systemDesktop();
