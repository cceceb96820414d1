// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// A lock file's first bytes, which any local user may write: the process number they give must
// be the number written there, or none.

#include "fuzz/fuzzing.h"
#include "serial/portholders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = fuzzInput(data, size);
    const qint64 pid = lockFileProcess(text);
    expect(pid >= 0, "a process number is positive");
    if (pid > 0) {
        bool ok = false;
        const QByteArray word = text.simplified().split(' ').constFirst();
        expect(word.toLongLong(&ok) == pid && ok, "the process number is the file's first word");
    }
    return 0;
}
