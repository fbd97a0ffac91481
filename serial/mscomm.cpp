// SPDX-License-Identifier: MIT
#include "mscomm.h"

#include "codepage.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#ifdef Q_OS_WIN
#include "winserialport.h"
#else
#include <QSerialPort>
#include <QSerialPortInfo>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

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

bool isPseudoTerminal(const QString &device)
{
#ifdef Q_OS_UNIX
    return QFileInfo(device).canonicalFilePath().startsWith(QLatin1String("/dev/pts/"));
#else
    Q_UNUSED(device);
    return false;
#endif
}

QList<PresentPort> (*portsSource)() = nullptr;

// The device the operator named for a port number, if any.
QString chosenDevice(int port)
{
    return qEnvironmentVariable(qPrintable(QStringLiteral("SALVEX_COM%1").arg(port)));
}

#ifndef Q_OS_WIN
// Qt sets IGNPAR and clears INPCK and PARMRK at each opening and each parity change, so a
// byte damaged on the line would arrive looking whole. Marked by the driver, it is counted.
void markLineErrors(int fd)
{
    termios line {};
    if (fd < 0 || ::tcgetattr(fd, &line) != 0)
        return;
    line.c_iflag |= INPCK | PARMRK;
    line.c_iflag &= ~tcflag_t(IGNPAR | ISTRIP);
    ::tcsetattr(fd, TCSANOW, &line);
}

// The overruns the driver counted (the chip's and its buffer's), or -1 where the adapter's
// driver keeps no count.
qint64 overrunCount(int fd)
{
    serial_icounter_struct counts {};
    if (fd < 0 || ::ioctl(fd, TIOCGICOUNT, &counts) != 0)
        return -1;
    return qint64(counts.overrun) + counts.buf_overrun;
}

// The terminals the system console writes to ("tty0 ttyS0"): never the operator's port.
QStringList consoles()
{
    QFile active(QStringLiteral("/sys/class/tty/console/active"));
    if (!active.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(active.readAll()).simplified().split(QLatin1Char(' '));
}

#endif

// The port a number opens: the operator's choice, else the system's numbering of the ports
// present.
PresentPort portFor(
    int port, const QString &chosen, const QList<PresentPort> &present = MSComm::portsPresent())
{
#ifdef Q_OS_WIN
    return windowsComPort(port, present, chosen);
#else
    return comPort(port, present, consoles(), chosen);
#endif
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
    const QList<PresentPort> present = MSComm::portsPresent();
    QStringList entries;
#ifdef Q_OS_WIN
    // Every port present is reached by one of the four entries when one of them has none.
    for (int entry = 1; entry <= 4; ++entry) {
        const PresentPort found = windowsComPort(entry, present, QString());
        if (!found.device.isEmpty())
            entries.append(numberedPort(entry, found));
    }
    const QString name = QStringLiteral("el puerto");
#else
    const QList<PresentPort> ports = comPorts(present, consoles());
    for (qsizetype i = 0; i < ports.size(); ++i)
        entries.append(numberedPort(int(i + 1), ports[i]));
    const QString name = QStringLiteral("el dispositivo");
#endif
    if (entries.isEmpty())
        return QStringLiteral("no hay ningún puerto serie presente (conecte un adaptador serie "
                              "USB, o indique %1 en SALVEX_COM%2)")
            .arg(name)
            .arg(port);
    return QStringLiteral("ningún puerto serie de este equipo es COM%1. Puertos serie presentes: ")
               .arg(port)
        + entries.join(QStringLiteral(", "));
}

#ifndef Q_OS_WIN
// The device is there, but this user may not read and write it. Checked with the rights
// the opening itself used, not the login's.
bool accessDenied(const QString &device)
{
    return ::faccessat(AT_FDCWD, QFile::encodeName(device).constData(), R_OK | W_OK, AT_EACCESS)
        != 0
        && errno == EACCES;
}

// Serial devices belong to a group (dialout on Debian) whose members may use them; a new
// membership counts from the next login on.
QString accessHint(const QString &device)
{
    const QFileInfo info(device);
    const QFile::Permissions groupUse = QFile::ReadGroup | QFile::WriteGroup;
    if (info.group().isEmpty() || (info.permissions() & groupUse) != groupUse)
        return QStringLiteral("no tiene permiso para usarlo; pida al administrador del equipo "
                              "acceso de lectura y escritura a ")
            + device;
    return QStringLiteral("no tiene permiso para usarlo; para tenerlo, su usuario debe ser "
                          "miembro del grupo %1 (sudo adduser $USER %1) y volver a iniciar la "
                          "sesión")
        .arg(info.group());
}
#endif

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
    return portFor(port, QString()).device;
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
        const PresentPort found = portFor(port, chosenDevice(port), present);
        const QString description = describe(found);
        tips.append(found.device.isEmpty() ? QStringLiteral("sin puerto")
                : description.isEmpty()    ? found.device
                                           : found.device + QStringLiteral(" — ") + description);
#ifndef Q_OS_WIN
        // ttyUSB numbers may swap at the next start-up; the adapter's own name does not.
        if (const QString stable = stableName(found.device); !stable.isEmpty())
            tips.last() += QStringLiteral("\nPara que COM%1 abra siempre este adaptador: "
                                          "SALVEX_COM%1=%2")
                               .arg(port)
                               .arg(stable);
#endif
    }
    return tips;
}

