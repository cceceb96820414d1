// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// Whatever answered the probe, quoted for the log: printable ASCII without a quote mark, at most
// sixteen bytes shown, and each shown byte the one received.

#include "fuzz/fuzzing.h"
#include "loopback/runreport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray reply = fuzzInput(data, size);
    QString text = LogText::quoted(reply);
    for (const QChar c : text)
        expect(c.unicode() >= 0x20 && c.unicode() < 0x7F && c != u'"', "printable, no quote mark");
    if (reply.size() > 16) {
        expect(text.endsWith(QStringLiteral("...")), "\"...\" after sixteen bytes");
        text.chop(3);
    }
    QByteArray shown;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.mid(i, 2) == QStringLiteral("\\x")) {
            bool ok = false;
            shown += char(text.mid(i + 2, 2).toUInt(&ok, 16));
            expect(ok, "\\x and two hexadecimal digits");
            i += 3;
        } else {
            shown += text[i].toLatin1();
        }
    }
    expect(shown == reply.left(16), "the bytes shown are the bytes received");
    return 0;
}
