// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/deeperchecks.h"
#include "loopback/linescheck.h"
#include "loopback/ratescheck.h"
#include "loopback/runclock.h"
#include "loopback/soakcheck.h"
#include "serial/mscomm.h"
#include "tools/plugmodel.h"
#include "tools/virtualcable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <thread>

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
        comm.setInBufferSize(30000); // as the test sets it
        comm.setPortOpen(true);
    }
    MSComm comm;
};

// An adapter whose plug echoes at any rate but fails as a row says: it refuses some rates,
// garbles at one, or is pulled when a rate is set or after some bytes; or it swallows everything.
struct Adapter : PlugModel
{
    void setBaudRate(qint32 rate) override
    {
        if (rate == lostAt)
            pulled = true;
        if (pulled || refused.contains(rate))
            throw CommError(ErrorNumber::InvalidPropertyValue, u"refused %1 baud."_s.arg(rate));
        baud = rate;
    }
    void setOutput(const QByteArray &bytes) override
    {
        lost();
        if (!dead)
            PlugModel::setOutput(baud == garbledAt ? QByteArray(bytes.size(), '\0') : bytes);
    }
    qint16 inBufferCount() override
    {
        lost();
        return PlugModel::inBufferCount();
    }
    QByteArray input() override
    {
        lost();
        QByteArray bytes = PlugModel::input();
        echoed += bytes.size();
        pulled = pulled || (lostAfter > 0 && echoed >= lostAfter);
        return bytes;
    }
    void lost() const
    {
        if (pulled)
            throw CommError(ErrorNumber::DeviceLost, u"/dev/ttyUSB0 (COM 1) stopped working."_s);
    }
    QList<qint32> refused;
    qint32 garbledAt = 0;
    qint32 lostAt = 0;
    qint64 lostAfter = 0;
    bool dead = false;
    bool pulled = false;
    qint32 baud = 0;
    qint64 echoed = 0;
};

QJsonObject json(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

// A stop asked for after the time given.
std::function<bool()> stopAfter(std::chrono::milliseconds after)
{
    const auto at = std::chrono::steady_clock::now() + after;
    return [at] { return std::chrono::steady_clock::now() >= at; };
}

} // namespace

class TestChecks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lines_data();
    void lines();
    void rates_data();
    void rates();
    void soak_data();
    void soak();
    void soakCutShort_data();
    void soakCutShort();
    void portNotReopened();
};

void TestChecks::lines_data()
{
    QTest::addColumn<QString>("wiring"); // the plug's, or "pty" for a bare pseudo-terminal
    QTest::addColumn<int>("lagMs");      // how late the inputs follow
    QTest::addColumn<int>("limitMs");    // how long the check waits for them
    QTest::addColumn<QString>("results");
    QTest::addColumn<QString>("keying"); // the last line
    const QString standard = u"follows,follows,follows,stuck_off"_s;
    const QString bothWork = u"Keying lines: RTS and DTR work."_s;
    // A USB adapter, a slow one, a serial server across a network.
    for (const int lag : {0, 30, 70, 300})
        QTest::newRow(qPrintable(u"standard plug, %1 ms late"_s.arg(lag)))
            << QString() << lag << 1000 << standard << bothWork;
    // Later than the limit: it has not followed in time, and was leaving no level it was stuck at.
    QTest::newRow("450 ms late, 300 ms limit")
        << QString() << 450 << 300 << u"did_not_follow,did_not_follow,did_not_follow,stuck_off"_s
        << u"Keying lines: neither RTS nor DTR works."_s;
    QTest::newRow("inverted, 70 ms late")
        << u"CTS=!RTS"_s << 70 << 1000 << u"inverted,follows,follows,stuck_off"_s
        << u"Keying lines: DTR works, RTS does not."_s;
    QTest::newRow("pty") << u"pty"_s << 0 << 1000 << QString()
                         << u"This device does not report its control lines, so they cannot be "
                            "checked."_s;
    // Each required input tied to the wrong thing, in turn.
    const std::pair<QString, QString> faults[]
        = {{u"ON"_s, u"stuck_on"_s}, {u"OFF"_s, u"stuck_off"_s}, {u"!"_s, u"inverted"_s}};
    const QString inputs[] = {u"CTS"_s, u"DSR"_s, u"DCD"_s};
    for (int i = 0; i < 3; ++i) {
        for (const auto &[source, result] : faults) {
            QStringList results = standard.split(u',');
            results[i] = result;
            const QString tie = source == u"!"_s ? u"!"_s + (i == 0 ? u"RTS"_s : u"DTR"_s) : source;
            const QString wiring = inputs[i] + u'=' + tie;
            const QString keying = i == 0
                                       ? u"Keying lines: DTR works, RTS does not."_s
                                       : u"Keying lines: RTS works, DTR only in part (%1 "
                                         "follows, %2 does not)."_s.arg(inputs[3 - i], inputs[i]);
            QTest::newRow(qPrintable(wiring)) << wiring << 2 << 200 << results.join(u',') << keying;
        }
    }
}

