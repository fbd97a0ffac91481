// SPDX-License-Identifier: MIT
#pragma once

#include "lineerrors.h"

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QString>

#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

#include <qt_windows.h>

class QWinEventNotifier;

// The Win32 calls the port makes, so that a test can play a driver with its habits. The
// system's own calls are the default.
struct Win32Comm
{
    HANDLE (*createFile)(const wchar_t *path);
    BOOL (*closeHandle)(HANDLE handle);
    BOOL (*getCommState)(HANDLE handle, DCB *dcb);
    BOOL (*setCommState)(HANDLE handle, DCB *dcb);
    BOOL (*setCommTimeouts)(HANDLE handle, COMMTIMEOUTS *timeouts);
    BOOL (*setupComm)(HANDLE handle, DWORD inQueue, DWORD outQueue);
    BOOL (*purgeComm)(HANDLE handle, DWORD flags);
    BOOL (*clearCommError)(HANDLE handle, DWORD *errors, COMSTAT *status);
    BOOL (*readFile)(HANDLE handle, void *buffer, DWORD size, OVERLAPPED *overlapped);
    BOOL (*writeFile)(HANDLE handle, const void *data, DWORD size, OVERLAPPED *overlapped);
    BOOL (*getOverlappedResult)(HANDLE handle, OVERLAPPED *overlapped, DWORD *done, BOOL wait);
    BOOL (*cancelIoEx)(HANDLE handle, OVERLAPPED *overlapped);
    BOOL (*getCommModemStatus)(HANDLE handle, DWORD *status);
};

// A serial port on the Win32 communications API, with the members and enums of
// QSerialPort that the serial control uses. Reads and writes are overlapped; their
// completions reach the user-interface thread through event notifiers, so nothing here
// blocks and no thread of our own runs.
class WinSerialPort : public QObject
{
    Q_OBJECT

public:
    // The same values as QSerialPort's, so code written for one reads the other.
    enum SerialPortError {
        NoError = 0,
        DeviceNotFoundError = 1,
        PermissionError = 2,
        OpenError = 3,
        WriteError = 7,
        ReadError = 8,
        ResourceError = 9,
        UnsupportedOperationError = 10,
        UnknownError = 11,
        TimeoutError = 12,
        NotOpenError = 13,
    };
    enum DataBits { Data5 = 5, Data6 = 6, Data7 = 7, Data8 = 8 };
    enum Parity { NoParity = 0, EvenParity = 2, OddParity = 3, SpaceParity = 4, MarkParity = 5 };
    enum StopBits { OneStop = 1, OneAndHalfStop = 3, TwoStop = 2 };
    // The control never asks for flow control.
    enum FlowControl { NoFlowControl };

    // The system's own calls, and the calls every port made from now on uses (nullptr for
    // the system's own).
    static const Win32Comm &systemCalls();
    static void setCalls(const Win32Comm *calls);

    explicit WinSerialPort(QObject *parent = nullptr);
    ~WinSerialPort() override;

    // "COM1", or a full device path such as \\.\COM10.
    void setPortName(const QString &name);

    // Taken at once when the port is open, else kept for the opening.
    bool setBaudRate(qint32 baud);
    bool setDataBits(DataBits bits);
    bool setParity(Parity parity);
    bool setStopBits(StopBits bits);
    bool setFlowControl(FlowControl flow);

    bool open(QIODevice::OpenMode mode);
    void close() { close(true); }
    bool isOpen() const { return m_handle != INVALID_HANDLE_VALUE; }

    // How long closing waits for the driver to end a cancelled request.
    static constexpr int CancelWaitMs = 2000;
    // How long an opening may take before the operator is told that the device does not
    // answer: a Bluetooth link makes its connection inside the opening.
    static constexpr int OpenWaitMs = 15000;
    QByteArray readAll();
    // Queued and sent in the background; bytesWritten() tells when it left.
    qint64 write(const QByteArray &data);
    qint64 bytesToWrite() const;

    // The kinds of line errors the driver reported since the last call: Windows does not say
    // how many bytes they hit.
    LineErrors takeLineErrors();

    SerialPortError error() const { return m_error; }
    QString errorString() const { return m_errorString; }
    void clearError();
    // After a refused opening, what the operator can do about it when the error alone would
    // mislead: a driver that still holds a request of an earlier opening keeps the device.
    QString refusalHint() const { return m_hint; }

Q_SIGNALS:
    void readyRead();
    void bytesWritten(qint64 bytes);
    void errorOccurred(WinSerialPort::SerialPortError error);

private:
    // One overlapped request and the memory the driver writes into or reads from. Both stay
    // valid until the driver says the request is over, however long that takes.
    struct Request
    {
        Request();
        ~Request();
        OVERLAPPED overlapped {};
        QByteArray buffer;
        // The port it was made on, named when a driver keeps it.
        QString port;
    };

    void close(bool waitLive);
    static bool aside(std::function<void()> work, std::function<void()> late, bool waitLive);
    bool applyLine();
    bool changeLine(const std::function<void(DCB &)> &change);
    void putBaud(DCB &dcb) const;
    void putDataBits(DCB &dcb) const;
    void putParity(DCB &dcb) const;
    void putStopBits(DCB &dcb) const;
    void putFlowControl(DCB &dcb) const;
    DWORD beginRead();
    void startRead();
    void onReadDone();
    bool startWrite();
    void onWriteDone();
    bool applyTimeouts();
    DWORD checkLine();
    int controlLines();
    void fail(SerialPortError error, DWORD code);
    void lose(SerialPortError error, DWORD code);
    void lose(SerialPortError error, const QString &why);
    void forgetEnded();
    bool heldByDriver();
    DWORD settle(HANDLE handle, std::unique_ptr<Request> &request, QWinEventNotifier *&notifier,
        bool pending, int waitMs, bool live);
    void keepRead(DWORD count);
    QWinEventNotifier *lend(HANDLE event, void (WinSerialPort::*done)());
    static void retire(QWinEventNotifier *&notifier);
    static bool requestEnded(const std::unique_ptr<Request> &request, bool pending);
    void arm(std::unique_ptr<Request> &request, QWinEventNotifier *&notifier,
        void (WinSerialPort::*done)());

    const Win32Comm &m_calls;
    QString m_name;
    qint32 m_baud = 9600;
    DataBits m_dataBits = Data8;
    Parity m_parity = NoParity;
    StopBits m_stopBits = OneStop;

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    std::unique_ptr<Request> m_read;
    std::unique_ptr<Request> m_write;
    // Requests whose driver never ended them: it may still write there.
    std::vector<std::unique_ptr<Request>> m_abandoned;
    QWinEventNotifier *m_readNotifier = nullptr;
    QWinEventNotifier *m_writeNotifier = nullptr;
    bool m_reading = false;
    bool m_writing = false;
    // In the port's own completion handlers, where no wait may run the event loop.
    bool m_handling = false;
    // After a read that brought nothing, the next one starts a little later.
    QTimer m_idle;
    QByteArray m_received;
    QByteArray m_queued;
    quint32 m_lineErrors = 0;
    // The driver does not answer the line-status request: its errors are unknown.
    bool m_lineUnknown = false;
    // The control lines the other end drove at the last look (LineErrors bits), -1 unknown.
    int m_lines = -1;
    // Bytes that reads ended in error took from the driver without handing them over.
    DWORD m_lostBytes = 0;

    SerialPortError m_error = NoError;
    QString m_errorString;
    QString m_hint;
};
