// SPDX-License-Identifier: MIT
#pragma once

#include "dialogs.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// Stands in for the message and input boxes: records every box the program raises and
// answers each from a script. Installed for its lifetime.
class ScriptedDialogs : public DialogSeam
{
public:
    struct Box
    {
        bool input = false;
        QString prompt;
        int buttons = 0;
        QString title;
        QString defaultText;
    };

    ScriptedDialogs() { setDialogSeam(this); }
    ~ScriptedDialogs() override { setDialogSeam(nullptr); }

    QList<Box> boxes;
    // Answers used in order; when they run out, message boxes answer OK and input boxes
    // accept their proposal.
    QList<int> msgAnswers;
    QList<std::optional<QString>> inputAnswers;
    // Runs while a box is "up", e.g. to let reception go on meanwhile.
    std::function<void(const Box &)> whileShown;

    int msgBox(const QString &prompt, int buttons, const QString &title) override
    {
        boxes.append({ false, prompt, buttons, title, QString() });
        if (whileShown)
            whileShown(boxes.last());
        return msgAnswers.isEmpty() ? vbOK : msgAnswers.takeFirst();
    }

    QString inputBox(const QString &prompt, const QString &title,
                     const QString &defaultText) override
    {
        boxes.append({ true, prompt, 0, title, defaultText });
        if (whileShown)
            whileShown(boxes.last());
        if (inputAnswers.isEmpty())
            return defaultText;
        return inputAnswers.takeFirst().value_or(defaultText);
    }

    QStringList prompts() const
    {
        QStringList out;
        for (const Box &box : boxes)
            out.append(box.prompt);
        return out;
    }

    void clear() { boxes.clear(); }
};
