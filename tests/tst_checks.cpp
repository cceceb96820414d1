// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/linescheck.h"
#include "loopback/ratescheck.h"
#include "loopback/runclock.h"
#include "loopback/soakcheck.h"
#include "serial/mscomm.h"
#include "tools/plugmodel.h"
#include "tools/virtualcable.h"

#include <QProcess>
#include <QtTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// The serial control with COM 1 open on the cable's port, at the test's settings.
struct OpenPort
{
    static PortMap com1(const VirtualCable &cable)
    {
        PortMap map = PortMap::defaults();
        map.setDevice(1, cable.devicePath());
        return map;
    }
    explicit OpenPort(const VirtualCable &cable)
        : comm(com1(cable))
    {
        comm.setSettings(u"19200,n,8,1"_s);
        comm.setPortOpen(true);
    }
    MSComm comm;
};

// Each wire's result, as the record gives them: "follows,stuck off,...".
QString wireResults(const LinesResult &result)
{
    QStringList results;
    for (const QJsonValue wire : linesJson(result)[u"wires"_s].toArray())
        results << wire[u"result"_s].toString();
    return results.join(u',');
}

const QString kStandard = u"follows,follows,follows,stuck off"_s;

} // namespace

class TestChecks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lines_data();
    void lines();
    void ratesOnCableFailingAbove38400();
    void soak_data();
    void soak();
};

void TestChecks::lines_data()
{
    QTest::addColumn<QString>("wiring"); // the plug's, or "pty" for a bare pseudo-terminal
    QTest::addColumn<QString>("results");
    QTest::newRow("standard plug") << QString() << kStandard;
    QTest::newRow("pty") << u"pty"_s << QString();
    // Each required input tied to the wrong thing, in turn.
    const std::pair<QString, QString> faults[]
        = {{u"ON"_s, u"stuck on"_s}, {u"OFF"_s, u"stuck off"_s}, {u"!"_s, u"inverted"_s}};
    const QString inputs[] = {u"CTS"_s, u"DSR"_s, u"DCD"_s};
    for (int i = 0; i < 3; ++i) {
        for (const auto &[source, result] : faults) {
            QStringList results = kStandard.split(u',');
            results[i] = result;
            const QString tie = source == u"!"_s ? u"!"_s + (i == 0 ? u"RTS"_s : u"DTR"_s) : source;
            const QString wiring = inputs[i] + u'=' + tie;
            QTest::newRow(qPrintable(wiring)) << wiring << results.join(u',');
        }
    }
}

void TestChecks::lines()
{
    QFETCH(QString, wiring);
    QFETCH(QString, results);
    VirtualCable cable;
    OpenPort port(cable);
    PlugModel plug(*PlugWiring::parse(wiring.toStdString()));
    CommControl &comm = wiring == u"pty"_s ? static_cast<CommControl &>(port.comm) : plug;
    EventLoopClock clock;
    const LinesResult result = checkLines(comm, clock);
    QCOMPARE(wireResults(result), results);
    QCOMPARE(result.faultFound(), results != kStandard && !results.isEmpty());
    if (results != kStandard)
        return;
    // The plug reports its lines 2 ms late; both keying lines are left asserted.
    QVERIFY(result.settle >= 2ms && result.settle < 20ms);
    QVERIFY(plug.modemLines()->cts && plug.modemLines()->dsr);
    QCOMPARE(linesLog(result).section(u"\r\n"_s, 1),
             u"RTS -> CTS: follows\r\nDTR -> DSR: follows\r\nDTR -> DCD: follows\r\n"
             "DTR -> RI: stuck off (not required)\r\nSettle time: %1 ms (the longest an input "
             "took to follow; waited up to 50.0 ms).\r\nKeying lines: RTS and DTR work.\r\n"_s
                 .arg(double(result.settle.count()) / 1000.0, 0, 'f', 1));
}

