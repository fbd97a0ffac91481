// SPDX-License-Identifier: MIT
#include "mscomm.h"

#include "codepage.h"
#include "serialport.h"

#include <QRegularExpression>

namespace {

// The operator reads the description in a message box: name the device, say what went
// wrong, then what the system itself answered.
QString openFailure(SerialPort::SerialPortError error)
{
    switch (error) {
    case SerialPort::DeviceNotFoundError:
        return QStringLiteral("el dispositivo no existe o no está conectado");
    case SerialPort::PermissionError:
        return QStringLiteral(
            "el puerto está ocupado por otro programa o no tiene permiso para usarlo");
    case SerialPort::OpenError:
        return QStringLiteral("el puerto ya está abierto");
    case SerialPort::TimeoutError:
        return QStringLiteral("el dispositivo no responde (un enlace Bluetooth necesita el "
                              "aparato encendido y cerca)");
    case SerialPort::ResourceError:
        return QStringLiteral(
            "el dispositivo no funciona; desconecte el adaptador y vuelva a conectarlo");
    default:
        return QStringLiteral("el sistema no permitió abrirlo");
    }
}

QList<PresentPort> (*portsSource)() = nullptr;

// The device the operator named for a port number, if any.
QString chosenDevice(int port)
{
    return qEnvironmentVariable(qPrintable(QStringLiteral("SALVEX_COM%1").arg(port)));
}

// The system's description of a port, unless it only repeats the port's name, as it may on
// Windows for a port without a name of its own.
QString describe(const PresentPort &port)
{
    return port.description.compare(port.device, Qt::CaseInsensitive) == 0 ? QString()
                                                                           : port.description;
}

// "COM1 = /dev/ttyUSB0 (FT232R USB UART)"; on Windows "COM1 = COM5 (...)", or "COM3 (...)"
// for an entry that opens the port of its own number.
QString numberedPort(int port, const PresentPort &found)
{
    const QString com = QStringLiteral("COM%1").arg(port);
    QString entry = found.device.compare(com, Qt::CaseInsensitive) == 0
        ? com
        : com + QStringLiteral(" = ") + found.device;
    if (!describe(found).isEmpty())
        entry += QStringLiteral(" (") + describe(found) + QStringLiteral(")");
    return entry;
}

// With no device behind the chosen number, the operator learns which numbers do have one.
QString noDevice(int port)
{
    const QList<PresentPort> ports = entryPorts(MSComm::portsPresent());
    QStringList entries;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        if (!ports[i].device.isEmpty())
            entries.append(numberedPort(int(i + 1), ports[i]));
    }
    if (entries.isEmpty())
        return noPortPresent(port);
    return QStringLiteral("ningún puerto serie de este equipo es COM%1. Puertos serie presentes: ")
               .arg(port)
        + entries.join(QStringLiteral(", "));
}

} // namespace

MSComm::MSComm(QObject *parent) : QObject(parent), m_port(std::make_unique<SerialPort>())
{
    parseSettings(m_settings, &m_line);
    m_quiet.setSingleShot(true);
    connect(&m_quiet, &QTimer::timeout, this, &MSComm::answerQuiet);
    connect(m_port.get(), &SerialPort::readyRead, this, &MSComm::onReadyRead);
    connect(m_port.get(), &SerialPort::bytesWritten, this, &MSComm::onBytesWritten);
    connect(m_port.get(), &SerialPort::errorOccurred, this,
        [this](SerialPort::SerialPortError error) { onError(int(error)); });
}

MSComm::~MSComm()
{
    if (m_port->isOpen())
        m_port->close();
}

void MSComm::setInputLen(qint16 value)
{
    if (value < 0)
        throw CommError { InvalidSettings, QStringLiteral("Valor de InputLen no válido") };
    m_inputLen = value;
}

void MSComm::setRThreshold(qint16 value)
{
    m_rThreshold = value;
}

void MSComm::setSThreshold(qint16 value)
{
    m_sThreshold = value;
}

