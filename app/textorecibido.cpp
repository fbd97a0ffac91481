// SPDX-License-Identifier: MIT
#include "textorecibido.h"

#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

// The view shows every character of the text as exactly one character of its own, except a
// CR LF pair, which is one line break. So a position in the view is a position in the text
// less the pairs before it, and the pairs before it are the line breaks before it.

namespace {

constexpr QChar Cr = u'\r';
constexpr QChar Lf = u'\n';
constexpr QChar LineBreak = QChar::ParagraphSeparator;

bool pairAt(QStringView text, qsizetype i)
{
    return text[i] == Cr && i + 1 < text.size() && text[i + 1] == Lf;
}

// How a character that is not half of a CR LF pair looks in the view: control characters
// and the characters Qt would hide, turn into a space or take as a paragraph mark get a
// picture; the rest show as themselves.
QChar picture(QChar c)
{
    const char16_t code = c.unicode();
    if (code < 0x20 && code != u'\t')
        return QChar(char16_t(0x2400 + code)); // control pictures: NUL, lone CR, lone LF...
    if (code == 0x7F)
        return QChar(char16_t(0x2421));
    if (code >= 0x80 && code < 0xA0)
        return QChar(char16_t(0xFFFD)); // C1 controls have no pictures of their own
    if (code == 0xA0)
        return QChar(char16_t(0x237D)); // the no-break space would read as a plain one
    if (code == 0xAD)
        return QChar(char16_t(0x2010)); // the soft hyphen shows only at the end of a line
    if (code == 0x2028 || code == 0x2029 || code == 0xFDD0 || code == 0xFDD1 || code == 0xFFFC)
        return QChar(char16_t(0xFFFD)); // line, paragraph, frame and object marks
    return c;
}

QString shown(QStringView text)
{
    QString view(text.size(), Qt::Uninitialized);
    QChar *out = view.data();
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (pairAt(text, i)) {
            *out++ = LineBreak;
            ++i;
        } else {
            *out++ = picture(text[i]);
        }
    }
    view.truncate(out - view.constData());
    return view;
}

// What the operator's own edit put into the view, as text: a line break is Enter, CR LF.
QString typed(QStringView view)
{
    QString text;
    text.reserve(view.size());
    for (QChar c : view) {
        if (c == LineBreak || c == QChar::LineSeparator)
            text += QLatin1String("\r\n");
        else
            text += c;
    }
    return text;
}

// Receptions are shown in batches, one insert at the end each: a reception after a quiet
// spell shows at the next turn of the event loop, a flood at most once per spacing, since
// laying out and painting the visible lines costs more than inserting a whole batch.
// About sixteen updates a second still read as live, and keep a fast line's reception
// under a twentieth of a core.
constexpr qint64 BatchSpacing = 60; // ms
// A flood is shown in slices, each taking a few milliseconds, with a turn of the event loop
// after every SliceTime: the window keeps answering while a long backlog goes in.
constexpr qsizetype SliceSize = 32 * 1024; // characters
constexpr qint64 SliceTime = 25; // ms

} // namespace

TextoRecibido::TextoRecibido(QWidget *parent) : QPlainTextEdit(parent)
{
    setAccessibleName(QStringLiteral("Texto recibido"));
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // Tab moves on to the next control, as in the window's tab order.
    setTabChangesFocus(true);
    // The text lives in m_text; an undo history would be a second copy of it.
    setUndoRedoEnabled(false);
    document()->setMaximumBlockCount(0);

    m_batch.setSingleShot(true);
    connect(&m_batch, &QTimer::timeout, this, &TextoRecibido::showPending);
    connect(document(), &QTextDocument::contentsChange, this, &TextoRecibido::documentEdited);
    connect(document(), &QTextDocument::contentsChanged, this, &TextoRecibido::documentSettled);
}

TextoRecibido::~TextoRecibido() = default;

QString TextoRecibido::text() const
{
    return m_text;
}

void TextoRecibido::setText(const QString &text)
{
    m_batch.stop();
    m_repair = Repair();
    m_text = text;
    m_drawing = true;
    QTextCursor cursor(document());
    cursor.select(QTextCursor::Document);
    if (m_text.isEmpty())
        cursor.removeSelectedText();
    else
        cursor.insertText(shown(m_text));
    m_drawing = false;
    m_shown = m_text.size();
}