void TestChecks::ratesOnCableFailingAbove38400()
{
    VirtualCable cable(VirtualCable::paced(38400));
    OpenPort port(cable);
    EventLoopClock clock;
    const RatesResult result = checkRates(port.comm, clock);
    QCOMPARE(ratesLog(result),
             u"Rates: the echo of every byte value at each rate.\r\n1200 baud: passed\r\n"
             "2400 baud: passed\r\n4800 baud: passed\r\n9600 baud: passed\r\n19200 baud: passed\r\n"
             "38400 baud: passed\r\n57600 baud: failed: sent 80, received 00\r\n"
             "115200 baud: failed: sent 80, received 00\r\n"
             "Set your radio software to at most 38400 baud.\r\n"_s);
    QVERIFY(result.faultFound());
    QVERIFY2(result.took <= 1.5 * result.onTheWire + 1s,
             qPrintable(QString::number(result.took.count())));
    // A control that cannot change its rate refuses each; that is no fault of the cable.
    PlugModel fixed;
    const RatesResult refused = checkRates(fixed, clock, {1200});
    QCOMPARE(ratesJson(refused)[u"rates"_s][0][u"result"_s], u"refused"_s);
    QVERIFY(!refused.faultFound() && refused.highest == 0);
    // An adapter that garbles at 2400 baud only: 9600 passes, but is no rate to rely on.
    struct BadAt2400 : PlugModel
    {
        void setBaudRate(qint32 rate) override { baud = rate; }
        void setOutput(const QByteArray &bytes) override
        {
            PlugModel::setOutput(baud == 2400 ? QByteArray(bytes.size(), '\0') : bytes);
        }
        qint32 baud = 0;
    } badAt2400;
    QCOMPARE(checkRates(badAt2400, clock, {1200, 2400, 9600}).highest, 1200);
}

void TestChecks::soak_data()
{
    QTest::addColumn<VirtualCable::Behaviour>("cable");
    QTest::addColumn<int>("seconds");                  // 0: until stopped, after 2 s
    QTest::addColumn<QList<SoakFault::Kind>>("kinds"); // the faults, or the first of many
    QTest::addColumn<QList<int>>("atMs");              // each fault's time
    QTest::addColumn<int>("longestDropoutMs");
    using Kind = SoakFault::Kind;
    QTest::newRow("steady") << VirtualCable::paced() << 0 << QList<Kind>{} << QList<int>{} << 0;
    QTest::newRow("open 300 ms after 1.2 s") << VirtualCable::intermittent(300ms, 1200ms) << 2
                                             << QList{Kind::Dropout} << QList{1200} << 300;
    QTest::newRow("open 30 ms every 700 ms")
        << VirtualCable::intermittent(30ms, 700ms) << 2 << QList{Kind::Missing, Kind::Missing}
        << QList{760, 1460} << 0;
    QTest::newRow("top bit lost") << VirtualCable::paced(9600) << 1 << QList{Kind::Mismatch}
                                  << QList{0} << 0;
}

void TestChecks::soak()
{
    QFETCH(VirtualCable::Behaviour, cable);
    QFETCH(int, seconds);
    QFETCH(QList<SoakFault::Kind>, kinds);
    QFETCH(QList<int>, atMs);
    QFETCH(int, longestDropoutMs);
    VirtualCable line(cable);
    OpenPort port(line);
    EventLoopClock clock;
    const RunClock::TimePoint start = clock.now();
    QList<SoakFault> seen;
    int statuses = 0;
    const SoakResult result = ::soak(port.comm,
                                     clock,
                                     {19200, std::chrono::seconds(seconds)},
                                     {[&] { return clock.now() - start > 2s; },
                                      [&](const SoakFault &fault) { seen << fault; },
                                      [&](const SoakStatus &) { ++statuses; }});
    QCOMPARE(seen.size(), result.faults.size());
    const int tenths = (seconds > 0 ? seconds : 2) * 10;
    QVERIFY(statuses >= tenths * 3 / 4 && statuses <= tenths + 1); // ten times a second at most
    const bool many = kinds == QList{SoakFault::Kind::Mismatch};
    QVERIFY2((many ? qsizetype(1) : result.faults.size()) == kinds.size(),
             qPrintable(soakLog(result)));
    for (qsizetype i = 0; i < kinds.size(); ++i) {
        QCOMPARE(result.faults[i].kind, kinds[i]);
        QVERIFY2(std::abs(result.faults[i].at.count() - atMs[i]) <= 50,
                 qPrintable(soakFaultLine(result.faults[i])));
    }
    // A dropout is seen from its start to the first echo of the bytes sent once the lost ones
    // were given up.
    QVERIFY(result.longestDropout.count() >= longestDropoutMs
            && result.longestDropout.count() <= longestDropoutMs + 80);
    if (many)
        QCOMPARE(result.faults[0].received, result.faults[0].sent & 0x7F);
    if (kinds.isEmpty()) {
        QVERIFY(result.stopped);
        QVERIFY2(result.bytesPerSecond() >= 1728, qPrintable(soakSummary(result)));
        QVERIFY(soakSummary(result).endsWith(u", 0 faults, longest dropout 0 ms.\r\nSteady.\r\n"_s));
    }
}

QTEST_GUILESS_MAIN(TestChecks)
#include "tst_checks.moc"
