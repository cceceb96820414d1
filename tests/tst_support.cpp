// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "support/inifile.h"
#include "support/module1.h"

#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <functional>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Clock = std::chrono::steady_clock;

class TestSupport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void delay_data();
    void delay();
    void iniValue_data();
    void iniValue();
    void iniValueHiddenByADamagedLine();
    void iniValueInAReadOnlyFolder();
};

void TestSupport::delay_data()
{
    QTest::addColumn<double>("hundredths");
    QTest::newRow("1.5") << 1.5;
    QTest::newRow("0.5") << 0.5;
    QTest::newRow("0") << 0.0;
    QTest::newRow("negative") << -3.0;
}

void TestSupport::delay()
{
    // Strictly longer than asked, then the pending events once, never during the wait.
    QFETCH(double, hundredths);
    const std::chrono::duration<double> asked{hundredths / 100.0};
    for (int i = 0; i < 20; ++i) {
        // Each delivery posts the next, which one pass of the event loop leaves for the next pass.
        int deliveries = 0;
        Clock::time_point first;
        const auto drop = qScopeGuard([] { QCoreApplication::removePostedEvents(qApp); });
        std::function<void()> deliver = [&] {
            if (deliveries++ == 0)
                first = Clock::now();
            QMetaObject::invokeMethod(qApp, deliver, Qt::QueuedConnection);
        };
        QMetaObject::invokeMethod(qApp, deliver, Qt::QueuedConnection);
        const auto start = Clock::now();
        Module1::HiResDelay(hundredths);
        const auto took = Clock::now() - start;
        QVERIFY(took > asked);
        QVERIFY2(took < asked + std::chrono::milliseconds(50), "far too long");
        QCOMPARE(deliveries, 1);
        QVERIFY(first - start > asked);
    }
}

void TestSupport::iniValue_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after"); // CommPort=5 set in [Settings]
    QTest::newRow("no file, no folder") << QByteArray() << QByteArray("[Settings]\nCommPort=5\n");
    QTest::newRow("present once, among the user's lines")
        << QByteArray("; my shack\n[Settings]\nCommPort = 3\nOther=kept\n")
        << QByteArray("; my shack\n[Settings]\nCommPort=5\nOther=kept\n");
    QTest::newRow("present twice in its group")
        << QByteArray("[Settings]\nCommPort=3\nCommPort=4\n")
        << QByteArray("[Settings]\nCommPort=5\nCommPort=5\n");
    QTest::newRow("a longer key that begins with it")
        << QByteArray("[Settings]\nCommPortOld=3\n")
        << QByteArray("[Settings]\nCommPort=5\nCommPortOld=3\n");
    QTest::newRow("in another group only, no final line break")
        << QByteArray("[Zzz]\nCommPort=9")
        << QByteArray("[Zzz]\nCommPort=9\n[Settings]\nCommPort=5\n");
    QTest::newRow("CR LF lines kept, group without the key")
        << QByteArray("[Settings]\r\nTheme=dark\r\n[Ports]\r\nCOM1=/dev/ttyUSB0\r\n")
        << QByteArray("[Settings]\r\nCommPort=5\r\nTheme=dark\r\n[Ports]\r\nCOM1=/dev/ttyUSB0\r\n");
}

void TestSupport::iniValue()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"sub/Tollbeck.conf"_s); // the folder is made as needed
    if (!before.isEmpty()) {
        QVERIFY(QDir().mkpath(dir.filePath(u"sub"_s)));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(before);
    }
    QCOMPARE(setIniValue(path, u"Settings"_s, u"CommPort"_s, u"5"_s), std::nullopt);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), after);

    // A directory where the file should be is reported and left alone.
    QVERIFY(QDir().mkpath(dir.filePath(u"taken/inside"_s)));
    QVERIFY(setIniValue(dir.filePath(u"taken"_s), u"Settings"_s, u"CommPort"_s, u"5"_s));
    QVERIFY(QFileInfo(dir.filePath(u"taken/inside"_s)).isDir());
}

void TestSupport::iniValueHiddenByADamagedLine()
{
    // The open quote runs on over [Settings]: the line written there would not be read back.
    QTemporaryDir dir;
    const QString path = dir.filePath(u"Tollbeck.conf"_s);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\nfoo=#a, b\"\n\n[Settings]\nSommPort=COM 5\n");
    file.close();
    QCOMPARE(setIniValue(path, u"Settings"_s, u"CommPort"_s, u"5"_s),
             path + u" was written, but a damaged line in it hides CommPort in [Settings]"_s);
}

void TestSupport::iniValueInAReadOnlyFolder()
{
    // Root writes anywhere, so the attempt is made as nobody in a child process.
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0555) == 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(2);
        const auto failure
            = setIniValue(dir.filePath(u"Tollbeck.conf"_s), u"Settings"_s, u"CommPort"_s, u"5"_s);
        ::_exit(failure && failure->contains(u"cannot be written"_s) ? 0 : 1);
    }
    int status = -1;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QCOMPARE(status, 0); // exited, and with 0
}

QTEST_GUILESS_MAIN(TestSupport)
#include "tst_support.moc"
