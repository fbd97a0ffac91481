// SPDX-License-Identifier: MIT
#include "linuxserialport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <optional>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// A pseudo-terminal keeps no parity and refuses it, though the line works.
bool isPseudoTerminal(const QString &device)
{
    return QFileInfo(device).canonicalFilePath().startsWith(QLatin1String("/dev/pts/"));
}

// Qt sets IGNPAR and clears INPCK and PARMRK at each opening and each change of the line,
// so a byte damaged on the line would arrive looking whole. Marked by the driver, it is
// counted. A break is marked as a damaged NUL is; where the driver counts breaks and gives
// each its own mark, the mark is dropped (IGNBRK) so that the two cannot be mixed up. Qt also
// never clears CMSPAR, which the line keeps until reboot or unplugging: left by a program
// that used mark or space parity, it would turn even parity into space.
void markLineErrors(int fd, bool stickParity, bool ignoreBreaks)
{
    termios line {};
    if (fd < 0 || ::tcgetattr(fd, &line) != 0)
        return;
    line.c_iflag |= INPCK | PARMRK;
    line.c_iflag &= ~tcflag_t(IGNPAR | ISTRIP | IGNBRK);
    if (ignoreBreaks)
        line.c_iflag |= IGNBRK;
    if (!stickParity)
        line.c_cflag &= ~tcflag_t(CMSPAR);
    ::tcsetattr(fd, TCSANOW, &line);
}

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

QByteArray systemRead(QSerialPort &port)
{
    return port.readAll();
}

std::optional<DriverCounts> systemCounts(int fd)
{
    // Asking for the lines first also has the 8250 count the changes its chip noted.
    int lines = 0;
    const bool linesKnown = fd >= 0 && ::ioctl(fd, TIOCMGET, &lines) == 0;
    serial_icounter_struct counts {};
    if (fd < 0 || ::ioctl(fd, TIOCGICOUNT, &counts) != 0) {
        if (!linesKnown)
            return std::nullopt;
        // PL2303: the lines, but no counts.
        counts = {};
    }
    int on = 0;
    for (const auto &[line, told] : { std::pair { TIOCM_DSR, LineErrors::Dsr },
             { TIOCM_CTS, LineErrors::Cts }, { TIOCM_CD, LineErrors::Dcd } }) {
        if (lines & line)
            on |= told;
    }
    return DriverCounts { counts.parity, counts.frame, counts.brk, counts.overrun,
        counts.buf_overrun, counts.dsr, counts.cts, counts.dcd, on };
}

// The serial core (ttyS) and cdc_acm (ttyACM) give a break a mark of its own; USB serial
// adapters' drivers (ttyUSB) may mark a whole packet for it (FTDI, PL2303). cdc_acm counts
// damaged bytes without marking them.
LineReader::Driver systemDriver(const QString &device)
{
    const QString name = QFileInfo(QFileInfo(device).canonicalFilePath()).fileName();
    if (name.startsWith(QLatin1String("ttyS")))
        return { true, false };
    if (name.startsWith(QLatin1String("ttyACM")))
        return { false, false };
    return { true, true };
}

const LineDriverCalls systemLineCalls = { systemRead, systemCounts, systemDriver };
const LineDriverCalls *currentCalls = &systemLineCalls;

} // namespace

const LineDriverCalls &LinuxSerialPort::systemCalls()
{
    return systemLineCalls;
}

void LinuxSerialPort::setCalls(const LineDriverCalls *calls)
{
    currentCalls = calls ? calls : &systemLineCalls;
}

LinuxSerialPort::LinuxSerialPort(QObject *parent) : QObject(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &LinuxSerialPort::readyRead);
    connect(&m_port, &QSerialPort::bytesWritten, this, &LinuxSerialPort::bytesWritten);
    connect(&m_port, &QSerialPort::errorOccurred, this, &LinuxSerialPort::onError);
    m_hangUp.setEnabled(false);
    connect(&m_hangUp, &QSocketNotifier::activated, this, &LinuxSerialPort::onHangUp);
}

LinuxSerialPort::~LinuxSerialPort() = default;

void LinuxSerialPort::setPortName(const QString &name)
{
    // Qt takes a bare name (ttyUSB0) as one under /dev/; the checks made here must too.
    m_name = name.startsWith(u'/') ? name : QStringLiteral("/dev/") + name;
    m_port.setPortName(name);
}

// Qt writes its own copy of the line's settings at every change, marks off.
bool LinuxSerialPort::marked(bool taken)
{
    if (m_port.isOpen())
        markLineErrors(int(m_port.handle()), stickParity(), !m_driver.marksBreaks);
    return taken;
}

bool LinuxSerialPort::stickParity() const
{
    return m_port.parity() == MarkParity || m_port.parity() == SpaceParity;
}

bool LinuxSerialPort::setBaudRate(qint32 baud)
{
    return marked(m_port.setBaudRate(baud));
}

bool LinuxSerialPort::setDataBits(DataBits bits)
{
    return marked(m_port.setDataBits(bits));
}

bool LinuxSerialPort::setParity(Parity parity)
{
    const bool taken = m_port.setParity(parity);
    if (!taken && isPseudoTerminal(m_name)) {
        m_port.clearError();
        return marked(true);
    }
    return marked(taken);
}

bool LinuxSerialPort::setStopBits(StopBits bits)
{
    return marked(m_port.setStopBits(bits));
}

bool LinuxSerialPort::setFlowControl(FlowControl flow)
{
    return marked(m_port.setFlowControl(flow));
}

