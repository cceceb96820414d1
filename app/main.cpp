// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/form1.h"
#include "loopback/runclock.h"
#include "version.h"

#include <QApplication>
#include <QSettings>

#include <sys/prctl.h>

int main(int argc, char *argv[])
{
    // By default the kernel may let a sleep run 50 us long to batch wake-ups. A run sleeps 257
    // times for a few milliseconds, and each pause must end promptly: ask for 1 us instead.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    QApplication app(argc, argv);
    const QString title = QString::fromLatin1(Version::kTitle);
    QApplication::setOrganizationName(title);
    QApplication::setApplicationName(title);
    QApplication::setDesktopFileName(QStringLiteral("tollbeck"));

    // The one settings store: ~/.config/Tollbeck/Tollbeck.conf on Linux. [Settings] holds the
    // saved port, [Ports] the user's COM-to-device map.
    QSettings settings; // native format, user scope, the names above
    EventLoopClock clock;
    Form1 form(settings,
               PortMap::withOverrides(settings),
               SerialDevices::system(),
               clock,
               systemDesktop());
    form.show();
    return app.exec();
}