void TestChecks::lines()
{
    QFETCH(QString, wiring);
    QFETCH(int, lagMs);
    QFETCH(int, limitMs);
    QFETCH(QString, results);
    QFETCH(QString, keying);
    VirtualCable cable;
    OpenPort port(cable);
    PlugModel plug(*PlugWiring::parse(wiring.toStdString()), std::chrono::milliseconds(lagMs));
    // As after the test: both outputs asserted for a while.
    plug.setRTSEnable(true);
    plug.setDTREnable(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(lagMs) + 10ms);
    CommControl &comm = wiring == u"pty"_s ? static_cast<CommControl &>(port.comm) : plug;
    EventLoopClock clock;
    const LinesResult result = checkLines(comm, clock, {}, std::chrono::milliseconds(limitMs));
    const QJsonObject json = linesJson(result);
    QStringList seen;
    for (const QJsonValue wire : json[u"wires"_s].toArray())
        seen << wire[u"result"_s].toString();
    QCOMPARE(seen.join(u','), results);
    const QStringList log = linesLog(result).split(u"\r\n"_s, Qt::SkipEmptyParts);
    QCOMPARE(log.constLast(), keying);
    const bool fault = !results.isEmpty() && results != u"follows,follows,follows,stuck_off"_s;
    QCOMPARE(result.faultFound(), fault);
    QCOMPARE(json[u"passed"_s].toBool(), !fault);
    if (results.isEmpty())
        return;
    QCOMPARE(json[u"settle_limit_ms"_s].toDouble(), double(limitMs));
    if (fault)
        return;
    // Both keying lines are left asserted.
    QVERIFY(plug.modemLines()->cts && plug.modemLines()->dsr);
    // The log states the longest settle it measured: the plug's lag, and the poll's.
    QVERIFY2(result.settle >= std::chrono::milliseconds(lagMs)
                 && result.settle < std::chrono::milliseconds(lagMs + 40),
             qPrintable(log[5]));
    QCOMPARE(log.mid(1, 4),
             (QStringList{u"RTS -> CTS: follows"_s,
                          u"DTR -> DSR: follows"_s,
                          u"DTR -> DCD: follows"_s,
                          u"DTR -> RI: stuck off (not required)"_s}));
    QCOMPARE(json[u"keying"_s].toObject(),
             (QJsonObject{{u"rts"_s, u"works"_s}, {u"dtr"_s, u"works"_s}}));
}

void TestChecks::rates_data()
{
    QTest::addColumn<QList<qint32>>("refused");
    QTest::addColumn<qint32>("garbledAt");
    QTest::addColumn<qint32>("lostAt");    // pulled when this rate is set
    QTest::addColumn<qint64>("lostAfter"); // pulled after this many echoes
    QTest::addColumn<int>("stopAfterMs");  // 0: never
    QTest::addColumn<QString>("lines");    // the log after its heading, CR LF as |
    QTest::addColumn<bool>("fault");
    const QList<qint32> none;
    QTest::newRow("2400 not supported")
        << QList<qint32>{2400} << 0 << 0 << qint64(0) << 0
        << u"1200 baud: passed|2400 baud: not supported by this adapter|4800 baud: passed|"
           "Set your radio software to at most 4800 baud."_s
        << false;
    QTest::newRow("the lowest not supported")
        << QList<qint32>{1200} << 0 << 0 << qint64(0) << 0
        << u"1200 baud: not supported by this adapter|2400 baud: passed|4800 baud: passed|"
           "Set your radio software to at most 4800 baud."_s
        << false;
    QTest::newRow("none supported")
        << QList<qint32>{1200, 2400, 4800} << 0 << 0 << qint64(0) << 0
        << u"1200 baud: not supported by this adapter|2400 baud: not supported by this adapter|"
           "4800 baud: not supported by this adapter|This adapter supports none of these rates."_s
        << false;
    // A higher rate that passes is no rate to rely on.
    QTest::newRow("garbled at 2400 only")
        << none << 2400 << 0 << qint64(0) << 0
        << u"1200 baud: passed|2400 baud: failed: sent 01, received 00|4800 baud: passed|"
           "Set your radio software to at most 1200 baud."_s
        << true;
    QTest::newRow("pulled while setting 2400")
        << none << 0 << 2400 << qint64(0) << 0
        << u"1200 baud: passed|2400 baud: line lost: /dev/ttyUSB0 (COM 1) stopped working.|"
           "Rates ended by the lost line at 2400 baud, 2 of 3 rates tried; no advice from a sweep "
           "cut short."_s
        << true;
    QTest::newRow("pulled during the first rate")
        << none << 0 << 0 << qint64(100) << 0
        << u"1200 baud: line lost: /dev/ttyUSB0 (COM 1) stopped working.|Rates ended by the lost "
           "line at 1200 baud, 1 of 3 rates tried; no advice from a sweep cut short."_s
        << true;
    // Ctrl+C while nothing comes back: no verdict on the rate, no advice.
    QTest::newRow("stopped while waiting")
        << none << 0 << 0 << qint64(0) << 300
        << u"1200 baud: stopped|Rates stopped at 1200 baud, 1 of 3 rates tried; no advice from a "
           "sweep cut short."_s
        << false;
}

