#include "serial/commerror.h"
#include "serial/deviceaccess.h"
#include "serial/mscomm.h"
#include "serial/portconfig.h"
#include "tools/virtualcable.h"

#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

PortMap mapCom1To(const QString &device)
{
    PortMap map = PortMap::defaults();
    map.setDevice(1, device);
    return map;
}

// Waits, without an event loop, for n bytes as a polling caller would.
QByteArray readBytes(MSComm &comm, int n)
{
    QByteArray got;
    QElapsedTimer timer;
    timer.start();
    while (got.size() < n && timer.elapsed() < 3000) {
        if (comm.inBufferCount() > 0)
            got += comm.input();
        else
            QThread::usleep(100);
    }
    return got;
}

// The control, with the modem lines it set noted: a pseudo-terminal has none to read back.
class LineWatchingComm : public MSComm
{
public:
    using MSComm::MSComm;
    std::optional<bool> dtr;
    std::optional<bool> rts;

protected:
    void setModemLines(bool dtrOn, std::optional<bool> rtsOn) override
    {
        dtr = dtrOn;
        rts = rtsOn;
        MSComm::setModemLines(dtrOn, rtsOn);
    }
};

qint32 openFailure(MSComm &comm, QString *description = nullptr)
{
    try {
        comm.setPortOpen(true);
    } catch (const CommError &error) {
        qInfo().noquote() << error.description();
        if (description)
            *description = error.description();
        return qint32(error.number());
    }
    return 0;
}

struct Boxes
{
    QStringList texts;
    WarningBox recorder()
    {
        return [this](const QString &title, const QString &text) {
            QCOMPARE(title, u"Error"_s);
            texts << text;
        };
    }
};

} // namespace

class TestSerial : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void portMap();
    void configuredPortEchoesEveryByte();
    void openFailures_data();
    void openFailures();
    void lockFileNamesTheHolder();
    void stalledWriteKeepsEventsFlowing();
    void permissionDenied();
    void joinedAfterLoggingIn();
    void configureReportsEachFailingStep();
};

void TestSerial::portMap()
{
    // The user's [Ports] entries replace the defaults; an empty one keeps the default.
    QTemporaryDir dir;
    QSettings settings(dir.filePath(u"Tollbeck.conf"_s), QSettings::IniFormat);
    settings.setValue(u"Ports/COM1"_s, u"/dev/serial/by-id/usb-FTDI"_s);
    settings.setValue(u"Ports/COM2"_s, QString());
    settings.setValue(u"Ports/COM13"_s, u"/dev/ttyAMA0"_s);
    const PortMap map = PortMap::withOverrides(settings);
    QCOMPARE(map.device(1), u"/dev/serial/by-id/usb-FTDI"_s);
    QCOMPARE(map.device(2), u"/dev/ttyS1"_s);
    QCOMPARE(map.device(13), u"/dev/ttyAMA0"_s);
}

void TestSerial::configuredPortEchoesEveryByte()
{
    VirtualCable cable;
    QVERIFY(!cable.devicePath().isEmpty());
    LineWatchingComm comm(mapCom1To(cable.devicePath()));
    Boxes boxes;
    configureForLoopback(comm, u"COM 1"_s, boxes.recorder());
    QVERIFY(boxes.texts.isEmpty());
    QVERIFY(!comm.dtr); // nothing is applied before the port opens
    comm.setPortOpen(true);
    QCOMPARE(comm.dtr, std::optional(true));
    QCOMPARE(comm.rts, std::optional(true));

    // 19200 baud 8N1, no flow control, raw: every byte value passes unchanged.
    const int fd = ::open(QFile::encodeName(cable.devicePath()).constData(),
                          O_RDONLY | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    termios tio{};
    QCOMPARE(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    QCOMPARE(::cfgetospeed(&tio), speed_t(B19200));
    QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), tcflag_t(0));
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));

    comm.setOutput("ATV1Q0\r\n"); // the cable echoes the probe, then counts values
    QCOMPARE(readBytes(comm, 8), QByteArray("ATV1Q0\r\n"));
    for (int value = 0; value < 256; ++value) {
        const QByteArray byte(1, char(value));
        comm.setOutput(byte);
        QCOMPARE(readBytes(comm, 1), byte); // 0 and 26 are ordinary data
        QCOMPARE(comm.inBufferCount(), qint16(0));
    }
    comm.setPortOpen(false);
    QVERIFY(!comm.portOpen());
}

void TestSerial::openFailures_data()
{
    QTest::addColumn<QString>("device"); // mapped to COM 1; empty: use COM 13, mapped to nothing
    QTest::addColumn<qint32>("number");
    QTest::newRow("missing device")
        << u"/dev/ttyTollbeckMissing"_s << qint32(ErrorNumber::NoSuchDevice);
    QTest::newRow("unmapped port") << QString() << qint32(ErrorNumber::InvalidPortNumber);
    QTest::newRow("not a serial device") << u"/dev/null"_s << qint32(ErrorNumber::OpenFailed);
}

void TestSerial::openFailures()
{
    QFETCH(QString, device);
    QFETCH(qint32, number);
    MSComm comm(mapCom1To(device));
    comm.setCommPort(device.isEmpty() ? 13 : 1);
    QCOMPARE(openFailure(comm), number);
    QVERIFY(!comm.portOpen());
}

