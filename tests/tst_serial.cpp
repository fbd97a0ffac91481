#include "mscomm.h"
#include "ptypair.h"

#include <QSignalSpy>
#include <QTest>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif


// The serial control against real pseudo-terminals: the test plays the machine.
class TestSerial : public QObject
{
    Q_OBJECT

private:
    // Opens the control on COM1 wired to the given pair.
    static bool openOn(MSComm &comm, PtyPair &pty, const QString &settings = " 9600,E,8,1")
    {
        qputenv("SALVEX_COM1", pty.devicePath().toLocal8Bit());
        try {
            comm.setCommPort(1);
            comm.setSettings(settings);
            comm.setPortOpen(true);
        } catch (const CommError &error) {
            qWarning("refused: %d %s", error.number, qPrintable(error.description));
            return false;
        }
        return true;
    }

    static bool runningUnderWine()
    {
#ifdef Q_OS_WIN
        return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
        return false;
#endif
    }

    static CommError refusal(const std::function<void()> &step)
    {
        try {
            step();
        } catch (const CommError &error) {
            return error;
        }
        return CommError { 0, QStringLiteral("accepted") };
    }

private Q_SLOTS:
#ifndef Q_OS_WIN
    void portNumbersNameDevices()
    {
        qunsetenv("SALVEX_COM3");
        QCOMPARE(MSComm::deviceName(1), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(MSComm::deviceName(4), QStringLiteral("/dev/ttyS3"));
        qputenv("SALVEX_COM3", "/dev/ttyUSB0");
        QCOMPARE(MSComm::deviceName(3), QStringLiteral("/dev/ttyUSB0"));
        qunsetenv("SALVEX_COM3");
    }
#endif

    void settingsTextsAreParsedOrRefused_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<bool>("valid");
        QTest::newRow("leading space") << " 9600,E,8,1" << true;
        QTest::newRow("no space") << "9600,E,8,1" << true;
        QTest::newRow("1200 odd 7 2") << "1200,o,7,2" << true;
        QTest::newRow("two spaces") << "  9600,E,8,1" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("speed only") << "9600" << false;
        QTest::newRow("missing stop bits") << "9600,E,8" << false;
        QTest::newRow("unknown parity") << "9600,X,8,1" << false;
        QTest::newRow("nine data bits") << "9600,E,9,1" << false;
        QTest::newRow("letters for speed") << "abc,E,8,1" << false;
        QTest::newRow("trailing text") << "9600,E,8,1,x" << false;
    }
    void settingsTextsAreParsedOrRefused()
    {
        QFETCH(QString, settings);
        QFETCH(bool, valid);
        MSComm comm;
        const CommError error = refusal([&] { comm.setSettings(settings); });
        if (valid) {
            QCOMPARE(error.number, 0);
            QCOMPARE(comm.settings(), settings);
        } else {
            QCOMPARE(error.number, int(MSComm::InvalidSettings));
            QVERIFY(error.description.contains(settings));
            QCOMPARE(comm.settings(), QStringLiteral("9600,N,8,1"));
        }
    }

    void opensAtEachSpeedWithEvenParityAndEightDataBits_data()
    {
        QTest::addColumn<int>("baud");
        QTest::newRow("1200") << 1200;
        QTest::newRow("2400") << 2400;
        QTest::newRow("4800") << 4800;
        QTest::newRow("9600") << 9600;
    }
    void opensAtEachSpeedWithEvenParityAndEightDataBits()
    {
        QFETCH(int, baud);
        PtyPair pty;
        QVERIFY(pty.isValid());
        MSComm comm;
        QVERIFY(openOn(comm, pty, QStringLiteral(" %1,E,8,1").arg(baud)));
        QVERIFY(comm.portOpen());
        const LineSeen line = pty.line();
        QCOMPARE(line.baud, baud);
        QCOMPARE(line.dataBits, 8);
        // The pseudo-terminal drops parity; the port itself says what it set.
        QCOMPARE(comm.portSettings(), QStringLiteral("%1,E,8,1").arg(baud));
    }

    void theRequestReachesTheLineAsOneByte()
    {
        PtyPair pty;
        MSComm comm;
        comm.setSThreshold(1);
        QSignalSpy notifications(&comm, &MSComm::OnComm);
        QList<int> events;
        connect(&comm, &MSComm::OnComm, [&] { events.append(comm.commEvent()); });
        QVERIFY(openOn(comm, pty));
        comm.setOutput(QStringLiteral("W"));
        QCOMPARE(pty.receive(1), QByteArray("W"));
        QTRY_VERIFY(events.contains(int(MSComm::comEvSend)));
        // Nothing else follows the request.
        QCOMPARE(pty.receive(2, 200), QByteArray());
    }

