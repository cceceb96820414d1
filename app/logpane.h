// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "loopback/linefeeds.h"

#include <QPlainTextEdit>
#include <QTimer>

// The log pane: a plain text view that the program only appends to and clears. A run appends an
// entry every few milliseconds; the pane gathers them and hands them to its document when a
// 16 ms timer fires (about one frame of a 60 Hz display), so the log is laid out, painted and
// announced to assistive tools a few entries at a time rather than once an entry.
class LogPane : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit LogPane(QWidget *parent = nullptr);

    // Appends text behind the last character, whatever the user's caret or selection, and leaves
    // the caret after it with nothing selected and in view; while the pane has the focus, the
    // caret stays where the reader put it and the view alone follows the end. The log's texts
    // break lines with CR LF; each shows as one line break, even when the CR ends one text and
    // the LF opens the next. The text reaches the document within a frame, or at flush().
    void appendText(const QString &text);
    // Hands the text still waiting to the document now.
    void flush();
    // Empties the log, the text still waiting included.
    void clearLog();

private:
    QString m_pending;
    bool m_waiting = false; // an append since the last flush, if only an empty one
    LineFeeds m_lineFeeds;
    QTimer m_frame;
};
