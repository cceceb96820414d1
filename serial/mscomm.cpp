// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/mscomm.h"

#include "serial/deviceaccess.h"
#include "serial/deviceclass.h"
#include "serial/portholders.h"
#include "serial/portnumber.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QSerialPort>

#include <cerrno>
#include <chrono>
#include <optional>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

using namespace std::chrono_literals;

// How long a write may make no progress before it fails, and how long the window may go
// unpainted meanwhile.
constexpr auto kWriteTimeout = 2s;
constexpr auto kWriteSlice = 10ms;
// A walk opens one port after another; who held them is looked up for all at once, and the
// answer is trusted this long, after which another program may have opened one.
constexpr auto kHoldersFresh = 1s;

struct LineSettings
{
    qint32 baudRate;
    QSerialPort::Parity parity;
    QSerialPort::DataBits dataBits;
    QSerialPort::StopBits stopBits;
};

std::optional<LineSettings> parseSettings(const QString &text)
{
    const QStringList fields = text.split(u',');
    if (fields.size() != 4)
        return std::nullopt;
    bool ok = false;
    const qint32 baudRate = fields[0].trimmed().toInt(&ok);
    if (!ok || baudRate <= 0)
        return std::nullopt;

    static const std::pair<QString, QSerialPort::Parity> parities[]
        = {{u"n"_s, QSerialPort::NoParity},
           {u"e"_s, QSerialPort::EvenParity},
           {u"o"_s, QSerialPort::OddParity},
           {u"m"_s, QSerialPort::MarkParity},
           {u"s"_s, QSerialPort::SpaceParity}};
    std::optional<QSerialPort::Parity> parity;
    for (const auto &[letter, value] : parities) {
        if (fields[1].trimmed().compare(letter, Qt::CaseInsensitive) == 0)
            parity = value;
    }

    const int dataBits = fields[2].trimmed().toInt(&ok);
    if (!parity || !ok || dataBits < 5 || dataBits > 8)
        return std::nullopt;

    static const std::pair<QString, QSerialPort::StopBits> stops[]
        = {{u"1"_s, QSerialPort::OneStop},
           {u"1.5"_s, QSerialPort::OneAndHalfStop},
           {u"2"_s, QSerialPort::TwoStop}};
    for (const auto &[word, value] : stops) {
        if (fields[3].trimmed() == word)
            return LineSettings{baudRate, *parity, QSerialPort::DataBits(dataBits), value};
    }
    return std::nullopt;
}

} // namespace

MSComm::MSComm(PortMap ports, PortGuards guards)
    : m_ports(std::move(ports))
    , m_guards(std::move(guards))
    , m_port(std::make_unique<QSerialPort>())
{}

MSComm::~MSComm() = default;

void MSComm::setCommPort(qint16 port)
{
    if (portOpen())
        throw CommError(ErrorNumber::PortAlreadyOpen,
                        u"COM %1 is open; close it before choosing another port."_s.arg(m_commPort));
    if (port < 1)
        throw CommError(ErrorNumber::InvalidPortNumber,
                        u"COM %1 is not a valid port number; choose COM 1 to COM %2."_s.arg(port)
                            .arg(kLastPort));
    m_commPort = port;
}

bool MSComm::portOpen() const
{
    return m_port->isOpen();
}

void MSComm::setPortOpen(bool open)
{
    if (!open) {
        if (m_port->isOpen())
            m_port->close(); // releases the device even when it is gone
        m_port->clearError();
        return;
    }
    if (portOpen())
        throw CommError(ErrorNumber::PortAlreadyOpen, u"%1 is already open."_s.arg(deviceLabel()));

    m_device = m_ports.device(m_commPort);
    if (m_device.isEmpty())
        throw CommError(ErrorNumber::InvalidPortNumber,
                        u"No device is set up as COM %1. Choose COM 1 to COM %2, or map COM%1 "
                        "in %3."_s.arg(m_commPort)
                            .arg(kLastPort)
                            .arg(m_ports.whereToChange()));

    refuseBeforeOpening();
    // By the node, not by the path mapped: Qt names its lock file after the port's name, and
    // other programs look for LCK..ttyUSB0, not for a lock named after a link to it.
    const QString node = QFileInfo(m_device).canonicalFilePath();
    m_port->setPortName(node.isEmpty() ? m_device : node);
    applyLineSettings();
    m_port->setReadBufferSize(m_config.inBufferSize);
    if (!m_port->open(QIODevice::ReadWrite)) {
        const CommError error = openError();
        m_port->clearError();
        throw error;
    }
    applyModemLines();
}

