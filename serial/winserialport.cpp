#include "winserialport.h"

#include <QWinEventNotifier>

#include <utility>

namespace {

// Bytes asked of one read.
constexpr DWORD ReadChunk = 4096;
// A read waits for its first byte as long as it takes, then ends at the first pause of
// this many milliseconds between bytes: a report comes in pieces as it arrives.
constexpr DWORD ByteGapMs = 1;

// The system's own words for an error code, in the system's language.
QString systemMessage(DWORD code)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = length ? QString::fromWCharArray(text, int(length)).trimmed()
                             : QStringLiteral("error %1").arg(code);
    LocalFree(text);
    return message;
}

} // namespace

WinSerialPort::WinSerialPort(QObject *parent) : QObject(parent)
{
    // Manual-reset events: a completion stays signalled until the next request resets it.
    m_readOverlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_writeOverlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_readNotifier = new QWinEventNotifier(m_readOverlapped.hEvent, this);
    m_writeNotifier = new QWinEventNotifier(m_writeOverlapped.hEvent, this);
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    connect(m_readNotifier, &QWinEventNotifier::activated, this, &WinSerialPort::onReadDone);
    connect(m_writeNotifier, &QWinEventNotifier::activated, this, &WinSerialPort::onWriteDone);
}

WinSerialPort::~WinSerialPort()
{
    close();
    delete m_readNotifier;
    delete m_writeNotifier;
    CloseHandle(m_readOverlapped.hEvent);
    CloseHandle(m_writeOverlapped.hEvent);
}

void WinSerialPort::setPortName(const QString &name)
{
    m_name = name;
}

bool WinSerialPort::setBaudRate(qint32 baud)
{
    m_baud = baud;
    return !isOpen() || changeLine([this](DCB &dcb) { putBaud(dcb); });
}

bool WinSerialPort::setDataBits(DataBits bits)
{
    m_dataBits = bits;
    return !isOpen() || changeLine([this](DCB &dcb) { putDataBits(dcb); });
}

bool WinSerialPort::setParity(Parity parity)
{
    m_parity = parity;
    return !isOpen() || changeLine([this](DCB &dcb) { putParity(dcb); });
}

bool WinSerialPort::setStopBits(StopBits bits)
{
    m_stopBits = bits;
    return !isOpen() || changeLine([this](DCB &dcb) { putStopBits(dcb); });
}

bool WinSerialPort::setFlowControl(FlowControl)
{
    return !isOpen() || changeLine([this](DCB &dcb) { putFlowControl(dcb); });
}

void WinSerialPort::putBaud(DCB &dcb) const
{
    dcb.BaudRate = DWORD(m_baud);
}

void WinSerialPort::putDataBits(DCB &dcb) const
{
    dcb.ByteSize = BYTE(m_dataBits);
}

void WinSerialPort::putParity(DCB &dcb) const
{
    switch (m_parity) {
    case EvenParity:
        dcb.Parity = EVENPARITY;
        break;
    case OddParity:
        dcb.Parity = ODDPARITY;
        break;
    case SpaceParity:
        dcb.Parity = SPACEPARITY;
        break;
    case MarkParity:
        dcb.Parity = MARKPARITY;
        break;
    default:
        dcb.Parity = NOPARITY;
        break;
    }
    dcb.fParity = m_parity != NoParity;
}

void WinSerialPort::putStopBits(DCB &dcb) const
{
    dcb.StopBits = m_stopBits == TwoStop ? TWOSTOPBITS
        : m_stopBits == OneAndHalfStop   ? ONE5STOPBITS
                                         : ONESTOPBIT;
}

void WinSerialPort::putFlowControl(DCB &dcb) const
{
    dcb.fOutxCtsFlow = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = FALSE;
}

// Changes what `change` sets and leaves the rest of the line as the driver has it, as
// QSerialPort does: a setting that one device cannot take then fails alone.
bool WinSerialPort::changeLine(const std::function<void(DCB &)> &change)
{
    DCB dcb {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_handle, &dcb)) {
        fail(UnsupportedOperationError, GetLastError());
        return false;
    }
    change(dcb);
    if (SetCommState(m_handle, &dcb))
        return true;
    const DWORD code = GetLastError();
    // Wine on a pseudo-terminal, which cannot hold a parity, refuses a parity asked for
    // twice in a row; by way of no parity it takes it. A real port never gets here.
    DCB plain = dcb;
    plain.Parity = NOPARITY;
    plain.fParity = FALSE;
    if (dcb.Parity == NOPARITY || !SetCommState(m_handle, &plain)
        || !SetCommState(m_handle, &dcb)) {
        fail(UnsupportedOperationError, code);
        return false;
    }
    return true;
}

bool WinSerialPort::applyLine()
{
    return changeLine([this](DCB &dcb) {
        putBaud(dcb);
        putDataBits(dcb);
        putParity(dcb);
        putStopBits(dcb);
        putFlowControl(dcb);
        dcb.fBinary = TRUE;
        // Every byte is data: no character is swallowed, replaced or acted on.
        dcb.fNull = FALSE;
        dcb.fErrorChar = FALSE;
        // A line error must not stop the port until someone clears it.
        dcb.fAbortOnError = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
    });
}

