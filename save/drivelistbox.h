// SPDX-License-Identifier: MIT
#pragma once

#include <QComboBox>
#include <QString>

// The drive list: on Windows the drive letters, elsewhere the roots of the mounted volumes
// and the user's home folder. Each entry opens a folder; the current entry at creation is
// the one holding the process's current folder.
class DriveListBox : public QComboBox
{
    Q_OBJECT

public:
    explicit DriveListBox(QWidget *parent = nullptr);

    // The entry's text, as the list shows it.
    QString Drive() const;
    // The folder the current entry opens: on Windows the drive's current folder, which the
    // system keeps for each drive. Throws Failure 68 when the drive is not ready.
    QString folder() const;

    void addDrive(const QString &text, const QString &folder);
};
