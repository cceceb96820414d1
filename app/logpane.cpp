// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/logpane.h"

#include <QAbstractTextDocumentLayout>
#include <QGlyphRun>
#include <QMimeData>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextBlock>
#include <QTextDocumentFragment>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// The user state of a paragraph that carries on the line of the one before it.
constexpr int kCarriedOn = 1;

} // namespace

LogPane::LogPane(QWidget *parent)
    : QPlainTextEdit(parent)
{
    // The layout asks for the whole paragraph to be repainted on any change to it, and for all
    // of the view when a paragraph gains a line. appendText repaints what it changed instead;
    // other changes, such as emptying the log, still repaint the view.
    QAbstractTextDocumentLayout *layout = document()->documentLayout();
    disconnect(layout, &QAbstractTextDocumentLayout::updateBlock, nullptr, nullptr);
    disconnect(layout, &QAbstractTextDocumentLayout::update, nullptr, nullptr);
    connect(layout, &QAbstractTextDocumentLayout::update, this, [this] {
        if (!m_appending)
            viewport()->update();
    });
}

void LogPane::appendText(const QString &text)
{
    QString shown = text;
    if (m_endsInCr && !document()->isEmpty() && shown.startsWith(u'\n'))
        shown.remove(0, 1);
    if (!text.isEmpty())
        m_endsInCr = text.endsWith(u'\r');
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(u'\r', u'\n');

    // Placing and drawing the caret and the new text needs the paragraph's glyphs, which Qt
    // would otherwise shape again each time. Only the paragraph being written keeps them: text
    // that ends it lets them go, or a long log would hold glyphs for every line.
    const QTextBlock written = document()->lastBlock();
    QTextLayout *layout = written.layout();
    layout->setCacheEnabled(!shown.contains(u'\n'));
    // The rest of the last line, behind its text and trailing spaces, where the new text goes;
    // the character before is drawn again for its ink that may stray a pixel.
    const int lines = layout->lineCount();
    QRectF rest;
    int from = 0;
    if (lines > 0) {
        const QTextLine last = layout->lineAt(lines - 1);
        rest.setRect(last.x() + last.naturalTextWidth(),
                     last.y(),
                     viewport()->width(),
                     last.height());
        from = std::max(last.textStart(), written.length() - 2);
    }

    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    // When the caret is already at the end, the text goes in in front of it and carries it
    // along; setting the cursor again would cost more than the append itself.
    const QTextCursor caret = textCursor();
    const bool caretAtEnd = caret.position() == end.position() && !caret.hasSelection();
    m_appending = true;
    // The edit block spares a second layout of the paragraph just to place the cursor.
    end.beginEditBlock();
    end.insertText(shown);
    end.endEditBlock();
    const bool sameLine = document()->lastBlock() == written && layout->lineCount() == lines;
    if (!sameLine)
        splitLastParagraph();
    m_appending = false;
    // Scrolls the end into view, so do it before working out what to paint.
    if (caretAtEnd)
        ensureCursorVisible();
    else
        setTextCursor(end);

    m_tail = {};
    if (lines == 0) {
        viewport()->update();
        return;
    }
    const QPointF origin = blockBoundingGeometry(written).translated(contentOffset()).topLeft();
    QRect changed = rest.translated(origin).toAlignedRect().adjusted(-1, -1, 0, 1);
    if (!sameLine) {
        // Text that went on to further lines may have taken the last word of the old line
        // along: that line and the lines added change.
        const QRectF added
            = blockBoundingGeometry(document()->lastBlock()).translated(contentOffset());
        changed.setLeft(0);
        changed.setBottom(int(added.bottom()) + 1);
        viewport()->update(changed);
        return;
    }
    m_tail = {changed & viewport()->rect(), from};
    viewport()->update(m_tail.rect);
}

