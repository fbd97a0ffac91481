// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// Every message box and input box of the program goes through here, so that the
// tests can read each text and answer each question. Without a seam installed the
// real side is Qt's standard modal dialogs.

// The application title, used as the caption of boxes that name none of their own.
inline const QString AppTitle = QStringLiteral("SALVEX");

// Button-and-icon codes, and the answers.
enum { vbOKOnly = 0, vbOKCancel = 1, vbInformation = 64 };
enum { vbOK = 1, vbCancel = 2 };

int MsgBox(const QString &prompt, int buttons = vbOKOnly, const QString &title = QString());

// Returns the edited text, or an empty text when the operator cancels.
QString InputBox(const QString &prompt, const QString &title = QString(),
    const QString &defaultText = QString());

class DialogSeam
{
public:
    virtual ~DialogSeam() = default;
    virtual int msgBox(const QString &prompt, int buttons, const QString &title) = 0;
    virtual QString inputBox(
        const QString &prompt, const QString &title, const QString &defaultText)
        = 0;
};

// Installs a seam in place of the real dialogs; nullptr restores them.
void setDialogSeam(DialogSeam *seam);
