// SPDX-License-Identifier: MIT
#include "mscomm.h"
#include "winserialport.h"

#include <QElapsedTimer>
#include <QHash>
#include <QTest>

namespace {

struct Completion
{
    DWORD code = 0; // 0: done with the bytes
    QByteArray bytes;
};

// The driver played: reads complete from a script, then wait for ever (a cancel ends them with
// `cancelBrings`); writes complete at once (or take `writeTakes` bytes at a time, or wait until
// cancelled), or fail with `writeCode`, at once or, with `writeFailsLater`, when they end.
struct Driver
{
    DWORD openCode = 0;
    QList<Completion> reads;
    DWORD writeCode = 0;
    bool writeFailsLater = false;
    DWORD writeTakes = 0;
    bool writesWait = false;
    OVERLAPPED *pendingWrite = nullptr;
    QByteArray sent;
    bool cancelEndsRequests = true;
    QByteArray cancelBrings;
    bool lineFails = false;
    DWORD lineErrors = 0;
    int readCalls = 0;
    int lineQueries = 0;
    DCB line {};
    OVERLAPPED *pendingRead = nullptr;
    bool readWaits = false;
    char *readBuffer = nullptr;
    QHash<OVERLAPPED *, Completion> done;
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

    static void complete(OVERLAPPED *request, const Completion &result)
    {
        driver.done.insert(request, result);
        SetEvent(request->hEvent);
    }

    // The machine sends: a read that waits gets the first of the script.
    static void feed(const QList<Completion> &more)
    {
        driver.reads += more;
        if (!driver.readWaits || driver.reads.isEmpty())
            return;
        driver.readWaits = false;
        const Completion next = driver.reads.takeFirst();
        memcpy(driver.readBuffer, next.bytes.constData(), size_t(next.bytes.size()));
        complete(driver.pendingRead, next);
    }