QList<PresentPort> MSComm::portsPresent()
{
    if (portsSource)
        return portsSource();
#ifdef Q_OS_WIN
    return windowsPortsPresent();
#else
    QList<PresentPort> ports;
    const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available)
        ports.append({ info.systemLocation(), info.description() });
    return ports;
#endif
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
    // A pseudo-terminal keeps no parity and refuses it, though the line works; a real
    // device takes it.
    const auto taken = [this](bool done) { return done || m_port->error() == SerialPort::NoError; };
    const bool noParity = isPseudoTerminal(m_device);
    m_port->clearError();
    const bool ok = taken(m_port->setBaudRate(line.baud))
        && taken(m_port->setDataBits(SerialPort::DataBits(line.dataBits)))
        && (taken(m_port->setParity(parity)) || noParity) && taken(m_port->setStopBits(stopBits))
        && taken(m_port->setFlowControl(SerialPort::NoFlowControl));
#ifndef Q_OS_WIN
    if (m_port->isOpen())
        markLineErrors(m_port->handle());
#endif
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
        int number = error == SerialPort::PermissionError ? AccessDenied : PortUnavailable;
        QString reason = openFailure(error);
#ifndef Q_OS_WIN
        if (accessDenied(m_device)) {
            number = AccessDenied;
            reason = accessHint(m_device);
        }
#else
        if (error == SerialPort::PermissionError && m_port->heldByDriver())
            reason = QStringLiteral("el controlador del adaptador no ha soltado el puerto desde "
                                    "la última lectura; desconecte el adaptador y vuelva a "
                                    "conectarlo");
#endif
        throw CommError { number,
            QStringLiteral("No se pudo abrir %1: %2 (%3)")
                .arg(portLabel(), reason, m_port->errorString()) };
    }
    m_lostReason.clear();
    forgetReception();
#ifndef Q_OS_WIN
    markLineErrors(m_port->handle());
#endif
    startLineCount();
}

void MSComm::forgetReception()
{
    m_quiet.stop();
    m_lastByte.invalidate();
    m_in.clear();
    m_marks = LineMarks();
}

// Errors the adapter noted while no answer was coming belong to none.
void MSComm::startLineCount()
{
#ifdef Q_OS_WIN
    m_port->takeLineErrors();
#else
    m_overrunsSeen = overrunCount(m_port->handle());
#endif
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
#ifndef Q_OS_WIN
    // Qt only queues the bytes; handed to the driver now, a device gone fails this request.
    if (written == bytes.size())
        m_port->flush();
#endif
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
    const QByteArray raw = m_port->readAll();
    if (raw.isEmpty())
        return;
#ifdef Q_OS_WIN
    m_in += raw;
#else
    m_marks.decode(raw, m_in);
#endif
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
    QStringList found;
#ifdef Q_OS_WIN
    // Windows says which errors there were, not in how many bytes.
    const quint32 kinds = m_port->takeLineErrors();
    if (kinds & CE_RXPARITY)
        found.append(QStringLiteral("errores de paridad"));
    if (kinds & CE_FRAME)
        found.append(QStringLiteral("errores de trama"));
    if (kinds & CE_OVERRUN)
        found.append(QStringLiteral("desbordamiento del adaptador, con bytes perdidos"));
    if (kinds & CE_RXOVER)
        found.append(QStringLiteral("desbordamiento del búfer de entrada, con bytes perdidos"));
    if (kinds & CE_BREAK)
        found.append(QStringLiteral("cortes de la línea"));
#else
    const qint64 damaged = std::exchange(m_marks.damaged, 0);
    const qint64 breaks = std::exchange(m_marks.breaks, 0);
    const qint64 overruns = overrunCount(m_port->handle());
    const qint64 lost = overruns >= 0 && m_overrunsSeen >= 0 ? overruns - m_overrunsSeen : 0;
    m_overrunsSeen = overruns;
    if (damaged > 0)
        found.append(QStringLiteral("%1 bytes dañados (error de paridad o de trama)").arg(damaged));
    if (breaks > 0)
        found.append(QStringLiteral("%1 cortes de la línea").arg(breaks));
    if (lost > 0)
        found.append(
            QStringLiteral("%1 desbordamientos del adaptador, con bytes perdidos").arg(lost));
#endif
    if (found.isEmpty())
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
