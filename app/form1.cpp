// SPDX-License-Identifier: MIT
#include "form1.h"

#include "dialogs.h"
#include "form2.h"
#include "framemargins.h"
#include "frmabout.h"
#include "module1.h"
#include "mscomm.h"
#include "salvexicon.h"
#include "textorecibido.h"
#include "twips.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

using namespace Module1;

namespace {

QLabel *label(QWidget *container, const QString &caption, int left, int top, int width, int height)
{
    auto *control = new QLabel(caption, container);
    place(control, left, top, width, height);
    control->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    control->setFocusPolicy(Qt::NoFocus);
    return control;
}

QGroupBox *frame(
    QWidget *container, const QString &caption, int left, int top, int width, int height)
{
    auto *control = new QGroupBox(caption, container);
    control->setGeometry(twips(left, top, width, height));
    // Only the title is bold; every control inside sets its own regular font.
    control->setFont(formFont(!caption.isEmpty()));
    // Frames are opaque: the painted background shows only around them.
    control->setAutoFillBackground(true);
    return control;
}

QComboBox *list(QWidget *container, const QStringList &entries, const QList<int> &data, int left,
    int top, int width, int height)
{
    auto *control = new QComboBox(container);
    place(control, left, top, width, height);
    control->setEditable(true);
    // Typing in the edit field chooses nothing and adds no entry. QComboBox would choose the
    // entry matching the typed text when editing ends (Enter, Tab, a click elsewhere).
    control->setInsertPolicy(QComboBox::NoInsert);
    control->setCompleter(nullptr);
    QObject::disconnect(control->lineEdit(), &QLineEdit::editingFinished, control, nullptr);
    for (qsizetype i = 0; i < entries.size(); ++i)
        control->addItem(entries[i], data[i]);
    control->setCurrentIndex(-1);
    control->lineEdit()->clear();
    return control;
}

// Adapters come and go while the program runs: each time the port list opens, every entry
// is told anew which device it names.
class PortTips : public QObject
{
public:
    explicit PortTips(QComboBox *list) : QObject(list), m_list(list)
    {
        list->view()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            QList<int> ports;
            for (int i = 0; i < m_list->count(); ++i)
                ports.append(m_list->itemData(i).toInt());
            const QStringList tips = MSComm::portTips(ports);
            for (int i = 0; i < m_list->count(); ++i)
                m_list->setItemData(i, tips.value(i), Qt::ToolTipRole);
        }
        return false;
    }

private:
    QComboBox *m_list;
};

void setStatusColour(QLabel *control, quint32 bgr)
{
    QPalette palette = control->palette();
    palette.setColor(QPalette::WindowText, vbColor(bgr));
    control->setPalette(palette);
}

} // namespace

