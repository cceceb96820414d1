#include "tests/formharness.h"
#include "tests/virtualcable.h"

#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// The controls a test run disables: Start, Exit, Help and the port list.
QList<QWidget *> runControls(const Form1 &form)
{
    return {form.Command1, form.Command2, form.Command3, form.Combo1};
}

} // namespace

class TestApp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void frameAndCaption();
    void instructionsFit();
    void portList();
    void keyboard();
    void savedPort_data();
    void savedPort();
    void logAppendsAtTheEnd();
    void logLineBreaks();
    void startRunsTheTestWhileTheWindowWaits();
    void closeBoxSavesNothing();
    void help_data();
    void help();
    void exitStoresOnlyItsOwnKey_data();
    void exitStoresOnlyItsOwnKey();
    void settingsPathIsADirectory();
};

void TestApp::initTestCase()
{
    FormHarness harness;
    if (harness.form().logicalDpiX() != 96 || harness.form().logicalDpiY() != 96)
        QSKIP("The layout figures below are for a 96 DPI screen.");
}

void TestApp::frameAndCaption()
{
    FormHarness harness;
    Form1 &form = harness.form();
    QCOMPARE(form.windowTitle(), u"Tollbeck v1.0.1   By Varnholt - QX0ZZZ"_s);
    QCOMPARE(form.size(), QSize(472, 402));
    QCOMPARE(form.minimumSize(), form.maximumSize()); // the user cannot resize it
    const Qt::WindowFlags flags = form.windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(flags & Qt::WindowSystemMenuHint);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(!form.windowIcon().isNull());
    QCOMPARE(form.Text1->geometry(), QRect(6, 135, 460, 256)); // 90, 2025, 6900, 3840 twips
    for (const QPushButton *button : {form.Command1, form.Command2, form.Command3})
        QVERIFY(!button->isDefault() && !button->autoDefault());
}

void TestApp::instructionsFit()
{
    // The layout was drawn for a narrower font than Linux has: the second and third lines of
    // the instructions must still take one line each.
    FormHarness harness;
    Form1 &form = harness.form();
    for (const QLabel *instruction : {form.Label3, form.Label4}) {
        const QFontMetrics metrics(instruction->font());
        QVERIFY2(metrics.horizontalAdvance(instruction->text()) <= instruction->width(),
                 qPrintable(instruction->text()));
    }
}

void TestApp::portList()
{
    FormHarness harness;
    Form1 &form = harness.form();
    QCOMPARE(form.Combo1->count(), 12);
    for (int i = 0; i < 12; ++i)
        QCOMPARE(form.Combo1->itemText(i), u"COM %1"_s.arg(i + 1)); // COM 10 after COM 9
    QVERIFY(!form.Combo1->isEditable());

    // Typing only moves between the entries; no new text appears.
    form.show();
    form.Combo1->setFocus();
    QTest::keyClicks(form.Combo1, u"COM 99"_s);
    QCOMPARE(form.Combo1->count(), 12);
    QVERIFY(form.Combo1->findText(form.Combo1->currentText()) >= 0);
}

void TestApp::keyboard()
{
    FormHarness harness;
    QDir().mkpath(harness.helpDir() + u"/readme.txt"_s);
    Form1 &form = harness.form();
    form.show();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), form.Command2);
    const QWidget *expected[]
        = {form.Text1, form.Command1, form.Combo1, form.Command3, form.Command2};
    for (const QWidget *next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }

    QTest::keyClick(&form, Qt::Key_H, Qt::AltModifier);
    QTRY_COMPARE(harness.opened.size(), 1);
    QTest::keyClick(&form, Qt::Key_E, Qt::AltModifier);
    QTRY_VERIFY(!form.isVisible());
}

void TestApp::savedPort_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QString>("selected");
    QTest::newRow("nothing stored") << QByteArray() << false << u"COM 1"_s;
    QTest::newRow("12") << QByteArray("[Settings]\nCommPort=12\n") << true << u"COM 12"_s;
    QTest::newRow("13") << QByteArray("[Settings]\nCommPort=13\n") << true << u"COM 1"_s;
    QTest::newRow("abc") << QByteArray("[Settings]\nCommPort=abc\n") << true << u"COM 1"_s;
    QTest::newRow("empty") << QByteArray("[Settings]\nCommPort=\n") << true << u"COM 1"_s;
    QTest::newRow("leading space")
        << QByteArray("[Settings]\nCommPort=\" 3\"\n") << true << u"COM 1"_s;
    QTest::newRow("very long") << QByteArray("[Settings]\nCommPort=" + QByteArray(100000, '7')
                                             + "\n")
                               << true << u"COM 1"_s;
    QTest::newRow("not ini") << QByteArray("\x01\xff[[[=\n=CommPort\n[Settings\n\0\0", 20) << true
                             << u"COM 1"_s;
}

