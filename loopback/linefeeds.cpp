// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/linefeeds.h"

QString LineFeeds::convert(const QString &text)
{
    QString converted = text;
    if (m_endsInCr && converted.startsWith(u'\n'))
        converted.remove(0, 1);
    if (!text.isEmpty())
        m_endsInCr = text.endsWith(u'\r');
    converted.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    converted.replace(u'\r', u'\n');
    return converted;
}
