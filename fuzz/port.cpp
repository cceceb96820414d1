// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// PORT of tollbeck --check PORT, trimmed as the terminal trims it: a COM number read from it
// must be the decimal number written there.

#include "fuzz/fuzzing.h"
#include "serial/portnumber.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString given = QString::fromLocal8Bit(fuzzInput(data, size)).trimmed();
    const std::optional<int> port = comNumber(given);
    if (!port || *port == 0) // 0: digits of no port, which the terminal refuses as such
        return 0;
    QString digits = given;
    if (digits.startsWith(QStringLiteral("com"), Qt::CaseInsensitive))
        digits = digits.mid(3).trimmed();
    bool ok = false;
    expect(digits.toLatin1().toInt(&ok) == *port && ok && digits.toLatin1() == digits.toUtf8(),
           "the number is the ASCII digits written");
    return 0;
}