void TestApp::savedPort()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, exists);
    QFETCH(QString, selected);
    {
        FormHarness harness(file, exists);
        QCOMPARE(harness.form().Combo1->currentText(), selected);
        harness.settings.reset(); // a QSettings writes, if at all, when it is synced or dropped
        QCOMPARE(QFile::exists(harness.settingsPath()), exists);
        if (exists) {
            QFile stored(harness.settingsPath());
            QVERIFY(stored.open(QIODevice::ReadOnly));
            QCOMPARE(stored.readAll(), file); // reading the store never rewrites it
        }
    }
}

void TestApp::logAppendsAtTheEnd()
{
    FormHarness harness;
    Form1 &form = harness.form();
    form.Testout(u"Beginning"_s);
    form.Testout(u" test"_s);
    QCOMPARE(form.Text1->toPlainText(), u"Beginning test"_s);
    QCOMPARE(form.Text1->textCursor().position(), 14);

    // The user's caret and selection do not decide where the text goes.
    QTextCursor selection = form.Text1->textCursor();
    selection.setPosition(2);
    selection.setPosition(5, QTextCursor::KeepAnchor);
    form.Text1->setTextCursor(selection);
    form.Testout(u"!"_s);
    QCOMPARE(form.Text1->toPlainText(), u"Beginning test!"_s);
    QVERIFY(!form.Text1->textCursor().hasSelection());
    QCOMPARE(form.Text1->textCursor().position(), 15);

    selection.setPosition(0);
    selection.setPosition(3, QTextCursor::KeepAnchor);
    form.Text1->setTextCursor(selection);
    form.Testout(QString());
    QCOMPARE(form.Text1->toPlainText(), u"Beginning test!"_s);
    QVERIFY(!form.Text1->textCursor().hasSelection());
    QCOMPARE(form.Text1->textCursor().position(), 15);

    // The user cannot type into it.
    form.show();
    form.Text1->setFocus();
    QTest::keyClicks(form.Text1, u"typed"_s);
    QTest::keyClick(form.Text1, Qt::Key_Return);
    QCOMPARE(form.Text1->toPlainText(), u"Beginning test!"_s);
}

void TestApp::logLineBreaks()
{
    FormHarness harness;
    Form1 &form = harness.form();
    form.Testout(u"one\r\n"_s);
    form.Testout(u"two\r"_s); // CR and LF in separate calls still make one break
    form.Testout(u"\nthree\r\n\r\n"_s);
    form.Testout(u"four"_s);
    QCOMPARE(form.Text1->toPlainText(), u"one\ntwo\nthree\n\nfour"_s);
    QCOMPARE(form.Text1->document()->blockCount(), 5);
    QVERIFY(!form.Text1->toPlainText().contains(u'\r'));

    form.Text1->selectAll();
    form.Text1->copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), u"one\ntwo\nthree\n\nfour"_s);
}

void TestApp::startRunsTheTestWhileTheWindowWaits()
{
    VirtualCable cable;
    PortMap ports = PortMap::defaults();
    ports.setDevice(3, cable.devicePath());
    FormHarness harness;
    Form1 &form = harness.form(ports);
    form.Combo1->setCurrentIndex(2);
    form.show();

    // Looks at the window from inside the run, while the test yields to the event loop.
    bool looked = false;
    QTimer::singleShot(300, &form, [&] {
        looked = true;
        QCOMPARE(form.TestRunning, kTrue);
        for (const QWidget *control : runControls(form))
            QVERIFY(!control->isEnabled());
        QVERIFY(!form.close()); // refused, silently
        QVERIFY(form.isVisible());
        QVERIFY(form.MSComm1.portOpen());
        // The screen shows what the log holds: each append asked to repaint all it changed.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
        QWidget *log = form.Text1->viewport();
        const QRect shown(log->mapTo(&form, QPoint()), log->size());
        QCOMPARE(form.screen()->grabWindow(form.winId()).copy(shown).toImage(),
                 log->grab().toImage());
    });
    QTest::mouseClick(form.Command1, Qt::LeftButton);

    QVERIFY(looked);
    QCOMPARE(form.TestRunning, kFalse);
    for (const QWidget *control : runControls(form))
        QVERIFY(control->isEnabled());
    QVERIFY(!form.MSComm1.portOpen());
    QVERIFY(harness.warnings.isEmpty());
    QString dump;
    for (int value = 0; value < 256; ++value)
        dump += u"%1 "_s.arg(value, 2, 16, QChar(u'0')).toUpper();
    QCOMPARE(form.Text1->toPlainText(),
             u"Beginning loopback test on selected port.\nPlease wait for test to complete...\n\n"
             "COM 3: \n"_s
                 + dump
                 + u"\n\nCOM 3: Test passed successfully!\nSelect COM 3 in your software.\n"_s);
    QCOMPARE(form.Text1->textCursor().position(), form.Text1->document()->characterCount() - 1);
    QCOMPARE(form.Combo1->currentText(), u"COM 3"_s); // the run leaves the selection alone

    QVERIFY(form.close()); // the same request succeeds after the run
}

void TestApp::closeBoxSavesNothing()
{
    FormHarness harness;
    Form1 &form = harness.form();
    form.show();
    form.Combo1->setCurrentIndex(6);
    QVERIFY(form.close());
    harness.settings.reset();
    QVERIFY(!QFile::exists(harness.settingsPath()));
}

