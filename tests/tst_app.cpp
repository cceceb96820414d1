// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/portnumber.h"
#include "tests/formharness.h"
#include "tools/virtualcable.h"

#include <QAbstractTextDocumentLayout>
#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTextBlock>
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
    void windowAtStart();
    void savedPort_data();
    void savedPort();
    void startRunsTheTestWhileTheWindowWaits();
    void help_data();
    void help();
    void exitStoresThePort();
    void failingWalkIsHeard();

private:
    QTemporaryDir m_path; // the only directory on the PATH
};

void TestApp::initTestCase()
{
    qputenv("PATH", QFile::encodeName(m_path.path())); // no test launches a real program
    FormHarness harness;
    if (harness.form().logicalDpiX() != 96 || harness.form().logicalDpiY() != 96)
        QSKIP("The layout figures below are for a 96 DPI screen.");
}

void TestApp::windowAtStart()
{
    FormHarness harness;
    Form1 &form = harness.form();
    QCOMPARE(form.windowTitle(), u"Tollbeck v1.0.1   By Varnholt - QX0ZZZ"_s);
    QCOMPARE(form.size(), QSize(472, 402));
    QCOMPARE(form.minimumSize(), form.maximumSize()); // the user cannot resize it
    // The icon's pictures are there, in the sizes a desktop asks for.
    const QIcon icon = form.windowIcon();
    QCOMPARE(icon.availableSizes(),
             (QList<QSize>{{32, 32}, {48, 48}, {64, 64}, {128, 128}, {256, 256}}));
    const QImage picture = icon.pixmap(32).toImage();
    QCOMPARE(picture.pixelColor(0, 0).alpha(), 0);     // a transparent background
    QCOMPARE(picture.pixelColor(16, 16).alpha(), 255); // the connector's face
    QCOMPARE(QAccessible::queryAccessibleInterface(&form)->role(), QAccessible::Window);

    // Each entry's tooltip names its device and what the system knows of it, as it is when the
    // list opens. A screen reader hears the list's label, "Port:", and the selected entry's
    // tooltip as the list's description.
    QAccessibleInterface *list = QAccessible::queryAccessibleInterface(form.Combo1);
    QCOMPARE(list->relations(QAccessible::Label).value(0).first,
             QAccessible::queryAccessibleInterface(form.Label2));
    form.Combo1->setCurrentIndex(4);
    QCOMPARE(list->relations(QAccessible::Label).value(0).first->text(QAccessible::Name),
             u"Port: COM 5"_s); // the list itself names no entry for a screen reader
    QCOMPARE(list->text(QAccessible::Description), u"/dev/ttyUSB0: not present"_s);
    harness.devices = {{u"/dev/ttyUSB0"_s, u"FT232R USB UART"_s, u"FTDI"_s}};
    form.Combo1->showPopup();
    const QString tooltip = form.Combo1->itemData(4, Qt::ToolTipRole).toString();
    QCOMPARE(tooltip, u"/dev/ttyUSB0: FT232R USB UART, FTDI"_s);
    QCOMPARE(list->text(QAccessible::Description), tooltip);
    form.Combo1->hidePopup();
}

void TestApp::savedPort_data()
{
    QTest::addColumn<QByteArray>("file"); // empty: no file
    QTest::addColumn<QString>("selected");
    QTest::newRow("nothing stored") << QByteArray() << u"COM 1"_s;
    QTest::newRow("12") << QByteArray("[Settings]\nCommPort=12\n") << u"COM 12"_s;
    QTest::newRow("13") << QByteArray("[Settings]\nCommPort=13\n") << u"COM 1"_s;
}