void TextoRecibido::append(const QString &characters)
{
    if (characters.isEmpty())
        return;
    m_text += characters;
    if (!m_batch.isActive()) {
        const qint64 since = m_sinceShown.isValid() ? m_sinceShown.elapsed() : BatchSpacing;
        m_batch.start(int(qMax<qint64>(0, BatchSpacing - since)));
    }
}

void TextoRecibido::showPending()
{
    m_batch.stop();
    if (m_shown == m_text.size())
        return;
    QScrollBar *bar = verticalScrollBar();
    const bool following = bar->value() == bar->maximum();

    QElapsedTimer slicing;
    slicing.start();
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    m_drawing = true;
    while (m_shown < m_text.size() && slicing.elapsed() < SliceTime) {
        qsizetype from = m_shown;
        qsizetype to = qMin(m_text.size(), from + SliceSize);
        if (to < m_text.size() && m_text[to - 1].isHighSurrogate())
            ++to;
        cursor.beginEditBlock();
        if (from > 0 && m_text[from - 1] == Cr && m_text[from] == Lf) {
            // The CR shown alone at the end and the LF that has just come make one line break.
            cursor.deletePreviousChar();
            --from;
        }
        cursor.insertText(shown(QStringView(m_text).mid(from, to - from)));
        cursor.endEditBlock();
        m_shown = to;
    }
    m_drawing = false;
    m_sinceShown.start();

    if (following)
        bar->setValue(bar->maximum());
    if (m_shown < m_text.size())
        m_batch.start(0);
}

// The operator edits the whole text as received so far, so all of it is shown first.
void TextoRecibido::showAll()
{
    while (m_shown < m_text.size())
        showPending();
    m_batch.stop();
}

qsizetype TextoRecibido::textIndex(int position) const
{
    return position + document()->findBlock(position).blockNumber();
}

// The operator changed the view: the text is still as before, so the position of the change
// maps through the old text, and the removed characters are counted over it.
void TextoRecibido::documentEdited(int position, int removed, int added)
{
    if (m_drawing)
        return;
    QTextDocument *doc = document();
    added = qBound(0, added, doc->characterCount() - 1 - position);
    const QStringView old = QStringView(m_text).first(m_shown);
    const qsizetype from = qMin(textIndex(position), m_shown);
    qsizetype to = from;
    for (int n = 0; n < removed && to < m_shown; ++n)
        to += pairAt(old, to) ? 2 : 1;

    QTextCursor cursor(doc);
    cursor.setPosition(position);
    cursor.setPosition(position + added, QTextCursor::KeepAnchor);
    const QString inserted = typed(cursor.selectedText());
    m_text.replace(from, to - from, inserted);
    m_shown += inserted.size() - (to - from);

    // The view may not be changed while the document reports a change; the repair waits
    // for the change to be complete.
    m_repair = around(from, from + inserted.size(), position, position + added);
}

void TextoRecibido::documentSettled()
{
    if (m_drawing || m_repair.from < 0)
        return;
    const Repair repair = m_repair;
    m_repair = Repair();
    redraw(repair);
}

// Widens a changed stretch by a lone CR just before it and a lone LF just after it, which
// the change may have joined into a pair.
TextoRecibido::Repair TextoRecibido::around(qsizetype from, qsizetype to, int start, int end) const
{
    Repair repair { from, to, start, end };
    if (from > 0 && m_text[from - 1] == Cr) {
        --repair.from;
        --repair.start;
    }
    if (to < m_shown && m_text[to] == Lf) {
        ++repair.to;
        ++repair.end;
    }
    return repair;
}