QString MSComm::deviceName(int port)
{
    // The operator's own choice needs no look at the ports present.
    const QString chosen = chosenDevice(port);
    if (!chosen.isEmpty())
        return chosen;
    return entryPort(port, portsPresent(), QString()).device;
}

QString MSComm::portTip(int port)
{
    return portTips({ port }).value(0);
}

QStringList MSComm::portTips(const QList<int> &ports)
{
    // One look at the system for the whole list: on Windows it asks the registry and the
    // device manager.
    const QList<PresentPort> present = portsPresent();
    QStringList tips;
    for (const int port : ports) {
        const PresentPort found = entryPort(port, present, chosenDevice(port));
        const QString description = describe(found);
        tips.append(found.device.isEmpty() ? QStringLiteral("sin puerto")
                : description.isEmpty()    ? found.device
                                           : found.device + QStringLiteral(" — ") + description);
        if (const QString hint = keepingHint(port, found.device); !hint.isEmpty())
            tips.last() += QLatin1Char('\n') + hint;
    }
    return tips;
}

QList<PresentPort> MSComm::portsPresent()
{
    if (portsSource)
        return portsSource();
    return systemPorts();
}

void MSComm::setPortsPresentSource(QList<PresentPort> (*source)())
{
    portsSource = source;
}

QString MSComm::portLabel() const
{
    const QString com = QStringLiteral("COM%1").arg(m_commPort);
    return m_device.isEmpty() || m_device == com ? com
                                                 : QStringLiteral("%1 (%2)").arg(m_device, com);
}

void MSComm::setCommPort(qint16 port)
{
    if (m_port->isOpen())
        throw CommError { PortAlreadyOpen,
            QStringLiteral("El puerto %1 ya está abierto; ciérrelo antes de "
                           "cambiar de puerto")
                .arg(portLabel()) };
    if (port < 1 || port > 16)
        throw CommError { InvalidPortNumber,
            QStringLiteral("Número de puerto no válido: %1").arg(port) };
    m_commPort = port;
    m_device.clear();
    m_lostReason.clear();
}

