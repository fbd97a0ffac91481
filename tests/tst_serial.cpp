// SPDX-License-Identifier: MIT
#include "comports.h"
#include "lineerrors.h"
#include "linemarks.h"
#include "mscomm.h"
#include "ptypair.h"
#include "windows1252.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#ifdef Q_OS_WIN
#include <QScopeGuard>
#include <QUuid>
#include <qt_windows.h>
// GUID_DEVCLASS_PORTS is defined here rather than taken from a library.
#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

Q_DECLARE_METATYPE(LineErrors)

// The serial control against real pseudo-terminals: the test plays the machine.
class TestSerial : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir emptyFolder;
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

    // Every notification of received characters adds them to `received`.
    static void collectInto(MSComm &comm, QString &received)
    {
        comm.setRThreshold(1);
        connect(&comm, &MSComm::OnComm, [&] {
            if (comm.commEvent() == MSComm::comEvReceive)
                received += comm.input();
        });
    }

    static bool runningUnderWine()
    {
#ifdef Q_OS_WIN
        return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
        return false;
#endif
    }

    // A file of a made-up system tree (sysfs, /dev), with the folders it lies in.
    static bool putFile(const QString &path, const QByteArray &text)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
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
#ifndef Q_OS_WIN
        // No adapter plugged into this machine may show in a tooltip.
        setSystemFolders(emptyFolder.path(), emptyFolder.path(), emptyFolder.path());
