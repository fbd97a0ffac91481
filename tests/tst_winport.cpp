// SPDX-License-Identifier: MIT
#include "mscomm.h"
#include "winserialport.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <atomic>

namespace {

// How a request ends, as the driver completes it: an NTSTATUS and the bytes it took.
constexpr LONG Success = 0;
constexpr LONG TimedOut = 0x102; // STATUS_TIMEOUT: a success
constexpr LONG Cancelled = LONG(0xC0000120);
constexpr LONG Pending = 0x103;

bool isError(LONG status)
{
    return (ULONG(status) >> 30) == 3;
}

DWORD dosError(LONG status)
{
    static const auto convert = reinterpret_cast<ULONG(WINAPI *)(LONG)>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
    return convert(status);
}

struct Completion
{
    LONG status = Success;
    QByteArray bytes;
};

// The driver played, buffered I/O as the serial sample does it: reads complete from a script,
// then wait for ever (a cancel ends them with STATUS_CANCELLED and the count of `cancelBrings`);
// writes complete at once (or take `writeTakes` bytes at a time), or stop taking bytes until
// the write timeout or a cancel ends them, or fail with `writeStatus`, at once or, with
// `writeFailsLater`, when they end. A driver that does not end a cancelled request ends none.
struct Driver
{
    DWORD openCode = 0;
    // A Bluetooth link connects inside the opening.
    DWORD openTakesMs = 0;
    QList<Completion> reads;
    LONG writeStatus = Success;
    bool writeFailsLater = false;
    DWORD writeTakes = 0;
    bool writesWait = false;
    OVERLAPPED *pendingWrite = nullptr;
    QByteArray sent;
    bool cancelEndsRequests = true;
    QByteArray cancelBrings;
    DWORD lineCode = 0;
    DWORD lineErrors = 0;
    DWORD modem = MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON;
    int readCalls = 0;
    int lineQueries = 0;
    DCB line {};
    COMMTIMEOUTS timeouts {};
    OVERLAPPED *pendingRead = nullptr;
    bool readWaits = false;
    char *readBuffer = nullptr;
    HANDLE readEvent = nullptr;
    HANDLE writeEvent = nullptr;
};

} // namespace

// The serial control on Windows against drivers with the habits real ones have: a driver
// played under the port's Win32 calls.
class TestWinPort : public QObject
{
    Q_OBJECT

private:
    static inline Driver driver;
    static inline const HANDLE Device = reinterpret_cast<HANDLE>(0x5a1);

    static inline int run = 0;
    static inline std::atomic<int> closes = 0;

    // What the I/O manager does when a driver ends a request: the status and count always reach
    // the OVERLAPPED, the bytes reach the caller's buffer only when the status is no error.
    static void complete(OVERLAPPED *request, const Completion &result, char *buffer = nullptr)
    {
        if (buffer && !isError(result.status))
            memcpy(buffer, result.bytes.constData(), size_t(result.bytes.size()));
        request->InternalHigh = ULONG_PTR(result.bytes.size());
        request->Internal = ULONG_PTR(ULONG(result.status));
        SetEvent(request->hEvent);
    }

    // The machine sends: a read that waits gets the first of the script.
    static void feed(const QList<Completion> &more)
    {
        driver.reads += more;
        if (!driver.readWaits || driver.reads.isEmpty())
            return;
        driver.readWaits = false;
        complete(driver.pendingRead, driver.reads.takeFirst(), driver.readBuffer);
    }

