// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/loopbacktest.h"

#include "loopback/runclock.h"
#include "serial/portnumber.h"

#include <chrono>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr auto kReplyTimeout = 3s;

const QByteArray kProbe = QByteArrayLiteral("ATV1Q0\r\n");
const QString kModemAnswer = u"OK"_s;

// The log's texts, in the order a run writes them.
const QString kCrLf = u"\r\n"_s;
const QString kBeginning = u"Beginning loopback test on selected port.\r\n"_s;
const QString kPleaseWait = u"Please wait for test to complete...\r\n\r\n"_s;
QString portHeading(qint16 port)
{
    return u"COM %1: "_s.arg(port);
}
const QString kNoData = u"No Data Received\r\n"_s;
const QString kModem = u"Modem\r\n"_s;
QString hexByte(quint8 byte)
{
    return u"%1"_s.arg(byte, 2, 16, QChar(u'0')).toUpper();
}
QString dumpEntry(quint8 byte)
{
    return hexByte(byte) + u' ';
}
QString mismatchReport(quint8 sent, quint8 received)
{
    return u"\r\n\r\nERROR: Test failed! \r\nReceived Data Corrupt!\r\nSent: "_s + hexByte(sent)
           + u"\r\nReceived: "_s + hexByte(received) + u"\r\n\r\n"_s;
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
QString onThisComputer(qint16 port, const QString &device, const DeviceFacts &facts)
{
    const QString known = facts.known();
    const QString about = known.isEmpty() ? QString() : u" ("_s + known + u')';
    return u"On this computer COM %1 is %2%3.\r\n"_s.arg(port).arg(device, about);
}
QString lastingName(const QString &link)
{
    return u"Its lasting name is %1. Use it in your software if the adapter moves.\r\n"_s.arg(link);
}
const QString kTryingOthers = u"\r\nTrying other ports...\r\n"_s;
const QString kFailedAll = u"\r\nTest failed on all ports tested.\r\n"_s;
const QString kCheckCable = u"Check your cable connection to your serial port, and try again."_s;
QString selectedNotOpened(qint16 port, const QString &description)
{
    return u"\r\nCOM %1, the port you selected, could not be opened: %2\r\n"_s.arg(port).arg(
        description);
}

} // namespace

QString notInPortList(const QStringList &devices, const QString &settingsFile)
{
    return u"\r\nSerial devices not in the port list: %1. Map one to a COM number in %2 under "
           "[Ports].\r\n"_s.arg(devices.join(u", "_s), settingsFile);
}

// A failing step is abandoned, and its error becomes the pending one. Only the calls that can
// throw are guarded: the window, the serial control, the port-number rule and the received byte.
// Reading the clock, waiting and comparing cannot fail.
template<typename Step>
void LoopbackTest::guard(const Step &step)
{
    try {
        step();
    } catch (const CommError &error) {
        m_pending = error;
    }
}

// Logs a text whose building may fail; such a text is not logged at all.
template<typename Build>
void LoopbackTest::logBuilt(const Build &build)
{
    guard([&] { m_window.Testout(build()); });
}

LoopbackTest::LoopbackTest(RunWindow &window, CommControl &comm, RunClock &clock, RunPorts ports)
    : m_window(window)
    , m_comm(comm)
    , m_clock(clock)
    , m_ports(std::move(ports))
{}

bool LoopbackTest::run()
{
    guard([&] { m_window.setTestRunning(true); });
    guard([&] { m_window.setControlsEnabled(false); });
    guard([&] { m_window.clearLog(); });
    // The log says the run has begun before anything waits.
    log(kBeginning);
    log(kPleaseWait);
    m_clock.yield();
    guard([&] { m_ports.configure(); });
    m_pending.reset(); // the configuration has shown its own failures

    qint16 startPort = 0;
    guard([&] { startPort = portNumber(m_ports.selected()); });
    qint16 port = startPort;

    bool otherPorts = false;
    bool passed = false;
    while (!m_window.stopRequested()) {
        if (attempt(port)) {
            passed = true;
            break;
        }
        if (m_pending) {
            if (m_pending->number() == ErrorNumber::NoSuchDevice)
                m_deviceMissing = true;
            if (!otherPorts && m_openFailed)
                m_selectedFailure = m_pending->description();
            log(m_pending->description() + kCrLf);
            m_pending.reset();
        }
        bool open = true; // when in doubt, close
        guard([&] { open = m_comm.portOpen(); });
        if (open)
            guard([&] { m_comm.setPortOpen(false); });
        if (m_window.stopRequested())
            break;

        if (!m_ports.walk) {
            failedAll(startPort);
            break;
        }
        if (!otherPorts) {
            otherPorts = true;
            port = startPort == 1 ? 2 : 1;
            log(kTryingOthers);
            continue;
        }
        ++port;
        if (port == startPort)
            ++port;
        if (port > kLastPort) {
            failedAll(startPort);
            break;
        }
    }

    guard([&] { m_window.setTestRunning(false); });
    guard([&] { m_window.setControlsEnabled(true); });
    return passed;
}

