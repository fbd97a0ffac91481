// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QString>
#include <functional>

class QLabel;
class QPushButton;
class Registry;

// The about dialog: title, version, description and disclaimer, and a button that starts
// the system information tool found through the registry. It destroys itself when closed.
class frmAbout : public QDialog
{
    Q_OBJECT

public:
    // Starts a program by its path with a normal, focused window, without waiting for it;
    // false when it cannot be started.
    using ProgramStarter = std::function<bool(const QString &path)>;

    explicit frmAbout(QWidget *owner);
    ~frmAbout() override;

    // The registry and the program start default to the system's own.
    void setRegistry(Registry &registry);
    void setProgramStarter(ProgramStarter starter);
    static bool startProgram(const QString &path);

    QPushButton *cmdOK = nullptr;
    QPushButton *cmdSysInfo = nullptr;
    QLabel *picIcon = nullptr;
    QLabel *lblDisclaimer = nullptr;
    QLabel *lblVersion = nullptr;
    QLabel *lblTitle = nullptr;
    QLabel *lblDescription = nullptr;

    void Form_Load();
    void cmdOK_Click();
    void cmdSysInfo_Click();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void StartSysInfo();
    // False when the key or the value is not there; throws Failure when the value is there
    // but cannot be read.
    bool GetKeyValue(
        quint32 KeyRoot, const QString &KeyName, const QString &SubKeyRef, QString &KeyVal);

    Registry *m_registry;
    ProgramStarter m_startProgram;
};
