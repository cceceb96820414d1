// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "app/desktop.h"
#include "app/logpane.h"
#include "app/portlist.h"
#include "loopback/loopbacktest.h"
#include "loopback/runreport.h"
#include "serial/mscomm.h"
#include "support/module1.h"

#include <QWidget>

class QGroupBox;
class QLabel;
class QPushButton;
class QSettings;
class RunClock;

// The one window: instructions, the port list, Start, Help, Exit and the log pane.
class Form1 : public QWidget, private LogWriter
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

    // What the window does when a run starts and ends; the log's texts come between.
    void runStarted(const RunRecord &run) override;
    void runEnded(const RunRecord &run) override;
    // Start, Exit, Help and the port list, in that order.
    void setControlsEnabled(bool enabled);

    QSettings &m_settings;
    SerialDevices m_devices;
    RunClock &m_clock;
    Desktop m_desktop;
    QPlainTextEdit *m_helpText = nullptr; // made when the desktop cannot show the help file
    bool m_centredWithFrame = false;
};
