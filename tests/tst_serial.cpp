#include "comports.h"
#include "mscomm.h"
#include "ptypair.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <grp.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#endif

// The serial control against real pseudo-terminals: the test plays the machine.
class TestSerial : public QObject
{
    Q_OBJECT

private:
    // The serial ports the system reports: this machine may have no adapter to plug in.
    static inline QList<PresentPort> present;
    static void plugIn(const QList<PresentPort> &ports)
    {
        present = ports;
        MSComm::setPortsPresentSource([] { return present; });
    }

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
    void init()
    {
        for (int port = 1; port <= 4; ++port)
            qunsetenv(qPrintable(QStringLiteral("SALVEX_COM%1").arg(port)));
        plugIn({});
    }
    void cleanupTestCase()
    {
        MSComm::setPortsPresentSource(nullptr);
    }

#ifndef Q_OS_WIN

    void comNumbersCountUartsThenAdaptersInNumberOrder_data()
    {
        QTest::addColumn<QStringList>("devices");
        QTest::addColumn<QStringList>("consoles");
        QTest::addColumn<QStringList>("chosen");
        QTest::addColumn<QStringList>("expected");
        const QStringList none = { "", "", "", "" };
        QTest::newRow("no port present") << QStringList() << QStringList() << none << none;
        QTest::newRow("the console is never a port")
            << QStringList { "/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0" }
            << QStringList { "tty0", "ttyS0" } << none
            << QStringList { "/dev/ttyS1", "/dev/ttyUSB0", "", "" };
        QTest::newRow("a console on an adapter")
            << QStringList { "/dev/ttyUSB0", "/dev/ttyUSB1" } << QStringList { "ttyUSB0" } << none
            << QStringList { "/dev/ttyUSB1", "", "", "" };
        QTest::newRow("UARTs, then USB, then modem adapters")
            << QStringList { "/dev/ttyACM0", "/dev/ttyUSB1", "/dev/ttyS2", "/dev/ttyUSB0" }
            << QStringList() << none
            << QStringList { "/dev/ttyS2", "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0" };
        QTest::newRow("numbers, not letters, give the order")
            << QStringList { "/dev/ttyUSB10", "/dev/ttyS10", "/dev/ttyUSB2", "/dev/ttyS9" }
            << QStringList() << none
            << QStringList { "/dev/ttyS9", "/dev/ttyS10", "/dev/ttyUSB2", "/dev/ttyUSB10" };
        QTest::newRow("other kinds of device are none of them")
            << QStringList { "/dev/ttyAMA0", "/dev/rfcomm0", "/dev/ttyUSBx", "/dev/ttyUSB3" }
            << QStringList() << none << QStringList { "/dev/ttyUSB3", "", "", "" };
        QTest::newRow("the operator's device wins, the others keep their numbers")
            << QStringList { "/dev/ttyUSB0", "/dev/ttyUSB1" } << QStringList()
            << QStringList { "", "/tmp/salvex-com2", "", "" }
            << QStringList { "/dev/ttyUSB0", "/tmp/salvex-com2", "", "" };
        QTest::newRow("the operator's device with no port present")
            << QStringList() << QStringList() << QStringList { "", "", "", "/dev/ttyUSB7" }
            << QStringList { "", "", "", "/dev/ttyUSB7" };
    }
    void comNumbersCountUartsThenAdaptersInNumberOrder()
    {
        QFETCH(QStringList, devices);
        QFETCH(QStringList, consoles);
        QFETCH(QStringList, chosen);
        QFETCH(QStringList, expected);
        QList<PresentPort> ports;
        for (const QString &device : devices)
            ports.append({ device, QString() });
        QStringList named;
        for (int port = 1; port <= 4; ++port)
            named.append(comPort(port, ports, consoles, chosen[port - 1]).device);
        QCOMPARE(named, expected);
    }