#endif
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

    // The ports are found in sysfs, without opening any: a UART counts when the serial core
    // knows its chip, an adapter while its device is there.
    void portsPresentAreReadFromSysfs()
    {
        QTemporaryDir sys;
        const auto put = [&](const QString &path, const QByteArray &text) {
            QVERIFY(putFile(sys.filePath(path), text));
        };
        const auto tty = [&](const QString &name, const QString &device) {
            QDir().mkpath(sys.filePath("class/tty/" + name));
            if (!device.isEmpty()) {
                QDir().mkpath(sys.filePath(device));
                QFile::link(sys.filePath(device), sys.filePath("class/tty/" + name + "/device"));
            }
        };
        tty("ttyS0", "devices/platform/serial8250");
        put("class/tty/ttyS0/type", "4\n");
        tty("ttyS1", "devices/platform/serial8250");
        put("class/tty/ttyS1/type", "0\n");
        tty("ttyS10", "devices/platform/serial8250");
        put("class/tty/ttyS10/type", "4\n");
        tty("ttyUSB0", "devices/usb1/1-1/1-1:1.0/ttyUSB0");
        put("devices/usb1/1-1/idVendor", "0403\n");
        put("devices/usb1/1-1/product", "FT232R USB UART\n");
        tty("ttyUSB1", QString()); // unplugged, its node not yet gone
        // A laptop's built-in mobile-broadband modem.
        tty("ttyUSB2", "devices/usb1/1-4/1-4:1.0/ttyUSB2");
        put("devices/usb1/1-4/idVendor", "1199\n");
        put("devices/usb1/1-4/product", "EM7455\n");
        QDir().mkpath(sys.filePath("bus/usb-serial/drivers/option1"));
        QFile::link(sys.filePath("bus/usb-serial/drivers/option1"),
            sys.filePath("devices/usb1/1-4/1-4:1.0/ttyUSB2/driver"));
        tty("ttyACM0", "devices/usb1/1-2/1-2:1.0");
        put("devices/usb1/1-2/idVendor", "1d6b\n");
        put("devices/usb1/1-2/product", "Gadget Serial v2.4\n");
        tty("tty1", QString());
        QStringList seen;
        for (const PresentPort &port : comPorts(serialPortsUnder(sys.path(), "/dev"), {}))
            seen.append(port.device + " " + port.description);
        // The modem's ports come after every serial adapter's.
        QCOMPARE(seen,
            QStringList({ "/dev/ttyS0 ", "/dev/ttyS10 ", "/dev/ttyUSB0 FT232R USB UART",
                "/dev/ttyACM0 Gadget Serial v2.4", "/dev/ttyUSB2 EM7455" }));
    }

    // A built-in UART is told apart by the device behind it, linked as sysfs links it: a
    // laptop's Intel AMT Serial-over-LAN is a PCI UART that takes COM1.
    void builtInUartsAreDescribedByTheDeviceBehindThem_data()
    {
        QTest::addColumn<QString>("bus");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("core"); // the serial core's devices above the tty (Linux 6.5)
        QTest::addColumn<QStringList>("files"); // "name=text" in the device's folder
        QTest::addColumn<QByteArray>("udev"); // what udev keeps of it
        QTest::addColumn<QString>("description");
        const QString amt = "pci0000:00/0000:00:16.3";
        const QStringList ids = { "vendor=0x8086", "device=0xa13d", "class=0x070002" };
        const QByteArray vendor = "E:ID_VENDOR_FROM_DATABASE=Intel Corporation\n";
        QTest::newRow("PCI, named by udev")
            << "pci" << amt << "0000:00:16.3:0/0000:00:16.3:0.0" << ids
            << "I:5201\n" + vendor
                + "E:ID_MODEL_FROM_DATABASE=100 Series/C230 Series Chipset Family KT Redirection\n"
            << "Intel Corporation 100 Series/C230 Series Chipset Family KT Redirection";
        QTest::newRow("PCI, its model unknown to udev")
            << "pci" << amt << "" << ids << vendor << "Puerto serie PCI 8086:a13d";
        QTest::newRow("PCI, no udev")
            << "pci" << amt << "" << ids << QByteArray() << "Puerto serie PCI 8086:a13d";
        QTest::newRow("declared by the firmware")
            << "pnp"
            << "pnp0/00:01"
            << "00:01:0/00:01:0.0" << QStringList { "id=PNP0501" } << QByteArray()
            << "Puerto serie de la placa base";
        QTest::newRow("legacy") << "platform"
                                << "platform/serial8250"
                                << "" << QStringList() << QByteArray() << "";
    }
    void builtInUartsAreDescribedByTheDeviceBehindThem()
    {
        QFETCH(QString, bus);
        QFETCH(QString, device);
        QFETCH(QString, core);
        QFETCH(QStringList, files);
        QFETCH(QByteArray, udev);
        QTemporaryDir root;
        const auto link = [&](const QString &target, const QString &path) {
            QVERIFY(QDir().mkpath(QFileInfo(path).path()));
            QVERIFY(QFile::link(QFileInfo(path).dir().relativeFilePath(target), path));
        };
        QString folder = root.filePath("sys/devices/" + device);
        for (const QString &file : files)
            QVERIFY(putFile(folder + '/' + file.section('=', 0, 0), file.section('=', 1).toUtf8()));
        link(root.filePath("sys/bus/" + bus), folder + "/subsystem");
        for (const QString &level : core.split('/', Qt::SkipEmptyParts)) {
            folder += '/' + level;
            link(root.filePath("sys/bus/serial-base"), folder + "/subsystem");
        }
        QVERIFY(putFile(folder + "/tty/ttyS4/type", "4\n"));
        link(folder, folder + "/tty/ttyS4/device");
        link(folder + "/tty/ttyS4", root.filePath("sys/class/tty/ttyS4"));
        if (!udev.isEmpty())
            QVERIFY(putFile(root.filePath("udev/data/+pci:0000:00:16.3"), udev));
        setSystemFolders(root.filePath("sys"), root.filePath("dev"), root.filePath("udev"));
        const QList<PresentPort> ports = systemPorts();
        QCOMPARE(ports.value(0).device, root.filePath("dev/ttyS4"));
        QTEST(ports.value(0).description, "description");
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

#ifndef Q_OS_WIN
    // An adapter's link in /dev/serial/by-id keeps it on one entry whatever ttyUSB number it
    // gets; the system makes the links relative, the operator may make them absolute.
    void anAdapterIsNamedByTheLinkTheSystemMakesForIt()
    {
        QTemporaryDir dir;
        const QString byId = dir.filePath("by-id");
        QVERIFY(QDir().mkdir(byId));
        PtyPair ftdi, prolific, unnamed;
        const QString first = byId + "/usb-FTDI_FT232R_USB_UART_A10K1XYZ-if00-port0";
        const QString second = byId + "/usb-Prolific_USB-Serial_Controller-if00-port0";
        QVERIFY(QFile::link(ftdi.devicePath(), first));
        QVERIFY(QFile::link(QDir(byId).relativeFilePath(prolific.devicePath()), second));
        QCOMPARE(stableName(ftdi.devicePath(), byId), first);
        QCOMPARE(stableName(prolific.devicePath(), byId), second);
        QCOMPARE(stableName(unnamed.devicePath(), byId), QString());
        QCOMPARE(stableName(first, byId), QString());
        QCOMPARE(stableName(ftdi.devicePath(), dir.filePath("none")), QString());
        // Chosen by that link, the entry opens the link and describes the adapter.
        const PresentPort chosen
            = entryPort(2, { { ftdi.devicePath(), "FT232R USB UART" } }, first);
        QCOMPARE(chosen.device, first);
        QCOMPARE(chosen.description, QStringLiteral("FT232R USB UART"));
    }

    // The tooltip tells how to keep an adapter on its entry: by its own name where it has a
    // serial number, else by the USB socket, since its name is that of every such adapter.
    void theTipTellsHowToKeepTheAdapterOnItsEntry()
    {
        QTemporaryDir root;
        const auto put = [&](const QString &path, const QByteArray &text) {
            QVERIFY(putFile(root.filePath(path), text));
        };
        const auto link = [&](const QString &target, const QString &path) {
            QDir().mkpath(QFileInfo(root.filePath(path)).path());
            QVERIFY(QFile::link(target, root.filePath(path)));
        };
        const auto adapter = [&](const QString &tty, const QString &usb, const QByteArray &serial) {
            put("sys/" + usb + "/idVendor", "0403\n");
            if (!serial.isEmpty())
                put("sys/" + usb + "/serial", serial);
            QDir().mkpath(root.filePath("sys/" + usb + "/" + tty));
            link(root.filePath("sys/" + usb + "/" + tty), "sys/class/tty/" + tty + "/device");
            put("dev/" + tty, "");
        };
        adapter("ttyUSB0", "devices/usb1/1-1/1-1:1.0", "A10K1XYZ\n");
        link("../../ttyUSB0", "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1XYZ-if00-port0");
        link("../../ttyUSB0", "dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0");
        adapter("ttyUSB1", "devices/usb1/1-2/1-2:1.0", "");
        link("../../ttyUSB1", "dev/serial/by-id/usb-1a86_USB_Serial-if00-port0");
        link("../../ttyUSB1", "dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
        adapter("ttyUSB2", "devices/usb1/1-3/1-3:1.0", "");
        setSystemFolders(root.filePath("sys"), root.filePath("dev"));
        const QString dev = root.filePath("dev");
        plugIn({ { dev + "/ttyUSB0", "" }, { dev + "/ttyUSB1", "" }, { dev + "/ttyUSB2", "" } });
        const QStringList tips = MSComm::portTips({ 1, 2, 3 });
        QCOMPARE(tips,
            QStringList({ dev + "/ttyUSB0\nPara que COM1 abra siempre este adaptador: SALVEX_COM1="
                    + dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1XYZ-if00-port0",
                dev
                    + "/ttyUSB1\nPara que COM2 abra siempre el adaptador que se conecte a esta "
                      "misma toma USB: SALVEX_COM2="
                    + dev + "/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0",
                dev + "/ttyUSB2" }));
    }
#endif

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
        QTest::addColumn<bool>("bareName");
        QTest::newRow("the group may use it") << 0060 << true << false;
        QTest::newRow("nobody may") << 0000 << false << false;
        // As Qt takes it, a device under /dev/.
        QTest::newRow("named without /dev/") << 0060 << true << true;
    }
    void deniedAccessSaysHowToGetIt()
    {
        QFETCH(int, mode);
        QFETCH(bool, groupGivesAccess);
        QFETCH(bool, bareName);
        PtyPair pty;
        const QByteArray device = QFile::encodeName(pty.devicePath());
        // The device belongs to a group the test is not in, as a serial device does.
        const group *dialout = ::getgrnam("dialout");
        const gid_t owner = ::getuid() == 0 && dialout ? dialout->gr_gid : ::getgid();
        QCOMPARE(::chown(device.constData(), uid_t(-1), owner), 0);
        QCOMPARE(::chmod(device.constData(), mode_t(mode)), 0);
        qputenv("SALVEX_COM1", bareName ? device.mid(5) : device);
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
        QVERIFY2(error.description.contains(qEnvironmentVariable("SALVEX_COM1")),
            qPrintable(error.description));
        const QString groupName = QString::fromLocal8Bit(::getgrgid(owner)->gr_name);
        const QString join = QStringLiteral("miembro del grupo %1 (sudo adduser $USER %1) y "
                                            "volver a iniciar la sesión")
                                 .arg(groupName);
        QCOMPARE(error.description.contains(join), groupGivesAccess);
        QCOMPARE(error.description.contains("administrador"), !groupGivesAccess);
    }
#endif

    void windowsEntriesOpenTheirOwnPortElseTheHigherOnesCablesFirst_data()
    {
        // Each port present as "COM5 \\Device\\Serial0": its name and the driver's device.
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QStringList>("chosen");
        QTest::addColumn<QStringList>("expected");
        const QStringList none = { "", "", "", "" };
        QTest::newRow("COM1 built in, COM5 USB") << QStringList { "COM5 \\Device\\USBSER000",
            "COM1 \\Device\\Serial0" } << none << QStringList { "COM1", "COM5", "", "" };
        QTest::newRow("COM7 USB") << QStringList { "COM7 \\Device\\VCP0" } << none
                                  << QStringList { "COM7", "", "", "" };
        QTest::newRow("COM3 USB") << QStringList { "COM3 \\Device\\Silabser0" } << none
                                  << QStringList { "", "", "COM3", "" };
        QTest::newRow("COM5, COM6 Bluetooth, COM8 USB") << QStringList {
            "COM5 \\Device\\BthModem0", "COM6 \\Device\\BthModem1", "COM8 \\Device\\Silabser0"
        } << none << QStringList { "COM8", "COM5", "COM6", "" };
        QTest::newRow("numbers, not letters, give the order")
            << QStringList { "COM10 \\Device\\VCP1", "COM9 \\Device\\VCP0" } << none
            << QStringList { "COM9", "COM10", "", "" };
        QTest::newRow("the gaps between the PC's own ports are filled in list order")
            << QStringList { "COM12 \\Device\\VCP1", "COM4 \\Device\\Serial1",
                   "COM2 \\Device\\Serial0", "COM6 \\Device\\VCP0" }
            << none << QStringList { "COM6", "COM2", "COM12", "COM4" };
        QTest::newRow("more than four above COM4") << QStringList { "COM9 \\Device\\VCP4",
            "COM8 \\Device\\VCP3", "COM7 \\Device\\BthModem0", "COM6 \\Device\\VCP1",
            "COM5 \\Device\\VCP0" } << none << QStringList { "COM5", "COM6", "COM8", "COM9" };
        QTest::newRow("names that are no COM port") << QStringList { "COM0 \\Device\\Serial0",
            "LPT1 \\Device\\Parallel0", "COMX \\Device\\VCP0", "COM5 \\Device\\VCP1" }
                                                    << none << QStringList { "COM5", "", "", "" };
        QTest::newRow("the operator's port wins, the others keep theirs")
            << QStringList { "COM1 \\Device\\Serial0", "COM7 \\Device\\VCP0" }
            << QStringList { "com7", "", "", "COM20" }
            << QStringList { "COM7", "COM7", "", "COM20" };
    }
    void windowsEntriesOpenTheirOwnPortElseTheHigherOnesCablesFirst()
    {
        QFETCH(QStringList, ports);
        QFETCH(QStringList, chosen);
        QFETCH(QStringList, expected);
        QList<PresentPort> present;
        for (const QString &port : ports)
            present.append({ port.section(' ', 0, 0), QString(), port.section(' ', 1) });
        QStringList opened;
        for (int entry = 1; entry <= 4; ++entry)
            opened.append(windowsComPort(entry, present, chosen[entry - 1]).device);
        QCOMPARE(opened, expected);
    }

#ifdef Q_OS_WIN
    void windowsTipsAndRefusalsNameThePortOnce()
    {
        // The second port has no name of its own: the system describes it by its COM name.
        plugIn({ { "COM6", "COM6", "\\Device\\VCP0" },
            { "COM1",
                "Puerto de comunicaciones (COM1)",
                "\\Device\\Serial0" } });
        QStringList tips;
        for (int entry = 1; entry <= 4; ++entry)
            tips.append(MSComm::portTip(entry));
        QCOMPARE(tips,
            QStringList(
                { "COM1 — Puerto de comunicaciones (COM1)", "COM6", "sin puerto", "sin puerto" }));
        MSComm comm;
        comm.setCommPort(3);
        const CommError error = refusal([&] { comm.setPortOpen(true); });
        QCOMPARE(error.number, int(MSComm::PortUnavailable));
        QCOMPARE(error.description,
            QStringLiteral("No se pudo abrir COM3: ningún puerto serie de este equipo es COM3. "
                           "Puertos serie presentes: COM1 (Puerto de comunicaciones (COM1)), "
                           "COM2 = COM6"));
    }

    void withoutCom1ToCom4TheFirstEntryOpensTheAdapterAbove()
    {
        // The host made the prefix a PC whose only serial port is COM5: what Windows lists.
        MSComm::setPortsPresentSource(nullptr);
        PtyPair pty(PtyPair::Wired {});
        QCOMPARE(pty.devicePath(), QStringLiteral("COM5"));
        const QList<PresentPort> present = MSComm::portsPresent();
        QCOMPARE(present.size(), 1);
        QCOMPARE(present[0].device, QStringLiteral("COM5"));
        QCOMPARE(present[0].driverDevice, QStringLiteral("\\Device\\Serial4"));
        QStringList tips;
        for (int entry = 1; entry <= 4; ++entry)
            tips.append(MSComm::portTip(entry));
        QCOMPARE(tips,
            QStringList({ "COM5 — \\Device\\Serial4", "sin puerto", "sin puerto", "sin puerto" }));

        // Named in Device Manager, as a USB adapter is; Wine names none of its own.
        const HDEVINFO devices = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
        SP_DEVINFO_DATA device {};
        device.cbSize = sizeof device;
        QVERIFY(SetupDiCreateDeviceInfoW(
            devices, L"PORTS", &GUID_DEVCLASS_PORTS, nullptr, nullptr, DICD_GENERATE_ID, &device));
        QVERIFY(SetupDiRegisterDeviceInfo(devices, &device, 0, nullptr, nullptr, nullptr));
        const wchar_t name[] = L"USB-SERIAL CH340 (COM5)";
        SetupDiSetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME,
            reinterpret_cast<const BYTE *>(name), sizeof name);
        const HKEY settings = SetupDiCreateDevRegKeyW(
            devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
        const wchar_t com5[] = L"COM5";
        RegSetValueExW(
            settings, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE *>(com5), sizeof com5);
        RegCloseKey(settings);
        const QString named = MSComm::portTip(1);
        SetupDiRemoveDevice(devices, &device);
        SetupDiDestroyDeviceInfoList(devices);
        QCOMPARE(named, QStringLiteral("COM5 — USB-SERIAL CH340 (COM5)"));

        MSComm comm;
        QString received;
        collectInto(comm, received);
        comm.setCommPort(1);
        comm.setSettings(QStringLiteral(" 9600,E,8,1"));
        QCOMPARE(refusal([&] { comm.setPortOpen(true); }).description, QStringLiteral("accepted"));
        comm.setOutput(QStringLiteral("W"));
        QCOMPARE(pty.receive(1), QByteArray("W"));
        QVERIFY(pty.send("TOTAL 42\r\n"));
        QTRY_COMPARE(received, QStringLiteral("TOTAL 42\r\n"));
        comm.setPortOpen(false);

        comm.setCommPort(2);
        const CommError error = refusal([&] { comm.setPortOpen(true); });
        QCOMPARE(error.number, int(MSComm::PortUnavailable));
        QCOMPARE(error.description,
            QStringLiteral("No se pudo abrir COM2: ningún puerto serie de este equipo es COM2. "
                           "Puertos serie presentes: COM1 = COM5 (\\Device\\Serial4)"));

        // A port switched off stays listed, with no device behind its name.
        HKEY key = nullptr;
        QCOMPARE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                     KEY_SET_VALUE, &key),
            LONG(ERROR_SUCCESS));
        const wchar_t off[] = L"COM2";
        RegSetValueExW(
            key, L"\\Device\\Serial1", 0, REG_SZ, reinterpret_cast<const BYTE *>(off), sizeof off);
        const QString tip = MSComm::portTip(2);
        RegDeleteValueW(key, L"\\Device\\Serial1");
        RegCloseKey(key);
        QCOMPARE(tip, QStringLiteral("sin puerto"));
    }

    void portsOfAnyClassAreNamedAndBluetoothOnesComeLast_data()
    {
        // COM5 is registered as a device of this class, with its COM name in this value
        // (a modem keeps it in its driver's key) and its name in this property.
        QTest::addColumn<QUuid>("deviceClass");
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("property");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("tips");
        // A cable above COM5 that the system names only by its device.
        const QString cable = QStringLiteral("COM40 — \\Device\\SalvexCable");
        QTest::newRow("modem-class USB adapter")
            << QUuid(GUID_DEVCLASS_MODEM) << "AttachedTo" << int(SPDRP_FRIENDLYNAME)
            << "USB CDC Modem (COM5)" << QStringList { "COM5 — USB CDC Modem (COM5)", cable };
        QTest::newRow("com0com pair, with a description only")
            << QUuid("{df799e12-3c56-421b-b298-b6d3642bc878}") << "PortName"
            << int(SPDRP_DEVICEDESC) << "com0com - serial port emulator"
            << QStringList { "COM5 — com0com - serial port emulator", cable };
        QTest::newRow("another maker's Bluetooth port, not BthModem")
            << QUuid(GUID_DEVCLASS_PORTS) << "PortName" << int(SPDRP_FRIENDLYNAME)
            << "Toshiba Bluetooth SPP (COM5)"
            << QStringList { cable, "COM5 — Toshiba Bluetooth SPP (COM5)" };
    }
    void portsOfAnyClassAreNamedAndBluetoothOnesComeLast()
    {
        QFETCH(QUuid, deviceClass);
        QFETCH(QString, value);
        QFETCH(int, property);
        QFETCH(QString, name);
        QFETCH(QStringList, tips);
        MSComm::setPortsPresentSource(nullptr);
        const GUID kind = deviceClass;
        const HDEVINFO devices = SetupDiCreateDeviceInfoList(&kind, nullptr);
        SP_DEVINFO_DATA device {};
        device.cbSize = sizeof device;
        HKEY serialComm = nullptr;
        // A driver's key makes its class's key where this prefix has none: that goes too.
        const std::wstring classKey
            = QStringLiteral("System\\CurrentControlSet\\Control\\Class\\%1")
                  .arg(deviceClass.toString())
                  .toStdWString();
        HKEY known = nullptr;
        const bool classKnown
            = RegOpenKeyExW(HKEY_LOCAL_MACHINE, classKey.c_str(), 0, KEY_READ, &known) == 0;
        RegCloseKey(known);
        const auto removeAll = qScopeGuard([&] {
            SetupDiDeleteDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_BOTH);
            SetupDiRemoveDevice(devices, &device);
            SetupDiDestroyDeviceInfoList(devices);
            if (!classKnown)
                RegDeleteKeyW(HKEY_LOCAL_MACHINE, classKey.c_str());
            RegDeleteValueW(serialComm, L"\\Device\\SalvexCable");
            RegCloseKey(serialComm);
            DefineDosDeviceW(
                DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, L"COM40",
                L"\\Device\\SalvexCable");
        });
        QVERIFY(SetupDiCreateDeviceInfoW(
            devices, L"SALVEX", &kind, nullptr, nullptr, DICD_GENERATE_ID, &device));
        QVERIFY(SetupDiRegisterDeviceInfo(devices, &device, 0, nullptr, nullptr, nullptr));
        const std::wstring text = name.toStdWString();
        QVERIFY(SetupDiSetDeviceRegistryPropertyW(devices, &device, DWORD(property),
            reinterpret_cast<const BYTE *>(text.c_str()), DWORD(text.size() + 1) * 2));
        const HKEY settings = SetupDiCreateDevRegKeyW(devices, &device, DICS_FLAG_GLOBAL, 0,
            value == "AttachedTo" ? DIREG_DRV : DIREG_DEV, nullptr, nullptr);
        QVERIFY(settings != INVALID_HANDLE_VALUE);
        RegSetValueExW(settings, value.toStdWString().c_str(), 0, REG_SZ,
            reinterpret_cast<const BYTE *>(L"COM5"), sizeof L"COM5");
        RegCloseKey(settings);
        QCOMPARE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                     KEY_SET_VALUE, &serialComm),
            LONG(ERROR_SUCCESS));
        RegSetValueExW(serialComm, L"\\Device\\SalvexCable", 0, REG_SZ,
            reinterpret_cast<const BYTE *>(L"COM40"), sizeof L"COM40");
        QVERIFY(DefineDosDeviceW(DDD_RAW_TARGET_PATH, L"COM40", L"\\Device\\SalvexCable"));
        QCOMPARE(QStringList({ MSComm::portTip(1), MSComm::portTip(2) }), tips);
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

    void lineMarksAreTakenOutWhereverAReadEnds_data()
    {
        QTest::addColumn<QByteArray>("marked");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("damaged");
        QTest::addColumn<int>("breaks");
        // Literals with NULs inside, taken whole.
        const auto row
            = [](const char *name, const auto &marked, const auto &bytes, int damaged, int breaks) {
                  QTest::newRow(name) << QByteArray(marked, sizeof marked - 1)
                                      << QByteArray(bytes, sizeof bytes - 1) << damaged << breaks;
              };
        row("no marks", "TOTAL 123\r\n", "TOTAL 123\r\n", 0, 0);
        row("a real 0xFF",
            "A\xff\xff"
            "B",
            "A\xff"
            "B",
            0, 0);
        row("a run of 0xFF", "\xff\xff\xff\xff\xff\xff", "\xff\xff\xff", 0, 0);
        row("a damaged digit",
            "12\xff\x00"
            "34",
            "1234", 1, 0);
        row("a damaged 0xFF", "\xff\xff\xff\x00\xff", "\xff\xff", 1, 0);
        row("a break inside a line",
            "TOT\xff\x00\x00"
            "AL",
            "TOTAL", 0, 1);
        row("damaged at the very end",
            "99\xff\x00"
            "9",
            "999", 1, 0);
        row("two damaged around a break", "\xff\x00\x01\xff\x00\x00\xff\x00\x02", "\x01\x02", 2, 1);
    }

    void lineMarksAreTakenOutWhereverAReadEnds()
    {
        QFETCH(QByteArray, marked);
        QFETCH(QByteArray, bytes);
        QFETCH(int, damaged);
        QFETCH(int, breaks);
        for (qsizetype split = 0; split <= marked.size(); ++split) {
            LineMarks marks;
            QByteArray out;
            marks.decode(QByteArrayView(marked).first(split), out);
            marks.decode(QByteArrayView(marked).sliced(split), out);
            QCOMPARE(out, bytes);
            QCOMPARE(marks.damaged, damaged);
            QCOMPARE(marks.breaks, breaks);
        }
    }

    // Drivers mark and count in their own ways: each read's bytes come out as they came off
    // the line, damaged NULs included, and only the breaks a driver counted are told. A step
    // is a read as the driver gave it, or "|", the answer over ("|+" with bytes of the next
    // one already waiting); each comes with the counts
    // at that moment ("p f b dsr cts dcd lines"), or "-" where the driver keeps none. The
    // serial core's ports drop break marks (IGNBRK); USB adapters' drivers may mark a whole
    // packet.
    void everyDriversMarksAndCountsKeepEveryByte_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QList<QByteArray>>("steps");
        QTest::addColumn<QStringList>("counts");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("told");
        const auto row = [](const char *name, const char *driver, QList<QByteArray> steps,
                             QStringList counts, QByteArray text, QStringList told) {
            QTest::newRow(name) << QString::fromLatin1(driver) << steps << counts << text << told;
        };
        row("8250: each damaged byte marked and counted, a NUL among them", "ttyS",
            { QByteArray("A\xff\x00" "1\xff\x00\x00" "B", 8), "|" }, { "2 0 0", "2 0 0" },
            QByteArray("A1\0B", 4), { "2 errores de paridad" });
        row("8250: a break is counted, its mark dropped", "ttyS", { "AB", "|" },
            { "0 0 1", "0 0 1" }, "AB", { "1 corte de la línea" });
        row("8250: a break counted before the read that holds a damaged NUL", "ttyS",
            { QByteArray("A\xff\x00\x00" "BC", 6), "D", "|" }, { "1 0 1", "1 0 1", "1 0 1" },
            QByteArray("A\0BCD", 5), { "1 error de paridad, 1 corte de la línea" });
        row("FTDI: a whole packet marked for one error, a NUL inside", "ttyUSB",
            { QByteArray("\xff\x00" "1\xff\x00" "2\xff\x00\x00\xff\x00" "3", 12), "|" },
            { "1 0 0", "1 0 0" }, QByteArray("12\0" "3", 4),
            { "4 bytes dañados (error de paridad o de trama)" });
        row("FTDI: a damaged NUL read while the break after it was already counted", "ttyUSB",
            { QByteArray("A\xff\x00\x00" "BC", 6), QByteArray("\xff\x00\x00" "D", 4), "|" },
            { "1 0 1", "1 0 1", "1 0 1" }, QByteArray("A\0BCD", 5),
            { "1 error de paridad, 1 corte de la línea" });
        row("FTDI: a break marks its whole packet, the break last", "ttyUSB",
            { QByteArray("\xff\x00\x00\xff\x00\x00\xff\x00\x00", 9), "|" },
            { "0 0 1", "0 0 1" }, QByteArray("\0\0", 2),
            { "2 bytes dañados (error de paridad o de trama), 1 corte de la línea" });
        row("PL2303: no counts, a whole packet marked", "ttyUSB",
            { QByteArray("\xff\x00" "1\xff\x00\x00\xff\x00" "2", 9), "|" }, { "-", "-" },
            QByteArray("1\0" "2", 3), { "3 bytes dañados (error de paridad o de trama)" });
        row("cdc_acm: counts without marks", "ttyACM", { "123", "|" }, { "2 0 1", "2 0 1" },
            "123", { "2 errores de paridad, 1 corte de la línea" });
        row("a damaged NUL's mark split across two reads", "ttyS",
            { QByteArray("A\xff", 2), QByteArray("\x00\x00" "B", 3), "|" },
            { "0 0 0", "0 1 0", "0 1 0" }, QByteArray("A\0B", 3), { "1 error de trama" });
        row("the next answer's error counted as the last one ends", "ttyS",
            { "OK", "|+", QByteArray("\xff\x00" "5", 3), "|" }, { "0 0 0", "1 0 0", "1 0 0", "1 0 0" },
            "OK5", { "", "1 error de paridad" });
        row("a driver that counts without marking, nothing waiting", "ttyUSB", { "OK", "|" },
            { "0 1 0", "0 1 0" }, "OK", { "1 error de trama" });
        row("the machine's DSR went off during the answer", "ttyS", { "TOT", "|" },
            { "0 0 0 0 0 0 1", "0 0 0 1 0 0 0" }, "TOT",
            { "cambió la señal DSR del dispositivo (la conexión pudo cortarse y la respuesta "
              "puede estar incompleta)" });
        row("CTS and DCD dropped, counted by the driver, CTS back on", "ttyUSB", { "TOT", "|" },
            { "0 0 0 0 0 0 6", "0 0 0 0 2 1 2" }, "TOT",
            { "cambió la señal DCD del dispositivo (la conexión pudo cortarse y la respuesta "
              "puede estar incompleta)" });
        row("the machine switched its end on during the answer", "ttyS", { "TOT", "|" },
            { "0 0 0 0 0 0 0", "0 0 0 1 1 1 7" }, "TOT", { "" });
    }
    void everyDriversMarksAndCountsKeepEveryByte()
    {
        QFETCH(QString, driver);
        QFETCH(QList<QByteArray>, steps);
        QFETCH(QStringList, counts);
        QFETCH(QByteArray, text);
        QFETCH(QStringList, told);
        const auto counted = [](const QString &counted) -> std::optional<DriverCounts> {
            if (counted == "-")
                return std::nullopt;
            QList<qint64> n(7);
            const QStringList given = counted.split(' ');
            for (qsizetype i = 0; i < given.size(); ++i)
                n[i] = given[i].toLongLong();
            return DriverCounts { n[0], n[1], n[2], 0, 0, n[3], n[4], n[5], int(n[6]) };
        };
        LineReader reader;
        reader.restart(counted(counts[0] == "-" ? "-" : "0 0 0 0 0 0 " + counts[0].section(' ', 6)),
            { driver != "ttyACM", driver == "ttyUSB" });
        QByteArray out;
        QStringList said;
        for (qsizetype i = 0; i < steps.size(); ++i) {
            if (steps[i].startsWith('|'))
                said.append(reader.take(counted(counts[i]), &out, steps[i] == "|+").told().join(", "));
            else
                out += reader.read(steps[i], [&] { return counted(counts[i]); });
        }
        QCOMPARE(out, text);
        QCOMPARE(said, told);
    }

    // Random answers, every kind of error at random places, cut at random read boundaries,
    // with the driver's counts running ahead of the reads by a random number of errors, as a
    // driver that counts before the bytes reach the reader does (into the next answer, where
    // only the counts tell breaks): every byte comes out in
    // order (a damaged NUL's place among breaks aside, where breaks are marked too), each
    // answer is told its damaged bytes, and the kinds add up over the run.
    void randomAnswersKeepEveryByteAndEveryCount_data()
    {
        QTest::addColumn<bool>("breaksMarked");
        QTest::addColumn<quint32>("seed");
        for (const bool marked : { false, true }) {
            for (quint32 seed = 1; seed <= 12; ++seed)
                QTest::addRow("%s, seed %u", marked ? "breaks marked" : "breaks counted", seed)
                    << marked << seed;
        }
    }
    void randomAnswersKeepEveryByteAndEveryCount()
    {
        QFETCH(bool, breaksMarked);
        QFETCH(quint32, seed);
        QRandomGenerator random(seed);
        enum Kind { Plain, Parity, Framing, Break };
        struct Event { Kind kind; char byte; int answer; };
        QList<Event> line;
        const int answers = 8;
        for (int answer = 0; answer < answers; ++answer) {
            for (int i = random.bounded(1, 40); i > 0; --i) {
                const int roll = random.bounded(20);
                const Kind kind = roll == 0 ? Parity : roll == 1 ? Framing : roll == 2 ? Break : Plain;
                // NULs and 0xFF, the bytes marks are made of, come often.
                const int pick = random.bounded(6);
                const char byte = pick == 0 ? '\0' : pick == 1 ? '\xff' : char(random.bounded(256));
                line.append({ kind, kind == Break ? '\0' : byte, answer });
            }
        }
        // What the driver hands over for each event, and its counts after the first n events.
        const auto delivered = [&](const Event &e) -> QByteArray {
            if (e.kind == Break)
                return breaksMarked ? QByteArray("\xff\x00\x00", 3) : QByteArray();
            if (e.kind != Plain)
                return QByteArray("\xff\x00", 2) + e.byte;
            return e.byte == '\xff' ? QByteArray("\xff\xff", 2) : QByteArray(1, e.byte);
        };
        const auto countsAfter = [&](qsizetype n) {
            DriverCounts c;
            for (qsizetype i = 0; i < n; ++i) {
                c.parity += line[i].kind == Parity;
                c.frame += line[i].kind == Framing;
                c.brk += line[i].kind == Break;
            }
            return std::optional<DriverCounts>(c);
        };
        LineReader reader;
        reader.restart(countsAfter(0), { true, breaksMarked });
        QByteArray out;
        QList<LineErrors> told;
        qsizetype next = 0;
        for (int answer = 0; answer < answers; ++answer) {
            qsizetype end = next;
            while (end < line.size() && line[end].answer == answer)
                ++end;
            // Where breaks are marked, a mark counted as a break is read as one: by the end of
            // an answer, a second's quiet, every mark counted has been read.
            const qsizetype lastCounted = breaksMarked ? end : line.size();
            QByteArray stream;
            for (qsizetype i = next; i < end; ++i)
                stream += delivered(line[i]);
            // Read in random pieces; each piece's counts are taken a few events late.
            qsizetype at = 0;
            qsizetype counted = next;
            while (at < stream.size()) {
                const qsizetype piece = qMin<qsizetype>(random.bounded(1, 12), stream.size() - at);
                at += piece;
                QByteArray before;
                for (qsizetype i = next; i < end && before.size() < at; ++i) {
                    before += delivered(line[i]);
                    counted = qMax(counted, i + 1);
                }
                const qsizetype ahead = qMin<qsizetype>(counted + random.bounded(4), lastCounted);
                out += reader.read(stream.mid(at - piece, piece), [&] { return countsAfter(ahead); });
            }
            const qsizetype ahead = qMin<qsizetype>(end + random.bounded(3), lastCounted);
            told.append(reader.take(countsAfter(ahead), &out, ahead > end));
            next = end;
        }
        QByteArray sent;
        qint64 parity = 0, framing = 0, breaks = 0;
        for (const Event &e : std::as_const(line)) {
            if (e.kind != Break)
                sent += e.byte;
            parity += e.kind == Parity;
            framing += e.kind == Framing;
            breaks += e.kind == Break;
        }
        if (breaksMarked) {
            QCOMPARE(out.count('\0'), sent.count('\0'));
            out.replace('\0', QByteArray());
            sent.replace('\0', QByteArray());
        }
        QCOMPARE(out, sent);
        qint64 toldParity = 0, toldFraming = 0, toldBreaks = 0;
        for (int answer = 0; answer < answers; ++answer) {
            const LineErrors &e = told[answer];
            const auto damaged = std::count_if(line.cbegin(), line.cend(), [&](const Event &x) {
                return x.answer == answer && (x.kind == Parity || x.kind == Framing);
            });
            QCOMPARE(e.damaged + e.parity + e.framing, qint64(damaged));
            toldParity += e.parity;
            toldFraming += e.framing;
            toldBreaks += e.breaks;
        }
        QCOMPARE(toldParity + toldFraming, parity + framing);
        QCOMPARE(toldBreaks, breaks);
    }

    void lineErrorsAreToldInSpanishWithTheirCounts_data()
    {
        QTest::addColumn<LineErrors>("errors");
        QTest::addColumn<QString>("told");
        QTest::newRow("clean") << LineErrors {} << QString();
        QTest::newRow("one of each counted") << LineErrors { 1, 0, 0, 1, 1, 1 }
                                             << "1 byte dañado (error de paridad o de trama), "
                                                "1 corte de la línea, 1 desbordamiento del "
                                                "adaptador, con bytes perdidos, 1 desbordamiento "
                                                "del búfer de entrada, con bytes perdidos";
        QTest::newRow("several") << LineErrors { 3, 0, 0, 2, 12, 0 }
                                 << "3 bytes dañados (error de paridad o de trama), 2 cortes de "
                                    "la línea, 12 desbordamientos del adaptador, con bytes "
                                    "perdidos";
        QTest::newRow("kinds without counts") << LineErrors { 0, -1, -1, -1, -1, 0 }
                                              << "errores de paridad, errores de trama, cortes "
                                                 "de la línea, desbordamiento del adaptador, con "
                                                 "bytes perdidos";
        QTest::newRow("counted parity and framing")
            << LineErrors { 0, 1, 2, 0, 0, 0 } << "1 error de paridad, 2 errores de trama";
        QTest::newRow("all three control lines")
            << LineErrors { 0, 0, 0, 0, 0, 0, LineErrors::Dsr | LineErrors::Cts | LineErrors::Dcd }
            << "cambiaron las señales DSR, CTS y DCD del dispositivo (la conexión pudo cortarse "
               "y la respuesta puede estar incompleta)";
    }
    void lineErrorsAreToldInSpanishWithTheirCounts()
    {
        QFETCH(LineErrors, errors);
        QFETCH(QString, told);
        QCOMPARE(errors.told().join(", "), told);
    }

    void theRequestReachesTheLineAsOneByte()
    {
        PtyPair pty;
        MSComm comm;
        comm.setSThreshold(1);
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
        QString received;
        collectInto(comm, received);
        QVERIFY(openOn(comm, pty));
        QVERIFY(pty.send(everyByte().left(2)));
        QTRY_COMPARE(received, QStringLiteral(u"\u0000\u0001"));
        QVERIFY(pty.send(everyByte().mid(2)));
        QTRY_COMPARE(received.size(), 256);
        QCOMPARE(received, everyByteAsText());
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
        QString received;
        collectInto(comm, received);
        QVERIFY(openOn(comm, *pty));
        // A pseudo-terminal has no modem lines; that alone is no loss.
        QTest::qWait(200);
        QVERIFY(comm.portOpen());

        QVERIFY(pty->send("REPORTE"));
        QTRY_COMPARE(received, QStringLiteral("REPORTE"));
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

#ifndef Q_OS_WIN
    void aDeviceGoneIsToldInOneNotificationWithATrueReason_data()
    {
        QTest::addColumn<bool>("hangUp");
        // The pseudo-terminal's reads then fail with EIO.
        QTest::newRow("the other end closed") << false;
        // As an unplugged USB adapter does: reads give nothing and no error, so the system's
        // last words are stale.
        QTest::newRow("the line hung up") << true;
    }
    void aDeviceGoneIsToldInOneNotificationWithATrueReason()
    {
        QFETCH(bool, hangUp);
        __user_cap_header_struct self { _LINUX_CAPABILITY_VERSION_3, 0 };
        __user_cap_data_struct rights[2] {};
        if (hangUp
            && (::syscall(SYS_capget, &self, rights) != 0
                || !(rights[0].effective & (1u << CAP_SYS_ADMIN))))
            QSKIP("hanging up a terminal needs CAP_SYS_ADMIN");
        PtyPair pty;
        // Opened before the program's opening, which keeps others out.
        const int line = ::open(QFile::encodeName(pty.devicePath()).constData(), O_RDWR);
        QVERIFY(line >= 0);
        const auto closeLine = qScopeGuard([&] { ::close(line); });
        MSComm comm;
        QList<int> events;
        connect(&comm, &MSComm::OnComm, [&] { events.append(comm.commEvent()); });
        QVERIFY(openOn(comm, pty));
        if (hangUp) {
            QCOMPARE(::ioctl(line, TIOCVHANGUP), 0);
        } else {
            pty.unplug();
        }
        QTRY_VERIFY(!comm.portOpen());
        QTest::qWait(200);
        QCOMPARE(events, QList<int>({ MSComm::comEventDeviceLost }));
        QVERIFY2(comm.lostReport().contains("quedó cerrado (el dispositivo se desconectó)."),
            qPrintable(comm.lostReport()));
    }

    // The driver has no room for the request yet (the machine reads slowly, an adapter's
    // buffers are full): the byte goes out once the line drains, and no loss is told.
    void aRequestWaitsForRoomOnTheLine()
    {
        PtyPair pty;
        const int line = ::open(
            QFile::encodeName(pty.devicePath()).constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY);
        QVERIFY(line >= 0);
        MSComm comm;
        QList<int> events;
        connect(&comm, &MSComm::OnComm, [&] { events.append(comm.commEvent()); });
        QVERIFY(openOn(comm, pty));
        const QByteArray filler(4096, '.');
        qint64 queued = 0;
        for (ssize_t n; (n = ::write(line, filler.constData(), filler.size())) > 0;)
            queued += n;
        QCOMPARE(errno, EAGAIN);
        ::close(line);

        QCOMPARE(refusal([&] { comm.setOutput(QStringLiteral("W")); }).description,
            QStringLiteral("accepted"));
        const QByteArray got = pty.receive(int(queued) + 1, 5000);
        QCOMPARE(got.size(), queued + 1);
        QCOMPARE(got.back(), 'W');
        QVERIFY(comm.portOpen());
        QCOMPARE(events, QList<int>());
    }

    // The driver marks damaged bytes from the opening on, and still after a speed change,
    // which Qt would otherwise undo; a real 0xFF, which the driver then doubles, arrives once.
    // Mark or space parity left on the line by an earlier program does not outlive it.
    void theDriverMarksDamagedBytesAfterOpeningAndEveryChange()
    {
        PtyPair pty;
        pty.setStickParity();
        QVERIFY(pty.line().stickParity);
        MSComm comm;
        QString received;
        collectInto(comm, received);
        QVERIFY(openOn(comm, pty));
        QVERIFY(pty.line().marksErrors);
        QVERIFY(!pty.line().stickParity);
        pty.setStickParity();
        comm.setSettings(QStringLiteral(" 2400,E,8,1"));
        QCOMPARE(pty.line().baud, 2400);
        QVERIFY(pty.line().marksErrors);
        QVERIFY(!pty.line().stickParity);

        // Written with its length: a plain C string would end at the first NUL.
        const QByteArray runs = QByteArrayLiteral("\xff\xff\xff A\xff\x00\xff\x00\x00\xff");
        QVERIFY(pty.send(runs));
        QTRY_COMPARE(received, QStringLiteral(u"ÿÿÿ Aÿ\u0000ÿ\u0000\u0000ÿ"));
    }
#endif
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
