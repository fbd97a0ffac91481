// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class MSComm;
class TextoRecibido;
class Form2;
class frmAbout;

// The main window: every control of the program, the start-up sequence and the handlers
// of the port, reception and dialog buttons.
class Form1 : public QWidget
{
    Q_OBJECT

public:
    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    QPushButton *Command3 = nullptr;
    QGroupBox *Frame2 = nullptr;
    TextoRecibido *Texto_Recibido = nullptr;
    QPushButton *Command4 = nullptr;
    QPushButton *Command2 = nullptr;
    QPushButton *Command1 = nullptr;
    MSComm *MSComm1 = nullptr;
    QGroupBox *Frame4 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *Etiq_Puerto = nullptr;
    QLabel *Etiq_Estado = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *Etiq_Velocidad = nullptr;
    QGroupBox *Frame1 = nullptr;
    QLabel *Label1 = nullptr;
    QComboBox *Combo_Puerto = nullptr;
    QLabel *Label2 = nullptr;
    QComboBox *Combo_Velocidad = nullptr;
    QPushButton *Boton_Abrir = nullptr;
    QPushButton *Boton_Cerrar = nullptr;

    void Form_Load();
    void Form_Resize();
    void Combo_Puerto_Click();
    void Combo_Velocidad_Click();
    void Boton_Abrir_Click();
    void Boton_Cerrar_Click();
    void Command4_Click();
    void MSComm1_OnComm();
    void Command2_Click();
    void Command1_Click();
    void Command3_Click();

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    // The retained image of the client area, painted by Form_Resize.
    QImage m_image;
    QPointer<Form2> m_form2;
    QPointer<frmAbout> m_about;
};