    static Win32Comm calls()
    {
        Win32Comm c = WinSerialPort::systemCalls();
        c.createFile = [](const wchar_t *) {
            Sleep(driver.openTakesMs);
            if (driver.openCode == 0)
                return Device;
            SetLastError(driver.openCode);
            return INVALID_HANDLE_VALUE;
        };
        c.closeHandle = [](HANDLE) {
            ++closes;
            return TRUE;
        };
        // Some drivers report XON equal to XOFF, then refuse that very line back.
        c.getCommState = [](HANDLE, DCB *dcb) {
            *dcb = driver.line;
            dcb->XonChar = dcb->XoffChar = 0;
            return TRUE;
        };
        c.setCommState = [](HANDLE, DCB *dcb) {
            if (dcb->XonChar == dcb->XoffChar) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            driver.line = *dcb;
            return TRUE;
        };
        c.setCommTimeouts = [](HANDLE, COMMTIMEOUTS *timeouts) {
            driver.timeouts = *timeouts;
            return TRUE;
        };
        c.setupComm = [](HANDLE, DWORD, DWORD) { return TRUE; };
        c.getCommModemStatus = [](HANDLE, DWORD *status) {
            *status = driver.modem;
            return TRUE;
        };
        c.purgeComm = [](HANDLE, DWORD) { return TRUE; };
        c.clearCommError = [](HANDLE, DWORD *errors, COMSTAT *) {
            ++driver.lineQueries;
            if (driver.lineCode != 0) {
                SetLastError(driver.lineCode);
                return FALSE;
            }
            *errors = std::exchange(driver.lineErrors, 0);
            return TRUE;
        };
        c.readFile = [](HANDLE, void *buffer, DWORD, OVERLAPPED *request) {
            ++driver.readCalls;
            request->Internal = Pending;
            request->InternalHigh = 0;
            driver.pendingRead = request;
            driver.readEvent = request->hEvent;
            driver.readBuffer = static_cast<char *>(buffer);
            driver.readWaits = true;
            feed({});
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        };
        c.writeFile = [](HANDLE, const void *data, DWORD size, OVERLAPPED *request) {
            if (driver.writeStatus != Success && !driver.writeFailsLater) {
                SetLastError(dosError(driver.writeStatus));
                return FALSE;
            }
            request->Internal = Pending;
            request->InternalHigh = 0;
            driver.writeEvent = request->hEvent;
            const QByteArray taken(static_cast<const char *>(data),
                int(driver.writeTakes ? std::min(size, driver.writeTakes) : size));
            if (driver.writesWait) {
                // Taking no byte, the driver ends the write when its total timeout runs out;
                // with none set, never.
                driver.pendingWrite = request;
                const COMMTIMEOUTS &limit = driver.timeouts;
                const DWORD total
                    = limit.WriteTotalTimeoutMultiplier * size + limit.WriteTotalTimeoutConstant;
                if (total != 0 && driver.cancelEndsRequests)
                    QTimer::singleShot(int(total), [request, started = run] {
                        if (run == started && driver.pendingWrite == request)
                            complete(std::exchange(driver.pendingWrite, nullptr), { TimedOut, {} });
                    });
            } else if (driver.writeStatus != Success) {
                complete(request, { driver.writeStatus, {} });
            } else {
                // A write ends short only by its timeout, a success.
                complete(request, { DWORD(taken.size()) < size ? TimedOut : Success, taken });
                driver.sent += taken;
            }
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        };
        // As kernel32 does: a request under way hands nothing over; an ended one its count,
        // and it fails for any status that is not a success (a warning too).
        c.getOverlappedResult = [](HANDLE, OVERLAPPED *request, DWORD *count, BOOL) {
            const LONG status = LONG(ULONG(request->Internal));
            if (status == Pending) {
                SetLastError(ERROR_IO_INCOMPLETE);
                return FALSE;
            }
            *count = DWORD(request->InternalHigh);
            if (status >= 0)
                return TRUE;
            SetLastError(dosError(status));
            return FALSE;
        };
        c.cancelIoEx = [](HANDLE, OVERLAPPED *) {
            if (!driver.cancelEndsRequests)
                return TRUE;
            // The serial sample ends a cancelled read with the count of what it took.
            if (driver.readWaits) {
                driver.readWaits = false;
                complete(driver.pendingRead, { Cancelled, driver.cancelBrings }, driver.readBuffer);
            }
            if (driver.pendingWrite)
                complete(std::exchange(driver.pendingWrite, nullptr), { Cancelled, {} });
            return TRUE;
        };
        return c;
    }
    static inline Win32Comm played;