// One port: open, probe for a modem, echo every value. True when the port passed.
bool LoopbackTest::attempt(qint16 port)
{
    guard([&] { m_comm.setCommPort(port); });
    log(portHeading(port));
    guard([&] { m_comm.setPortOpen(true); });
    m_openFailed = m_pending.has_value();
    if (m_openFailed)
        return false;

    guard([&] { m_comm.setOutput(kProbe); });
    if (!replied())
        return false;
    m_clock.settle(kProbeSettle);
    guard([&] { m_received = m_comm.input(); });
    if (QString::fromLocal8Bit(m_received).contains(kModemAnswer)) {
        log(kModem);
        return false;
    }
    if (!echoAll())
        return false;

    guard([&] { m_comm.setPortOpen(false); });
    log(kPassGap);
    logBuilt([&] { return passed(m_comm.commPort()); });
    logBuilt([&] { return selectInSoftware(m_comm.commPort()); });
    nameDevice();
    return true;
}

// Radio software on Linux asks for a device, not a COM number: name the one that passed, as
// the map holds it, and the link to it that survives a move to another USB socket.
void LoopbackTest::nameDevice()
{
    QString device;
    logBuilt([&] {
        const qint16 port = m_comm.commPort();
        device = m_ports.map.device(port);
        return onThisComputer(port, device, m_ports.devices.describe(device));
    });
    const QString link = m_ports.devices.lastingName(device);
    if (!link.isEmpty())
        log(lastingName(link));
}

// No port passed: say so, say again why the selected one could not be opened when it could not,
// and name the devices no COM number reaches when devices were missing.
void LoopbackTest::failedAll(qint16 startPort)
{
    log(kFailedAll);
    log(kCheckCable);
    if (!m_selectedFailure.isEmpty())
        log(selectedNotOpened(startPort, m_selectedFailure));
    if (m_deviceMissing)
        pointToUnreached();
}

// Devices were missing: name the serial devices that are there but that no COM number reaches.
void LoopbackTest::pointToUnreached()
{
    const QStringList devices = m_ports.devices.notReachedBy(m_ports.map);
    if (!devices.isEmpty())
        log(notInPortList(devices, m_ports.map.settingsFile()));
}

// Sends 0 to 255 one at a time and dumps each echo. True when all came back unchanged.
bool LoopbackTest::echoAll()
{
    for (int value = 0; value <= kLastValue; ++value) {
        const auto sent = quint8(value);
        m_sendBuffer[0] = char(sent);
        guard([&] { m_comm.setOutput(m_sendBuffer); });
        if (!replied())
            return false;
        m_clock.settle(kEchoSettle);
        guard([&] { m_received = m_comm.input(); });
        if (value == 0)
            log(kCrLf);
        logBuilt([&] { return dumpEntry(receivedByte()); });
        m_clock.yield();
        if (m_window.stopRequested())
            return false;
        bool differs = true; // nothing received counts as a wrong byte
        guard([&] { differs = receivedByte() != sent; });
        if (differs) {
            logBuilt([&] { return mismatchReport(sent, receivedByte()); });
            return false;
        }
    }
    return true;
}

// Waits until a byte is waiting (true) or more than the time-out has passed, which it logs.
bool LoopbackTest::replied()
{
    const RunClock::TimePoint start = m_clock.now();
    for (;;) {
        qint16 waiting = 0;
        guard([&] { waiting = m_comm.inBufferCount(); });
        if (waiting >= 1)
            return true;
        const auto left = start + kReplyTimeout + 1ms - m_clock.now();
        m_clock.waitForEvents(std::max<std::chrono::nanoseconds>(left, 0ns));
        if (m_window.stopRequested())
            return false;
        if (m_clock.now() - start > kReplyTimeout) {
            log(kNoData);
            return false;
        }
    }
}

// Only the first byte of a reply counts; the rest are dropped.
quint8 LoopbackTest::receivedByte() const
{
    if (m_received.isEmpty())
        throw CommError(ErrorNumber::NothingReceived, u"Nothing was received to compare."_s);
    return quint8(m_received[0]);
}

void LoopbackTest::log(const QString &text)
{
    guard([&] { m_window.Testout(text); });
}
