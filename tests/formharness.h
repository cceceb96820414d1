#pragma once

#include "app/form1.h"
#include "loopback/runclock.h"

#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A Form1 wired to a settings file in a temporary directory, to a desktop that records the
// warning boxes and opened documents instead of showing them, and to a list of serial devices
// and a directory of stable names that the test fills.
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
        if (!m_form)
            m_form
                = std::make_unique<Form1>(*settings,
                                          std::move(ports),
                                          SerialDevices([this] { return devices; }, stableNames()),
                                          *clock,
                                          desktop());
        return *m_form;
    }

    QString settingsPath() const { return dir.filePath(QStringLiteral("Tollbeck.conf")); }
    QString helpDir() const { return dir.filePath(QStringLiteral("program")); }
    QString stableNames() const { return dir.filePath(QStringLiteral("by-id")); }

    Desktop desktop()
    {
        return Desktop{[this](QWidget *, const QString &title, const QString &text) {
                           warnings << title + QStringLiteral("|") + text;
                       },
                       [this](QWidget *, const QString &path) {
                           opened << path;
                           return viewerOpens;
                       },
                       helpDir()};
    }

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