void TestApp::help_data()
{
    QTest::addColumn<QString>("readme"); // "file", "directory" or "none"
    QTest::newRow("file") << u"file"_s;
    QTest::newRow("directory named readme.txt") << u"directory"_s;
    QTest::newRow("none") << u"none"_s;
}

void TestApp::help()
{
    QFETCH(QString, readme);
    FormHarness harness;
    QDir(harness.dir.path()).mkpath(u"program"_s);
    const QString path = harness.helpDir() + u"/readme.txt"_s;
    if (readme == u"file"_s) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (readme == u"directory"_s) {
        QVERIFY(QDir().mkpath(path));
    }
    Form1 &form = harness.form();
    QTest::mouseClick(form.Command3, Qt::LeftButton);
    QCOMPARE(harness.opened, readme == u"none"_s ? QStringList() : QStringList{path});
    QVERIFY(harness.warnings.isEmpty());
}

void TestApp::exitStoresOnlyItsOwnKey_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("selected"); // at start
    QTest::addColumn<int>("index");        // chosen before Exit
    QTest::addColumn<QByteArray>("after"); // empty: the key is appended to what was there

    QTest::newRow("COM 1") << QByteArray("[Ports]\nCOM1=/dev/ttyUSB7\n") << u"COM 1"_s << 0
                           << QByteArray("[Ports]\nCOM1=/dev/ttyUSB7\n[Settings]\nCommPort=1\n");
    QTest::newRow("COM 12") << QByteArray("[Settings]\nCommPort=3\n") << u"COM 3"_s << 11
                            << QByteArray("[Settings]\nCommPort=12\n");
    QByteArray noise(qsizetype(64) * 1024, Qt::Uninitialized);
    QRandomGenerator random(7);
    for (char &byte : noise)
        byte = char(random.bounded(256));
    QTest::newRow("random bytes") << noise << u"COM 1"_s << 4 << QByteArray();
    QByteArray big = "; ten megabytes of the user's notes\n";
    while (big.size() < qsizetype(10) * 1024 * 1024)
        big += "note=" + QByteArray(70, 'x') + '\n';
    QTest::newRow("10 MB") << big << u"COM 1"_s << 4 << QByteArray();
    QTest::newRow("comments and a map")
        << QByteArray("; my radio shack\n[Ports]\nCOM1=/dev/ttyUSB0 ; the FTDI lead\n\n"
                      "[Settings]\nCommPort = 3\nOther=kept\n[Zzz]\nCommPort=9\n")
        << u"COM 3"_s << 4
        << QByteArray("; my radio shack\n[Ports]\nCOM1=/dev/ttyUSB0 ; the FTDI lead\n\n"
                      "[Settings]\nCommPort=5\nOther=kept\n[Zzz]\nCommPort=9\n");
    QTest::newRow("CR LF, group without the key")
        << QByteArray("[Settings]\r\nTheme=dark\r\n") << u"COM 1"_s << 4
        << QByteArray("[Settings]\r\nCommPort=5\nTheme=dark\r\n");
    QTest::newRow("no final line break")
        << QByteArray("[Ports]\nCOM2=/dev/ttyACM0") << u"COM 1"_s << 4
        << QByteArray("[Ports]\nCOM2=/dev/ttyACM0\n[Settings]\nCommPort=5\n");
}

void TestApp::exitStoresOnlyItsOwnKey()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, selected);
    QFETCH(int, index);
    QFETCH(QByteArray, after);
    FormHarness harness(before, true);
    Form1 &form = harness.form();
    QCOMPARE(form.Combo1->currentText(), selected);
    form.show();
    QFile file(harness.settingsPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before); // starting changes nothing
    file.close();

    form.Combo1->setCurrentIndex(index);
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    QVERIFY(harness.warnings.isEmpty());
    QVERIFY(!form.isVisible());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    if (after.isEmpty()) {
        QVERIFY(written.startsWith(before)); // nothing of the user's is lost
        QVERIFY(written.endsWith("\n[Settings]\nCommPort=5\n"));
    } else {
        QCOMPARE(written, after);
    }
    FormHarness next(written, true);
    QCOMPARE(next.form().Combo1->currentIndex(), index); // and the next start reads it back
}

void TestApp::settingsPathIsADirectory()
{
    FormHarness harness;
    QVERIFY(QDir().mkpath(harness.settingsPath() + u"/inside"_s));
    harness.settings = std::make_unique<QSettings>(harness.settingsPath(), QSettings::IniFormat);
    Form1 &form = harness.form();
    QCOMPARE(form.Combo1->currentText(), u"COM 1"_s);
    form.show();
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    QCOMPARE(harness.warnings.size(), 1);
    QVERIFY(!form.isVisible());
    QVERIFY(QFileInfo(harness.settingsPath() + u"/inside"_s).isDir()); // left as it was
}

QTEST_MAIN(TestApp)
#include "tst_app.moc"