    void receivedBytesArriveThroughNotificationsInOrder()
    {
        PtyPair pty;
        MSComm comm;
        comm.setRThreshold(1);
        QByteArray received;
        connect(&comm, &MSComm::OnComm, [&] {
            if (comm.commEvent() == MSComm::comEvReceive)
                received += comm.input().toLatin1();
        });
        QVERIFY(openOn(comm, pty));
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        QVERIFY(pty.send(all.left(2)));
        QTRY_COMPARE(received, all.left(2));
        QVERIFY(pty.send(all.mid(2)));
        QTRY_COMPARE(received.size(), all.size());
        QCOMPARE(received, all);
        // Reading empties the buffer: nothing is delivered twice.
        QCOMPARE(comm.input(), QString());
    }

    void inputLenLimitsOneRead()
    {
        PtyPair pty;
        MSComm comm;
        QVERIFY(openOn(comm, pty));
        comm.setInputLen(3);
        QVERIFY(pty.send("abcdefg"));
        QTest::qWait(100);
        QCOMPARE(comm.input(), QStringLiteral("abc"));
        QCOMPARE(comm.input(), QStringLiteral("def"));
        QCOMPARE(comm.input(), QStringLiteral("g"));
    }

    void refusalsNameTheDeviceAndTheReason()
    {
        MSComm comm;
#ifdef Q_OS_WIN
        const QByteArray missing = "COM99";
#else
        const QByteArray missing = "/nonexistent/ttyX9";
#endif
        qputenv("SALVEX_COM2", missing);
        comm.setCommPort(2);
        CommError error = refusal([&] { comm.setPortOpen(true); });
        QCOMPARE(error.number, int(MSComm::PortUnavailable));
        QVERIFY2(error.description.contains(missing), qPrintable(error.description));
        QVERIFY(error.description.contains("COM2"));
        QVERIFY(!comm.portOpen());

        error = refusal([&] { comm.setOutput(QStringLiteral("W")); });
        QCOMPARE(error.number, int(MSComm::PortNotOpen));
        QVERIFY(error.description.contains(missing));

        error = refusal([&] { comm.setCommPort(0); });
        QCOMPARE(error.number, int(MSComm::InvalidPortNumber));
        // Closing a port that is not open is accepted.
        QCOMPARE(refusal([&] { comm.setPortOpen(false); }).number, 0);
        qunsetenv("SALVEX_COM2");
    }

    void anOpenPortRefusesAnotherPortAndAnotherOpening()
    {
        PtyPair pty;
        MSComm comm;
        QVERIFY(openOn(comm, pty));
        QCOMPARE(refusal([&] { comm.setCommPort(1); }).number, int(MSComm::PortAlreadyOpen));
        QCOMPARE(refusal([&] { comm.setPortOpen(true); }).number, int(MSComm::PortAlreadyOpen));
        QVERIFY(comm.portOpen());

        // A second control finds the device busy. Wine lets any number of openers share a
        // COM port, which Windows itself never does.
        if (!runningUnderWine()) {
            MSComm other;
            other.setCommPort(1);
            const CommError busy = refusal([&] { other.setPortOpen(true); });
            QVERIFY(busy.number != 0);
            QVERIFY(busy.description.contains(pty.devicePath()));
        }

        // A speed change while open takes effect on the line.
        QCOMPARE(refusal([&] { comm.setSettings(QStringLiteral("2400,E,8,1")); }).description,
            QStringLiteral("accepted"));
        QCOMPARE(pty.line().baud, 2400);
        comm.setPortOpen(false);
        QVERIFY(!comm.portOpen());
        comm.setPortOpen(true);
        QVERIFY(comm.portOpen());
    }

    void aLostDeviceClosesThePortOnceAndCanBeReopened()
    {
        auto pty = std::make_unique<PtyPair>();
        MSComm comm;
        comm.setRThreshold(1);
        QByteArray received;
        connect(&comm, &MSComm::OnComm, [&] {
            if (comm.commEvent() == MSComm::comEvReceive)
                received += comm.input().toLatin1();
        });
        QVERIFY(openOn(comm, *pty));
        // A pseudo-terminal has no modem lines; that alone is no loss.
        QTest::qWait(200);
        QVERIFY(comm.portOpen());

        QVERIFY(pty->send("REPORTE"));
        QTRY_COMPARE(received, QByteArray("REPORTE"));
        pty.reset();
        QTRY_VERIFY(!comm.portOpen());
        const CommError error = refusal([&] { comm.setOutput(QStringLiteral("W")); });
        QCOMPARE(error.number, int(MSComm::PortNotOpen));
        QVERIFY2(error.description.contains("conexión"), qPrintable(error.description));

        PtyPair back;
        QVERIFY(openOn(comm, back));
        QVERIFY(comm.portOpen());
        comm.setOutput(QStringLiteral("W"));
        QCOMPARE(back.receive(1), QByteArray("W"));
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
