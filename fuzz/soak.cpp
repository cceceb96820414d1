// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// The value of --soak=: whole seconds taken must be the number written.

#include "app/deeperchecks.h"
#include "fuzz/fuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString seconds = QString::fromLocal8Bit(fuzzInput(data, size));
    DeeperChecks checks;
    if (!checks.setSoak(seconds)) {
        expect(!checks.soak, "a refused value sets nothing");
        return 0;
    }
    bool ok = false;
    expect(checks.soak && seconds.trimmed().toLatin1().toLongLong(&ok) == checks.soak->count() && ok,
           "the seconds written");
    expect(checks.soak->count() >= 0, "no negative time");
    return 0;
}
