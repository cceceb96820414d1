#include "tests/formharness.h"

#include <QClipboard>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestApp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void layout_data();
    void layout();
    void frameAndCaption();
    void fonts();
    void portList();
    void tabOrderStartsOnExit();
    void savedPort_data();
    void savedPort();
    void logAppendsAtTheEnd();
    void logLineBreaks();
    void logRejectsTyping();
};

void TestApp::initTestCase()
{
    FormHarness harness;
    if (harness.form().logicalDpiX() != 96 || harness.form().logicalDpiY() != 96)
        QSKIP("The layout figures below are for a 96 DPI screen.");
}

void TestApp::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips");
    // Positions of the labels are inside Frame1.
    QTest::newRow("Command3") << u"Command3"_s << QRect(5355, 810, 1455, 375);
    QTest::newRow("Frame1") << u"Frame1"_s << QRect(135, 45, 4875, 1365);
    QTest::newRow("Label4") << u"Label4"_s << QRect(180, 900, 4560, 240);
    QTest::newRow("Label3") << u"Label3"_s << QRect(180, 675, 4560, 195);
    QTest::newRow("Label1") << u"Label1"_s << QRect(180, 270, 4560, 420);
    QTest::newRow("Combo1") << u"Combo1"_s << QRect(720, 1575, 1140, -1);
    QTest::newRow("Command1") << u"Command1"_s << QRect(5355, 315, 1455, 375);
    QTest::newRow("Text1") << u"Text1"_s << QRect(90, 2025, 6900, 3840);
    QTest::newRow("Command2") << u"Command2"_s << QRect(5355, 1305, 1455, 375);
    QTest::newRow("Label2") << u"Label2"_s << QRect(180, 1620, 555, 285);
}

void TestApp::layout()
{
    QFETCH(QString, name);
    QFETCH(QRect, twips);
    FormHarness harness;
    const auto *control = harness.form().findChild<QWidget *>(name);
    QVERIFY(control);
    const QRect pixels = control->geometry();
    QCOMPARE(pixels.x(), twips.x() / 15);
    QCOMPARE(pixels.y(), twips.y() / 15);
    QCOMPARE(pixels.width(), twips.width() / 15);
    if (twips.height() > 0)
        QCOMPARE(pixels.height(), twips.height() / 15);
    else
        QCOMPARE(pixels.height(), control->sizeHint().height()); // follows its font
    const bool inFrame = name.startsWith(u"Label"_s) && name != u"Label2"_s;
    QCOMPARE(control->parentWidget()->objectName(), inFrame ? u"Frame1"_s : QString());
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
    QVERIFY(form.Frame1->title().isEmpty());

    QCOMPARE(form.Command1->text(), u"&Start"_s);
    QCOMPARE(form.Command3->text(), u"&Help"_s);
    QCOMPARE(form.Command2->text(), u"&Exit"_s);
    QCOMPARE(form.Command1->shortcut(), QKeySequence(Qt::ALT | Qt::Key_S));
    QCOMPARE(form.Command3->shortcut(), QKeySequence(Qt::ALT | Qt::Key_H));
    QCOMPARE(form.Command2->shortcut(), QKeySequence(Qt::ALT | Qt::Key_E));
    for (const QPushButton *button : {form.Command1, form.Command2, form.Command3})
        QVERIFY(!button->isDefault() && !button->autoDefault());
    QCOMPARE(form.TestRunning, kFalse);
}

void TestApp::fonts()
{
    FormHarness harness;
    Form1 &form = harness.form();
    const QFontInfo list(form.Combo1->font());
    const QFontMetrics listMetrics(form.Combo1->font());
    QCOMPARE(listMetrics.horizontalAdvance(u'i'), listMetrics.horizontalAdvance(u'W'));
    QCOMPARE(form.Combo1->font().pointSizeF(), 9.0);
    QCOMPARE(list.weight(), int(QFont::Normal));

    const QFontInfo label(form.Label2->font());
    const QFontMetrics labelMetrics(form.Label2->font());
    QVERIFY(labelMetrics.horizontalAdvance(u'i') < labelMetrics.horizontalAdvance(u'W'));
    QCOMPARE(form.Label2->font().pointSizeF(), 9.75);
    QCOMPARE(label.weight(), int(QFont::Bold));

    // The instructions must fit their boxes: the second and third lines take one line each.
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
    QCOMPARE(form.Combo1->itemData(4, Qt::ToolTipRole).toString(), u"/dev/ttyUSB0"_s);

    // Typing only moves between the entries; no new text appears.
    form.show();
    form.Combo1->setFocus();
    QTest::keyClicks(form.Combo1, u"COM 99"_s);
    QCOMPARE(form.Combo1->count(), 12);
    QVERIFY(form.Combo1->findText(form.Combo1->currentText()) >= 0);
}

void TestApp::tabOrderStartsOnExit()
{
    FormHarness harness;
    Form1 &form = harness.form();
    form.show();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), form.Command2);
    const QWidget *expected[] = {form.Text1, form.Command1, form.Combo1, form.Command3,
                                 form.Command2};
    for (const QWidget *next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
}

void TestApp::savedPort_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QString>("selected");
    QTest::newRow("nothing stored") << QByteArray() << false << u"COM 1"_s;
    QTest::newRow("12") << QByteArray("[Settings]\nCommPort=12\n") << true << u"COM 12"_s;
    QTest::newRow("7") << QByteArray("[Settings]\nCommPort=7\n") << true << u"COM 7"_s;
    QTest::newRow("0") << QByteArray("[Settings]\nCommPort=0\n") << true << u"COM 1"_s;
    QTest::newRow("13") << QByteArray("[Settings]\nCommPort=13\n") << true << u"COM 1"_s;
    QTest::newRow("abc") << QByteArray("[Settings]\nCommPort=abc\n") << true << u"COM 1"_s;
    QTest::newRow("empty") << QByteArray("[Settings]\nCommPort=\n") << true << u"COM 1"_s;
    QTest::newRow("leading space") << QByteArray("[Settings]\nCommPort=\" 3\"\n") << true
                                   << u"COM 1"_s;
    QTest::newRow("list") << QByteArray("[Settings]\nCommPort=1, 2\n") << true << u"COM 1"_s;
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

void TestApp::logRejectsTyping()
{
    FormHarness harness;
    Form1 &form = harness.form();
    form.show();
    QVERIFY(form.Text1->isReadOnly());
    form.Text1->setFocus();
    QTest::keyClicks(form.Text1, u"typed"_s);
    QTest::keyClick(form.Text1, Qt::Key_Return);
    QVERIFY(form.Text1->toPlainText().isEmpty());
    form.Testout(u"logged"_s);
    QCOMPARE(form.Text1->toPlainText(), u"logged"_s);
}

QTEST_MAIN(TestApp)
#include "tst_app.moc"