    static QString systemText(DWORD code)
    {
        wchar_t *text = nullptr;
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                | FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
        const QString message = QString::fromWCharArray(text).trimmed();
        LocalFree(text);
        return message;
    }

    static CommError open(MSComm &comm)
    {
        try {
            comm.setCommPort(1);
            comm.setSettings(QStringLiteral(" 9600,E,8,1"));
            comm.setPortOpen(true);
        } catch (const CommError &error) {
            return error;
        }
        return {};
    }

private Q_SLOTS:
    void initTestCase()
    {
        played = calls();
        WinSerialPort::setCalls(&played);
        qputenv("SALVEX_COM1", "COM1");
    }
    void init()
    {
        driver = Driver();
        ++run;
    }
    void cleanupTestCase() { WinSerialPort::setCalls(nullptr); }

    void theLineIsSetAsAskedWithBothModemLinesOn()
    {
        MSComm comm;
        QCOMPARE(open(comm).number, 0);
        const DCB &line = driver.line;
        QCOMPARE(int(line.BaudRate), 9600);
        QCOMPARE(int(line.Parity), EVENPARITY);
        QCOMPARE(int(line.fParity), 1);
        QCOMPARE(int(line.ByteSize), 8);
        QCOMPARE(int(line.StopBits), ONESTOPBIT);
        QCOMPARE(int(line.fBinary), 1);
        QCOMPARE(int(line.fDtrControl), DTR_CONTROL_ENABLE);
        QCOMPARE(int(line.fRtsControl), RTS_CONTROL_ENABLE);
        QCOMPARE(int(line.fOutX) + int(line.fInX) + int(line.fOutxCtsFlow), 0);
        QCOMPARE(int(line.fNull) + int(line.fErrorChar) + int(line.fAbortOnError), 0);
    }