void TestApp::savedPort()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, selected);
    FormHarness harness(file);
    QCOMPARE(harness.form().Combo1->currentText(), selected);
    harness.settings.reset(); // a QSettings writes, if at all, when it is synced or dropped
    QFile stored(harness.settingsPath());
    QCOMPARE(stored.open(QIODevice::ReadOnly) ? stored.readAll() : QByteArray(), file);
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
    // The focus is on Exit, and its ring shows from the start which button Space presses.
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QStyleOptionButton exit;
    exit.initFrom(form.Command2);
    QVERIFY(exit.state.testFlags(QStyle::State_HasFocus | QStyle::State_KeyboardFocusChange));

    // Looks at the window from inside the run, while the test yields to the event loop. The log
    // shows the run as it goes, and has the focus with the caret at the line that says the run
    // began, where a screen reader reads; the user selects in it and types, which changes nothing.
    bool looked = false;
    QTimer::singleShot(300, &form, [&] {
        looked = true;
        QCOMPARE(form.TestRunning, kTrue);
        for (const QWidget *control : runControls(form))
            QVERIFY(!control->isEnabled());
        QVERIFY(!form.close()); // refused; only a screen reader hears why
        QVERIFY(form.isVisible());
        QCOMPARE(QAccessible::queryAccessibleInterface(form.Text1)->text(QAccessible::Description),
                 u"The test is running: close the window when it has ended."_s);
        QVERIFY(form.Text1->toPlainText().startsWith(u"Beginning loopback test"_s));
        QCOMPARE(form.Text1->textCursor().block().text(),
                 u"Beginning loopback test on selected port."_s);
        QTest::keyClick(form.Text1, Qt::Key_Down, Qt::ShiftModifier);
        QVERIFY(form.Text1->textCursor().hasSelection());
        QTest::keyClicks(form.Text1, u"typed"_s);
        QTest::keyClick(form.Text1, Qt::Key_Return);
    });
    // What a screen reader learns at each move of the focus, as Qt tells it at that moment. (The
    // offscreen platform sends no accessibility events.)
    QStringList heard;
    const auto hear = connect(qApp, &QApplication::focusChanged, [&](QWidget *, QWidget *now) {
        const QAccessibleInterface *control = QAccessible::queryAccessibleInterface(now);
        heard << control->text(QAccessible::Name) + u" | "_s
                     + control->text(QAccessible::Description);
    });
    QTest::mouseClick(form.Command1, Qt::LeftButton);
    QTRY_VERIFY(form.Command1->hasFocus());
    disconnect(hear);

    QVERIFY(looked);
    // Start, clicked, says what to do; the log takes the focus once, away from the controls the
    // run disables; Start takes it back with the verdict.
    QCOMPARE(
        heard,
        (QStringList{u"Start | 1. Connect your interface cable to your serial port, but do not "
                     "connect it to your radio. 2. Select the port number your interface "
                     "cable is connected to. 3. Click Start to begin the test."_s,
                     u"Log | "_s,
                     u"Start | COM 3: Test passed successfully! Select COM 3 in your "
                     "software."_s}));
    QCOMPARE(form.TestRunning, kFalse);
    for (const QWidget *control : runControls(form))
        QVERIFY(control->isEnabled());
    QString log = u"Beginning loopback test on selected port.\nPlease wait for test to complete..."
                  "\n\nCOM 3: \n"_s;
    for (int value = 0; value <= LoopbackTest::kLastValue; ++value)
        log += u"%1 "_s.arg(value, 2, 16, QChar(u'0')).toUpper();
    log += u"\n\nCOM 3: Test passed successfully!\nSelect COM 3 in your software.\nOn this "
           "computer COM 3 is %1.\n"_s.arg(cable.devicePath());
    // The caret waits at the verdict for a screen reader's user who goes back into the log.
    const QTextCursor caret = form.Text1->textCursor();
    QVERIFY(!caret.hasSelection() && caret.atBlockStart());
    QCOMPARE(caret.block().text(), u"COM 3: Test passed successfully!"_s);
    QCOMPARE(form.Combo1->currentText(), u"COM 3"_s); // the run leaves the selection alone

    // The document and the screen reader's text are the log, at once after the run and after
    // zooming in and out: the dump is one paragraph that reflows.
    QAccessibleInterface *pane = QAccessible::queryAccessibleInterface(form.Text1);
    QCOMPARE(pane->text(QAccessible::Name), u"Log"_s);
    const QTextBlock dumpBlock = form.Text1->document()->findBlockByNumber(4);
    QList<qreal> heights;
    for (const int zoom : {0, 3, -3}) { // as Ctrl+wheel does
        form.Text1->zoomIn(zoom);
        QCOMPARE(pane->textInterface()->text(0, pane->textInterface()->characterCount()), log);
        QCOMPARE(form.Text1->toPlainText(), log);
        heights << form.Text1->document()->documentLayout()->blockBoundingRect(dumpBlock).height();
    }
    QVERIFY(heights[1] > heights[0] && heights[2] == heights[0]);
    // A CR that ends one text and an LF that opens the next make one line break.
    form.Testout(u"\r"_s);
    form.Testout(u"\nnext"_s);
    form.Text1->flush();
    QCOMPARE(form.Text1->toPlainText(), log + u"\nnext"_s);

    QVERIFY(form.close()); // the same request succeeds after the run
}

