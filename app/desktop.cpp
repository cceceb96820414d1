// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/desktop.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

// xdg-open hands the file to the desktop's viewer and tells by its exit status whether it could
// (3: no method available, as on a bare window manager). Qt's desktop services start it and
// report success as soon as it runs, so run it here and hear how it ends without waiting.
void openDocument(QWidget *owner, const QString &path, const std::function<void()> &failed)
{
    const QString opener = QStandardPaths::findExecutable(u"xdg-open"_s);
    if (opener.isEmpty()) {
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
            failed();
        return;
    }
    // Not the window's child: closing the window must not end the opener, nor a viewer that it
    // waits for.
    auto *process = new QProcess;
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    const auto ended = [process, window = QPointer<QWidget>(owner), failed](bool shown) {
        process->deleteLater();
        if (!shown && window)
            failed();
    };
    QObject::connect(process,
                     &QProcess::finished,
                     process,
                     [ended](int exitCode, QProcess::ExitStatus exitStatus) {
                         ended(exitStatus == QProcess::NormalExit && exitCode == 0);
                     });
    QObject::connect(process, &QProcess::errorOccurred, process, [ended](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) // otherwise it ran, and finished tells how it ended
            ended(false);
    });
    process->start(opener, {path});
}

} // namespace

Desktop systemDesktop()
{
    return {
        [](QWidget *owner, const QString &title, const QString &text) {
            QMessageBox::warning(owner, title, text);
        },
        openDocument,
        QCoreApplication::applicationDirPath(),
    };
}
