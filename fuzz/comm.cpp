// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// /proc/PID/comm, which any process sets for itself: the name a log line gives it holds no
// control character that a terminal would obey.

#include "fuzz/fuzzing.h"
#include "serial/portholders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (const QChar c : processName(fuzzInput(data, size)))
        expect(c.category() != QChar::Other_Control, "no control character");
    return 0;
}
