// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/portnumber.h"

#include "serial/commerror.h"

#include <QRegularExpression>
#include <QSettings>

using namespace Qt::StringLiterals;

QString portEntryText(int port)
{
    return u"COM "_s + QString::number(port);
}

QString portNumberText(const QString &entryText)
{
    return entryText.right(2).trimmed();
}

qint16 portNumber(const QString &entryText)
{
    bool ok = false;
    const qint16 number = portNumberText(entryText).toShort(&ok);
    if (!ok)
        throw CommError(ErrorNumber::TypeMismatch,
                        u"The port list shows \"%1\", which does not end in a port number."_s.arg(
                            entryText));
    return number;
}

std::optional<int> comNumber(const QString &given)
{
    static const QRegularExpression com(u"^(?:com ?)?(\\d+)$"_s,
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch number = com.match(given);
    if (!number.hasMatch())
        return std::nullopt;
    return number.captured(1).toInt();
}

qint16 savedPort(const QSettings &settings)
{
    const QString saved = settings.value(savedPortGroup() + u'/' + savedPortKey()).toString();
    for (qint16 port = 1; port <= kLastPort; ++port) {
        if (saved == QString::number(port))
            return port;
    }
    return 1;
}
