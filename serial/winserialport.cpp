// SPDX-License-Identifier: MIT
#include "winserialport.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QScopedValueRollback>
#include <QWinEventNotifier>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <utility>

namespace {

// Bytes asked of one read.
constexpr DWORD ReadChunk = 4096;
// A read waits for its first byte as long as it takes, then ends at the first pause of
// this many milliseconds between bytes: a report comes in pieces as it arrives.
constexpr DWORD ByteGapMs = 1;
// Some USB drivers end a read at once with nothing instead of waiting for a byte; the next
// read then starts this much later, so such a driver costs no processor time.
constexpr int IdleReadMs = 50;
// A write the driver has not finished by then, beyond twice the time its bytes take on the
// line, is ended by the driver: a request is a byte or two, sent in milliseconds.
constexpr DWORD WriteSlackMs = 2000;

// NT_ERROR of the status the driver ended a request with. With buffered I/O, the default of
// serial drivers, the system then writes the count but copies none of the bytes.
bool failedStatus(const OVERLAPPED &overlapped)
{
    return (DWORD(overlapped.Internal) >> 30) == 3;
}

// How a driver that lacks a request refuses it, as opposed to one whose device is gone.
bool unknownRequest(DWORD code)
{
    return code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED
        || code == ERROR_INVALID_PARAMETER;
}

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

// What a failed opening means to the operator, by the system's code.
WinSerialPort::SerialPortError openError(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return WinSerialPort::DeviceNotFoundError;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return WinSerialPort::PermissionError;
    case ERROR_SEM_TIMEOUT: // a Bluetooth link whose device is off
        return WinSerialPort::TimeoutError;
    case ERROR_GEN_FAILURE: // an adapter that has stopped answering its driver
        return WinSerialPort::ResourceError;
    default:
        return WinSerialPort::UnknownError;
    }
}

// Waits at most waitMs for the event. With `live` the window meanwhile is drawn and its timers
// run, under a busy cursor, the operator's clicks waiting for the end; most waits end at once,
// and no cursor flickers for them.
bool waitFor(HANDLE event, int waitMs, bool live)
{
    const int first = qMin(waitMs, 100);
    if (WaitForSingleObject(event, DWORD(first)) == WAIT_OBJECT_0)
        return true;
    if (!live)
        return WaitForSingleObject(event, DWORD(waitMs - first)) == WAIT_OBJECT_0;
    const bool cursor = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (cursor)
        QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    const QDeadlineTimer deadline(waitMs - first);
    bool ended = false;
    while (!(ended = WaitForSingleObject(event, 15) == WAIT_OBJECT_0) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    if (cursor)
        QGuiApplication::restoreOverrideCursor();
    return ended;
}

const Win32Comm systemCalls = {
    [](const wchar_t *path) {
        return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED, nullptr);
    },
    CloseHandle,
    GetCommState,
    SetCommState,
    SetCommTimeouts,
    SetupComm,
    PurgeComm,
    ClearCommError,
    [](HANDLE handle, void *buffer, DWORD size, OVERLAPPED *overlapped) {
        return ReadFile(handle, buffer, size, nullptr, overlapped);
    },
    [](HANDLE handle, const void *data, DWORD size, OVERLAPPED *overlapped) {
        return WriteFile(handle, data, size, nullptr, overlapped);
    },
    GetOverlappedResult,
    CancelIoEx,
    GetCommModemStatus,
};

const Win32Comm *current = &systemCalls;

} // namespace

const Win32Comm &WinSerialPort::systemCalls()
{
    return ::systemCalls;
}

void WinSerialPort::setCalls(const Win32Comm *calls)
{
    current = calls ? calls : &::systemCalls;
}

WinSerialPort::Request::Request()
{
    // Manual reset: a completion stays signalled until the next request resets it.
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

WinSerialPort::Request::~Request()
{
    CloseHandle(overlapped.hEvent);
}

WinSerialPort::WinSerialPort(QObject *parent) : QObject(parent), m_calls(*current)
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(IdleReadMs);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        if (isOpen() && !m_reading)
            startRead();
    });
}

WinSerialPort::~WinSerialPort()
{
    close(false);
    retire(m_readNotifier);
    retire(m_writeNotifier);
    // A driver that still holds a request may write there after we are gone.
    forgetEnded();
    for (std::unique_ptr<Request> &request : m_abandoned)
        (void)request.release();
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
    // Unused without XON/XOFF, yet drivers that report them equal refuse the whole line.
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
}