void TestApp::help_data()
{
    QTest::addColumn<QString>("readme"); // "file", "directory" or "none"
    QTest::addColumn<int>("opener");     // the exit status of xdg-open; -1: there is none
    QTest::addColumn<bool>("ownWindow"); // Tollbeck shows the text itself
    QTest::newRow("file") << u"file"_s << 0 << false;
    QTest::newRow("file, xdg-open has no method for it") << u"file"_s << 3 << true;
    QTest::newRow("file, no xdg-open") << u"file"_s << -1 << true;
    QTest::newRow("directory named readme.txt") << u"directory"_s << 0 << false;
    QTest::newRow("none") << u"none"_s << 0 << false;
}

void TestApp::help()
{
    QFETCH(QString, readme);
    QFETCH(int, opener);
    QFETCH(bool, ownWindow);
    FormHarness harness;
    const QString path = harness.helpDir() + u"/readme.txt"_s;
    QVERIFY(QDir().mkpath(readme == u"directory"_s ? path : harness.helpDir()));
    QVERIFY(readme != u"file"_s || writeFile(path, "Help\n"));
    // The only xdg-open on the PATH notes what it is asked to open and exits as the row says.
    const QString noted = harness.dir.filePath(u"opened"_s);
    const QString script = u"#!/bin/sh\necho \"$1\" >'%1'\nexit %2\n"_s.arg(noted).arg(opener);
    QFile::remove(m_path.filePath(u"xdg-open"_s));
    QVERIFY(opener < 0 || writeFile(m_path.filePath(u"xdg-open"_s), script.toUtf8()));

    Form1 &form = harness.form();
    form.show();
    QTest::mouseClick(form.Command3, Qt::LeftButton);
    QTest::qWait(200); // Help does not wait for the opener; its exit is heard meanwhile
    QFile opened(noted);
    QCOMPARE(opened.open(QIODevice::ReadOnly) ? opened.readAll() : QByteArray(),
             readme == u"none"_s || opener < 0 ? QByteArray() : QFile::encodeName(path) + '\n');
    // When the desktop cannot show the file, a window of our own shows its text.
    QTRY_COMPARE(form.findChild<QPlainTextEdit *>(u"HelpText"_s) != nullptr, ownWindow);
    if (auto *own = form.findChild<QPlainTextEdit *>(u"HelpText"_s)) {
        QVERIFY(own->isWindow() && own->isVisible() && own->isReadOnly());
        QCOMPARE(own->toPlainText(), u"Help\n"_s);
        QTest::keyClick(own, Qt::Key_Down); // a screen reader reads the line the caret reaches
        QCOMPARE(own->textCursor().blockNumber(), 1);
    }
}

void TestApp::exitStoresThePort()
{
    const QByteArray before = "; my shack\n[Ports]\nCOM1=/dev/ttyUSB7\n";
    FormHarness harness(before);
    Form1 &form = harness.form();
    form.Combo1->setCurrentIndex(11);
    QVERIFY(form.close()); // the close box saves nothing
    QFile file(harness.settingsPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
    file.close();
    form.show();
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    QVERIFY(!form.isVisible() && harness.warnings.isEmpty());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    QCOMPARE(written, before + "[Settings]\nCommPort=12\n"); // the user's lines are kept
    FormHarness next(written);
    QCOMPARE(next.form().Combo1->currentText(), u"COM 12"_s); // and the next start reads it
}

// No port passes: Start tells a screen reader why, with the causes the log names. The run takes
// a few milliseconds, but the log keeps the focus long enough for a screen reader to catch up,
// or Start taking it back would go unspoken.
void TestApp::failingWalkIsHeard()
{
    FormHarness harness;
    PortMap ports = PortMap::defaults();
    for (int port = 1; port <= kLastPort; ++port)
        ports.setDevice(port, harness.dir.filePath(u"missing%1"_s.arg(port)));
    harness.devices = {{harness.dir.filePath(u"ttyUSB9"_s), {}, {}}};
    Form1 &form = harness.form(ports);
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QElapsedTimer inLog;
    const auto watch = connect(qApp, &QApplication::focusChanged, [&](QWidget *, QWidget *now) {
        if (now == form.Text1)
            inLog.start();
    });
    QTest::mouseClick(form.Command1, Qt::LeftButton);
    QTRY_VERIFY(form.Command1->hasFocus());
    disconnect(watch);
    QCOMPARE_GE(inLog.elapsed(), 400);
    QCOMPARE(form.Command1->accessibleDescription(),
             u"Test failed on all ports tested. COM 1, the port you selected, could not be opened: "
             "%1 is not there. Serial devices not in the port list: %2. Map one to a COM "
             "number in Tollbeck's settings file under [Ports]."_s.arg(ports.device(1),
                                                                       harness.devices[0].path));
}

QTEST_MAIN(TestApp)
#include "tst_app.moc"