bool MSComm::parseSettings(const QString &text, LineSettings *out)
{
    static const QRegularExpression form(
        QStringLiteral("^ ?(\\d{2,7}),([NEOMSneoms]),([5-8]),(1|1\\.5|2)$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return false;
    bool ok = false;
    const qint64 baud = match.captured(1).toLongLong(&ok);
    if (!ok || baud < 50 || baud > 4000000)
        return false;
    const int dataBits = match.captured(3).toInt();
    const QString stop = match.captured(4);
    // One and a half stop bits only exist with five data bits.
    if (stop == QLatin1String("1.5") && dataBits != 5)
        return false;
    out->baud = qint32(baud);
    out->parity = match.captured(2).at(0).toUpper().toLatin1();
    out->dataBits = dataBits;
    out->stopBits = stop == QLatin1String("1") ? 1 : stop == QLatin1String("2") ? 2 : 3;
    return true;
}

void MSComm::setSettings(const QString &settings)
{
    LineSettings line;
    if (!parseSettings(settings, &line))
        throw CommError { InvalidSettings,
            QStringLiteral("Configuración del puerto no válida: \"%1\"; se "
                           "espera velocidad,paridad,bits de datos,bits de parada "
                           "(por ejemplo 9600,E,8,1)")
                .arg(settings) };
    if (m_port->isOpen())
        applySettings(line, settings);
    m_line = line;
    m_settings = settings;
}

void MSComm::applySettings(const LineSettings &line, const QString &text)
{
    SerialPort::Parity parity = SerialPort::NoParity;
    switch (line.parity) {
    case 'E':
        parity = SerialPort::EvenParity;
        break;
    case 'O':
        parity = SerialPort::OddParity;
        break;
    case 'M':
        parity = SerialPort::MarkParity;
        break;
    case 'S':
        parity = SerialPort::SpaceParity;
        break;
    default:
        break;
    }
    const auto stopBits = line.stopBits == 1 ? SerialPort::OneStop
        : line.stopBits == 2                 ? SerialPort::TwoStop
                                             : SerialPort::OneAndHalfStop;
    const auto taken = [this](bool done) { return done || m_port->error() == SerialPort::NoError; };
    m_port->clearError();
    const bool ok = taken(m_port->setBaudRate(line.baud))
        && taken(m_port->setDataBits(SerialPort::DataBits(line.dataBits)))
        && taken(m_port->setParity(parity)) && taken(m_port->setStopBits(stopBits))
        && taken(m_port->setFlowControl(SerialPort::NoFlowControl));
    if (!ok)
        throw CommError { SettingsRefused,
            QStringLiteral("El puerto %1 no admite la configuración \"%2\": %3")
                .arg(portLabel(), text, m_port->errorString()) };
}

void MSComm::setPortOpen(bool open)
{
    if (!open) {
        // Closing a port that is not open is accepted, as the operator expects.
        if (m_port->isOpen())
            m_port->close();
        forgetReception();
        return;
    }
    if (m_port->isOpen())
        throw CommError { PortAlreadyOpen,
            QStringLiteral("El puerto %1 ya está abierto").arg(portLabel()) };

    // Looked up at each opening: an adapter plugged in since start-up is found.
    m_device = deviceName(m_commPort);
    if (m_device.isEmpty())
        throw CommError { PortUnavailable,
            QStringLiteral("No se pudo abrir COM%1: ").arg(m_commPort) + noDevice(m_commPort) };
    m_port->setPortName(m_device);
    // Settings given before the opening are the ones the port opens with.
    applySettings(m_line, m_settings);
    m_port->clearError();
    if (!m_port->open(QIODevice::ReadWrite)) {
        const SerialPort::SerialPortError error = m_port->error();
        const int number = error == SerialPort::PermissionError ? AccessDenied : PortUnavailable;
        QString reason = m_port->refusalHint();
        if (reason.isEmpty())
            reason = openFailure(error);
        throw CommError { number,
            QStringLiteral("No se pudo abrir %1: %2 (%3)")
                .arg(portLabel(), reason, m_port->errorString()) };
    }
    m_lostReason.clear();
    forgetReception();
    startLineCount();
}

void MSComm::forgetReception()
{
    m_quiet.stop();
    m_lastByte.invalidate();
    m_in.clear();
}

// Errors the adapter noted while no answer was coming belong to none.
void MSComm::startLineCount()
{
    m_port->takeLineErrors();
}

bool MSComm::portOpen() const
{
    return m_port->isOpen();
}

void MSComm::setOutput(const QString &text)
{
    if (!m_port->isOpen()) {
        QString why = QStringLiteral("El puerto %1 no está abierto").arg(portLabel());
        if (!m_lostReason.isEmpty())
            why += QStringLiteral(": ") + m_lostReason;
        throw CommError { PortNotOpen, why };
    }
    const QByteArray bytes = CodePage::toBytes(text);
    // The answer to this request is judged once it has gone quiet.
    if (!m_quiet.isActive())
        startLineCount();
    m_lastByte.invalidate();
    m_quiet.start(QuietMs);
    m_requesting = true;
    const qint64 written = m_port->write(bytes);
    m_requesting = false;
    if (written == bytes.size() && m_port->isOpen())
        return;
    // The request found the device gone: its own refusal tells the loss, and nothing else.
    if (!m_port->isOpen())
        throw CommError { WriteFailed,
            QStringLiteral("No se pudo escribir en %1. ").arg(portLabel()) + lostReport() };
    throw CommError { WriteFailed,
        QStringLiteral("No se pudo escribir en %1: %2").arg(portLabel(), m_port->errorString()) };
}

QString MSComm::input()
{
    if (!m_port->isOpen())
        return QString();
    pull();
    QByteArray bytes;
    if (m_inputLen > 0 && m_in.size() > m_inputLen) {
        bytes = m_in.left(m_inputLen);
        m_in.remove(0, m_inputLen);
    } else {
        bytes = std::exchange(m_in, QByteArray());
    }
    // One character per byte, in the system's code page, so nothing is lost or altered.
    return CodePage::toText(bytes);
}

void MSComm::pull()
{
    const QByteArray bytes = m_port->readAll();
    if (bytes.isEmpty())
        return;
    m_in += bytes;
    // Restarting the timer for every piece of a flood would cost more than the piece.
    m_lastByte.start();
    if (!m_quiet.isActive())
        m_quiet.start(QuietMs);
}

void MSComm::onReadyRead()
{
    pull();
    if (m_rThreshold <= 0 || m_in.size() < m_rThreshold)
        return;
    // A handler that leaves characters unread is told again while they wait.
    while (m_port->isOpen() && m_in.size() >= qMax<qint16>(m_rThreshold, 1)) {
        const qsizetype before = m_in.size();
        m_commEvent = comEvReceive;
        Q_EMIT OnComm();
        if (!m_port->isOpen() || m_in.size() >= before)
            break;
    }
}

void MSComm::onBytesWritten()
{
    if (m_sThreshold <= 0 || m_port->bytesToWrite() >= m_sThreshold)
        return;
    m_commEvent = comEvSend;
    Q_EMIT OnComm();
}

void MSComm::onError(int error)
{
    // A pseudo-terminal has no modem lines; that is not a loss of the device.
    if (error != SerialPort::ReadError && error != SerialPort::ResourceError
        && error != SerialPort::WriteError)
        return;
    if (!m_port->isOpen())
        return;
    // The cable or adapter is gone: left open, the port would report the hang-up
    // over and over. Keep what was already received, and close.
    m_lostCause = m_port->errorString();
    m_lostReason = QStringLiteral("se perdió la conexión con el dispositivo (%1)").arg(m_lostCause);
    // Characters that arrived before the loss are still delivered.
    pull();
    if (m_rThreshold > 0 && !m_in.isEmpty()) {
        m_commEvent = comEvReceive;
        Q_EMIT OnComm();
    }
    if (!m_port->isOpen())
        return;
    m_port->close();
    forgetReception();
    if (m_requesting)
        return;
    // Told once the port's own code has returned, so that a message box shown for it runs
    // no event loop inside the driver's completion.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_commEvent = comEventDeviceLost;
            Q_EMIT OnComm();
        },
        Qt::QueuedConnection);
}

