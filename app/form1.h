#pragma once

// Tollbeck checks a radio interface cable on a serial port before it meets the radio.
// The code lives in four rooms:
//   app/       this window, Form1, its log pane, LogPane, and main(), which wires the real
//              parts together;
//   serial/    MSComm, our serial control over QSerialPort, the COM-to-device map, the errors,
//              and the port configuration that InitPort applies;
//   loopback/  LoopbackTest, the test procedure, which sees this window, the serial control
//              and the clock only through narrow interfaces;
//   support/   Module1: HiResDelay and FileExists.
// A run: Start -> Test -> LoopbackTest::run, which calls back InitPort (configure MSComm1) and
// Testout (append to the log), drives MSComm1 and waits on the RunClock until the run ends.

#include "app/desktop.h"
#include "app/logpane.h"
#include "loopback/loopbacktest.h"
#include "serial/mscomm.h"
#include "support/module1.h"

#include <QWidget>

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QSettings;
class RunClock;

// The one window: instructions, the port list, Start, Help, Exit and the log pane.
class Form1 : public QWidget, private RunWindow
{
    Q_OBJECT

public:
    Form1(QSettings &settings,
          PortMap ports,
          RunClock &clock,
          Desktop desktop,
          QWidget *parent = nullptr);
    ~Form1() override;

    // The window's own operations.
    void Test();
    void Testout(const QString &text) override;
    void InitPort() override;

    // The event handlers.
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Form_QueryUnload(Boolean &cancel, qint16 unloadMode);

    // Reasons for a close request, as the close guard receives them.
    enum UnloadMode : qint16 { FormControlMenu = 0, FormCode = 1, AppWindows = 2 };

    // True exactly while a test runs.
    Boolean TestRunning = kFalse;

    // The controls, by their layout names, in the order the window creates them.
    QPushButton *Command3;
    QGroupBox *Frame1;
    QLabel *Label4;
    QLabel *Label3;
    QLabel *Label1;
    QComboBox *Combo1;
    MSComm MSComm1;
    QPushButton *Command1;
    LogPane *Text1;
    QPushButton *Command2;
    QLabel *Label2;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void Form_Load();
    void place(QWidget *control, int left, int top, int width, int height) const;

    void setTestRunning(bool running) override;
    void setControlsEnabled(bool enabled) override;
    void clearLog() override;
    QString portText() const override;

    QSettings &m_settings;
    RunClock &m_clock;
    Desktop m_desktop;
    // The last text appended ended in CR; an LF that opens the next one completes that break.
    bool m_logEndsInCr = false;
};