    void portNumbersNameDevices()
    {
        // Looked up every time: an adapter plugged in later is found.
        QCOMPARE(MSComm::deviceName(1), QString());
        plugIn({ { "/dev/ttyACM0", "" }, { "/dev/ttyUSB0", "FT232R USB UART" } });
        QCOMPARE(MSComm::deviceName(1), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(MSComm::deviceName(2), QStringLiteral("/dev/ttyACM0"));
        QCOMPARE(MSComm::deviceName(4), QString());
        qputenv("SALVEX_COM3", "/dev/ttyUSB0");
        QCOMPARE(MSComm::deviceName(3), QStringLiteral("/dev/ttyUSB0"));
    }

    void portTipsShowTheDeviceAndItsDescription_data()
    {
        QTest::addColumn<QStringList>("chosen");
        QTest::addColumn<QStringList>("tips");
        QTest::newRow("the ports present") << QStringList { "", "", "", "" }
                                           << QStringList { "/dev/ttyUSB0 — FT232R USB UART",
                                                  "/dev/ttyACM0", "sin puerto", "sin puerto" };
        QTest::newRow("the operator's devices")
            << QStringList { "", "", "/dev/ttyUSB0", "/tmp/salvex-com4" }
            << QStringList { "/dev/ttyUSB0 — FT232R USB UART", "/dev/ttyACM0",
                   "/dev/ttyUSB0 — FT232R USB UART", "/tmp/salvex-com4" };
    }
    void portTipsShowTheDeviceAndItsDescription()
    {
        QFETCH(QStringList, chosen);
        QFETCH(QStringList, tips);
        plugIn({ { "/dev/ttyACM0", "" }, { "/dev/ttyUSB0", "FT232R USB UART" } });
        QStringList shown;
        for (int port = 1; port <= 4; ++port) {
            if (!chosen[port - 1].isEmpty())
                qputenv(qPrintable(QStringLiteral("SALVEX_COM%1").arg(port)),
                    chosen[port - 1].toLocal8Bit());
            shown.append(MSComm::portTip(port));
        }
        QCOMPARE(shown, tips);
    }

    void aNumberWithNoDeviceListsThePortsPresent_data()
    {
        QTest::addColumn<QList<PresentPort>>("ports");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("description");
        QTest::newRow("none present")
            << QList<PresentPort>() << 1
            << "No se pudo abrir COM1: no hay ningún puerto serie presente (conecte un adaptador "
               "serie USB, o indique el dispositivo en SALVEX_COM1)";
        QTest::newRow("fewer than the number")
            << QList<PresentPort> { { "/dev/ttyACM0", "" },
                   { "/dev/ttyUSB0",
                       "FT232R USB UART" } }
            << 3
            << "No se pudo abrir COM3: ningún puerto serie de este equipo es COM3. Puertos serie "
               "presentes: COM1 = /dev/ttyUSB0 (FT232R USB UART), COM2 = /dev/ttyACM0";
    }
    void aNumberWithNoDeviceListsThePortsPresent()
    {
        QFETCH(QList<PresentPort>, ports);
        QFETCH(int, port);
        QFETCH(QString, description);
        plugIn(ports);
        MSComm comm;
        comm.setCommPort(qint16(port));
        const CommError error = refusal([&] { comm.setPortOpen(true); });
        QCOMPARE(error.number, int(MSComm::PortUnavailable));
        QCOMPARE(error.description, description);
        QVERIFY(!comm.portOpen());
    }

    void anAdapterPluggedInAfterStartIsOpened()
    {
        PtyPair pty;
        MSComm comm;
        comm.setCommPort(1);
        QCOMPARE(refusal([&] { comm.setPortOpen(true); }).number, int(MSComm::PortUnavailable));

        // Stands for /dev/ttyUSB0: named like an adapter, a real line behind it.
        QTemporaryDir dev;
        const QString adapter = dev.filePath(QStringLiteral("ttyUSB0"));
        QVERIFY(QFile::link(pty.devicePath(), adapter));
        plugIn({ { adapter, "FT232R USB UART" } });
        comm.setSettings(QStringLiteral(" 9600,E,8,1"));
        QCOMPARE(refusal([&] { comm.setPortOpen(true); }).description, QStringLiteral("accepted"));
        comm.setOutput(QStringLiteral("W"));
        QCOMPARE(pty.receive(1), QByteArray("W"));
    }

    void deniedAccessSaysHowToGetIt_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("groupGivesAccess");
        QTest::newRow("the group may use it") << 0060 << true;
        QTest::newRow("nobody may") << 0000 << false;
    }
    void deniedAccessSaysHowToGetIt()
    {
        QFETCH(int, mode);
        QFETCH(bool, groupGivesAccess);
        PtyPair pty;
        const QByteArray device = QFile::encodeName(pty.devicePath());
        // The device belongs to a group the test is not in, as a serial device does.
        const group *dialout = ::getgrnam("dialout");
        const gid_t owner = ::getuid() == 0 && dialout ? dialout->gr_gid : ::getgid();
        QCOMPARE(::chown(device.constData(), uid_t(-1), owner), 0);
        QCOMPARE(::chmod(device.constData(), mode_t(mode)), 0);
        qputenv("SALVEX_COM1", device);
        MSComm comm;
        comm.setCommPort(1);
        // Root passes every permission check: the file system sees this thread as nobody.
        const int uid = ::setfsuid(65534);
        const int gid = ::setfsgid(65534);
        const CommError error = refusal([&] { comm.setPortOpen(true); });
        ::setfsuid(uid);
        ::setfsgid(gid);
        ::chmod(device.constData(), 0600);

        QCOMPARE(error.number, int(MSComm::AccessDenied));
        QVERIFY2(error.description.contains(pty.devicePath()), qPrintable(error.description));
        const QString groupName = QString::fromLocal8Bit(::getgrgid(owner)->gr_name);
        const QString join = QStringLiteral("miembro del grupo %1 (sudo adduser $USER %1) y "
                                            "volver a iniciar la sesión")
                                 .arg(groupName);
        QCOMPARE(error.description.contains(join), groupGivesAccess);
        QCOMPARE(error.description.contains("administrador"), !groupGivesAccess);
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

    // A pseudo-terminal keeps no parity and only 8-bit characters, whatever the port asks
    // for: of the settings, only the speed reaches its line.
    void opensAtEachSpeed_data()
    {
        QTest::addColumn<int>("baud");
        QTest::newRow("1200") << 1200;
        QTest::newRow("2400") << 2400;
        QTest::newRow("4800") << 4800;
        QTest::newRow("9600") << 9600;
    }
    void opensAtEachSpeed()
    {
        QFETCH(int, baud);
        PtyPair pty;
        QVERIFY(pty.isValid());
        MSComm comm;
        QVERIFY(openOn(comm, pty, QStringLiteral(" %1,E,8,1").arg(baud)));
        QVERIFY(comm.portOpen());
        QCOMPARE(pty.line().baud, baud);
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