QString MSComm::lostReport() const
{
    return QStringLiteral("Se perdió la conexión con %1 y el puerto quedó cerrado (%2). Lo "
                          "recibido hasta ese momento sigue en el cuadro de texto. Vuelva a "
                          "conectar el dispositivo y pulse \"Abrir puerto\".")
        .arg(portLabel(), m_lostCause);
}

// The answer has gone quiet: if the line damaged any of it, the operator is told once.
void MSComm::answerQuiet()
{
    if (!m_port->isOpen())
        return;
    if (m_lastByte.isValid() && m_lastByte.elapsed() < QuietMs) {
        m_quiet.start(int(QuietMs - m_lastByte.elapsed()));
        return;
    }
    const QStringList found = m_port->takeLineErrors().told();
    // Bytes the port held back until the answer was over reach the text before the report.
    onReadyRead();
    if (found.isEmpty() || !m_port->isOpen())
        return;
    m_lineReport = QStringLiteral("La respuesta recibida por %1 llegó con errores en la línea: %2. "
                                  "Puede contener importes equivocados: repita la lectura con "
                                  "\"Recibir Datos\" antes de guardar.")
                       .arg(portLabel(), found.join(QStringLiteral(", ")));
    m_commEvent = comEventLineErrors;
    Q_EMIT OnComm();
}

QString MSComm::lineErrorReport() const
{
    return m_lineReport;
}