// Changes what `change` sets and leaves the rest of the line as the driver has it, as
// QSerialPort does: a setting that one device cannot take then fails alone.
bool WinSerialPort::changeLine(const std::function<void(DCB &)> &change)
{
    DCB dcb {};
    dcb.DCBlength = sizeof dcb;
    if (!m_calls.getCommState(m_handle, &dcb)) {
        fail(UnsupportedOperationError, GetLastError());
        return false;
    }
    change(dcb);
    if (m_calls.setCommState(m_handle, &dcb))
        return true;
    const DWORD code = GetLastError();
    // Wine on a pseudo-terminal, which cannot hold a parity, refuses a parity asked for
    // twice in a row; by way of no parity it takes it. A real port never gets here.
    DCB plain = dcb;
    plain.Parity = NOPARITY;
    plain.fParity = FALSE;
    if (dcb.Parity == NOPARITY || !m_calls.setCommState(m_handle, &plain)
        || !m_calls.setCommState(m_handle, &dcb)) {
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
        // Machines and data terminals that power their line driver from DTR or RTS answer
        // only with both on.
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
    m_hint.clear();
    struct Opened
    {
        HANDLE handle = INVALID_HANDLE_VALUE;
        DWORD code = 0;
    };
    const auto opened = std::make_shared<Opened>();
    const Win32Comm *calls = &m_calls;
    const bool answered = aside(
        [opened, calls, name = path.toStdWString()] {
            opened->handle = calls->createFile(name.c_str());
            opened->code = GetLastError();
        },
        // Opened after all, once nobody waits for it: let go at once.
        [opened, calls] {
            if (opened->handle != INVALID_HANDLE_VALUE)
                calls->closeHandle(opened->handle);
        },
        !m_handling);
    if (!answered) {
        m_error = TimeoutError;
        m_errorString = QStringLiteral("el sistema no terminó de abrirlo en %1 segundos")
                            .arg(OpenWaitMs / 1000);
        return false;
    }
    const HANDLE handle = opened->handle;
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = opened->code;
        m_error = openError(code);
        m_errorString = systemMessage(code);
        // Not another program: the driver has not let go since a read it never ended.
        if (m_error == PermissionError && heldByDriver())
            m_hint = QStringLiteral("el controlador del adaptador no ha soltado el puerto desde "
                                    "la última lectura; desconecte el adaptador y vuelva a "
                                    "conectarlo");
        return false;
    }
    forgetEnded();
    m_handle = handle;
    m_lineUnknown = false;
    m_lines = -1;
    m_lostBytes = 0;
    m_calls.setupComm(m_handle, 65536, 4096);
    if (!applyLine() || !applyTimeouts()) {
        if (m_error == NoError) {
            m_error = UnknownError;
            m_errorString = systemMessage(GetLastError());
        }
        m_calls.closeHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        return false;
    }
    // Bytes left in the driver from before belong to nobody.
    m_calls.purgeComm(m_handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    checkLine();
    m_lineErrors = 0;
    m_received.clear();
    m_queued.clear();
    // A port that cannot even start reading was never usable: the opening fails.
    if (const DWORD code = beginRead()) {
        fail(ResourceError, code);
        m_calls.closeHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        return false;
    }
    return true;
}

bool WinSerialPort::applyTimeouts()
{
    // Wine's serial layer ignores the "return at once once anything has arrived" form of
    // the timeouts; a gap between bytes ends a read on both.
    COMMTIMEOUTS timeouts {};
    timeouts.ReadIntervalTimeout = ByteGapMs;
    // Without a total a driver that stops taking bytes holds the write for ever, and every
    // later request queues behind it unseen. Twice the time of a 12-bit byte at this speed.
    timeouts.WriteTotalTimeoutMultiplier = DWORD((24000 + qint64(m_baud) - 1) / qMax(m_baud, 1));
    timeouts.WriteTotalTimeoutConstant = WriteSlackMs;
    return m_calls.setCommTimeouts(m_handle, &timeouts);
}

// Waits at most waitMs for a cancelled request to end, and gives the bytes it reports. A
// driver that never ends it keeps the request's memory for ever: it may still write there,
// so it is never freed.
DWORD WinSerialPort::settle(HANDLE handle, std::unique_ptr<Request> &request,
    QWinEventNotifier *&notifier, bool pending, int waitMs, bool live)
{
    if (notifier)
        notifier->setEnabled(false);
    if (!pending)
        return 0;
    if (waitFor(request->overlapped.hEvent, waitMs, live)) {
        DWORD done = 0;
        m_calls.getOverlappedResult(handle, &request->overlapped, &done, FALSE);
        return done;
    }
    request->port = m_name;
    m_abandoned.push_back(std::move(request));
    retire(notifier);
    return 0;
}

// A read that ended hands over the bytes it reports, even one that failed with a warning:
// the last of an answer. One that ended in error (cancelled, device gone) reports bytes it
// took from the driver that never reached our buffer, which still holds an earlier piece:
// they are lost, and said to be.
void WinSerialPort::keepRead(DWORD count)
{
    if (!m_read)
        return;
    if (failedStatus(m_read->overlapped))
        m_lostBytes += count;
    else
        m_received.append(
            m_read->buffer.constData(), qMin(qsizetype(count), m_read->buffer.size()));
}

// Notifiers are lent and taken back, never deleted: under Wine a wait callback can still
// reach a notifier deleted after its event was signalled, even once it was disabled. A
// program keeps as many as it ever had in use at once, two for each open port.
static QList<QWinEventNotifier *> &spareNotifiers()
{
    static auto *spare = new QList<QWinEventNotifier *>;
    return *spare;
}

QWinEventNotifier *WinSerialPort::lend(HANDLE event, void (WinSerialPort::*done)())
{
    QList<QWinEventNotifier *> &spare = spareNotifiers();
    QWinEventNotifier *notifier = spare.isEmpty() ? new QWinEventNotifier : spare.takeLast();
    notifier->setHandle(event);
    connect(notifier, &QWinEventNotifier::activated, this, done);
    return notifier;
}

void WinSerialPort::retire(QWinEventNotifier *&notifier)
{
    if (!notifier)
        return;
    notifier->setHandle(nullptr);
    notifier->disconnect();
    spareNotifiers().append(std::exchange(notifier, nullptr));
}

// Requests left to a driver at a closing are freed once the driver has ended them.
void WinSerialPort::forgetEnded()
{
    std::erase_if(m_abandoned, [](const std::unique_ptr<Request> &request) {
        return WaitForSingleObject(request->overlapped.hEvent, 0) == WAIT_OBJECT_0;
    });
}

bool WinSerialPort::heldByDriver()
{
    forgetEnded();
    return std::any_of(
        m_abandoned.begin(), m_abandoned.end(), [this](const std::unique_ptr<Request> &request) {
            return request->port.compare(m_name, Qt::CaseInsensitive) == 0;
        });
}

// Runs `work` on a thread of its own, for at most OpenWaitMs: opening a Bluetooth port makes
// its connection inside CreateFileW, closing one ends it inside CloseHandle, for seconds.
// With waitLive the window meanwhile is drawn and its timers run, under a busy cursor; the
// operator's clicks wait for the end. False when the time ran out: `late` then runs after
// `work`, on its thread.
bool WinSerialPort::aside(std::function<void()> work, std::function<void()> late, bool waitLive)
{
    struct State
    {
        State() : done(CreateEventW(nullptr, TRUE, FALSE, nullptr)) { }
        ~State() { CloseHandle(done); }
        HANDLE done;
        // Taken by whichever comes first: the thread that ended or the wait that gave up.
        std::atomic<bool> taken { false };
    };
    const auto state = std::make_shared<State>();
    std::thread([state, work = std::move(work), late = std::move(late)] {
        work();
        if (state->taken.exchange(true))
            late();
        else
            SetEvent(state->done);
    }).detach();
    waitFor(state->done, OpenWaitMs, waitLive);
    // Ended while the wait gave up: it counts as ended.
    return state->taken.exchange(true);
}

void WinSerialPort::close(bool waitLive)
{
    if (!isOpen())
        return;
    m_idle.stop();
    // Closed to every caller, and deaf to its own requests, before any wait that lets the
    // window's timers run. Inside the port's own handlers nothing runs meanwhile.
    const HANDLE handle = std::exchange(m_handle, INVALID_HANDLE_VALUE);
    const bool live = waitLive && !m_handling;
    for (QWinEventNotifier *notifier : { m_readNotifier, m_writeNotifier }) {
        if (notifier)
            notifier->setEnabled(false);
    }
    if (m_reading || m_writing)
        m_calls.cancelIoEx(handle, nullptr);
    // However the driver behaves, the window is back within the wait.
    const QDeadlineTimer deadline(CancelWaitMs);
    settle(handle, m_read, m_readNotifier, m_reading, CancelWaitMs, live);
    settle(handle, m_write, m_writeNotifier, m_writing, int(deadline.remainingTime()), live);
    m_reading = m_writing = false;
    m_queued.clear();
    m_received.clear();
    const Win32Comm *calls = &m_calls;
    aside([calls, handle] { calls->closeHandle(handle); }, [] {}, live);
}

// A request object and its notifier, made anew after one was left to a driver.
void WinSerialPort::arm(
    std::unique_ptr<Request> &request, QWinEventNotifier *&notifier, void (WinSerialPort::*done)())
{
    if (!request)
        request = std::make_unique<Request>();
    if (!notifier)
        notifier = lend(request->overlapped.hEvent, done);
    ResetEvent(request->overlapped.hEvent);
}

// The system's code when the driver refuses the read, else 0.
DWORD WinSerialPort::beginRead()
{
    arm(m_read, m_readNotifier, &WinSerialPort::onReadDone);
    m_read->buffer.resize(ReadChunk);
    // Completed or pending, the event tells: one path handles both.
    if (!m_calls.readFile(m_handle, m_read->buffer.data(), ReadChunk, &m_read->overlapped)) {
        const DWORD code = GetLastError();
        if (code != ERROR_IO_PENDING)
            return code ? code : ERROR_GEN_FAILURE;
    }
    m_reading = true;
    m_readNotifier->setEnabled(true);
    return 0;
}

void WinSerialPort::startRead()
{
    if (const DWORD code = beginRead())
        lose(ResourceError, code);
}

// The one look at the line: the errors the driver noted since the last look are kept. A
// driver whose device has gone fails the query: its code is given, else 0. One that lacks
// the query (some virtual and wireless ports) is not asked again, and works on.
DWORD WinSerialPort::checkLine()
{
    if (m_lineUnknown)
        return 0;
    DWORD errors = 0;
    COMSTAT status {};
    if (!m_calls.clearCommError(m_handle, &errors, &status)) {
        const DWORD code = GetLastError();
        m_lineUnknown = unknownRequest(code);
        return m_lineUnknown ? 0 : code ? code : ERROR_GEN_FAILURE;
    }
    m_lineErrors |= errors & (CE_RXPARITY | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_BREAK);
    return 0;
}

// The control lines the other end drives that are on, as LineErrors bits; -1 where the
// driver does not say.
int WinSerialPort::controlLines()
{
    DWORD status = 0;
    if (!isOpen() || !m_calls.getCommModemStatus(m_handle, &status))
        return -1;
    return (status & MS_DSR_ON ? LineErrors::Dsr : 0) | (status & MS_CTS_ON ? LineErrors::Cts : 0)
        | (status & MS_RLSD_ON ? LineErrors::Dcd : 0);
}

LineErrors WinSerialPort::takeLineErrors()
{
    // A device gone is noticed by the reads, which hand over what they brought first.
    if (isOpen())
        checkLine();
    // A line on at the last look and off now: the cable pulled, the machine switched off.
    const int lines = controlLines();
    const int wentOff = lines >= 0 && m_lines >= 0 ? m_lines & ~lines : 0;
    m_lines = lines;
    const quint32 kinds = std::exchange(m_lineErrors, 0);
    const auto some = [kinds](DWORD kind) { return kinds & kind ? qint64(-1) : qint64(0); };
    LineErrors found;
    found.parity = some(CE_RXPARITY);
    found.framing = some(CE_FRAME);
    found.breaks = some(CE_BREAK);
    found.overruns = some(CE_OVERRUN);
    found.bufferOverruns = some(CE_RXOVER);
    found.controlLines = wentOff;
    return found;
}

// A notifier lent before may still carry a wakening from its last owner: only a request
// under way whose event is set has ended.
bool WinSerialPort::requestEnded(const std::unique_ptr<Request> &request, bool pending)
{
    return pending && WaitForSingleObject(request->overlapped.hEvent, 0) == WAIT_OBJECT_0;
}

void WinSerialPort::onReadDone()
{
    if (!requestEnded(m_read, m_reading))
        return;
    const QScopedValueRollback handling(m_handling, true);
    m_readNotifier->setEnabled(false);
    m_reading = false;
    DWORD count = 0;
    const bool ended = m_calls.getOverlappedResult(m_handle, &m_read->overlapped, &count, FALSE);
    const DWORD code = GetLastError();
    keepRead(count);
    // The line runs without abort-on-error, so a failed read is never a line error: the
    // drivers fail reads this way once their device is gone.
    if (!ended) {
        lose(ResourceError, code);
        return;
    }
    // A device found gone here still hands over what this read brought.
    if (const DWORD gone = checkLine()) {
        lose(ResourceError, gone);
        return;
    }
    if (count == 0) {
        m_idle.start();
        return;
    }
    // Keep reading while the handler runs, which may open a dialog of its own.
    startRead();
    Q_EMIT readyRead();
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

qint64 WinSerialPort::bytesToWrite() const
{
    return (m_writing ? m_write->buffer.size() : 0) + m_queued.size();
}

bool WinSerialPort::startWrite()
{
    if (m_queued.isEmpty())
        return true;
    arm(m_write, m_writeNotifier, &WinSerialPort::onWriteDone);
    m_write->buffer = std::exchange(m_queued, QByteArray());
    if (!m_calls.writeFile(m_handle, m_write->buffer.constData(), DWORD(m_write->buffer.size()),
            &m_write->overlapped)
        && GetLastError() != ERROR_IO_PENDING) {
        lose(WriteError, GetLastError());
        return false;
    }
    m_writing = true;
    m_writeNotifier->setEnabled(true);
    return true;
}

void WinSerialPort::onWriteDone()
{
    if (!requestEnded(m_write, m_writing))
        return;
    const QScopedValueRollback handling(m_handling, true);
    m_writeNotifier->setEnabled(false);
    m_writing = false;
    DWORD count = 0;
    if (!m_calls.getOverlappedResult(m_handle, &m_write->overlapped, &count, FALSE)) {
        lose(WriteError, GetLastError());
        return;
    }
    // A write ends short when its timeout ran out, a success: if it took some bytes, the rest
    // goes first; if none, the driver takes no more, and the request was not sent.
    if (count == 0 && !m_write->buffer.isEmpty()) {
        lose(WriteError,
            QStringLiteral("El dispositivo dejó de aceptar datos: no tomó ningún byte en el "
                           "tiempo de espera y la petición no se envió."));
        return;
    }
    m_queued.prepend(m_write->buffer.mid(qsizetype(count)));
    m_write->buffer.clear();
    if (count > 0)
        Q_EMIT bytesWritten(qint64(count));
    if (isOpen() && !m_writing)
        startWrite();
}

void WinSerialPort::fail(SerialPortError error, DWORD code)
{
    m_error = error;
    m_errorString = systemMessage(code);
}

// The device is gone (unplugged, switched off, its driver stopped): whatever the code,
// the one path that tells the owner, which closes the port.
void WinSerialPort::lose(SerialPortError error, DWORD code)
{
    lose(error, systemMessage(code));
}

void WinSerialPort::lose(SerialPortError error, const QString &why)
{
    m_error = error;
    m_errorString = why;
    // A read still under way may hold the last bytes of the answer: it is ended first, so
    // that the owner finds them before it closes.
    if (m_reading) {
        m_calls.cancelIoEx(m_handle, &m_read->overlapped);
        keepRead(settle(m_handle, m_read, m_readNotifier, std::exchange(m_reading, false),
            CancelWaitMs, false));
    }
    if (const DWORD lost = std::exchange(m_lostBytes, 0)) {
        if (!m_errorString.endsWith(QLatin1Char('.')))
            m_errorString += QLatin1Char('.');
        m_errorString += lost == 1
            ? QStringLiteral(" Se perdió el último byte recibido: el controlador no lo entregó.")
            : QStringLiteral(" Se perdieron los últimos %1 bytes recibidos: el controlador no "
                             "los entregó.")
                  .arg(lost);
    }
    Q_EMIT errorOccurred(error);
}

void WinSerialPort::clearError()
{
    m_error = NoError;
    m_errorString.clear();
}
