// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "loopback/runrecord.h"

#include <QString>
#include <QStringList>

// What a run tells its face as it goes. Each call hands over the record so far; the attempt in
// progress is the last one. Any call but stopRequested may throw CommError, which the run takes
// as a failed step.
class RunReport
{
public:
    virtual ~RunReport() = default;

    virtual void runStarted(const RunRecord &run) = 0;
    virtual void attemptStarted(const RunRecord &run) = 0;
    // The first byte that came back for value.
    virtual void echoed(int value, quint8 byte) = 0;
    virtual void attemptEnded(const RunRecord &run) = 0;
    virtual void runEnded(const RunRecord &run) = 0;
    // The user asked the run to stop (from a terminal, with Ctrl+C); the window never does.
    virtual bool stopRequested() const { return false; }
};

// A face that shows the run as the log: every text goes to Testout as the run makes it.
class LogWriter : public RunReport
{
public:
    // Appends text to the log exactly as given.
    virtual void Testout(const QString &text) = 0;

    void runStarted(const RunRecord &run) override;
    void attemptStarted(const RunRecord &run) override;
    void echoed(int value, quint8 byte) override;
    void attemptEnded(const RunRecord &run) override;
    void runEnded(const RunRecord &run) override;
};

// The log's texts, made from the record. The whole log of a run is these, in this order.
namespace LogText {

QString runStart();
// "Trying other ports..." before the first of the other ports, then the port's heading.
QString attemptStart(const RunRecord &run, qsizetype index);
QString echo(int value, quint8 byte);
// What ends the attempt's line: its outcome, the error's description, the device that passed.
QString attemptEnd(const Attempt &attempt);
// After the last attempt of a run that nothing passed: the closing lines and their causes.
QString runEnd(const RunRecord &run);
// The lines that tell how the run ended: the pass lines, or the failure and its causes. Empty
// for a run the user stopped.
QStringList verdict(const RunRecord &run);
// The whole log of a finished run, as the faces have shown it bit by bit.
QString whole(const RunRecord &run);

// The line that names the serial devices no COM number reaches, and where to map them.
QString notInPortList(const QStringList &devices, const QString &settingsFile);
// A byte as the log writes it: two upper-case hexadecimal digits.
QString hexByte(int byte);
// Bytes as printable text, others as \xNN; at most 16 of them, then "...".
QString quoted(const QByteArray &bytes);

} // namespace LogText
