// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/runreport.h"

#include "loopback/loopbacktest.h"

using namespace Qt::StringLiterals;

namespace {

// The log's texts, in the order a run writes them.
const QString kCrLf = u"\r\n"_s;
const QString kBeginning = u"Beginning loopback test on selected port.\r\n"_s;
const QString kPleaseWait = u"Please wait for test to complete...\r\n\r\n"_s;
const QString kTryingOthers = u"\r\nTrying other ports...\r\n"_s;
QString portHeading(qint16 port)
{
    return u"COM %1: "_s.arg(port);
}
const QString kNoData = u"No Data Received\r\n"_s;
const QString kModem = u"Modem\r\n"_s;
QString dumpEntry(int byte)
{
    return LogText::hexByte(byte) + u' ';
}
QString mismatchReport(int sent, int received)
{
    return u"\r\n\r\nERROR: Test failed! \r\nReceived Data Corrupt!\r\nSent: "_s
           + LogText::hexByte(sent) + u"\r\nReceived: "_s + LogText::hexByte(received)
           + u"\r\n\r\n"_s;
}
const QString kPassGap = u"\r\n\r\n"_s;
QString passed(qint16 port)
{
    return u"COM %1: Test passed successfully!\r\n"_s.arg(port);
}
QString selectInSoftware(qint16 port)
{
    return u"Select COM %1 in your software.\r\n"_s.arg(port);
}
QString onThisComputer(const Attempt &attempt)
{
    const QString known = attempt.facts.known();
    const QString about = known.isEmpty() ? QString() : u" ("_s + known + u')';
    return u"On this computer COM %1 is %2%3.\r\n"_s.arg(attempt.port).arg(attempt.device, about);
}
QString lastingName(const QString &link)
{
    return u"Its lasting name is %1. Use it in your software if the adapter moves.\r\n"_s.arg(link);
}
QString notALoopback(const QByteArray &reply)
{
    return u"Something that is not a loopback answered the probe: \"%1\". A radio may be "
           "connected: the check needs the cable's radio end left open.\r\n"_s.arg(
               LogText::quoted(reply));
}
const QString kFailedAll = u"\r\nTest failed on all ports tested.\r\n"_s;
const QString kCheckCable = u"Check your cable connection to your serial port, and try again."_s;
QString selectedNotOpened(qint16 port, const QString &description)
{
    return u"\r\nCOM %1, the port you selected, could not be opened: %2\r\n"_s.arg(port).arg(
        description);
}

// A reply that is not the probe's echo, whole, in part or with more behind it: something else
// on the line answered, most often a radio.
bool foreignReply(const Attempt &attempt)
{
    const QByteArray &probe = LoopbackTest::kProbe;
    return !attempt.reply.isEmpty() && !probe.startsWith(attempt.reply)
           && !attempt.reply.startsWith(probe);
}

} // namespace

