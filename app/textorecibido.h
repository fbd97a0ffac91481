// SPDX-License-Identifier: MIT
#pragma once

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QString>
#include <QTimer>

// The received-text box. It keeps its exact text (every character as received or typed,
// CR LF pairs, lone CR and LF, NUL and all) in a model of its own; the view only shows it.
class TextoRecibido : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit TextoRecibido(QWidget *parent = nullptr);
    ~TextoRecibido() override;

    // The exact text, after every append and every edit of the operator.
    QString text() const;
    void setText(const QString &text);
    // Adds characters at the end, whatever the caret or selection.
    void append(const QString &characters);

protected:
    // Every way the operator edits first brings the view up to date with the text.
    void keyPressEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void dropEvent(QDropEvent *event) override;

    // The clipboard and drag and drop carry the exact text, not the view's pictures of it.
    QMimeData *createMimeDataFromSelection() const override;
    bool canInsertFromMimeData(const QMimeData *source) const override;
    void insertFromMimeData(const QMimeData *source) override;

private:
    // A stretch of the view to redraw from the text: text [from, to) shown at [start, end).
    struct Repair
    {
        qsizetype from = -1;
        qsizetype to = -1;
        int start = -1;
        int end = -1;
    };

    void showPending();
    void showAll();
    void documentEdited(int position, int removed, int added);
    void documentSettled();
    qsizetype textIndex(int position) const;
    int insertText(int position, const QString &characters);
    Repair around(qsizetype from, qsizetype to, int start, int end) const;
    int redraw(const Repair &repair);

    QString m_text;
    // How much of m_text the view shows; the rest waits for the next batch.
    qsizetype m_shown = 0;
    // The view is being changed from the text, not by the operator.
    bool m_drawing = false;
    bool m_refuseDrop = false;
    Repair m_repair;
    QTimer m_batch;
    QElapsedTimer m_sinceShown;
};
