// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/form1.h"
#include "app/terminal.h"
#include "loopback/runclock.h"
#include "version.h"

#include <QApplication>
#include <QSettings>

#include <cstdio>
#include <cstring>

#include <sys/prctl.h>

namespace {

void nameTheApplication()
{
    const QString title = QString::fromLatin1(Version::kTitle);
    QCoreApplication::setOrganizationName(title);
    QCoreApplication::setApplicationName(title);
    QCoreApplication::setApplicationVersion(QLatin1String(Version::kVersion));
}

// The window takes no arguments, but a session manager restores it with -session ID.
bool wantsTheWindow(int argc, char *argv[])
{
    return argc == 1 || (argc == 3 && std::strcmp(argv[1], "-session") == 0);
}

} // namespace

int main(int argc, char *argv[])
{
    // By default the kernel may let a sleep run 50 us long to batch wake-ups. A run sleeps 257
    // times for a few milliseconds, and each pause must end promptly: ask for 1 us instead.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    EventLoopClock clock;

    // Any argument is for the terminal, which needs no display: decide before an application
    // object exists, as a QApplication would go looking for one.
    if (!wantsTheWindow(argc, argv)) {
        QCoreApplication app(argc, argv);
        nameTheApplication();
        const QSettings settings; // only read: the terminal changes no setting
        MSComm comm(PortMap::withOverrides(settings));
        return Terminal::run(QCoreApplication::arguments(),
                             settings,
                             comm,
                             clock,
                             SerialDevices::system());
    }

    // Without any, Qt would abort advising a reinstall.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs("tollbeck: no display to show the window on. To test a cable from this "
                   "terminal, run tollbeck --check; tollbeck --help tells more.\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    nameTheApplication();
    QApplication::setDesktopFileName(QStringLiteral("tollbeck"));
    // The one settings store, ~/.config/Tollbeck/Tollbeck.conf on Linux (native format, user
    // scope, the names above): [Settings] holds the saved port, [Ports] the user's COM-to-device
    // map.
    QSettings settings;
    Form1 form(settings,
               PortMap::withOverrides(settings),
               SerialDevices::system(),
               clock,
               systemDesktop());
    form.show();
    return app.exec();
}
