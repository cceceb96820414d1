#include "app/form1.h"
#include "loopback/runclock.h"
#include "version.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QSettings>
#include <QUrl>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QString title = QString::fromLatin1(Version::kTitle);
    QApplication::setOrganizationName(title);
    QApplication::setApplicationName(title);
    QApplication::setDesktopFileName(QStringLiteral("tollbeck"));

    // The one settings store: ~/.config/Tollbeck/Tollbeck.conf on Linux. [Settings] holds the
    // saved port, [Ports] the user's COM-to-device map.
    QSettings settings; // native format, user scope, the names above
    EventLoopClock clock;
    Desktop desktop{
        [](QWidget *owner, const QString &boxTitle, const QString &text) {
            QMessageBox::warning(owner, boxTitle, text);
        },
        [](QWidget *, const QString &path) {
            return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
        },
        QCoreApplication::applicationDirPath(),
    };

    Form1 form(settings,
               PortMap::withOverrides(settings),
               SerialDevices::system(),
               clock,
               std::move(desktop));
    form.show();
    return app.exec();
}