void LogPane::splitLastParagraph()
{
    for (QTextBlock last = document()->lastBlock(); last.layout()->lineCount() > 1;
         last = document()->lastBlock()) {
        QTextCursor split(last);
        split.setPosition(last.position() + last.layout()->lineAt(1).textStart());
        last.layout()->setCacheEnabled(false); // no longer the paragraph being written
        split.insertBlock();
        split.block().setUserState(kCarriedOn);
        // The split paragraphs are laid out when next asked for; the last one is asked now.
        document()->documentLayout()->blockBoundingRect(split.block());
    }
}

QString LogPane::text() const
{
    return plainText(0, document()->characterCount() - 1);
}

QString LogPane::plainText(int from, int to) const
{
    QTextCursor range(document());
    range.setPosition(from);
    range.setPosition(to, QTextCursor::KeepAnchor);
    QString text = range.selection().toPlainText();
    // From the end back, so that each break's place in the text stays as counted.
    for (QTextBlock block = document()->findBlock(to); block.isValid() && block.position() > from;
         block = block.previous()) {
        if (block.userState() == kCarriedOn)
            text.remove(block.position() - 1 - from, 1);
    }
    return text;
}

QMimeData *LogPane::createMimeDataFromSelection() const
{
    const QTextCursor selection = textCursor();
    auto *mime = new QMimeData;
    mime->setText(plainText(selection.selectionStart(), selection.selectionEnd()));
    return mime;
}

void LogPane::paintEvent(QPaintEvent *event)
{
    // A full paint draws every glyph of each line it touches. When just the rest of the last
    // line is to be painted, drawing only the glyphs there spares the rest of the line.
    const Tail tail = std::exchange(m_tail, {});
    const QAbstractTextDocumentLayout::PaintContext context = getPaintContext();
    if (tail.rect.isEmpty() || event->region() != QRegion(tail.rect)
        || !context.selections.isEmpty()) {
        QPlainTextEdit::paintEvent(event);
        for (const QAbstractTextDocumentLayout::Selection &selection : context.selections)
            hideBreakMarks(event->region(), selection.cursor);
        return;
    }
    const QTextBlock block = document()->lastBlock();
    QTextLayout *layout = block.layout();
    const QPointF offset = blockBoundingGeometry(block).translated(contentOffset()).topLeft();
    QPainter painter(viewport());
    painter.setClipRect(tail.rect);
    painter.setPen(context.palette.text().color());
    for (const QGlyphRun &run : layout->glyphRuns(tail.from, block.length() - 1 - tail.from))
        painter.drawGlyphRun(offset, run);
    if (context.cursorPosition >= block.position())
        layout->drawCursor(&painter,
                           offset,
                           context.cursorPosition - block.position(),
                           cursorWidth());
}

void LogPane::hideBreakMarks(const QRegion &region, const QTextCursor &selection)
{
    // A selection that goes on past the end of a paragraph shows a box behind its last line for
    // the line break. The pane's own breaks are no line breaks of the log; as lines that wrap,
    // they show none.
    QPainter painter(viewport());
    painter.setClipRegion(region);
    const QPointF offset = contentOffset();
    for (QTextBlock block = firstVisibleBlock(); block.isValid() && block.next().isValid();
         block = block.next()) {
        const QRectF bounds = blockBoundingGeometry(block).translated(offset);
        if (bounds.top() > viewport()->height())
            break;
        const int lineBreak = block.position() + block.length() - 1;
        if (block.next().userState() != kCarriedOn || lineBreak < selection.selectionStart()
            || lineBreak >= selection.selectionEnd())
            continue;
        const QTextLayout *layout = block.layout();
        QRectF line = layout->lineAt(layout->lineCount() - 1)
                          .naturalTextRect()
                          .translated(bounds.topLeft() + layout->position());
        line.setBottom(std::ceil(line.bottom()));
        QPainterPath mark;
        mark.addRect(line.right(), line.top(), line.height() / 4, line.height());
        painter.fillPath(mark, palette().base()); // as the selection was filled
    }
}
