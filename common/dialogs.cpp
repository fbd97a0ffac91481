// SPDX-License-Identifier: MIT
#include "dialogs.h"
#include "twips.h"

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

namespace {

DialogSeam *installedSeam = nullptr;

// A message may hold a lone carriage return as its line break; a label only breaks on
// a line feed.
QString displayed(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

QWidget *owner()
{
    if (QWidget *modal = QApplication::activeModalWidget())
        return modal;
    return QApplication::activeWindow();
}

} // namespace

void setDialogSeam(DialogSeam *seam)
{
    installedSeam = seam;
}

int MsgBox(const QString &prompt, int buttons, const QString &title)
{
    const QString caption = title.isEmpty() ? AppTitle : title;
    if (installedSeam)
        return installedSeam->msgBox(prompt, buttons, caption);

    QMessageBox box(owner());
    box.setWindowTitle(caption);
    box.setTextFormat(Qt::PlainText);
    box.setText(displayed(prompt));
    box.setIcon((buttons & vbInformation) ? QMessageBox::Information : QMessageBox::NoIcon);
    if ((buttons & 7) == vbOKCancel) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setEscapeButton(QMessageBox::Cancel);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Cancel ? vbCancel : vbOK;
}

QString InputBox(const QString &prompt, const QString &title, const QString &defaultText)
{
    const QString caption = title.isEmpty() ? AppTitle : title;
    if (installedSeam)
        return installedSeam->inputBox(prompt, caption, defaultText);

    QInputDialog dialog(owner());
    dialog.setWindowTitle(caption);
    dialog.setLabelText(displayed(prompt));
    dialog.setTextValue(defaultText);
    // Wide enough for a whole path, as the proposal is one.
    if (auto *field = dialog.findChild<QLineEdit *>())
        field->setMinimumWidth(twips(5400));
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.textValue();
}
