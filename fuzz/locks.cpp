// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// A line of /proc/locks: what is taken from it must be what it says, field by field.

#include "fuzz/fuzzing.h"
#include "serial/portholders.h"

#include <QList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = fuzzInput(data, size);
    const std::optional<LockLine> line = locksLine(text);
    if (!line)
        return 0;
    // "1: FLOCK  ADVISORY  WRITE 4242 00:1a:7 0 EOF"
    const QList<QByteArray> words = text.simplified().split(' ');
    expect(words.size() >= 6 && words[0].endsWith(':'), "a holder's line has six words at least");
    expect(words[1] == "FLOCK" || words[1] == "POSIX", "the lock is a flock or a POSIX lock");
    bool ok = false;
    expect(line->pid > 0 && words[4].toLongLong(&ok) == line->pid && ok, "the pid");
    const QList<QByteArray> node = words[5].split(':');
    expect(node.size() >= 3, "the node is major:minor:inode");
    expect(node[0].toUInt(&ok, 16) == line->fileSystemMajor && ok, "the major number");
    expect(node[1].toUInt(&ok, 16) == line->fileSystemMinor && ok, "the minor number");
    expect(node[2].toULongLong(&ok) == line->inode && ok, "the inode");
    return 0;
}