void TestChecks::rates()
{
    QFETCH(QList<qint32>, refused);
    QFETCH(qint32, garbledAt);
    QFETCH(qint32, lostAt);
    QFETCH(qint64, lostAfter);
    QFETCH(int, stopAfterMs);
    QFETCH(QString, lines);
    QFETCH(bool, fault);
    Adapter adapter;
    adapter.dead = stopAfterMs > 0;
    adapter.refused = refused;
    adapter.garbledAt = garbledAt;
    adapter.lostAt = lostAt;
    adapter.lostAfter = lostAfter;
    EventLoopClock clock;
    const RatesResult result
        = checkRates(adapter,
                     clock,
                     {4800, 1200, 2400},
                     stopAfterMs > 0 ? stopAfter(std::chrono::milliseconds(stopAfterMs)) : nullptr);
    // A stop is obeyed where the check waits, not at its time-out.
    QVERIFY(stopAfterMs == 0 || result.took < std::chrono::milliseconds(stopAfterMs + 500));
    QCOMPARE(ratesLog(result).split(u"\r\n"_s, Qt::SkipEmptyParts).mid(1).join(u'|'), lines);
    QCOMPARE(result.faultFound(), fault);
    const QJsonObject json = ratesJson(result);
    QCOMPARE(json[u"passed"_s].toBool(), !fault && stopAfterMs == 0);
    QCOMPARE(json[u"stopped"_s].toBool(), stopAfterMs > 0);
    if (lostAt > 0)
        QCOMPARE(json[u"rates"_s][1].toObject(),
                 ::json(uR"({"baud": 2400, "outcome": "line_lost", "error": {"number": 8020,
                     "description": "/dev/ttyUSB0 (COM 1) stopped working."}})"_s));
}

void TestChecks::soak_data()
{
    QTest::addColumn<VirtualCable::Behaviour>("cable");
    QTest::addColumn<int>("seconds");                  // 0: until stopped, after 2 s
    QTest::addColumn<QList<SoakFault::Kind>>("kinds"); // the faults, or the first of many
    QTest::addColumn<QList<int>>("atMs");              // each fault's time
    QTest::addColumn<int>("longestDropoutMs");
    QTest::addColumn<int>("delayMs"); // the longest echo delay, at least
    using Kind = SoakFault::Kind;
    QTest::newRow("steady") << VirtualCable::paced() << 0 << QList<Kind>{} << QList<int>{} << 0
                            << 0;
    // A serial server far away: late, in order, unchanged.
    QTest::newRow("80 ms late") << VirtualCable::late(80ms) << 2 << QList<Kind>{} << QList<int>{}
                                << 0 << 80;
    QTest::newRow("120 ms late") << VirtualCable::late(120ms) << 2 << QList<Kind>{} << QList<int>{}
                                 << 0 << 120;
    QTest::newRow("open 300 ms after 1.2 s") << VirtualCable::intermittent(300ms, 1200ms) << 2
                                             << QList{Kind::Dropout} << QList{1200} << 300 << 0;
    // Shorter than the bytes in flight: those after it come back and show the gap.
    QTest::newRow("open 10 ms every 700 ms")
        << VirtualCable::intermittent(10ms, 700ms) << 2 << QList{Kind::Missing, Kind::Missing}
        << QList{760, 1460} << 0 << 0;
    QTest::newRow("top bit lost") << VirtualCable::paced(9600) << 1 << QList{Kind::Mismatch}
                                  << QList{0} << 0 << 0;
}