void MSComm::setOutput(const QByteArray &bytes)
{
    requireOpen();
    // A short write nearly always fits the driver's buffer: handing it over directly spares
    // QSerialPort's write notifier, the event loop wake-ups it costs and a poll. What the driver
    // does not take goes the buffered way.
    ssize_t sent = 0;
    if (m_port->bytesToWrite() == 0)
        sent = ::write(int(m_port->handle()), bytes.constData(), size_t(bytes.size()));
    const QByteArray rest = bytes.mid(std::max<qsizetype>(sent, 0));
    if (rest.isEmpty())
        return;
    if (m_port->write(rest) != rest.size())
        throw lineFailure(ErrorNumber::WriteFailed, u"send to"_s);
    // QSerialPort writes from the event loop, but the caller polls for the echo straight away.
    // Wait on the port in short slices, letting the window repaint in between; fail when nothing
    // has gone out for the whole time-out.
    QDeadlineTimer deadline(kWriteTimeout);
    while (m_port->bytesToWrite() > 0) {
        if (m_port->waitForBytesWritten(int(kWriteSlice.count()))) {
            deadline.setRemainingTime(kWriteTimeout);
        } else if (m_port->error() != QSerialPort::TimeoutError || deadline.hasExpired()) {
            const CommError error = lineFailure(ErrorNumber::WriteFailed, u"send to"_s);
            m_port->clear(QSerialPort::Output);
            throw error;
        } else {
            m_port->clearError();
        }
        QCoreApplication::processEvents();
    }
}

qint16 MSComm::inBufferCount()
{
    requireOpen();
    if (m_port->bytesAvailable() == 0)
        pullFromDevice();
    return qint16(std::min<qint64>(m_port->bytesAvailable(), m_config.inBufferSize));
}

QByteArray MSComm::input()
{
    requireOpen();
    pullFromDevice();
    QByteArray bytes = m_config.inputLen > 0 ? m_port->read(m_config.inputLen) : m_port->readAll();
    if (m_config.nullDiscard)
        bytes.replace('\0', QByteArray());
    return bytes;
}

std::optional<ModemLines> MSComm::modemLines()
{
    requireOpen();
    const QSerialPort::PinoutSignals pins = m_port->pinoutSignals();
    const QSerialPort::SerialPortError error = m_port->error();
    if (error == QSerialPort::UnsupportedOperationError
        || (error != QSerialPort::NoError && isPseudoTerminal())) {
        m_port->clearError();
        return std::nullopt;
    }
    if (error != QSerialPort::NoError)
        throw lineFailure(ErrorNumber::LinesFailed, u"read the control lines of"_s);
    return ModemLines{pins.testFlag(QSerialPort::ClearToSendSignal),
                      pins.testFlag(QSerialPort::DataSetReadySignal),
                      pins.testFlag(QSerialPort::DataCarrierDetectSignal),
                      pins.testFlag(QSerialPort::RingIndicatorSignal)};
}

void MSComm::setBaudRate(qint32 baud)
{
    QStringList fields = m_config.settings.split(u',');
    fields[0] = QString::number(baud);
    const QString settings = fields.join(u',');
    if (!parseSettings(settings))
        throw CommError(ErrorNumber::InvalidPropertyValue,
                        u"%1 baud is not a valid rate."_s.arg(baud));
    if (portOpen() && !m_port->setBaudRate(baud)) {
        const QString reason = m_port->errorString();
        m_port->clearError();
        applyLineSettings(); // back to the rate that worked
        throw CommError(ErrorNumber::InvalidPropertyValue,
                        u"%1 refused %2 baud: %3."_s.arg(deviceLabel()).arg(baud).arg(reason));
    }
    m_config.settings = settings;
}

void MSComm::setSettings(const QString &settings)
{
    if (!parseSettings(settings))
        throw CommError(ErrorNumber::InvalidPropertyValue,
                        u"\"%1\" is not a valid line setting; expected baud,parity,data,stop "
                        "such as 19200,n,8,1."_s.arg(settings));
    m_config.settings = settings;
    if (portOpen())
        applyLineSettings();
}

void MSComm::setDTREnable(bool enable)
{
    m_config.dtrEnable = enable;
    if (portOpen())
        applyModemLines();
}

