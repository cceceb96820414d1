// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>

#include <functional>

class MSComm;

// Shows one modal warning: title and text.
using WarningBox = std::function<void(const QString &title, const QString &text)>;

// Brings the control into the state every loopback test needs: the port named by the port
// list's text, 19200 baud 8N1, no flow control, DTR and RTS asserted, raw binary input.
// Each failing step is shown in a warning box of its own and the next step still runs; nothing
// is thrown and the port is neither opened nor closed.
void configureForLoopback(MSComm &comm, const QString &portText, const WarningBox &warn);
