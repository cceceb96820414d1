// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>

#include <functional>

class QWidget;

// What the window asks of the desktop around it. main() hands in the real services; tests
// hand in recorders, so no person has to click OK and no viewer is launched.
struct Desktop
{
    // A modal box with the exclamation icon and one OK button.
    std::function<void(QWidget *owner, const QString &title, const QString &text)> warn;
    // Opens a document with the desktop's default viewer; false when the desktop has no way to.
    std::function<bool(QWidget *owner, const QString &path)> open;
    // The directory that holds the executable.
    QString programDir;
};