Form1::Form1(QWidget *parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("SALVEX BY BREL http://www.salvex.example"));
    setWindowIcon(salvexIcon());
    setFont(formFont());
    resize(twips(6510), twips(7770));

    Command3 = plainButton(this, QStringLiteral("About"), 5040, 0, 1455, 255);

    Frame2 = frame(this, QStringLiteral("Texto recibido"), 240, 360, 5655, 3975);
    Texto_Recibido = new TextoRecibido(Frame2);
    place(Texto_Recibido, 240, 360, 5295, 2895);
    Command4 = plainButton(Frame2, QStringLiteral("Recibir Datos"), 240, 3360, 975, 495);
    Command2 = plainButton(Frame2, QStringLiteral("borrar"), 2400, 3360, 975, 495);
    Command1 = plainButton(Frame2, QStringLiteral("crear archivo excel"), 3720, 3360, 1695, 495);
    MSComm1 = new MSComm(this);

    Frame4 = frame(this, QString(), 240, 4440, 5655, 615);
    Frame4->setAccessibleName(QStringLiteral("Estado del puerto"));
    Label4 = label(Frame4, QStringLiteral("Puerto en uso:"), 240, 240, 1095, 255);
    Etiq_Puerto = label(Frame4, QStringLiteral("COM1:"), 1440, 240, 735, 255);
    Etiq_Estado = label(Frame4, QStringLiteral("CERRADO"), 2280, 240, 975, 255);
    Label5 = label(Frame4, QStringLiteral("Velocidad:"), 3480, 240, 855, 255);
    Etiq_Velocidad = label(Frame4, QStringLiteral("1200 bauds"), 4320, 240, 1215, 255);

    Frame1 = frame(this, QStringLiteral("Control de los puertos seriales"), 240, 5280, 5655, 1695);
    Label1 = label(Frame1, QStringLiteral("Puerto:"), 360, 600, 615, 255);
    Combo_Puerto = list(
        Frame1, { "COM1:", "COM2:", "COM3:", "COM4:" }, { 1, 2, 3, 4 }, 1080, 480, 1215, 315);
    Combo_Puerto->setAccessibleName(QStringLiteral("Puerto"));
    Combo_Puerto->lineEdit()->setAccessibleName(QStringLiteral("Puerto"));
    new PortTips(Combo_Puerto);
    Label2 = label(Frame1, QStringLiteral("Velocidad:"), 3000, 600, 855, 255);
    Combo_Velocidad = list(Frame1, { "1200 bauds", "2400 bauds", "4800 bauds", "9600 bauds" },
        { 1200, 2400, 4800, 9600 }, 3960, 480, 1455, 315);
    Combo_Velocidad->setAccessibleName(QStringLiteral("Velocidad"));
    Combo_Velocidad->lineEdit()->setAccessibleName(QStringLiteral("Velocidad"));
    Boton_Abrir = plainButton(Frame1, QStringLiteral("Abrir puerto"), 360, 1080, 1335, 495);
    Boton_Cerrar = plainButton(Frame1, QStringLiteral("Cerrar puerto"), 3600, 1080, 1815, 495);

    QWidget::setTabOrder(Boton_Abrir, Boton_Cerrar);
    QWidget::setTabOrder(Boton_Cerrar, Combo_Puerto);
    QWidget::setTabOrder(Combo_Puerto, Texto_Recibido);
    QWidget::setTabOrder(Texto_Recibido, Combo_Velocidad);
    QWidget::setTabOrder(Combo_Velocidad, Command1);
    QWidget::setTabOrder(Command1, Command2);
    QWidget::setTabOrder(Command2, Command3);
    QWidget::setTabOrder(Command3, Command4);
    Boton_Abrir->setFocus();

    // An operator's choice runs the handler even when it picks the entry already chosen.
    connect(Combo_Puerto, &QComboBox::activated, this, &Form1::Combo_Puerto_Click);
    connect(Combo_Velocidad, &QComboBox::activated, this, &Form1::Combo_Velocidad_Click);
    connect(Boton_Abrir, &QPushButton::clicked, this, &Form1::Boton_Abrir_Click);
    connect(Boton_Cerrar, &QPushButton::clicked, this, &Form1::Boton_Cerrar_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(MSComm1, &MSComm::OnComm, this, &Form1::MSComm1_OnComm);

    // The frame, title bar included, is centred, and placed before the window first shows:
    // its margins are asked for once the native window exists.
    winId();
    if (const QScreen *screen = this->screen()) {
        const QMargins frame = frameMarginsBeforeShow(this);
        QRect centred(QPoint(), size().grownBy(frame));
        centred.moveCenter(screen->availableGeometry().center());
        setGeometry(centred.marginsRemoved(frame));
    }

    // The reminder must be up before the window is first shown.
    Form_Load();
}

Form1::~Form1() = default;

void Form1::Form_Load()
{
    Carga_Terminada = 0;
    Combo_Puerto->setCurrentIndex(0);
    Combo_Puerto_Click();
    Combo_Velocidad->setCurrentIndex(3);
    Combo_Velocidad_Click();
    Carga_Terminada = -1;
    MSComm1->setInputLen(0);
    MSComm1->setRThreshold(1);
    MSComm1->setSThreshold(1);
    MsgBox(QStringLiteral("Recuerde, debe abrir un puerto antes de empezar a usarlo"), vbOKOnly);
    setStatusColour(Etiq_Estado, vbRed);
    Etiq_Estado->setText(QStringLiteral("CERRADO"));
}

void Form1::Combo_Puerto_Click()
{
    const qint16 before = Puerto_Actual;
    Puerto_Actual = qint16(Combo_Puerto->currentIndex());
    Puerto_Actual = qint16(Combo_Puerto->itemData(Puerto_Actual).toInt());
    if (Puerto_Actual != before && cargaTerminada())
        MsgBox(QStringLiteral("Debe abrir este puerto antes de usarlo"), vbOKOnly);
}

void Form1::Combo_Velocidad_Click()
{
    const qint16 before = Velocidad_Actual;
    Velocidad_Actual = qint16(Combo_Velocidad->currentIndex());
    Velocidad_Actual = qint16(Combo_Velocidad->itemData(Velocidad_Actual).toInt());
    if (Velocidad_Actual != before && cargaTerminada())
        MsgBox(QStringLiteral("Cambió la velocidad. Si el puerto ya estaba abierto,") + QChar(13)
                + QStringLiteral(" debe cerrarlo y luego abrirlo antes de usarlo"),
            vbOKOnly);
}

