// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// /proc/consoles and /sys/class/tty/console/active, the two split at the input's first NUL:
// every console named is a path under /dev/, one word long.

#include "serial/consoles.h"
#include "fuzz/fuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = fuzzInput(data, size);
    const qsizetype split = text.indexOf('\0');
    const QByteArray consoles = split < 0 ? text : text.left(split);
    const QByteArray active = split < 0 ? QByteArray() : text.mid(split + 1);
    for (const QString &path : consoleDevices(consoles, active)) {
        expect(path.startsWith(QStringLiteral("/dev/")) && path.size() > 5, "a path under /dev/");
        for (const QChar c : path) // the kernel's separators; the name's own bytes may be any
            expect(c != u' ' && c != u'\t' && c != u'\n' && c != u'\r', "one word");
    }
    return 0;
}
