// SPDX-License-Identifier: MIT
#include "form2.h"

#include "dialogs.h"
#include "dirlistbox.h"
#include "drivelistbox.h"
#include "textfilewriter.h"
#include "twips.h"

#include <QCloseEvent>
#include <QDir>
#include <QKeyEvent>
#include <QPushButton>
#include <QWindow>

Form2::Form2(QWidget *owner, std::function<QString()> receivedText)
    : QDialog(owner), m_receivedText(std::move(receivedText))
{
    setWindowFlags((windowFlags() | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint)
        & ~Qt::WindowContextHelpButtonHint);
    setWindowTitle(QStringLiteral("Salvex by Brel"));
    setFont(formFont());
    resize(twips(4680), twips(3045));

    Dir1 = new DirListBox(this);
    place(Dir1, 360, 240, 3975, 1890);
    Dir1->setAccessibleName(QStringLiteral("Carpetas"));
    Command1 = plainButton(this, QStringLiteral("Aceptar"), 1800, 2400, 1095, 375);
    Command2 = plainButton(this, QStringLiteral("Cancelar"), 3120, 2400, 1095, 375);
    Drive1 = new DriveListBox(this);
    place(Drive1, 360, 2520, 1095, 315);
    Drive1->setAccessibleName(QStringLiteral("Unidades"));
    setTabOrder(Dir1, Command1);
    setTabOrder(Command1, Command2);
    setTabOrder(Command2, Drive1);
    Dir1->setFocus();

    connect(Command1, &QPushButton::clicked, this, &Form2::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form2::Command2_Click);
    connect(Drive1, &QComboBox::currentIndexChanged, this, &Form2::Drive1_Change);
}

void Form2::Command1_Click()
{
    const QString folder = Dir1->Path();
    const QString name = InputBox(folder, QStringLiteral(" Salvex by Brel"),
        folder + QDir::separator() + QStringLiteral("terminal.xls"));
    if (name.isEmpty())
        return;

    try {
        if (TextFileWriter::exists(name)
            && MsgBox(QStringLiteral("El fichero existe,desea reemplazarlo"), vbOKCancel)
                == vbCancel)
            return;
        TextFileWriter::write(name, m_receivedText());
        MsgBox(QStringLiteral("Verifique su correcta grabación, gracias"), vbOKOnly);
    } catch (const Failure &failure) {
        MsgBox(QStringLiteral("Se ha producido el siguiente error:") + QStringLiteral("\r\n")
                + QString::number(failure.number) + QStringLiteral(", ") + failure.description,
            vbOKOnly, QStringLiteral("En Command1_Click"));
    }
}

void Form2::Command2_Click()
{
    hide();
}

void Form2::Drive1_Change()
{
    try {
        Dir1->setPath(Drive1->folder());
    } catch (const Failure &failure) {
        // Only a drive that is not ready is told; either way the folder list keeps its folder.
        if (failure.number == TextFileWriter::DeviceUnavailable)
            MsgBox(QStringLiteral("La unidad seleccionada no está disponible"), vbInformation);
    }
}

void Form2::closeEvent(QCloseEvent *event)
{
    // The frame's close button unloads the dialog; "Cancelar" only hides it. Not
    // WA_DeleteOnClose: exec() would then delete the dialog however it ended, hiding too.
    QDialog::closeEvent(event);
    if (event->isAccepted())
        deleteLater();
}

void Form2::showEvent(QShowEvent *event)
{
    // Not QDialog's, which centres the dialog over its owner whenever it has not been moved
    // by the program: the first showing goes where the window system puts new windows.
    QWidget::showEvent(event);
}

void Form2::hideEvent(QHideEvent *event)
{
    QDialog::hideEvent(event);
    // The next showing comes back where the operator left it. The window system is told so
    // outright: Qt leaves a window it never placed itself to the window system's placement
    // at every showing.
    if (!event->spontaneous() && windowHandle())
        windowHandle()->setFramePosition(pos());
}

void Form2::keyPressEvent(QKeyEvent *event)
{
    // No button is the default or the cancel one: Enter acts on a focused button only, and
    // Esc, which would otherwise reject the dialog, does nothing.
    switch (event->key()) {
    case Qt::Key_Escape:
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (auto *focused = qobject_cast<QPushButton *>(focusWidget())) {
            if (focused->parentWidget() == this)
                focused->click();
        }
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}
