#include "app/logpane.h"

#include <QAbstractTextDocumentLayout>
#include <QTextBlock>

LogPane::LogPane(QWidget *parent)
    : QPlainTextEdit(parent)
{
    // On a change within one paragraph, or a paragraph added at the end, the layout repaints the
    // whole paragraph, and the hex dump is one paragraph of many lines. Text reaches the log only
    // through appendText, which repaints what it changed instead; the layout still repaints all
    // of the view when the log is cleared or laid out anew.
    disconnect(document()->documentLayout(),
               &QAbstractTextDocumentLayout::updateBlock,
               nullptr,
               nullptr);
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
    // would otherwise shape again from the whole paragraph each time. Only the paragraph being
    // written keeps them: text that ends it lets them go, or a long log would hold glyphs for
    // every line.
    const QTextBlock written = document()->lastBlock();
    QTextLayout *layout = written.layout();
    layout->setCacheEnabled(!shown.contains(u'\n'));
    // The text goes in behind the last line, whose width counts its trailing spaces.
    const int lines = layout->lineCount();
    const qreal endX
        = lines > 0 ? layout->lineAt(lines - 1).x() + layout->lineAt(lines - 1).naturalTextWidth()
                    : 0;

    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    // The edit block spares a second layout of the paragraph just to place the cursor.
    end.beginEditBlock();
    end.insertText(shown);
    end.endEditBlock();
    setTextCursor(end); // scrolls the end into view, so place it before working out what to paint

    // What changed is the rest of the last line, old caret included; text that went on to
    // further lines moves what follows, so the whole view is painted then.
    if (document()->lastBlock() != written || layout->lineCount() != lines) {
        viewport()->update();
        return;
    }
    const QTextLine line = layout->lineAt(lines - 1);
    const QPointF origin = blockBoundingGeometry(written).translated(contentOffset()).topLeft();
    const QRectF rest(origin.x() + endX, origin.y() + line.y(), viewport()->width(), line.height());
    viewport()->update(rest.toAlignedRect().adjusted(-1, -1, 0, 1)); // ink may stray a pixel
}