void MSComm::setRTSEnable(bool enable)
{
    m_config.rtsEnable = enable;
    if (portOpen())
        applyModemLines();
}

void MSComm::setHandshaking(qint32 handshaking)
{
    if (handshaking < 0 || handshaking > 2)
        throw CommError(ErrorNumber::InvalidPropertyValue,
                        u"Handshaking %1 is not supported; use 0 (none), 1 (XON/XOFF) or 2 "
                        "(RTS/CTS)."_s.arg(handshaking));
    m_config.handshaking = handshaking;
    if (portOpen())
        applyLineSettings();
}

void MSComm::setInBufferSize(qint16 bytes)
{
    m_config.inBufferSize = checkedBufferSize(bytes, "receive");
}

void MSComm::setOutBufferSize(qint16 bytes)
{
    m_config.outBufferSize = checkedBufferSize(bytes, "transmit");
}

void MSComm::setInputMode(qint32 mode)
{
    if (mode != 0 && mode != 1)
        throw CommError(ErrorNumber::InvalidPropertyValue,
                        u"Input mode %1 is not supported; use 0 (text) or 1 (binary)."_s.arg(mode));
    m_config.inputMode = mode;
}

void MSComm::setInputLen(qint16 bytes)
{
    if (bytes < 0)
        throw CommError(ErrorNumber::InvalidPropertyValue,
                        u"An input length of %1 bytes is not possible."_s.arg(bytes));
    m_config.inputLen = bytes;
}

void MSComm::setNullDiscard(bool discard)
{
    m_config.nullDiscard = discard;
}

void MSComm::setEOFEnable(bool enable)
{
    m_config.eofEnable = enable;
}

void MSComm::setParityReplace(const QString &replacement)
{
    if (replacement.size() > 1)
        throw CommError(ErrorNumber::InvalidPropertyValue,
                        u"The parity replacement must be one character or none."_s);
    m_config.parityReplace = replacement;
}

void MSComm::setRThreshold(qint16 bytes)
{
    m_config.rThreshold = bytes;
}

void MSComm::setSThreshold(qint16 bytes)
{
    m_config.sThreshold = bytes;
}

qint16 MSComm::checkedBufferSize(qint16 bytes, const char *direction) const
{
    if (portOpen())
        throw CommError(ErrorNumber::NotWhileOpen,
                        u"The %1 buffer size cannot change while %2 is open."_s.arg(QLatin1String(
                                                                                        direction),
                                                                                    deviceLabel()));
    if (bytes < 1)
        throw CommError(ErrorNumber::InvalidPropertyValue,
                        u"A %1 buffer of %2 bytes is too small."_s.arg(QLatin1String(direction))
                            .arg(bytes));
    return bytes;
}

void MSComm::refuseBeforeOpening()
{
    // The kernel's messages and a getty's login prompt would take the modem command and the
    // bytes as their own.
    switch (consoleKind(m_device, m_guards.consoles())) {
    case Console::SystemConsole:
        throw CommError(ErrorNumber::SystemConsole,
                        u"%1 is the system console; Tollbeck does not write to it. Connect the "
                        "cable to another port, or free this one from the console in the boot "
                        "settings (console= on the kernel command line)."_s.arg(deviceLabel()));
    case Console::VirtualTerminal:
        throw CommError(ErrorNumber::SystemConsole,
                        u"%1 is a virtual terminal, not a serial port; Tollbeck does not write to "
                        "it. Map COM %2 to a serial device in %3."_s.arg(deviceLabel())
                            .arg(m_commPort)
                            .arg(m_ports.whereToChange()));
    case Console::None:
        break;
    }
    // Opening some devices does something: /dev/watchdog starts the machine's watchdog.
    if (const QString kind = nonTerminalClass(m_device); !kind.isEmpty())
        throw CommError(ErrorNumber::NotASerialPort,
                        u"%1 is not a serial port: the system files it as a %2 device, and "
                        "Tollbeck does not open it. Map COM %3 to a serial device in %4."_s
                            .arg(deviceLabel(), kind)
                            .arg(m_commPort)
                            .arg(m_ports.whereToChange()));
    // Decided before opening: opening would switch the holder's line to our settings, and the
    // close after a refusal would clear its exclusive flag. The kernel's exclusive mode does not
    // bind root, and not every program writes a lock file.
    const QList<PortHolder> holders = holdersOf(m_device);
    if (!holders.isEmpty())
        throw inUseError(holders);
    // Qt keeps away from a lock file under the node's name that it cannot read for half a
    // minute after it was written: a stale one that may be removed would block the port for
    // nothing.
    const QString qtLock = lockFileName(QFileInfo(m_device).canonicalFilePath());
    for (const LockFile &lock : lockFiles(m_device, m_guards.lockDirectories)) {
        if (lock.kind == LockFile::Kind::NotAFile)
            throw CommError(ErrorNumber::OpenFailed,
                            u"%1 stands where the lock file of %2 goes, and it is no lock file. "
                            "%3"_s.arg(lock.path, deviceLabel(), removeAdvice(lock)));
        if (lock.kind == LockFile::Kind::Stale && lock.removable
            && QFileInfo(lock.path).fileName() == qtLock)
            QFile::remove(lock.path);
    }
}

