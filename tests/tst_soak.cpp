// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "tests/formharness.h"
#include "tests/testclocks.h"
#include "tools/virtualcable.h"

#include <QComboBox>
#include <QDir>
#include <QPlainTextEdit>
#include <QtTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Open descriptors and resident megabytes.
std::pair<qsizetype, double> footprint()
{
    QFile statm(u"/proc/self/statm"_s);
    const QList<QByteArray> pages = statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ')
                                                                    : QList<QByteArray>{"0", "0"};
    return {QDir(u"/proc/self/fd"_s).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(),
            pages[1].toDouble() * double(::sysconf(_SC_PAGESIZE)) / 1048576.0};
}

} // namespace

// Many whole runs in one process: each ends as it should, and nothing is left behind.
class TestSoak : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void manyRunsLeakNothing();
};

void TestSoak::manyRunsLeakNothing()
{
    // One window whose COM 1 is a good cable, one whose COM 1 is a dead one. All their other
    // ports are missing, so a dead run walks them all and fails.
    VirtualCable good;
    VirtualCable dead(VirtualCable::dead());
    PortMap ports = PortMap::defaults();
    for (int port = 2; port <= 12; ++port)
        ports.setDevice(port, u"/dev/tollbeck-soak-missing"_s);
    FormHarness goodHarness;
    FormHarness deadHarness;
    goodHarness.clock = std::make_unique<HurriedClock>(); // only the outcomes count here
    deadHarness.clock = std::make_unique<FastClock>();
    ports.setDevice(1, good.devicePath());
    Form1 &goodForm = goodHarness.form(ports);
    ports.setDevice(1, dead.devicePath());
    Form1 &deadForm = deadHarness.form(ports);

    // Counts the runs whose log ends as expected.
    const auto runs = [](Form1 &form, int count, const QString &ending) {
        int asExpected = 0;
        for (int i = 0; i < count; ++i) {
            form.Test();
            asExpected += form.Text1->toPlainText().endsWith(ending) ? 1 : 0;
        }
        return asExpected;
    };
    const QString passed = u"Select COM 1 in your software.\nOn this computer COM 1 is %1.\n"_s.arg(
        good.devicePath());
    const QString failed = u"Check your cable connection to your serial port, and try again."_s;

    runs(goodForm, 10, passed); // warm up caches and allocators before the baseline
    runs(deadForm, 2, failed);
    const auto [fdsBefore, memoryBefore] = footprint();
    QCOMPARE(runs(goodForm, 200, passed), 200);
    QCOMPARE(runs(deadForm, 20, failed), 20);
    const auto [fdsAfter, memoryAfter] = footprint();
    QCOMPARE(fdsAfter, fdsBefore);
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer holds freed memory in quarantine; memory is bounded in plain builds.");
#else
    QVERIFY2(memoryAfter - memoryBefore < 4.0, "memory grew with the runs");
#endif
}

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