    static Win32Comm calls()
    {
        Win32Comm c = WinSerialPort::systemCalls();
        c.createFile = [](const wchar_t *) {
            if (driver.openCode == 0)
                return Device;
            SetLastError(driver.openCode);
            return INVALID_HANDLE_VALUE;
        };
        c.closeHandle = [](HANDLE) { return TRUE; };
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
        c.setCommTimeouts = [](HANDLE, COMMTIMEOUTS *) { return TRUE; };
        c.setupComm = [](HANDLE, DWORD, DWORD) { return TRUE; };
        c.purgeComm = [](HANDLE, DWORD) { return TRUE; };
        c.clearCommError = [](HANDLE, DWORD *errors, COMSTAT *) {
            ++driver.lineQueries;
            *errors = std::exchange(driver.lineErrors, 0);
            if (!driver.lineFails)
                return TRUE;
            SetLastError(ERROR_BAD_COMMAND);
            return FALSE;
        };
        c.readFile = [](HANDLE, void *buffer, DWORD, OVERLAPPED *request) {
            ++driver.readCalls;
            driver.pendingRead = request;
            driver.readBuffer = static_cast<char *>(buffer);
            driver.readWaits = true;
            feed({});
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        };
        c.writeFile = [](HANDLE, const void *data, DWORD size, OVERLAPPED *request) {
            if (driver.writeCode != 0 && !driver.writeFailsLater) {
                SetLastError(driver.writeCode);
                return FALSE;
            }
            const QByteArray taken(static_cast<const char *>(data),
                int(driver.writeTakes ? std::min(size, driver.writeTakes) : size));
            if (driver.writesWait)
                driver.pendingWrite = request;
            else if (driver.writeCode != 0)
                complete(request, { driver.writeCode, {} });
            else
                complete(request, { 0, taken });
            if (driver.writeCode == 0 && !driver.writesWait)
                driver.sent += taken;
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        };
        // Asked about a request still under way, a driver says so and hands nothing over.
        c.getOverlappedResult = [](HANDLE, OVERLAPPED *request, DWORD *count, BOOL) {
            if (!driver.done.contains(request)) {
                *count = 0;
                SetLastError(ERROR_IO_INCOMPLETE);
                return FALSE;
            }
            const Completion result = driver.done.take(request);
            *count = DWORD(result.bytes.size());
            SetLastError(result.code);
            return result.code == 0 ? TRUE : FALSE;
        };
        c.cancelIoEx = [](HANDLE, OVERLAPPED *) {
            if (driver.cancelEndsRequests && driver.readWaits) {
                driver.readWaits = false;
                memcpy(driver.readBuffer, driver.cancelBrings.constData(),
                    size_t(driver.cancelBrings.size()));
                complete(driver.pendingRead, { ERROR_OPERATION_ABORTED, driver.cancelBrings });
            }
            if (driver.cancelEndsRequests && driver.pendingWrite)
                complete(
                    std::exchange(driver.pendingWrite, nullptr), { ERROR_OPERATION_ABORTED, {} });
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
    void init() { driver = Driver(); }
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
        QTest::addColumn<int>("code");
        for (const int code : { 5, 22, 31, 109, 995, 1167, 1617 }) {
            QTest::addRow("read %d", code) << "read" << code;
            QTest::addRow("request %d", code) << "request" << code;
        }
        // A request the driver took, and failed when it ended.
        QTest::addRow("write later 22") << "write later" << 22;
        QTest::addRow("write later 1167") << "write later" << 1167;
        // The driver fails the look at the line that follows a read with bytes in it.
        QTest::addRow("line query") << "line" << int(ERROR_BAD_COMMAND);
    }

    void everyUnplugFailureClosesThePortAndTellsOnce()
    {
        QFETCH(QString, failing);
        QFETCH(int, code);
        driver.reads = { { 0, "TOTAL \x80" } };
        // The read that fails, or the one cancelled when a request fails, may still carry the
        // end of the answer.
        if (failing == "read")
            driver.reads.append(Completion { DWORD(code), "FIN\r\n" });
        driver.cancelBrings = "FIN\r\n";
        driver.lineFails = failing == "line";
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
        const QString answer
            = failing == "line" ? QStringLiteral("TOTAL €") : QStringLiteral("TOTAL €FIN\r\n");
        // Two requests in a row: a request that finds the device gone tells the loss itself,
        // and the next one finds the port closed.
        QList<CommError> refused;
        if (failing.startsWith(QLatin1String("request")) || failing == "write later") {
            driver.writeCode = DWORD(code);
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
        if (failing == "request") {
            QCOMPARE(refused.size(), 2);
            QCOMPARE(refused[0].number, int(MSComm::WriteFailed));
            QVERIFY2(refused[0].description.contains(systemText(DWORD(code)))
                    && refused[0].description.contains("Se perdió la conexión"),
                qPrintable(refused[0].description));
            QCOMPARE(refused[1].number, int(MSComm::PortNotOpen));
        } else {
            QTRY_COMPARE(lost, 1);
            QVERIFY2(
                comm.lostReport().contains(systemText(DWORD(code))), qPrintable(comm.lostReport()));
            QCOMPARE(refused.size(), failing == "write later" ? 1 : 0);
        }
        QVERIFY(!comm.portOpen());
        QTest::qWait(100);
        QCOMPARE(lost, failing == "request" ? 0 : 1);
        QCOMPARE(received, answer);

        // Plugged back, it opens again.
        driver = Driver();
        QCOMPARE(open(comm).number, 0);
    }

    void anAnswerDamagedOnTheLineIsToldOnceItIsOver_data()
    {
        QTest::addColumn<int>("errors");
        QTest::addColumn<QString>("told");
        QTest::newRow("clean") << 0 << QString();
        QTest::newRow("parity") << int(CE_RXPARITY) << "errores de paridad";
        QTest::newRow("framing") << int(CE_FRAME) << "errores de trama";
        QTest::newRow("overrun") << int(CE_OVERRUN) << "desbordamiento del adaptador";
        QTest::newRow("buffer overrun") << int(CE_RXOVER) << "desbordamiento del búfer";
        QTest::newRow("break") << int(CE_BREAK) << "cortes de la línea";
        QTest::newRow("parity and break") << int(CE_RXPARITY | CE_BREAK) << "paridad, cortes";
    }

    void anAnswerDamagedOnTheLineIsToldOnceItIsOver()
    {
        QFETCH(int, errors);
        QFETCH(QString, told);
        const QByteArray answer("TOTAL \x80 1.2\xff"
                                "4\r\n");
        const QString shown = QStringLiteral(u"TOTAL € 1.2ÿ4\r\n");
        driver.reads = { { 0, answer.left(6) }, { 0, answer.mid(6) } };
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

        received.clear();
        comm.setOutput(QStringLiteral("W"));
        driver.lineErrors = DWORD(errors);
        feed({ { 0, answer.left(6) }, { 0, answer.mid(6) } });
        QTRY_COMPARE(received, shown);
        // Nothing is said while the answer may still be coming.
        QCOMPARE(reports.size(), 0);
        if (told.isEmpty()) {
            QTest::qWait(MSComm::QuietMs + 500);
            QCOMPARE(reports, QStringList());
            return;
        }
        QTRY_COMPARE(reports.size(), 1);
        QTest::qWait(200);
        QCOMPARE(reports.size(), 1);
        QCOMPARE(received, shown);
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
        driver.lineFails = true;
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
        QElapsedTimer took;
        took.start();
        comm.setPortOpen(false);
        QVERIFY(!comm.portOpen());
        QVERIFY2(took.elapsed() < (ends == "cancel" ? 1000 : WinSerialPort::CancelWaitMs + 2000),
            qPrintable(QString::number(took.elapsed())));
        // The driver may still write into its read: into memory that is still the request's,
        // not memory handed out again since.
        if (!write) {
            memset(buffer, 'x', 4096);
            QList<QByteArray> others;
            for (int i = 0; i < 64; ++i)
                others.append(QByteArray(4096, 'y'));
            QCOMPARE(QByteArray(buffer, 4096), QByteArray(4096, 'x'));
        }
        if (ends == "later")
            complete(request, { ERROR_OPERATION_ABORTED, {} });
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
        QVERIFY(driver.pendingRead != request);
    }
};

QTEST_GUILESS_MAIN(TestWinPort)
#include "tst_winport.moc"
