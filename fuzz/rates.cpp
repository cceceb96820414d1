// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// The value of --rates=: a list taken must hold the rates written, ascending, none twice.

#include "app/deeperchecks.h"
#include "fuzz/fuzzing.h"

#include <set>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString list = QString::fromLocal8Bit(fuzzInput(data, size));
    DeeperChecks checks;
    if (!checks.setRates(list)) {
        expect(!checks.rates, "a refused list sets nothing");
        return 0;
    }
    std::set<qint32> written;
    for (const QString &field : list.split(u',')) {
        bool ok = false;
        written.insert(field.trimmed().toLatin1().toInt(&ok));
        expect(ok, "every field is a number");
    }
    expect(checks.rates && QList<qint32>(written.begin(), written.end()) == *checks.rates,
           "the rates written, ascending, none twice");
    for (const qint32 rate : *checks.rates)
        expect(rate > 0 && rate <= 4'000'000, "a rate a serial port may have");
    return 0;
}
