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

qsizetype openDescriptors()
{
    return QDir(u"/proc/self/fd"_s).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

double residentMegabytes()
{
    QFile statm(u"/proc/self/statm"_s);
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * double(::sysconf(_SC_PAGESIZE)) / 1048576.0
                             : 0;
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
    // Two windows: one whose COM 2 is a good cable, one whose COM 1 is a dead one. All their
    // other ports are missing, so a dead run walks them all and fails.
    VirtualCable good;
    VirtualCable dead(VirtualCable::dead());
    PortMap missing = PortMap::defaults();
    for (int port = 1; port <= 12; ++port)
        missing.setDevice(port, u"/dev/tollbeck-soak-missing"_s);
    PortMap goodPorts = missing;
    goodPorts.setDevice(2, good.devicePath());
    PortMap deadPorts = missing;
    deadPorts.setDevice(1, dead.devicePath());
    FormHarness goodHarness;
    FormHarness deadHarness;
    goodHarness.clock = std::make_unique<HurriedClock>();
    deadHarness.clock = std::make_unique<FastClock>();
    Form1 &goodForm = goodHarness.form(goodPorts);
    Form1 &deadForm = deadHarness.form(deadPorts);
    goodForm.Combo1->setCurrentIndex(1);
    goodForm.show();
    deadForm.show();

    int passed = 0;
    int failed = 0;
    bool surprised = false;
    const auto runs = [&](Form1 &form, int count) {
        for (int i = 0; i < count; ++i) {
            form.Test();
            const QString log = form.Text1->toPlainText();
            if (&form == &goodForm
                && log.endsWith(u"\nCOM 2: Test passed successfully!\nSelect COM 2 in your "
                                "software.\nOn this computer COM 2 is "_s
                                + good.devicePath() + u".\n"_s))
                ++passed;
            else if (&form == &deadForm && log.contains(u"COM 1: No Data Received\n"_s)
                     && log.endsWith(u"Check your cable connection to your serial port, and "
                                     "try again."_s))
                ++failed;
            else if (!surprised) { // the first surprise in full; the counts tell the rest
                surprised = true;
                qWarning().noquote() << "unexpected log:" << log;
            }
        }
    };

    runs(goodForm, 10); // warm up caches and allocators before the baseline
    runs(deadForm, 2);
    const qsizetype fdsBefore = openDescriptors();
    const double memoryBefore = residentMegabytes();
    runs(goodForm, 200);
    runs(deadForm, 20);
    const qsizetype fdsAfter = openDescriptors();
    const double memoryAfter = residentMegabytes();
    qInfo("200 good and 20 dead runs: %d passed, %d failed; descriptors %lld -> %lld; resident "
          "memory %.1f -> %.1f MB",
          passed - 10,
          failed - 2,
          qlonglong(fdsBefore),
          qlonglong(fdsAfter),
          memoryBefore,
          memoryAfter);

    QCOMPARE(passed, 210);
    QCOMPARE(failed, 22);
    QCOMPARE(fdsAfter, fdsBefore);
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer holds freed memory in quarantine; memory is bounded in plain builds.");
#else
    QVERIFY2(memoryAfter - memoryBefore < 4.0, "memory grew with the runs");
#endif
}

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
