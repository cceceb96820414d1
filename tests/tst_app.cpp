// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "tests/formharness.h"
#include "tools/virtualcable.h"

#include <QClipboard>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
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
    void portList();
    void savedPort_data();
    void savedPort();
    void log();
    void startRunsTheTestWhileTheWindowWaits();
    void help_data();
    void help();
    void exitStoresThePort();
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
    // The icon's pictures are there, in the sizes a desktop asks for.
    const QIcon icon = form.windowIcon();
    QCOMPARE(icon.availableSizes(),
             (QList<QSize>{{32, 32}, {48, 48}, {64, 64}, {128, 128}, {256, 256}}));
    const QImage picture = icon.pixmap(32).toImage();
    QCOMPARE(picture.pixelColor(0, 0).alpha(), 0);     // a transparent background
    QCOMPARE(picture.pixelColor(16, 16).alpha(), 255); // the connector's face
}

void TestApp::portList()
{
    FormHarness harness;
    Form1 &form = harness.form();
    // Each entry's tooltip names its device and what the system knows of it, as it is when
    // the list opens.
    const auto tooltip
        = [&](int port) { return form.Combo1->itemData(port - 1, Qt::ToolTipRole).toString(); };
    QCOMPARE(tooltip(5), u"/dev/ttyUSB0: not present"_s);
    harness.devices = {{u"/dev/ttyUSB0"_s, u"FT232R USB UART"_s, u"FTDI"_s}};
    form.Combo1->showPopup();
    QCOMPARE(tooltip(5), u"/dev/ttyUSB0: FT232R USB UART, FTDI"_s);
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

void TestApp::log()
{
    FormHarness harness;
    Form1 &form = harness.form();
    form.show();
    form.Testout(u"one\r\ntwo\r"_s); // CR and LF in separate calls still make one break
    form.Testout(u"\n"_s);
    // The user's caret and selection do not decide where the text goes.
    QTextCursor selection = form.Text1->textCursor();
    selection.setPosition(1);
    selection.setPosition(3, QTextCursor::KeepAnchor);
    form.Text1->setTextCursor(selection);
    form.Testout(u"three"_s);
    QCOMPARE(form.Text1->text(), u"one\ntwo\nthree"_s);
    QVERIFY(!form.Text1->textCursor().hasSelection());
    QCOMPARE(form.Text1->textCursor().position(), 13);

    // A line that wraps in the pane is still one line of the log.
    const QString dump = u" A5"_s.repeated(300);
    for (qsizetype i = 0; i < dump.size(); i += 3)
        form.Testout(dump.mid(i, 3));
    QCOMPARE(form.Text1->text(), u"one\ntwo\nthree"_s + dump);
    QCOMPARE_GT(form.Text1->document()->blockCount(), 10); // the pane's own line breaks

    // The user can copy the lines but not type into them.
    form.Text1->setFocus();
    QTest::keyClicks(form.Text1, u"typed"_s);
    QTest::keyClick(form.Text1, Qt::Key_Return);
    QTextCursor fromThree = form.Text1->textCursor();
    fromThree.setPosition(8);
    fromThree.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    form.Text1->setTextCursor(fromThree);
    form.Text1->copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), u"three"_s + dump);
    form.Text1->selectAll();
    form.Text1->copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), u"one\ntwo\nthree"_s + dump);

    // Selected, it looks as it would had the pane been given the whole text at once.
    form.Text1->clearFocus(); // no blinking caret
    const QImage appended = form.Text1->viewport()->grab().toImage();
    form.Text1->setPlainText(form.Text1->text());
    form.Text1->selectAll();
    QCOMPARE(form.Text1->viewport()->grab().toImage(), appended);
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
    QVERIFY(form.Text1->text().endsWith(
        u"\n\nCOM 3: Test passed successfully!\nSelect COM 3 in your software.\n"
        "On this computer COM 3 is %1.\n"_s.arg(cable.devicePath())));
    QCOMPARE(form.Text1->textCursor().position(), form.Text1->document()->characterCount() - 1);
    QCOMPARE(form.Combo1->currentText(), u"COM 3"_s); // the run leaves the selection alone

    QVERIFY(form.close()); // the same request succeeds after the run
}

void TestApp::help_data()
{
    QTest::addColumn<QString>("readme"); // "file", "directory" or "none"
    QTest::addColumn<bool>("viewer");    // the desktop opens it
    QTest::newRow("file") << u"file"_s << true;
    QTest::newRow("file, no viewer") << u"file"_s << false;
    QTest::newRow("directory named readme.txt") << u"directory"_s << true;
    QTest::newRow("none") << u"none"_s << false;
}

void TestApp::help()
{
    QFETCH(QString, readme);
    QFETCH(bool, viewer);
    FormHarness harness;
    harness.viewerOpens = viewer;
    const QString path = harness.helpDir() + u"/readme.txt"_s;
    QVERIFY(QDir().mkpath(readme == u"directory"_s ? path : harness.helpDir()));
    QFile file(path);
    QVERIFY(readme != u"file"_s || (file.open(QIODevice::WriteOnly) && file.write("Help\n") == 5));
    file.close();
    Form1 &form = harness.form();
    form.show();
    QTest::mouseClick(form.Command3, Qt::LeftButton);
    QCOMPARE(harness.opened, readme == u"none"_s ? QStringList() : QStringList{path});

    // When the desktop cannot show the file, a window of our own shows its text.
    const auto *own = form.findChild<QPlainTextEdit *>(u"HelpText"_s);
    QCOMPARE(own != nullptr, readme == u"file"_s && !viewer);
    if (own) {
        QVERIFY(own->isWindow() && own->isVisible() && own->isReadOnly());
        QCOMPARE(own->toPlainText(), u"Help\n"_s);
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

QTEST_MAIN(TestApp)
#include "tst_app.moc"
