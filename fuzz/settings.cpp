// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// The settings file, as a user may have edited it: read as the program reads it (the saved port,
// the port map), then Exit's save of the selected port. After the save the file must give that
// port, and every other value as before.

#include "fuzz/fuzzing.h"
#include "serial/portmap.h"
#include "serial/portnumber.h"
#include "support/inifile.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QTemporaryDir dir;
    // A new name each time: QSettings keeps what it read of a file while its size and time
    // stamp stay the same.
    static int count = 0;
    const QString path = dir.filePath(QStringLiteral("Tollbeck-%1.conf").arg(++count));
    {
        QFile file(path);
        expect(file.open(QIODevice::WriteOnly) && file.write(fuzzInput(data, size)) == qint64(size),
               "the input is written");
    }
    QSettings before(path, QSettings::IniFormat);
    const qint16 saved = savedPort(before);
    expect(saved >= 1 && saved <= kLastPort, "the saved port is a port");
    (void) PortMap::withOverrides(before).devices();

    const qint16 chosen = saved % kLastPort + 1;
    // A save that does not read back must say so.
    const std::optional<QString> failure
        = setIniValue(path, savedPortGroup(), savedPortKey(), QString::number(chosen));
    const QSettings after(path, QSettings::IniFormat);
    expect(failure || savedPort(after) == chosen, "the port saved is the port read back");
    const QString savedKey = savedPortGroup() + u'/' + savedPortKey();
    for (const QString &key : before.allKeys()) {
        if (key != savedKey)
            expect(after.value(key) == before.value(key), "every other value stays");
    }
    QFile::remove(path);
    return 0;
}
