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

// The driver played: reads complete from a script, then wait for ever; writes complete at once.
struct Driver
{
    DWORD openCode = 0;
    QList<Completion> reads;
    DWORD writeCode = 0;
    bool cancelEndsRequests = true;
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
        c.writeFile = [](HANDLE, const void *, DWORD size, OVERLAPPED *request) {
            if (driver.writeCode != 0) {
                SetLastError(driver.writeCode);
                return FALSE;
            }
            complete(request, { 0, QByteArray(int(size), '\0') });
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        };
        c.getOverlappedResult = [](HANDLE, OVERLAPPED *request, DWORD *count, BOOL) {
            const Completion result = driver.done.take(request);
            *count = DWORD(result.bytes.size());
            SetLastError(result.code);
            return result.code == 0 ? TRUE : FALSE;
        };
        c.cancelIoEx = [](HANDLE, OVERLAPPED *) {
            if (driver.cancelEndsRequests && driver.readWaits) {
                driver.readWaits = false;
                complete(driver.pendingRead, { ERROR_OPERATION_ABORTED, {} });
            }
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
            QTest::addRow("write %d", code) << "write" << code;
        }
        // The driver fails the look at the line that follows a read with bytes in it.
        QTest::addRow("line query") << "line" << int(ERROR_BAD_COMMAND);
    }

    void everyUnplugFailureClosesThePortAndTellsOnce()
    {
        QFETCH(QString, failing);
        QFETCH(int, code);
        driver.reads = { { 0, "TOTAL \x80" } };
        if (failing == "read")
            driver.reads.append(Completion { DWORD(code), {} });
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
        QTRY_COMPARE(received, QStringLiteral("TOTAL €"));
        if (failing == "write") {
            // Two requests in a row both fail; the loss is told once.
            driver.writeCode = DWORD(code);
            for (int request = 0; request < 2; ++request) {
                try {
                    comm.setOutput(QStringLiteral("W"));
                    QFAIL("a write the driver refused was accepted");
                } catch (const CommError &) { }
            }
        }
        QTRY_COMPARE(lost, 1);
        QVERIFY(!comm.portOpen());
        QVERIFY2(
            comm.lostReport().contains(systemText(DWORD(code))), qPrintable(comm.lostReport()));
        QTest::qWait(100);
        QCOMPARE(lost, 1);
        QCOMPARE(received, QStringLiteral("TOTAL €"));

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

    void closingADriverThatNeverEndsTheReadKeepsTheWindowAndTheMemory()
    {
        driver.cancelEndsRequests = false;
        MSComm comm;
        QCOMPARE(open(comm).number, 0);
        QTRY_VERIFY(driver.pendingRead != nullptr);
        OVERLAPPED *request = driver.pendingRead;
        char *buffer = driver.readBuffer;
        QElapsedTimer took;
        took.start();
        comm.setPortOpen(false);
        QVERIFY(!comm.portOpen());
        QVERIFY2(took.elapsed() < WinSerialPort::CancelWaitMs + 2000,
            qPrintable(QString::number(took.elapsed())));
        // The driver may still finish its request: what it writes lands in memory that is
        // still the request's.
        memset(buffer, 'x', 4096);
        QVERIFY(SetEvent(request->hEvent));
        QTest::qWait(100);

        // The port opens again with a request of its own.
        driver.cancelEndsRequests = true;
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
