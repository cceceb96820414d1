// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "app/desktop.h"
#include "app/logpane.h"
#include "app/portlist.h"
#include "loopback/loopbacktest.h"
#include "serial/mscomm.h"
#include "support/module1.h"

#include <QWidget>

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
          SerialDevices devices,
          RunClock &clock,
          Desktop desktop,
          QWidget *parent = nullptr);
    ~Form1() override;

    // The window's own operations.
    void Test();
    void Testout(const QString &text) override;
    void InitPort();

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
    QPushButton *Command3; // Help
    QGroupBox *Frame1;     // the border around the three instructions
    QLabel *Label4;        // instruction 3: click Start
    QLabel *Label3;        // instruction 2: select the port
    QLabel *Label1;        // instruction 1: connect the cable, not the radio
    PortList *Combo1;      // the port list, COM 1 to COM 12
    MSComm MSComm1;        // the serial control; nothing of it shows
    QPushButton *Command1; // Start
    LogPane *Text1;        // the log pane
    QPushButton *Command2; // Exit
    QLabel *Label2;        // "Port:"

protected:
    void closeEvent(QCloseEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void Form_Load();
    void centreOnScreen();
    QStringList portTooltips() const;
    void showHelpText(const QString &path);
    void namePortLabel();

    // A run's two moments, as the window shows them.
    void beginRun();
    void showRunBegun();
    void endRun();
    QStringList verdictLines() const;
    void enableControls(bool enabled);

    void setTestRunning(bool running) override;
    void setControlsEnabled(bool enabled) override;
    void clearLog() override;

    QSettings &m_settings;
    SerialDevices m_devices;
    RunClock &m_clock;
    Desktop m_desktop;
    QPlainTextEdit *m_helpText = nullptr; // made when the desktop cannot show the help file
    bool m_centredWithFrame = false;
    bool m_awaitingFirstLine = false; // a run has begun and its log is still empty
};
