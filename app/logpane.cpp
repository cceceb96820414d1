// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/logpane.h"

#include <QScrollBar>

#include <chrono>
#include <utility>

namespace {

// About one frame of a 60 Hz display: the eye sees no lag, and a run's dump grows by a few
// entries each time.
constexpr std::chrono::milliseconds kFrame{16};

} // namespace

LogPane::LogPane(QWidget *parent)
    : QPlainTextEdit(parent)
{
    m_frame.setSingleShot(true);
    m_frame.setInterval(kFrame);
    connect(&m_frame, &QTimer::timeout, this, &LogPane::flush);
}

void LogPane::appendText(const QString &text)
{
    m_pending += m_lineFeeds.convert(text);
    m_waiting = true; // even an empty text puts the caret back at the end
    if (!m_frame.isActive())
        m_frame.start();
}

void LogPane::flush()
{
    if (!std::exchange(m_waiting, false))
        return;
    m_frame.stop();
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(std::exchange(m_pending, {}));
    // A screen reader reads the line at the caret; moving it under the reader would lose the
    // place. The view alone scrolls, as far as it would to show a caret at the end.
    if (hasFocus()) {
        QScrollBar &lines = *verticalScrollBar();
        while (cursorRect(end).bottom() > viewport()->rect().bottom()
               && lines.value() < lines.maximum())
            lines.setValue(lines.value() + 1);
        return;
    }
    setTextCursor(end);
    ensureCursorVisible();
}

void LogPane::clearLog()
{
    m_frame.stop();
    m_pending.clear();
    m_waiting = false;
    m_lineFeeds = {};
    clear();
}