QString MSComm::removeAdvice(const LockFile &lock)
{
    // The lock folders are sticky: only the file's owner and root may remove what is in them.
    if (lock.removable)
        return u"Remove it and try again."_s;
    if (lock.owner == u"root"_s)
        return u"Only root can remove it (sudo rm %1); then try again."_s.arg(lock.path);
    return u"Only its owner, %1, or root can remove it; ask them to, then try again."_s.arg(
        lock.owner);
}

CommError MSComm::leftExclusiveError() const
{
    // The kernel's exclusive flag (TIOCEXCL) outlives the program that set it for as long as
    // the device stays: a pseudo-terminal while its other side is open, an adapter while it is
    // plugged in. Only root opens such a device, and only root sees every program's files.
    struct stat node
    {};
    QString clears = u"Restarting the computer clears it."_s;
    if (::stat(QFile::encodeName(m_device).constData(), &node) == 0) {
        const QString sysfs
            = QFileInfo(
                  u"/sys/dev/char/%1:%2"_s.arg(::major(node.st_rdev)).arg(::minor(node.st_rdev)))
                  .canonicalFilePath();
        if (charDeviceClass(node.st_rdev) == u"tty"_s && sysfs.isEmpty())
            clears = u"Restarting the program on the other side of the pseudo-terminal (socat, "
                     "for example) clears it."_s;
        else if (sysfs.contains(u"/usb"_s))
            clears = u"Unplugging the adapter and plugging it in again clears it."_s;
    }
    if (everyProcessVisible())
        return CommError(ErrorNumber::LeftExclusive,
                         u"%1 is held exclusively, yet no program has it open: a program that has "
                         "ended left it so. %2 Then try again."_s.arg(deviceLabel(), clears));
    return CommError(ErrorNumber::LeftExclusive,
                     u"%1 is held exclusively, and no program you can see has it open. A program "
                     "of another user may hold it (sudo fuser -v %2 names it); if none does, a "
                     "program that has ended left it so. %3 Then try again."_s.arg(deviceLabel(),
                                                                                   m_device,
                                                                                   clears));
}

CommError MSComm::inUseError(const QList<PortHolder> &holders) const
{
    if (const PortHolder &holder = holders.constFirst(); !holder.lockFile.isEmpty())
        return CommError(ErrorNumber::PortInUse,
                         u"%1 is in use by %2, as its lock file %3 (owner %4) says. Close that "
                         "program and try again."_s.arg(deviceLabel(),
                                                        holderNames(holders),
                                                        holder.lockFile,
                                                        holder.lockOwner),
                         holders);
    return CommError(ErrorNumber::PortInUse,
                     u"%1 is in use by %2. Close %3 and try again."_s.arg(deviceLabel(),
                                                                          holderNames(holders),
                                                                          holders.size() == 1
                                                                              ? u"that program"_s
                                                                              : u"those programs"_s),
                     holders);
}

QList<PortHolder> MSComm::holdersOf(const QString &device)
{
    const auto now = std::chrono::steady_clock::now();
    if (!m_holders || now - m_holders->taken > kHoldersFresh
        || m_holders->holders.count(device) == 0) {
        QStringList devices = QStringList{device} + m_ports.devices();
        devices.removeDuplicates();
        m_holders = HolderSnapshot{now, findPortHolders(devices, m_guards.lockDirectories)};
    }
    // Once this port has been opened the answer no longer holds for it.
    return m_holders->holders.extract(device).mapped();
}

void MSComm::requireOpen() const
{
    if (!portOpen())
        throw CommError(ErrorNumber::PortNotOpen, u"COM %1 is not open."_s.arg(m_commPort));
}