void TestSerial::lockFileNamesTheHolder()
{
    // A program whose descriptors cannot be listed (another user's, for a normal user), known
    // only by the lock file it wrote as QSerialPort would: it is named, and nothing is opened.
    VirtualCable cable;
    MSComm first(mapCom1To(cable.devicePath()));
    QProcess unseen;
    unseen.start(u"sleep"_s, {u"30"_s});
    QVERIFY(unseen.waitForStarted());
    QString lockName = cable.devicePath().mid(int(std::strlen("/dev/")));
    QFile lock(u"/var/lock/LCK.."_s + lockName.replace(u'/', u'_'));
    if (!lock.open(QIODevice::WriteOnly))
        QSKIP("/var/lock is not writable here, so no lock file can be written");
    lock.write(QByteArray::number(unseen.processId()) + "\nsleep\n\n");
    lock.close();
    QString description;
    QCOMPARE(openFailure(first, &description), qint32(ErrorNumber::PortInUse));
    lock.remove();
    QCOMPARE(description,
             u"%1 (COM 1) is in use by sleep (process %2). Close that program and try again."_s
                 .arg(cable.devicePath())
                 .arg(unseen.processId()));
    unseen.kill();
    QVERIFY(unseen.waitForFinished());
}

void TestSerial::stalledWriteKeepsEventsFlowing()
{
    // Nobody reads the far end, so the line fills up and the write stalls.
    int master = -1;
    int slave = -1;
    char name[128] = {};
    QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    MSComm comm(mapCom1To(QString::fromLocal8Bit(name)));
    comm.setPortOpen(true);

    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(50);
    QElapsedTimer elapsed;
    elapsed.start();
    try {
        comm.setOutput(QByteArray(1 << 20, 'x'));
        QFAIL("a megabyte went into a line that nobody reads");
    } catch (const CommError &error) {
        QCOMPARE(error.number(), ErrorNumber::WriteFailed);
        QVERIFY2(error.description().startsWith(
                     u"Could not send to %1 (COM 1): "_s.arg(QString::fromLocal8Bit(name))),
                 qPrintable(error.description()));
    }
    QVERIFY(elapsed.elapsed() >= 2000);
    QVERIFY2(ticks >= 10, "the window would not have repainted while the write waited");
    comm.setPortOpen(false);
    ::close(master);
}

void TestSerial::permissionDenied()
{
    if (::geteuid() != 0)
        QSKIP("Playing a user outside the device's group takes root.");
    VirtualCable cable;
    const QByteArray path = QFile::encodeName(cable.devicePath());
    // Root may open anything; try as nobody in a child process, on a device of a group that
    // nobody is not in.
    constexpr gid_t kDialout = 20;
    const group *dialout = ::getgrgid(kDialout);
    const QString needs
        = u"%1 needs group %2: sudo adduser $USER %2, log out and in."_s
              .arg(cable.devicePath(),
                   dialout ? QString::fromLocal8Bit(dialout->gr_name) : QString::number(kDialout));
    QCOMPARE(::chown(path.constData(), 0, kDialout), 0);
    QCOMPARE(::chmod(path.constData(), 0660), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        MSComm comm(mapCom1To(cable.devicePath()));
        QString description;
        const bool denied
            = openFailure(comm, &description) == qint32(ErrorNumber::PermissionDenied);
        ::_exit(denied && description == needs ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
}

void TestSerial::joinedAfterLoggingIn()
{
    DeviceAccess access;
    access.device = u"/dev/ttyUSB0"_s;
    access.owner = u"root"_s;
    access.group = u"dialout"_s;
    access.mode = quint32(S_IFCHR | 0660);
    access.joinedGroup = true;
    QCOMPARE(::permissionDenied(access),
             u"/dev/ttyUSB0 needs group dialout: you joined it after logging in; log out and in."_s);
}

void TestSerial::configureReportsEachFailingStep()
{
    // A text that ends in no number: one box, for the port, and the other steps still apply.
    MSComm comm;
    comm.setCommPort(4);
    Boxes boxes;
    configureForLoopback(comm, u"COM x"_s, boxes.recorder());
    QCOMPARE(boxes.texts.size(), 1);
    QVERIFY(boxes.texts[0].startsWith(u"Error 13: "_s));
    QCOMPARE(comm.commPort(), qint16(4));
    QCOMPARE(comm.config().settings, u"19200,n,8,1"_s);

    // With the port open, the port and both buffer sizes are refused: three boxes in step order.
    VirtualCable cable;
    MSComm open(mapCom1To(cable.devicePath()));
    open.setPortOpen(true);
    Boxes openBoxes;
    configureForLoopback(open, u"COM 2"_s, openBoxes.recorder());
    QCOMPARE(openBoxes.texts.size(), 3);
    QVERIFY(openBoxes.texts[0].startsWith(u"Error 8005: "_s));
    QVERIFY(openBoxes.texts[1].startsWith(u"Error 8000: "_s));
    QVERIFY(openBoxes.texts[1].contains(u"receive"_s));
    QVERIFY(openBoxes.texts[2].contains(u"transmit"_s));
    QCOMPARE(open.commPort(), qint16(1));
}

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
