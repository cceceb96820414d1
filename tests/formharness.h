// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "app/form1.h"
#include "loopback/runclock.h"

#include <QSettings>
#include <QTemporaryDir>

#include <memory>

// A Form1 wired to a settings file in a temporary directory, to a desktop that records the
// warning boxes and opened documents instead of showing them, and to a list of serial devices
// that the test fills.
class FormHarness
{
public:
    // Writes the settings file first unless settingsFile is empty.
    explicit FormHarness(const QByteArray &settingsFile = {})
    {
        QFile file(settingsPath());
        if (!settingsFile.isEmpty() && file.open(QIODevice::WriteOnly))
            file.write(settingsFile);
        file.close();
        settings = std::make_unique<QSettings>(settingsPath(), QSettings::IniFormat);
    }

    Form1 &form(PortMap ports = PortMap::defaults())
    {
        const auto warn = [this](QWidget *, const QString &title, const QString &text) {
            warnings << title + QStringLiteral("|") + text;
        };
        const auto open = [this](QWidget *, const QString &path) {
            opened << path;
            return viewerOpens;
        };
        if (!m_form)
            m_form = std::make_unique<Form1>(*settings,
                                             std::move(ports),
                                             SerialDevices([this] { return devices; },
                                                           dir.filePath(QStringLiteral("by-id"))),
                                             *clock,
                                             Desktop{warn, open, helpDir()});
        return *m_form;
    }

    QString settingsPath() const { return dir.filePath(QStringLiteral("Tollbeck.conf")); }
    QString helpDir() const { return dir.filePath(QStringLiteral("program")); }

    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<RunClock> clock = std::make_unique<EventLoopClock>();
    QStringList warnings;
    QStringList opened;
    bool viewerOpens = true;
    QList<SerialDevice> devices; // what the system lists

private:
    std::unique_ptr<Form1> m_form;
};