void MSComm::applyLineSettings()
{
    const LineSettings line = *parseSettings(m_config.settings);
    static constexpr QSerialPort::FlowControl flows[]
        = {QSerialPort::NoFlowControl, QSerialPort::SoftwareControl, QSerialPort::HardwareControl};
    m_port->setBaudRate(line.baudRate);
    m_port->setParity(line.parity);
    m_port->setDataBits(line.dataBits);
    m_port->setStopBits(line.stopBits);
    m_port->setFlowControl(flows[m_config.handshaking]);
}

void MSComm::applyModemLines()
{
    // Under RTS/CTS flow control the driver owns RTS.
    setModemLines(m_config.dtrEnable,
                  m_config.handshaking == 2 ? std::nullopt : std::optional(m_config.rtsEnable));
}

void MSComm::setModemLines(bool dtr, std::optional<bool> rts)
{
    // Pseudo-terminals and some adapters have no modem lines; the port works without them.
    if (rts)
        m_port->setRequestToSend(*rts);
    m_port->setDataTerminalReady(dtr);
    m_port->clearError();
}

void MSComm::pullFromDevice()
{
    // QSerialPort reads the device only when its notifier fires in the event loop. The callers
    // poll, so look at the device now; a zero wait only reports that nothing was there.
    m_port->waitForReadyRead(0);
    const QSerialPort::SerialPortError error = m_port->error();
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError) {
        m_port->clearError();
        return;
    }
    throw lineFailure(ErrorNumber::DeviceLost, u"read from"_s);
}

CommError MSComm::lineFailure(ErrorNumber number, const QString &doing)
{
    const QSerialPort::SerialPortError error = m_port->error();
    const QString reason = m_port->errorString();
    m_port->clearError();
    // An unplugged adapter takes its device node with it.
    if (error == QSerialPort::ResourceError || !QFileInfo::exists(m_device))
        return CommError(ErrorNumber::DeviceLost,
                         u"%1 stopped working: the adapter was unplugged or failed."_s.arg(
                             deviceLabel()));
    return CommError(number, u"Could not %1 %2: %3."_s.arg(doing, deviceLabel(), reason));
}

CommError MSComm::openError() const
{
    switch (m_port->error()) {
    case QSerialPort::DeviceNotFoundError:
        // A walk meets many of these; the run gives the remedy once, at its end.
        return CommError(ErrorNumber::NoSuchDevice, u"%1 is not there."_s.arg(m_device));
    case QSerialPort::PermissionError: {
        // QSerialPort gives one code for a refused permission, a busy device and a held lock.
        const QByteArray path = QFile::encodeName(m_device);
        if (::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES)
            return CommError(ErrorNumber::PermissionDenied,
                             permissionDenied(deviceAccess(m_device)));
        // Someone opened it since we looked, or holds it where we cannot see.
        if (const QList<PortHolder> holders = findPortHolders(m_device, m_guards.lockDirectories);
            !holders.isEmpty())
            return inUseError(holders);
        // Qt keeps away from a stale lock file under the node's name that it cannot remove.
        const QString qtLock = lockFileName(QFileInfo(m_device).canonicalFilePath());
        for (const LockFile &lock : lockFiles(m_device, m_guards.lockDirectories)) {
            if (QFileInfo(lock.path).fileName() == qtLock)
                return CommError(ErrorNumber::PortInUse,
                                 u"%1 is locked by the stale lock file %2 (owner %3), which names "
                                 "%4. %5"_s.arg(deviceLabel(),
                                                lock.path,
                                                lock.owner,
                                                namedProcess(lock),
                                                removeAdvice(lock)));
        }
        return leftExclusiveError();
    }
    default:
        return CommError(ErrorNumber::OpenFailed,
                         u"%1 would not open as a serial port: %2."_s.arg(m_device,
                                                                          m_port->errorString()));
    }
}

// The slaves of Unix 98 pseudo-terminals; they have no control lines.
bool MSComm::isPseudoTerminal() const
{
    struct stat status = {};
    constexpr unsigned kFirstPtyMajor = 136;
    constexpr unsigned kLastPtyMajor = 143;
    return ::fstat(int(m_port->handle()), &status) == 0 && S_ISCHR(status.st_mode)
           && major(status.st_rdev) >= kFirstPtyMajor && major(status.st_rdev) <= kLastPtyMajor;
}

QString MSComm::deviceLabel() const
{
    return u"%1 (COM %2)"_s.arg(m_device).arg(m_commPort);
}