namespace LogText {

QString hexByte(int byte)
{
    return u"%1"_s.arg(byte, 2, 16, QChar(u'0')).toUpper();
}

QString runStart()
{
    return kBeginning + kPleaseWait;
}

QString attemptStart(const RunRecord &run, qsizetype index)
{
    const QString heading = portHeading(run.attempts[index].port);
    return index == 1 ? kTryingOthers + heading : heading;
}

QString echo(int value, quint8 byte)
{
    return value == 0 ? kCrLf + dumpEntry(byte) : dumpEntry(byte);
}

QString attemptEnd(const Attempt &attempt)
{
    using Outcome = Attempt::Outcome;
    QString text;
    switch (attempt.outcome) {
    case Outcome::Passed:
        text = kPassGap + passed(attempt.port) + selectInSoftware(attempt.port)
               + onThisComputer(attempt);
        if (!attempt.lastingName.isEmpty())
            text += lastingName(attempt.lastingName);
        return text;
    case Outcome::NoData:
        text = kNoData;
        break;
    case Outcome::Modem:
        text = kModem;
        break;
    case Outcome::Mismatch:
        text = mismatchReport(attempt.value, attempt.received);
        break;
    case Outcome::LineLost:
        text = attempt.timedOut ? kNoData : QString();
        break;
    case Outcome::NotOpened:
    case Outcome::Console:
    case Outcome::NotSerial:
    case Outcome::Stopped:
    case Outcome::NotSupported:
        break;
    }
    if (attempt.error)
        text += attempt.error->description() + kCrLf;
    if ((attempt.outcome == Outcome::NoData || attempt.outcome == Outcome::Mismatch)
        && foreignReply(attempt))
        text += notALoopback(attempt.reply);
    return text;
}

namespace {

// Why no port passed, when the log can say more than that: the selected port that would not
// open, and the serial devices no COM number reaches.
QString causes(const RunRecord &run)
{
    QString text;
    // After a walk the selected port's line has scrolled out of view, and its cable was never
    // tested; without one it stands right above.
    const Attempt &selected = run.attempts.constFirst();
    const bool notOpened = selected.outcome == Attempt::Outcome::NotOpened
                           || selected.outcome == Attempt::Outcome::Console
                           || selected.outcome == Attempt::Outcome::NotSerial;
    if (run.walk && notOpened && selected.error)
        text += selectedNotOpened(run.selected, selected.error->description());
    if (!run.unreached.isEmpty())
        text += notInPortList(run.unreached, run.settingsFile);
    // An adapter plugged in may be there without being a port: one line says why.
    QStringList reasons;
    for (const UsbAdapter &adapter : run.adapters)
        reasons << adapter.reason();
    if (!reasons.isEmpty())
        text += kCrLf + reasons.join(u' ') + kCrLf;
    return text;
}

} // namespace

QString runEnd(const RunRecord &run)
{
    if (run.stopped || run.passed())
        return {};
    return kFailedAll + kCheckCable + causes(run);
}

QStringList verdict(const RunRecord &run)
{
    QString text;
    if (const Attempt *attempt = run.passed())
        text = passed(attempt->port) + selectInSoftware(attempt->port);
    else if (!run.stopped)
        text = kFailedAll + causes(run);
    return text.split(kCrLf, Qt::SkipEmptyParts);
}

QString whole(const RunRecord &run)
{
    QString text = runStart();
    for (qsizetype index = 0; index < run.attempts.size(); ++index) {
        const Attempt &attempt = run.attempts[index];
        text += attemptStart(run, index);
        const int echoed = std::min(attempt.value, LoopbackTest::kLastValue + 1);
        for (int value = 0; value < echoed; ++value)
            text += echo(value, quint8(value));
        if (attempt.outcome == Attempt::Outcome::Mismatch)
            text += echo(attempt.value, attempt.received);
        text += attemptEnd(attempt);
    }
    return text + runEnd(run);
}

QString notInPortList(const QStringList &devices, const QString &settingsFile)
{
    return u"\r\nSerial devices not in the port list: %1. Map one to a COM number in %2 under "
           "[Ports].\r\n"_s.arg(devices.join(u", "_s), settingsFile);
}

QString quoted(const QByteArray &bytes)
{
    constexpr qsizetype kShown = 16;
    QString text;
    for (const char c : bytes.left(kShown)) {
        const auto byte = quint8(c);
        text += byte >= 0x20 && byte < 0x7F && c != '\\' && c != '"' ? QString(QLatin1Char(c))
                                                                     : u"\\x"_s + hexByte(byte);
    }
    return bytes.size() > kShown ? text + u"..."_s : text;
}

} // namespace LogText

void LogWriter::runStarted(const RunRecord &)
{
    Testout(LogText::runStart());
}

void LogWriter::attemptStarted(const RunRecord &run)
{
    Testout(LogText::attemptStart(run, run.attempts.size() - 1));
}

void LogWriter::echoed(int value, quint8 byte)
{
    Testout(LogText::echo(value, byte));
}

void LogWriter::attemptEnded(const RunRecord &run)
{
    Testout(LogText::attemptEnd(run.attempts.constLast()));
}

void LogWriter::runEnded(const RunRecord &run)
{
    const QString text = LogText::runEnd(run);
    if (!text.isEmpty())
        Testout(text);
}
