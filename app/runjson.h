// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "loopback/runrecord.h"
#include "serial/portsurvey.h"

#include <QJsonArray>
#include <QJsonObject>

// The terminal's results as JSON for scripts, schema 2: fields are only ever added to it, never
// renamed or given another meaning. Schema 2 gave the deeper checks' sections snake_case keys
// and the run's outcome words.
namespace RunJson {

// A whole run: when and where it began, every attempt and the port that passed.
QJsonObject run(const RunRecord &run);

// COM 1 to COM 12 as --list shows them.
QJsonArray portList(const QList<PortFacts> &ports);
// A USB adapter that is no port: its identity, what it is, why it is none.
QJsonObject adapter(const UsbAdapter &adapter);
QJsonArray adapters(const QList<UsbAdapter> &adapters);

} // namespace RunJson