// Makes the view of the stretch what the text says, touching only what differs. Returns
// where the stretch ends in the view.
int TextoRecibido::redraw(const Repair &repair)
{
    const QString want = shown(QStringView(m_text).mid(repair.from, repair.to - repair.from));
    QTextCursor cursor(document());
    cursor.setPosition(repair.start);
    cursor.setPosition(repair.end, QTextCursor::KeepAnchor);
    const QString have = cursor.selectedText();

    qsizetype head = 0;
    while (head < want.size() && head < have.size() && want[head] == have[head])
        ++head;
    if (head > 0 && want[head - 1].isHighSurrogate())
        --head;
    qsizetype tail = 0;
    while (tail < want.size() - head && tail < have.size() - head
        && want[want.size() - 1 - tail] == have[have.size() - 1 - tail])
        ++tail;
    if (tail > 0 && want[want.size() - tail].isLowSurrogate())
        --tail;

    if (head + tail < want.size() || head + tail < have.size()) {
        m_drawing = true;
        cursor.setPosition(repair.start + head);
        cursor.setPosition(repair.end - tail, QTextCursor::KeepAnchor);
        const QString middle = want.mid(head, want.size() - head - tail);
        if (middle.isEmpty())
            cursor.removeSelectedText();
        else
            cursor.insertText(middle);
        m_drawing = false;
    }
    return repair.start + want.size();
}

// Puts characters into the text at a position of the view and shows them. Returns the view
// position just after them.
int TextoRecibido::insertText(int position, const QString &characters)
{
    if (characters.isEmpty())
        return position;
    const qsizetype from = textIndex(position);
    const qsizetype to = from + characters.size();
    m_text.insert(from, characters);
    m_shown += characters.size();
    const Repair repair = around(from, to, position, position);
    const int end = redraw(repair);
    // A LF after them stays a line of its own unless their last character is a CR.
    return repair.to > to && m_text[to - 1] != Cr ? end - 1 : end;
}

void TextoRecibido::keyPressEvent(QKeyEvent *event)
{
    showAll();
    QPlainTextEdit::keyPressEvent(event);
}

void TextoRecibido::inputMethodEvent(QInputMethodEvent *event)
{
    showAll();
    QPlainTextEdit::inputMethodEvent(event);
}

void TextoRecibido::mousePressEvent(QMouseEvent *event)
{
    showAll();
    QPlainTextEdit::mousePressEvent(event);
}

void TextoRecibido::mouseReleaseEvent(QMouseEvent *event)
{
    showAll();
    QPlainTextEdit::mouseReleaseEvent(event);
}

void TextoRecibido::contextMenuEvent(QContextMenuEvent *event)
{
    showAll();
    QPlainTextEdit::contextMenuEvent(event);
}

void TextoRecibido::dropEvent(QDropEvent *event)
{
    showAll();
    const QMimeData *data = event->mimeData();
    if (isReadOnly() || !data || !data->hasText()) {
        QPlainTextEdit::dropEvent(event);
        return;
    }
    // Qt would remove the dragged text and insert the dropped text as one combined change,
    // which cannot be read back exactly; two plain steps can.
    QTextCursor target(document());
    target.setPosition(cursorForPosition(event->position().toPoint()).position());
    if (event->dropAction() == Qt::MoveAction
        && (event->source() == viewport() || event->source() == this)) {
        QTextCursor dragged = textCursor();
        dragged.removeSelectedText();
    }
    QTextCursor caret = textCursor();
    caret.setPosition(insertText(target.position(), data->text()));
    setTextCursor(caret);

    // The base class still ends the drag (feedback caret, drag state) but inserts nothing.
    m_refuseDrop = true;
    QPlainTextEdit::dropEvent(event);
    m_refuseDrop = false;
    event->acceptProposedAction();
    viewport()->update();
}

QMimeData *TextoRecibido::createMimeDataFromSelection() const
{
    const QTextCursor caret = textCursor();
    const qsizetype from = textIndex(caret.selectionStart());
    auto *data = new QMimeData;
    data->setText(m_text.mid(from, textIndex(caret.selectionEnd()) - from));
    return data;
}

bool TextoRecibido::canInsertFromMimeData(const QMimeData *source) const
{
    return !m_refuseDrop && source && source->hasText();
}

void TextoRecibido::insertFromMimeData(const QMimeData *source)
{
    showAll();
    if (!source || !source->hasText())
        return;
    QTextCursor caret = textCursor();
    if (caret.hasSelection())
        caret.removeSelectedText();
    caret.setPosition(insertText(caret.position(), source->text()));
    setTextCursor(caret);
    ensureCursorVisible();
}