    void openingFailuresSayWhatTheSystemSaid_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("reason");
        const int missing = MSComm::PortUnavailable, held = MSComm::AccessDenied;
        QTest::newRow("not found") << 2 << missing << "no existe";
        QTest::newRow("no path") << 3 << missing << "no existe";
        QTest::newRow("invalid name") << 123 << missing << "no existe";
        QTest::newRow("access denied") << 5 << held << "ocupado por otro programa";
        QTest::newRow("sharing violation") << 32 << held << "ocupado por otro programa";
        QTest::newRow("Bluetooth device off") << 121 << missing << "no responde";
        QTest::newRow("stuck adapter") << 31 << missing << "no funciona";
        QTest::newRow("anything else") << 1784 << missing << "no permitió abrirlo";
    }

    void openingFailuresSayWhatTheSystemSaid()
    {
        QFETCH(int, code);
        QFETCH(int, number);
        QFETCH(QString, reason);
        driver.openCode = DWORD(code);
        MSComm comm;
        const CommError error = open(comm);
        QCOMPARE(error.number, number);
        QVERIFY2(error.description.contains(reason), qPrintable(error.description));
        QVERIFY2(
            error.description.contains(systemText(DWORD(code))), qPrintable(error.description));
        QVERIFY(!error.description.contains(QStringLiteral("ya está abierto")));
        QVERIFY(!comm.portOpen());
    }

    void everyUnplugFailureClosesThePortAndTellsOnce_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<int>("status");
        // What drivers end requests with once their device is gone.
        for (const ULONG status : { 0xC0000022, 0xC0000184, 0xC0000001, 0xC000014B, 0xC0000120,
                 0xC000009D, 0xC00002B6 }) {
            QTest::addRow("read %lu", dosError(LONG(status))) << "read" << int(status);
            QTest::addRow("request %lu", dosError(LONG(status))) << "request" << int(status);
        }
        // A read ended with a warning still hands over its bytes.
        QTest::addRow("read, warning") << "read" << int(0x80000005);
        // A request the driver took, and failed when it ended.
        QTest::addRow("write later 22") << "write later" << int(0xC0000184);
        QTest::addRow("write later 1167") << "write later" << int(0xC000009D);
    }

    void everyUnplugFailureClosesThePortAndTellsOnce()
    {
        QFETCH(QString, failing);
        QFETCH(int, status);
        const DWORD code = dosError(status);
        driver.reads = { { 0, "TOTAL \x80" } };
        // The read that fails, or the one cancelled when a request fails, took the end of the
        // answer: on an error Windows hands over its count, not its bytes, and the loss is told.
        if (failing == "read")
            driver.reads.append(Completion { status, "FIN\r\n" });
        driver.cancelBrings = "FIN\r\n";
        const bool kept = failing == "read" && !isError(status);
        const QString answer = kept ? QStringLiteral("TOTAL €FIN\r\n") : QStringLiteral("TOTAL €");
        const QString told = QStringLiteral("Se perdieron los últimos 5 bytes");
        MSComm comm;
        comm.setRThreshold(1);
        QString received;
        int lost = 0;
        connect(&comm, &MSComm::OnComm, [&] {
            if (comm.commEvent() == MSComm::comEvReceive)
                received += comm.input();
            if (comm.commEvent() == MSComm::comEventDeviceLost)
                ++lost;
        });
        QCOMPARE(open(comm).number, 0);
        QTRY_VERIFY(received.startsWith(QStringLiteral("TOTAL €")));
        // Two requests in a row: a request that finds the device gone tells the loss itself,
        // and the next one finds the port closed.
        QList<CommError> refused;
        if (failing.startsWith(QLatin1String("request")) || failing == "write later") {
            driver.writeStatus = status;
            driver.writeFailsLater = failing == "write later";
            for (int request = 0; request < 2; ++request) {
                try {
                    comm.setOutput(QStringLiteral("W"));
                } catch (const CommError &error) {
                    refused.append(error);
                }
                QTest::qWait(50);
            }
        }
        if (failing != "request")
            QTRY_COMPARE(lost, 1);
        QCOMPARE(received, answer);
        if (failing == "request") {
            QCOMPARE(refused.size(), 2);
            QCOMPARE(refused[0].number, int(MSComm::WriteFailed));
            QVERIFY2(refused[0].description.contains(systemText(code))
                    && refused[0].description.contains("Se perdió la conexión")
                    && refused[0].description.contains(told),
                qPrintable(refused[0].description));
            QCOMPARE(refused[1].number, int(MSComm::PortNotOpen));
        } else {
            QVERIFY2(comm.lostReport().contains(systemText(code))
                    && comm.lostReport().contains(told) != kept,
                qPrintable(comm.lostReport()));
            QCOMPARE(refused.size(), failing == "write later" ? 1 : 0);
        }
        QVERIFY(!comm.portOpen());
        QTest::qWait(100);
        QCOMPARE(lost, failing == "request" ? 0 : 1);

        // Plugged back, it opens again.
        driver = Driver();
        QCOMPARE(open(comm).number, 0);
    }

    // A driver without the line-status request leaves the line's errors unknown; only a device
    // gone fails it as a loss.
    void aLineQueryFailsAsALossOnlyWhenTheDeviceIsGone_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("lost");
        QTest::newRow("invalid function") << int(ERROR_INVALID_FUNCTION) << false;
        QTest::newRow("not supported") << int(ERROR_NOT_SUPPORTED) << false;
        QTest::newRow("invalid parameter") << int(ERROR_INVALID_PARAMETER) << false;
        QTest::newRow("bad command") << int(ERROR_BAD_COMMAND) << true;
        QTest::newRow("device removed") << int(ERROR_DEVICE_REMOVED) << true;
        QTest::newRow("general failure") << int(ERROR_GEN_FAILURE) << true;
    }

    void aLineQueryFailsAsALossOnlyWhenTheDeviceIsGone()
    {
        QFETCH(int, code);
        QFETCH(bool, lost);
        driver.lineCode = DWORD(code);
        driver.reads = { { 0, "TOTAL \x80" }, { 0, "FIN\r\n" } };
        MSComm comm;
        comm.setRThreshold(1);
        QString received;
        connect(&comm, &MSComm::OnComm, [&] { received += comm.input(); });
        QCOMPARE(open(comm).number, 0);
        QTRY_COMPARE(received, lost ? QStringLiteral("TOTAL €") : QStringLiteral("TOTAL €FIN\r\n"));
        QTest::qWait(100);
        QCOMPARE(comm.portOpen(), !lost);
        if (lost)
            QVERIFY2(
                comm.lostReport().contains(systemText(DWORD(code))), qPrintable(comm.lostReport()));
    }

    void anAnswerDamagedOnTheLineIsToldOnceItIsOver_data()
    {
        QTest::addColumn<int>("errors");
        // The control lines on (MS_*_ON) during the answer; all on before it.
        QTest::addColumn<int>("lines");
        QTest::addColumn<QString>("told");
        const int on = MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON;
        QTest::newRow("clean") << 0 << on << QString();
        QTest::newRow("parity") << int(CE_RXPARITY) << on << "errores de paridad";
        QTest::newRow("framing") << int(CE_FRAME) << on << "errores de trama";
        QTest::newRow("overrun") << int(CE_OVERRUN) << on << "desbordamiento del adaptador";
        QTest::newRow("buffer overrun") << int(CE_RXOVER) << on << "desbordamiento del búfer";
        QTest::newRow("break") << int(CE_BREAK) << on << "cortes de la línea";
        QTest::newRow("parity and break") << int(CE_RXPARITY | CE_BREAK) << on << "paridad, cortes";
        QTest::newRow("DSR went off") << 0 << int(MS_CTS_ON | MS_RLSD_ON)
                                      << "cambió la señal DSR del dispositivo";
    }

    void anAnswerDamagedOnTheLineIsToldOnceItIsOver()
    {
        QFETCH(int, errors);
        QFETCH(int, lines);
        QFETCH(QString, told);
        const QByteArray line("TOTAL \x80 1.2\xff"
                              "4\r\n");
        const QString shown = QStringLiteral(u"TOTAL € 1.2ÿ4\r\n");
        driver.reads = { { 0, line.left(6) }, { 0, line.mid(6) } };
        MSComm comm;
        comm.setRThreshold(1);
        QString received;
        QStringList reports;
        connect(&comm, &MSComm::OnComm, [&] {
            if (comm.commEvent() == MSComm::comEvReceive)
                received += comm.input();
            if (comm.commEvent() == MSComm::comEventLineErrors)
                reports.append(comm.lineErrorReport());
        });
        // What the driver noted before the opening is nobody's.
        driver.lineErrors = CE_FRAME;
        QCOMPARE(open(comm).number, 0);
        QTRY_COMPARE(received, shown);
        QTest::qWait(MSComm::QuietMs + 200);
        QCOMPARE(reports, QStringList());

        // A machine at 1200 baud (8E1, 9 ms a byte) answers ten lines in 1.4 s: the answer is
        // still coming a second after the request, so the wait must start again.
        received.clear();
        QElapsedTimer sinceRequest;
        sinceRequest.start();
        comm.setOutput(QStringLiteral("W"));
        driver.lineErrors = DWORD(errors);
        driver.modem = DWORD(lines);
        for (int i = 0; i < 10; ++i) {
            QTest::qWait(int(line.size()) * 9);
            feed({ { 0, line } });
        }
        QElapsedTimer sinceLastByte;
        sinceLastByte.start();
        QTRY_COMPARE(received, shown.repeated(10));
        QVERIFY(sinceRequest.elapsed() > MSComm::QuietMs + 200);
        // Nothing is said while the answer may still be coming.
        QCOMPARE(reports.size(), 0);
        if (told.isEmpty()) {
            QTest::qWait(MSComm::QuietMs + 500);
            QCOMPARE(reports, QStringList());
            return;
        }
        QTRY_COMPARE(reports.size(), 1);
        QVERIFY2(sinceLastByte.elapsed() >= MSComm::QuietMs - 100,
            qPrintable(QString::number(sinceLastByte.elapsed())));
        QTest::qWait(200);
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].contains(told) && reports[0].contains("Recibir Datos"),
            qPrintable(reports[0]));
    }

    void readsThatEndWithNothingCostNoProcessorTime()
    {
        for (int i = 0; i < 100000; ++i)
            driver.reads.append(Completion { 0, {} });
        driver.reads.append(Completion { 0, "OK" });
        MSComm comm;
        comm.setRThreshold(1);
        QString received;
        connect(&comm, &MSComm::OnComm, [&] { received += comm.input(); });
        QCOMPARE(open(comm).number, 0);
        QTest::qWait(1000);
        // A busy loop would have read thousands of times; a port that gave up, once.
        QVERIFY2(driver.readCalls > 1 && driver.readCalls < 40,
            qPrintable(QString::number(driver.readCalls)));
        QVERIFY(driver.lineQueries >= driver.readCalls - 1);
        QVERIFY(comm.portOpen());

        // A driver whose device went away fails the line query: the port is lost.
        driver.lineCode = ERROR_BAD_COMMAND;
        QTRY_VERIFY(!comm.portOpen());
        QVERIFY(received.isEmpty());
    }

    void requestsReachTheLineWholeWhenTheDriverTakesThemInPieces_data()
    {
        QTest::addColumn<int>("takes");
        QTest::newRow("at once") << 0;
        QTest::newRow("in pieces") << 2;
    }

    void requestsReachTheLineWholeWhenTheDriverTakesThemInPieces()
    {
        QFETCH(int, takes);
        driver.writeTakes = DWORD(takes);
        MSComm comm;
        QCOMPARE(open(comm).number, 0);
        comm.setOutput(QStringLiteral("TOTAL\r"));
        comm.setOutput(QStringLiteral("W"));
        QTRY_COMPARE(driver.sent, QByteArray("TOTAL\rW"));
    }

    void aRequestTheDriverNeverEndsKeepsItsMemoryAndIsNamedAtTheNextOpening_data()
    {
        QTest::addColumn<bool>("write");
        QTest::addColumn<QString>("ends");
        QTest::addColumn<QString>("reason");
        const QString held = "no ha soltado el puerto", busy = "ocupado por otro programa";
        QTest::newRow("read, never ended") << false << "never" << held;
        QTest::newRow("write, never ended") << true << "never" << held;
        QTest::newRow("read, ended since") << false << "later" << busy;
        QTest::newRow("write, ended at the cancel") << true << "cancel" << busy;
    }

    void aRequestTheDriverNeverEndsKeepsItsMemoryAndIsNamedAtTheNextOpening()
    {
        QFETCH(bool, write);
        QFETCH(QString, ends);
        QFETCH(QString, reason);
        driver.cancelEndsRequests = ends == "cancel";
        driver.writesWait = write;
        MSComm comm;
        QCOMPARE(open(comm).number, 0);
        QTRY_VERIFY(driver.pendingRead != nullptr);
        if (write)
            comm.setOutput(QStringLiteral("W"));
        OVERLAPPED *request = write ? driver.pendingWrite : driver.pendingRead;
        QVERIFY(request != nullptr);
        char *buffer = driver.readBuffer;
        int ticks = 0;
        QTimer clock;
        connect(&clock, &QTimer::timeout, [&] { ++ticks; });
        clock.start(100);
        QElapsedTimer took;
        took.start();
        comm.setPortOpen(false);
        QVERIFY(!comm.portOpen());
        // The window lived through the wait.
        QVERIFY2(ends == "cancel" || ticks >= 5, qPrintable(QString::number(ticks)));
        QVERIFY2(took.elapsed() < (ends == "cancel" ? 1000 : WinSerialPort::CancelWaitMs + 2000),
            qPrintable(QString::number(took.elapsed())));
        // The driver may still end its requests, and the system then writes into them: they
        // are still the port's, buffer and all, as their events show, closed only with them.
        if (ends != "cancel") {
            QCOMPARE(WaitForSingleObject(driver.readEvent, 0), DWORD(WAIT_TIMEOUT));
            if (write)
                QCOMPARE(WaitForSingleObject(driver.writeEvent, 0), DWORD(WAIT_TIMEOUT));
        }
        if (ends == "later")
            complete(request, { Cancelled, "late" }, write ? nullptr : buffer);
        QTest::qWait(100);

        // A driver that still holds the device refuses it; the operator learns why.
        driver.openCode = ERROR_ACCESS_DENIED;
        const CommError refused = open(comm);
        QCOMPARE(refused.number, int(MSComm::AccessDenied));
        QVERIFY2(refused.description.contains(reason), qPrintable(refused.description));

        // Let go of, the port opens again with a request of its own.
        driver.openCode = 0;
        driver.cancelEndsRequests = true;
        driver.writesWait = false;
        driver.reads = { { 0, "OK" } };
        comm.setRThreshold(1);
        QString received;
        connect(&comm, &MSComm::OnComm, [&] { received += comm.input(); });
        QCOMPARE(open(comm).number, 0);
        QTRY_COMPARE(received, QStringLiteral("OK"));
        // While the driver holds the old request its memory stays the port's, so the new one
        // lies elsewhere; a request ended since was let go, and the heap may give its memory
        // out again.
        if (ends == "never")
            QVERIFY(driver.pendingRead != request);
    }

    void aPortTheDriverStillHoldsIsNamedAmongSeveral()
    {
        qputenv("SALVEX_COM2", "COM2");
        driver.cancelEndsRequests = false;
        MSComm comm;
        for (const qint16 port : { 1, 2 }) {
            comm.setCommPort(port);
            comm.setPortOpen(true);
            comm.setPortOpen(false);
        }
        driver.openCode = ERROR_ACCESS_DENIED;
        for (const qint16 port : { 1, 2 }) {
            comm.setCommPort(port);
            CommError refused;
            try {
                comm.setPortOpen(true);
            } catch (const CommError &error) {
                refused = error;
            }
            QVERIFY2(refused.description.contains("no ha soltado el puerto"),
                qPrintable(refused.description));
        }
        qunsetenv("SALVEX_COM2");
    }

    void aSlowOpeningKeepsTheWindowAliveAndIsBounded_data()
    {
        QTest::addColumn<int>("takes");
        QTest::newRow("a link that connects") << 1500;
        QTest::newRow("a link that never answers") << WinSerialPort::OpenWaitMs + 1500;
    }

    void aSlowOpeningKeepsTheWindowAliveAndIsBounded()
    {
        QFETCH(int, takes);
        driver.openTakesMs = DWORD(takes);
        closes = 0;
        int ticks = 0;
        QTimer clock;
        connect(&clock, &QTimer::timeout, [&] { ++ticks; });
        clock.start(100);
        MSComm comm;
        QElapsedTimer took;
        took.start();
        const CommError refused = open(comm);
        const bool answers = takes < WinSerialPort::OpenWaitMs;
        QVERIFY2(ticks >= (answers ? takes : WinSerialPort::OpenWaitMs) / 200,
            qPrintable(QString::number(ticks)));
        if (answers) {
            QCOMPARE(refused.number, 0);
            return;
        }
        QVERIFY2(took.elapsed() < WinSerialPort::OpenWaitMs + 1000,
            qPrintable(QString::number(took.elapsed())));
        QCOMPARE(refused.number, int(MSComm::PortUnavailable));
        QVERIFY2(refused.description.contains("no responde"), qPrintable(refused.description));
        // Opened after all, the port is let go at once.
        QTRY_COMPARE_WITH_TIMEOUT(closes.load(), 1, 3000);
    }

    void aRequestTheDriverStopsTakingIsToldNotSent()
    {
        driver.writesWait = true;
        MSComm comm;
        int lost = 0;
        connect(&comm, &MSComm::OnComm,
            [&] { lost += comm.commEvent() == MSComm::comEventDeviceLost; });
        QCOMPARE(open(comm).number, 0);
        comm.setOutput(QStringLiteral("W"));
        QTRY_COMPARE_WITH_TIMEOUT(lost, 1, 10000);
        QVERIFY(!comm.portOpen());
        QVERIFY(driver.sent.isEmpty());
        QVERIFY2(comm.lostReport().contains("no se envió"), qPrintable(comm.lostReport()));
    }
};

QTEST_GUILESS_MAIN(TestWinPort)
#include "tst_winport.moc"
