#include "support/module1.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>

using namespace Qt::StringLiterals;
using Clock = std::chrono::steady_clock;

namespace {

// Counts how often the event loop delivers to it. Each delivery posts the next event, which
// a single pass of the loop leaves for the following pass.
class EventCounter : public QObject
{
public:
    int deliveries = 0;
    Clock::time_point first{};

    bool event(QEvent *event) override
    {
        if (event->type() != QEvent::User)
            return QObject::event(event);
        if (deliveries++ == 0)
            first = Clock::now();
        QCoreApplication::postEvent(this, new QEvent(QEvent::User));
        return true;
    }
};

} // namespace

class TestSupport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void delayLastsStrictlyLonger_data();
    void delayLastsStrictlyLonger();
    void delayProcessesEventsOnceAfterTheWait_data();
    void delayProcessesEventsOnceAfterTheWait();
    void fileExists_data();
    void fileExists();
};

void TestSupport::delayLastsStrictlyLonger_data()
{
    QTest::addColumn<double>("hundredths");
    QTest::newRow("1.5") << 1.5;
    QTest::newRow("0.5") << 0.5;
    QTest::newRow("0") << 0.0;
}

void TestSupport::delayLastsStrictlyLonger()
{
    QFETCH(double, hundredths);
    const std::chrono::duration<double> asked{hundredths / 100.0};
    for (int i = 0; i < 20; ++i) {
        const auto start = Clock::now();
        Module1::HiResDelay(hundredths);
        const auto took = Clock::now() - start;
        QVERIFY(took > asked);
        QVERIFY2(took < asked + std::chrono::milliseconds(50), "far too long");
    }
}

void TestSupport::delayProcessesEventsOnceAfterTheWait_data()
{
    QTest::addColumn<double>("hundredths");
    QTest::newRow("1.5") << 1.5;
    QTest::newRow("0") << 0.0;
    QTest::newRow("negative") << -3.0;
}

void TestSupport::delayProcessesEventsOnceAfterTheWait()
{
    QFETCH(double, hundredths);
    EventCounter counter;
    QCoreApplication::postEvent(&counter, new QEvent(QEvent::User));
    const auto start = Clock::now();
    Module1::HiResDelay(hundredths);
    QCOMPARE(counter.deliveries, 1);
    QVERIFY(counter.first - start >= std::chrono::duration<double>(hundredths / 100.0));
    QCoreApplication::removePostedEvents(&counter);
}

void TestSupport::fileExists_data()
{
    QTest::addColumn<QString>("name"); // inside a temporary directory holding "file" and "dir"
    QTest::addColumn<bool>("exists");
    QTest::newRow("file") << u"file"_s << true;
    QTest::newRow("directory") << u"dir"_s << true;
    QTest::newRow("missing") << u"nothing"_s << false;
    QTest::newRow("under a file") << u"file/readme.txt"_s << false;
    QTest::newRow("empty") << QString() << false;
}

void TestSupport::fileExists()
{
    QFETCH(QString, name);
    QFETCH(bool, exists);
    QTemporaryDir dir;
    QFile file(dir.filePath(u"file"_s));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(QDir(dir.path()).mkdir(u"dir"_s));
    const QString path = name.isEmpty() ? QString() : dir.filePath(name);
    QCOMPARE(Module1::FileExists(path), exists ? Boolean(-1) : Boolean(0));
}

QTEST_GUILESS_MAIN(TestSupport)
#include "tst_support.moc"