bool LinuxSerialPort::open(QIODevice::OpenMode mode)
{
    m_error = NoError;
    m_errorString.clear();
    m_hint.clear();
    if (!m_port.open(mode)) {
        if (accessDenied(m_name)) {
            m_error = PermissionError;
            m_hint = accessHint(m_name);
        }
        return false;
    }
    m_driver = currentCalls->driver(m_name);
    markLineErrors(int(m_port.handle()), stickParity(), !m_driver.marksBreaks);
    m_released.clear();
    m_reader.restart(driverCounts(), m_driver);
    m_hangUp.setSocket(m_port.handle());
    m_hangUp.setEnabled(true);
    return true;
}

void LinuxSerialPort::close()
{
    // Off before the descriptor goes, whose number the system may soon give to another file.
    m_hangUp.setEnabled(false);
    // The last closing waits until the driver has sent what it holds, up to its closing wait
    // (30 s): a device that stopped taking bytes (a stalled USB modem) would freeze the
    // window that long. A moment is given for the request to go out; what is left then is
    // discarded, and where the driver cannot discard it, the last reference is let go in the
    // background.
    const int fd = int(m_port.handle());
    int kept = -1;
    int unsent = 0;
    if (fd >= 0 && ::ioctl(fd, TIOCOUTQ, &unsent) == 0 && unsent > 0) {
        QElapsedTimer waited;
        waited.start();
        while (::ioctl(fd, TIOCOUTQ, &unsent) == 0 && unsent > 0 && waited.elapsed() < 250)
            QThread::msleep(10);
        if (unsent > 0)
            ::tcflush(fd, TCOFLUSH);
        if (::ioctl(fd, TIOCOUTQ, &unsent) == 0 && unsent > 0)
            kept = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    }
    m_port.close();
    if (kept >= 0)
        std::thread([kept] { ::close(kept); }).detach();
    m_released.clear();
    m_reader.restart(std::nullopt, m_driver);
}

QByteArray LinuxSerialPort::readAll()
{
    QByteArray bytes = std::exchange(m_released, QByteArray());
    bytes += m_reader.read(currentCalls->read(m_port), [this] { return driverCounts(); });
    return bytes;
}

// The device went: what the reader held back is the last of the answer.
void LinuxSerialPort::releaseHeld()
{
    m_reader.take(driverCounts(), &m_released);
}

qint64 LinuxSerialPort::write(const QByteArray &data)
{
    const qint64 queued = m_port.write(data);
    // Qt only queues the bytes; handed to the driver now, a device gone fails the request
    // that found it, which then tells the loss itself. A driver with no room yet (the
    // machine reads slowly, the adapter's buffers are full) would refuse them for now, which
    // Qt tells as an error: they wait in Qt's queue until the line drains.
    pollfd line { int(m_port.handle()), POLLOUT, 0 };
    if (queued == data.size() && ::poll(&line, 1, 0) > 0)
        m_port.flush();
    return queued;
}

std::optional<DriverCounts> LinuxSerialPort::driverCounts() const
{
    return currentCalls->counts(int(m_port.handle()));
}

LineErrors LinuxSerialPort::takeLineErrors()
{
    int unread = 0;
    const bool waiting = m_port.bytesAvailable() > 0
        || (::ioctl(int(m_port.handle()), FIONREAD, &unread) == 0 && unread > 0);
    return m_reader.take(driverCounts(), &m_released, waiting);
}

// A hang-up (the adapter unplugged, the other end closed) leaves the descriptor hung up:
// poll tells it, and the driver answers no more requests.
bool LinuxSerialPort::deviceGone() const
{
    const int fd = int(m_port.handle());
    if (fd < 0)
        return false;
    pollfd line { fd, POLLIN | POLLOUT, 0 };
    if (::poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return true;
    termios settings {};
    if (::tcgetattr(fd, &settings) != 0)
        return true;
    return !QFileInfo::exists(m_name);
}

// The line hung up: the adapter unplugged, the device's driver gone, the other end closed.
// Qt told it as a failed read until 6.7.1; from then on such a read gives nothing, says
// nothing, and Qt's read notifier fires for ever, so the hang-up is watched here on every
// version. Bytes that came before it are Qt's to read first: its notifier fires too.
void LinuxSerialPort::onHangUp()
{
    int waiting = 0;
    const int fd = int(m_port.handle());
    if (!m_port.isOpen() || (::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0))
        return;
    // Told once; the owner closes the port, which ends Qt's spinning read notifier as well.
    m_hangUp.setEnabled(false);
    if (!deviceGone())
        return;
    m_error = ResourceError;
    m_errorString = QStringLiteral("el dispositivo se desconectó");
    releaseHeld();
    Q_EMIT errorOccurred(ResourceError);
}

void LinuxSerialPort::onError(SerialPortError error)
{
    m_error = NoError;
    m_errorString.clear();
    // After a hang-up the driver's read gives nothing and no error of its own, and Qt reports
    // whatever the system said last: a stale, misleading text. The device has gone; say so.
    const bool loss = error == ReadError || error == ResourceError || error == WriteError;
    if (loss && m_port.isOpen() && deviceGone()) {
        m_error = error;
        m_errorString = QStringLiteral("el dispositivo se desconectó");
        releaseHeld();
    }
    Q_EMIT errorOccurred(error);
}

LinuxSerialPort::SerialPortError LinuxSerialPort::error() const
{
    return m_error != NoError ? m_error : m_port.error();
}

QString LinuxSerialPort::errorString() const
{
    return m_errorString.isEmpty() ? m_port.errorString() : m_errorString;
}

void LinuxSerialPort::clearError()
{
    m_error = NoError;
    m_errorString.clear();
    m_port.clearError();
}
