// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "app/form1.h"
#include "loopback/runclock.h"

#include <QSettings>
#include <QTemporaryDir>

#include <memory>

// Writes a file whole, readable, writable and executable by its owner.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
           && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// A Form1 wired to a settings file in a temporary directory, to a desktop that records the
// warning boxes instead of showing them and opens documents with whatever xdg-open the PATH
// holds, and to a list of serial devices that the test fills.
class FormHarness
{
public:
    // Writes the settings file first unless settingsFile is empty.
    explicit FormHarness(const QByteArray &settingsFile = {})
    {
        if (!settingsFile.isEmpty())
            writeFile(settingsPath(), settingsFile);
        settings = std::make_unique<QSettings>(settingsPath(), QSettings::IniFormat);
    }

    Form1 &form(PortMap ports = PortMap::defaults())
    {
        const auto warn = [this](QWidget *, const QString &title, const QString &text) {
            warnings << title + QStringLiteral("|") + text;
        };
        if (!m_form)
            m_form = std::make_unique<Form1>(*settings,
                                             std::move(ports),
                                             SerialDevices([this] { return devices; },
                                                           dir.filePath(QStringLiteral("by-id"))),
                                             *clock,
                                             Desktop{warn, systemDesktop().open, helpDir()});
        return *m_form;
    }

    QString settingsPath() const { return dir.filePath(QStringLiteral("Tollbeck.conf")); }
    QString helpDir() const { return dir.filePath(QStringLiteral("program")); }

    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<RunClock> clock = std::make_unique<EventLoopClock>();
    QStringList warnings;
    QList<SerialDevice> devices; // what the system lists

private:
    std::unique_ptr<Form1> m_form;
};