bool WinSerialPort::open(QIODevice::OpenMode mode)
{
    Q_UNUSED(mode);
    if (isOpen()) {
        m_error = OpenError;
        m_errorString = systemMessage(ERROR_ACCESS_DENIED);
        return false;
    }
    const QString path
        = m_name.startsWith(QLatin1String("\\\\")) ? m_name : QStringLiteral("\\\\.\\") + m_name;
    m_handle = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()),
        GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (m_handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        const SerialPortError error = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
            ? DeviceNotFoundError
            : code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ? PermissionError
                                                                             : OpenError;
        fail(error, code);
        return false;
    }
    // Wine's serial layer ignores the "return at once once anything has arrived" form of
    // the timeouts; a gap between bytes ends a read on both.
    COMMTIMEOUTS timeouts {};
    timeouts.ReadIntervalTimeout = ByteGapMs;
    SetupComm(m_handle, 65536, 4096);
    if (!applyLine() || !SetCommTimeouts(m_handle, &timeouts)) {
        if (m_error == NoError)
            fail(OpenError, GetLastError());
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        return false;
    }
    // Bytes left in the driver from before belong to nobody.
    PurgeComm(m_handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    DWORD errors = 0;
    ClearCommError(m_handle, &errors, nullptr);
    m_received.clear();
    m_sending.clear();
    m_queued.clear();
    startRead();
    return isOpen();
}

void WinSerialPort::waitForPending()
{
    DWORD done = 0;
    if (m_reading)
        GetOverlappedResult(m_handle, &m_readOverlapped, &done, TRUE);
    if (m_writing)
        GetOverlappedResult(m_handle, &m_writeOverlapped, &done, TRUE);
    m_reading = m_writing = false;
}

void WinSerialPort::close()
{
    if (!isOpen())
        return;
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    // The buffers of pending requests must outlive them: cancel, then wait for the end.
    CancelIo(m_handle);
    waitForPending();
    CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    m_sending.clear();
    m_queued.clear();
    m_received.clear();
}

void WinSerialPort::startRead()
{
    m_chunk.resize(ReadChunk);
    ResetEvent(m_readOverlapped.hEvent);
    // Completed or pending, the event tells: one path handles both.
    if (!ReadFile(m_handle, m_chunk.data(), ReadChunk, nullptr, &m_readOverlapped)
        && GetLastError() != ERROR_IO_PENDING) {
        fail(ResourceError, GetLastError());
        return;
    }
    m_reading = true;
    m_readNotifier->setEnabled(true);
}

void WinSerialPort::onReadDone()
{
    m_readNotifier->setEnabled(false);
    m_reading = false;
    DWORD count = 0;
    if (!GetOverlappedResult(m_handle, &m_readOverlapped, &count, FALSE)) {
        const DWORD code = GetLastError();
        DWORD errors = 0;
        // A read stopped by a line error goes on once the error is cleared; anything
        // else means the device is gone.
        if (code != ERROR_OPERATION_ABORTED || !ClearCommError(m_handle, &errors, nullptr)) {
            fail(ResourceError, code);
            return;
        }
    }
    m_received.append(m_chunk.constData(), qsizetype(count));
    // Keep reading while the handler runs, which may open a dialog of its own.
    startRead();
    if (count > 0)
        Q_EMIT readyRead();
}

QByteArray WinSerialPort::read(qint64 maxSize)
{
    const QByteArray head = m_received.left(qsizetype(maxSize));
    m_received.remove(0, head.size());
    return head;
}

QByteArray WinSerialPort::readAll()
{
    return std::exchange(m_received, QByteArray());
}

qint64 WinSerialPort::write(const QByteArray &data)
{
    if (!isOpen()) {
        m_error = NotOpenError;
        m_errorString = systemMessage(ERROR_INVALID_HANDLE);
        return -1;
    }
    m_queued.append(data);
    if (!m_writing && !startWrite())
        return -1;
    return data.size();
}

bool WinSerialPort::startWrite()
{
    if (m_queued.isEmpty())
        return true;
    m_sending = std::exchange(m_queued, QByteArray());
    ResetEvent(m_writeOverlapped.hEvent);
    if (!WriteFile(
            m_handle, m_sending.constData(), DWORD(m_sending.size()), nullptr, &m_writeOverlapped)
        && GetLastError() != ERROR_IO_PENDING) {
        fail(WriteError, GetLastError());
        return false;
    }
    m_writing = true;
    m_writeNotifier->setEnabled(true);
    return true;
}

void WinSerialPort::onWriteDone()
{
    m_writeNotifier->setEnabled(false);
    m_writing = false;
    DWORD count = 0;
    if (!GetOverlappedResult(m_handle, &m_writeOverlapped, &count, FALSE)) {
        fail(WriteError, GetLastError());
        return;
    }
    m_sending.remove(0, qsizetype(count));
    // A write that the driver cut short sends its rest first.
    m_queued.prepend(std::exchange(m_sending, QByteArray()));
    if (count > 0)
        Q_EMIT bytesWritten(qint64(count));
    if (isOpen() && !m_writing)
        startWrite();
}

void WinSerialPort::fail(SerialPortError error, DWORD code)
{
    m_error = error;
    m_errorString = systemMessage(code);
    if (error == ReadError || error == WriteError || error == ResourceError)
        Q_EMIT errorOccurred(error);
}

void WinSerialPort::clearError()
{
    m_error = NoError;
    m_errorString.clear();
}