void TestChecks::soak()
{
    QFETCH(VirtualCable::Behaviour, cable);
    QFETCH(int, seconds);
    QFETCH(QList<SoakFault::Kind>, kinds);
    QFETCH(QList<int>, atMs);
    QFETCH(int, longestDropoutMs);
    QFETCH(int, delayMs);
    VirtualCable line(cable);
    OpenPort port(line);
    EventLoopClock clock;
    QList<SoakFault> seen;
    int statuses = 0;
    const SoakResult result = ::soak(port.comm,
                                     clock,
                                     {19200, std::chrono::seconds(seconds)},
                                     {stopAfter(seconds > 0 ? 10s : 2s),
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
    // were given up, which waits for the dropout limit.
    QCOMPARE(result.dropoutLimit, 153ms);
    QVERIFY(result.longestDropout.count() >= longestDropoutMs
            && result.longestDropout.count() <= longestDropoutMs + 200);
    QVERIFY2(result.longestDelay.count() >= delayMs && result.longestDelay.count() < delayMs + 150,
             qPrintable(soakSummary(result)));
    if (many)
        QCOMPARE(result.faults[0].received, result.faults[0].sent & 0x7F);
    const QString verdict = soakSummary(result).section(u"\r\n"_s, 1, 1);
    QCOMPARE(verdict,
             kinds.isEmpty()
                 ? u"Steady."_s
                 : u"Intermittent: %1."_s.arg(soakSummary(result).section(u", "_s, 1, 1)));
    QCOMPARE(result.stopped, seconds == 0);
}

void TestChecks::soakCutShort_data()
{
    QTest::addColumn<qint64>("lostAfter"); // the adapter is pulled after this many echoes
    QTest::addColumn<QString>("ending");   // the summary's last line
    QTest::newRow("stopped after 1 s of 3") << qint64(0) << u"Stopped after 1.0 of 3 s."_s;
    QTest::newRow("line lost") << qint64(500)
                               << u"Soak cut short after 0.3 of 3 s: the line was lost."_s;
}

void TestChecks::soakCutShort()
{
    QFETCH(qint64, lostAfter);
    QFETCH(QString, ending);
    Adapter adapter;
    adapter.lostAfter = lostAfter;
    EventLoopClock clock;
    const SoakResult result = ::soak(adapter, clock, {19200, 3s}, {stopAfter(1s), {}, {}});
    const QStringList summary = soakSummary(result).split(u"\r\n"_s, Qt::SkipEmptyParts);
    // The time is what the adapter's pace gives; only the words matter here.
    QCOMPARE(summary.constLast().section(u' ', 0, 2), ending.section(u' ', 0, 2));
    QVERIFY(summary.constLast().endsWith(ending.section(u" s"_s, -1)));
    QVERIFY(!summary.contains(u"Steady."_s));
    const QJsonObject json = soakJson(result);
    QCOMPARE(json[u"verdict"_s], QJsonValue());
    QCOMPARE(json[u"passed"_s].toBool(), false);
    QCOMPARE(json[u"line_lost"_s].toBool(), lostAfter > 0);
    QCOMPARE(json[u"stopped"_s].toBool(), lostAfter == 0);
    QCOMPARE(result.faultFound(), lostAfter > 0);
    if (lostAfter > 0)
        QCOMPARE(json[u"error"_s][u"number"_s].toInt(), 8020);
    // Ctrl+C is obeyed within a tenth of a second, beside the adapter's own pace.
    QVERIFY2(lostAfter > 0 || result.took < 1150ms,
             qPrintable(QString::number(result.took.count())));
}

void TestChecks::portNotReopened()
{
    struct Gone : PlugModel
    {
        void setPortOpen(bool) override
        {
            throw CommError(ErrorNumber::NoSuchDevice, u"/dev/ttyUSB0 is not there."_s);
        }
    } gone;
    EventLoopClock clock;
    DeeperChecks checks;
    checks.lines = true;
    checks.setRates(u"9600"_s);
    QString log;
    const DeeperResult result
        = runDeeperChecks(checks,
                          1,
                          gone,
                          clock,
                          {[&](const QString &text) { log += text; }, {}, [] { return false; }});
    QCOMPARE(log, u"\r\n/dev/ttyUSB0 is not there.\r\n"_s);
    QJsonObject run{{u"stopped"_s, false}};
    addDeeperJson(run, checks, result);
    const QString notRun = uR"({"ran": false, "stopped": false, "passed": false,
        "error": {"number": 8030, "description": "/dev/ttyUSB0 is not there."}})"_s;
    QCOMPARE(run, json(uR"({"stopped": false, "lines": %1, "rates": %1,
                 "failed_checks": ["lines", "rates"]})"_s.arg(notRun)));
}

QTEST_GUILESS_MAIN(TestChecks)
#include "tst_checks.moc"
