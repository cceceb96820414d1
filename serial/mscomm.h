// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "serial/commcontrol.h"
#include "serial/commerror.h"
#include "serial/consoles.h"
#include "serial/portholders.h"
#include "serial/portmap.h"

#include <QString>

#include <chrono>
#include <map>
#include <memory>
#include <optional>

class QSerialPort;

// What the system says about which devices are not ours to open: the folders of lock files
// and the consoles. Tests give folders and consoles of their own.
struct PortGuards
{
    QStringList lockDirectories = systemLockDirectories();
    ConsoleList consoles = systemConsoles;
};

// Our serial communications control: the classic control's properties over a QSerialPort.
// Settings given while the port is closed are kept and applied when it opens.
class MSComm : public CommControl
{
public:
    // The values as last assigned; the component's own defaults until then.
    struct Config
    {
        QString settings = QStringLiteral("9600,n,8,1");
        bool dtrEnable = false;
        bool rtsEnable = false;
        qint32 handshaking = 0;
        qint16 inBufferSize = 1024;
        qint16 inputLen = 0;
        bool nullDiscard = false;
        // Checked and kept, but nothing here reads them: writes go to the driver's own buffer,
        // input() hands over bytes in either mode, bytes 26 and those with a parity error
        // arrive as data (the line has no parity), and nothing notifies: callers poll.
        qint16 outBufferSize = 512;
        qint32 inputMode = 0;
        bool eofEnable = false;
        QString parityReplace = QStringLiteral("?");
        qint16 rThreshold = 0;
        qint16 sThreshold = 0;
    };

    explicit MSComm(PortMap ports = PortMap::defaults(), PortGuards guards = {});
    ~MSComm() override;
    MSComm(const MSComm &) = delete;
    MSComm &operator=(const MSComm &) = delete;

    void setCommPort(qint16 port) override;
    qint16 commPort() const override { return m_commPort; }
    void setPortOpen(bool open) override;
    bool portOpen() const override;
    void setOutput(const QByteArray &bytes) override;
    qint16 inBufferCount() override;
    QByteArray input() override;
    void setDTREnable(bool enable) override;
    void setRTSEnable(bool enable) override;
    std::optional<ModemLines> modemLines() override;
    // Changes only the rate of the line settings; a rate the device refuses leaves the old one.
    void setBaudRate(qint32 baud) override;

    // "baud,parity,data,stop", e.g. "19200,n,8,1".
    void setSettings(const QString &settings);
    // 0 none, 1 XON/XOFF, 2 RTS/CTS.
    void setHandshaking(qint32 handshaking);
    void setInBufferSize(qint16 bytes);
    void setOutBufferSize(qint16 bytes);
    // 0 text, 1 binary; input() hands over bytes either way.
    void setInputMode(qint32 mode);
    // 0 takes everything waiting; n takes at most n bytes.
    void setInputLen(qint16 bytes);
    void setNullDiscard(bool discard);
    void setEOFEnable(bool enable);
    void setParityReplace(const QString &replacement);
    // Notification thresholds.
    void setRThreshold(qint16 bytes);
    void setSThreshold(qint16 bytes);

    const PortMap &ports() const { return m_ports; }
    const PortGuards &guards() const { return m_guards; }

protected:
    // Sets DTR, and RTS unless the flow control owns it. A pseudo-terminal has no modem lines to
    // watch, so tests look here.
    virtual void setModemLines(bool dtr, std::optional<bool> rts);

private:
    qint16 checkedBufferSize(qint16 bytes, const char *direction) const;
    // Names the holders, of which there is one at least.
    CommError inUseError(const QList<PortHolder> &holders) const;
    // A device the kernel keeps exclusive with nobody to be seen holding it, and what clears it.
    CommError leftExclusiveError() const;
    // Who may remove a lock file, and so who can unblock the port.
    static QString removeAdvice(const LockFile &lock);
    QList<PortHolder> holdersOf(const QString &device);
    void requireOpen() const;
    void applyLineSettings();
    void applyModemLines();
    void pullFromDevice();
    CommError lineFailure(ErrorNumber number, const QString &doing);
    // Refuses a console, a device that is no serial port, a port in use and a port whose lock file's place holds no lock file;
    // removes a stale lock file the user may remove where Qt's own lock goes.
    void refuseBeforeOpening();
    CommError openError() const;
    QString deviceLabel() const;
    bool isPseudoTerminal() const;

    PortMap m_ports;
    PortGuards m_guards;
    qint16 m_commPort = 1;
    QString m_device;
    Config m_config;
    std::unique_ptr<QSerialPort> m_port;

    // Who held each mapped device when last looked.
    struct HolderSnapshot
    {
        std::chrono::steady_clock::time_point taken;
        std::map<QString, QList<PortHolder>> holders;
    };
    std::optional<HolderSnapshot> m_holders;
};
