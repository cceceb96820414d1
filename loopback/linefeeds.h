// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>

// The log breaks its lines with CR LF. Shown in the pane or written to a terminal each break is
// one line feed, also when the CR ends one text and the LF opens the next.
class LineFeeds
{
public:
    // The next text of the log, its breaks made line feeds.
    QString convert(const QString &text);

private:
    bool m_endsInCr = false;
};
