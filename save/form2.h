// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QPushButton;
class DirListBox;
class DriveListBox;

// The save dialog: a drive and a folder are chosen, and "Aceptar" writes the received
// text to a file named in an input box.
class Form2 : public QDialog
{
    Q_OBJECT

public:
    // The received text is read through receivedText when the file is written, so that
    // whatever arrived while the boxes were up is saved too.
    Form2(QWidget *owner, std::function<QString()> receivedText);

    DirListBox *Dir1 = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
    DriveListBox *Drive1 = nullptr;

    void Command1_Click();
    void Command2_Click();
    void Drive1_Change();

protected:
    void closeEvent(QCloseEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    std::function<QString()> m_receivedText;
};