void Form1::Boton_Abrir_Click()
{
    try {
        MSComm1->setCommPort(Puerto_Actual);
        MSComm1->setSettings(numberText(Velocidad_Actual) + QStringLiteral(",E,8,1"));
        MSComm1->setPortOpen(true);
        MsgBox(QStringLiteral("Puerto COM") + numberText(Puerto_Actual)
                + QStringLiteral(": abierto OK"),
            vbOKOnly);
        Etiq_Puerto->setText(
            QStringLiteral("COM") + numberText(Puerto_Actual) + QStringLiteral(":"));
        Etiq_Velocidad->setText(numberText(Velocidad_Actual) + QStringLiteral(" bauds"));
        setStatusColour(Etiq_Estado, vbGreen);
        Etiq_Estado->setText(QStringLiteral("Abierto"));
    } catch (const CommError &error) {
        MsgBox(QStringLiteral("Error al intentar abrir COM") + numberText(Puerto_Actual), vbOKOnly);
        MsgBox(QStringLiteral("Error detectado por Visual Basic: ") + error.description, vbOKOnly);
    }
}

void Form1::Boton_Cerrar_Click()
{
    try {
        MSComm1->setPortOpen(false);
        MsgBox(QStringLiteral("Puerto COM") + numberText(Puerto_Actual)
                + QStringLiteral(": cerrado OK"),
            vbOKOnly);
        setStatusColour(Etiq_Estado, vbRed);
        Etiq_Estado->setText(QStringLiteral("CERRADO"));
    } catch (const CommError &error) {
        MsgBox(
            QStringLiteral("Error al intentar cerrar COM") + numberText(Puerto_Actual), vbOKOnly);
        MsgBox(QStringLiteral("Visual basic detectó: ") + error.description, vbOKOnly);
    }
}

void Form1::Command4_Click()
{
    try {
        MSComm1->setOutput(QStringLiteral("W"));
    } catch (const CommError &error) {
        MsgBox(QStringLiteral("Ocurrió un error al intentar sincronizar"), vbOKOnly);
        MsgBox(QStringLiteral("Visual Basic detectó: ") + error.description, vbOKOnly);
    }
}

void Form1::MSComm1_OnComm()
{
    // The control closed a port whose device went away: the panel must not go on saying
    // "Abierto".
    if (MSComm1->commEvent() == MSComm::comEventDeviceLost) {
        setStatusColour(Etiq_Estado, vbRed);
        Etiq_Estado->setText(QStringLiteral("CERRADO"));
        MsgBox(MSComm1->lostReport(), vbOKOnly);
        return;
    }
    if (MSComm1->commEvent() == MSComm::comEventLineErrors) {
        MsgBox(MSComm1->lineErrorReport(), vbOKOnly);
        return;
    }
    if (MSComm1->commEvent() != MSComm::comEvReceive)
        return;
    // The box keeps its own text; appending it is the same as old text plus new.
    Texto_Recibido->append(MSComm1->input());
}

void Form1::Command2_Click()
{
    Texto_Recibido->setText(QString());
}

void Form1::Command1_Click()
{
    if (!m_form2)
        m_form2 = new Form2(this, [this] { return Texto_Recibido->text(); });
    m_form2->exec();
}

void Form1::Command3_Click()
{
    if (!m_about)
        m_about = new frmAbout(this);
    m_about->exec();
}

void Form1::Form_Resize()
{
    const QSize client = size();
    if (client.isEmpty())
        return;
    m_image = QImage(client, QImage::Format_RGB32);
    m_image.fill(palette().color(QPalette::Window));

    // The client height is 512 units; band i covers units 2i to 2i + 2. Each band is
    // at least one row, and a row shared by two bands takes the lower one's colour. Every
    // band spans the whole client width.
    QPainter painter(&m_image);
    const int height = client.height();
    const int width = client.width();
    for (int i = 0; i < 256; ++i) {
        const int top = int((qint64(2 * i) * height) / 512);
        const int bottom = qMax(top + 1, int((qint64(2 * i + 2) * height + 511) / 512));
        painter.fillRect(QRect(0, top, width, bottom - top), vbColor(quint32(i) * 65536));
    }
    painter.end();
    update();
}

void Form1::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    Form_Resize();
}

void Form1::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        Form_Resize();
}

void Form1::keyPressEvent(QKeyEvent *event)
{
    // No button is the window's default, yet Enter presses the one that has the focus.
    auto *focused = qobject_cast<QPushButton *>(focusWidget());
    if (focused && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        focused->animateClick();
        return;
    }
    QWidget::keyPressEvent(event);
}

void Form1::paintEvent(QPaintEvent *)
{
    // Uncovering or moving the window shows the kept image; only a resize repaints it.
    QPainter painter(this);
    painter.drawImage(0, 0, m_image);
}
