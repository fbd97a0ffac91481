#pragma once

#include <QPlainTextEdit>
#include <QString>

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
};
