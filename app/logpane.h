#pragma once

#include <QPlainTextEdit>

// The log pane: a plain text view that the program only appends to and clears. An append
// repaints the rest of the line it went on, not the whole paragraph, which matters for the hex
// dump: one paragraph of many lines that grows by an entry per byte.
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

private:
    bool m_endsInCr = false;
};
