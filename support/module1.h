// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>

// Booleans as the program keeps them: True has all bits set, False is zero.
using Boolean = qint16;
constexpr Boolean kTrue = -1;
constexpr Boolean kFalse = 0;

// Module1: the plain routines that belong to no window.
namespace Module1 {

// Waits for the given hundredths of a second on the monotonic clock, then lets the event loop
// process pending events once. Returns only after strictly more than the asked time has passed.
void HiResDelay(double hundredths);

// kTrue when something (a file or a directory) exists at path, kFalse otherwise. Never fails.
Boolean FileExists(const QString &path);

} // namespace Module1
