// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "loopback/runrecord.h"
#include "serial/portholders.h"

#include <QJsonArray>
#include <QJsonObject>

// The terminal's results as JSON for scripts, schema 2: fields are only ever added to it, never
// renamed or given another meaning. Schema 2 gave the deeper checks' sections snake_case keys
// and the run's outcome words.
namespace RunJson {

// A whole run: when and where it began, every attempt and the port that passed.
QJsonObject run(const RunRecord &run);

// One COM number as --list shows it.
struct PortFacts
{
    qint16 port = 0;
    QString path;
    DeviceFacts facts;
    QString lastingName;
    QList<PortHolder> holders;
    QString console;                // "system console", "virtual terminal"; empty for neither
    QList<LockFile> staleLockFiles; // ignored
};
QJsonArray portList(const QList<PortFacts> &ports);

} // namespace RunJson
