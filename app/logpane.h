// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QPlainTextEdit>

// The log pane: a plain text view that the program only appends to and clears. The hex dump is
// one line of the log that grows by an entry per byte, and Qt lays out and paints a whole
// paragraph whenever it changes; so where the last paragraph wraps, the pane carries it on in a
// paragraph of its own, and each append lays out and paints only the line it went on. Such a
// break is the pane's, not the log's: it is not part of the text and is not copied.
class LogPane : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit LogPane(QWidget *parent = nullptr);

    // Appends text behind the last character, whatever the user's caret or selection, and leaves
    // the caret after it with nothing selected and in view. The log's texts break lines with
    // CR LF; each shows as one line break, even when the CR ends one text and the LF opens the
    // next.
    void appendText(const QString &text);

    // The log, with a line feed for each of its line breaks.
    QString text() const;

protected:
    QMimeData *createMimeDataFromSelection() const override;
    void paintEvent(QPaintEvent *event) override;

private:
    // The text between two positions of the document, without the pane's own breaks.
    QString plainText(int from, int to) const;
    // Carries each line of the last paragraph after its first on in a paragraph of its own.
    void splitLastParagraph();
    // Paints over the marks that a selection puts on the pane's own breaks.
    void hideBreakMarks(const QRegion &region, const QTextCursor &selection);

    // The part of the last line that the latest append asked to repaint, and the first
    // character, within the paragraph, to draw there.
    struct Tail
    {
        QRect rect;
        int from = 0;
    };

    bool m_endsInCr = false;
    bool m_appending = false;
    Tail m_tail;
};
