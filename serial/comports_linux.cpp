// SPDX-License-Identifier: MIT
#include "comports.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

namespace {

// Where the system tells of its ports; a test points them at a tree of its own.
QString sysFolder = QStringLiteral("/sys");
QString devFolder = QStringLiteral("/dev");
QString udevFolder = QStringLiteral("/run/udev");

QString firstLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readLine()).trimmed();
}

// The terminals the system console writes to ("tty0 ttyS0"): never the operator's port.
QStringList consoles()
{
    return firstLine(sysFolder + QStringLiteral("/class/tty/console/active"))
        .split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// The USB device above an adapter's port or interface in sysfs, or nothing.
QString usbDevice(const QString &device)
{
    QDir dir(QFileInfo(device).canonicalFilePath());
    for (int up = 0; up < 4 && !dir.isRoot() && dir.path() != QLatin1String("."); ++up) {
        if (dir.exists(QStringLiteral("idVendor")))
            return dir.path();
        dir.cdUp();
    }
    return QString();
}

// The name a USB device gives itself ("FT232R USB UART").
QString usbProduct(const QString &device)
{
    const QString usb = usbDevice(device);
    return usb.isEmpty() ? QString() : firstLine(usb + QStringLiteral("/product"));
}

// The bus a sysfs device hangs on ("pci", "pnp", "platform").
QString subsystem(const QString &device)
{
    return QFileInfo(QFileInfo(device + QStringLiteral("/subsystem")).symLinkTarget()).fileName();
}

// The properties udev keeps for a device ("E:ID_MODEL_FROM_DATABASE=..." in its record).
QHash<QString, QString> udevProperties(const QString &record)
{
    QFile file(record);
    QHash<QString, QString> properties;
    if (!file.open(QIODevice::ReadOnly))
        return properties;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (line.startsWith("E:") && equals > 2)
            properties.insert(QString::fromUtf8(line.mid(2, equals - 2)),
                QString::fromUtf8(line.mid(equals + 1)).trimmed());
    }
    return properties;
}

// A PCI id as lspci writes it: "8086" for the kernel's "0x8086".
QString pciId(const QString &path)
{
    static const QRegularExpression form(
        QStringLiteral("^0x([0-9a-f]{4})$"), QRegularExpression::CaseInsensitiveOption);
    return form.match(firstLine(path)).captured(1).toLower();
}

// What a built-in UART is, from the device behind it: a laptop's Intel AMT Serial-over-LAN
// is a PCI UART like a port card's, and only its name tells the operator which one it is.
// udev's copy of the PCI id database names the chip as lspci does; without it, the ids.
// The ports the firmware declares are the board's own; the ones the 8250 driver sets up at
// the old ISA addresses (platform serial8250) have nothing to tell.
QString uartDescription(const QString &device, const QString &udev)
{
    // From Linux 6.5 the tty hangs on the serial core's port and controller (bus
    // serial-base), which hang on the device itself.
    QString path = QFileInfo(device).canonicalFilePath();
    QString bus = subsystem(path);
    for (int up = 0; up < 2 && bus == QLatin1String("serial-base"); ++up) {
        path = QFileInfo(path).path();
        bus = subsystem(path);
    }
    if (path.isEmpty())
        return {};
    if (bus == QLatin1String("pnp") && !firstLine(path + QStringLiteral("/id")).isEmpty())
        return QStringLiteral("Puerto serie de la placa base");
    if (bus != QLatin1String("pci"))
        return {};
    if (!udev.isEmpty()) {
        const QHash<QString, QString> known
            = udevProperties(udev + QStringLiteral("/data/+pci:") + QFileInfo(path).fileName());
        const QString model = known.value(QStringLiteral("ID_MODEL_FROM_DATABASE"));
        const QString vendor = known.value(QStringLiteral("ID_VENDOR_FROM_DATABASE"));
        if (!model.isEmpty())
            return vendor.isEmpty() ? model : vendor + QLatin1Char(' ') + model;
    }
    const QString vendor = pciId(path + QStringLiteral("/vendor"));
    const QString id = pciId(path + QStringLiteral("/device"));
    if (vendor.isEmpty() || id.isEmpty())
        return {};
    return QStringLiteral("Puerto serie PCI %1:%2").arg(vendor, id);
}

} // namespace

QList<PresentPort> serialPortsUnder(const QString &sys, const QString &dev, const QString &udev)
{
    // Opening a port to see whether it is there would raise and drop its modem lines, and
    // fails for the port this program holds: sysfs tells without touching any.
    const QDir ttys(sys + QStringLiteral("/class/tty"));
    const QStringList names = ttys.entryList(
        { QStringLiteral("ttyS*"), QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*") },
        QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    QList<PresentPort> ports;
    for (const QString &name : names) {
        const QString tty = ttys.filePath(name);
        const QString device = tty + QStringLiteral("/device");
        if (name.startsWith(QLatin1String("ttyS"))) {
            // Every possible UART has a ttyS; the serial core's chip type 0 means none there.
            const QString type = firstLine(tty + QStringLiteral("/type"));
            if (type.isEmpty() || type == QLatin1String("0"))
                continue;
            ports.append({ dev + QLatin1Char('/') + name, uartDescription(device, udev) });
        } else if (QFileInfo::exists(device)) {
            // A laptop's mobile-broadband modem shows as ttyUSB ports of these drivers.
            static const QStringList modems = { QStringLiteral("option1"),
                QStringLiteral("qcserial"), QStringLiteral("sierra") };
            const QString driver
                = QFileInfo(QFileInfo(device + QStringLiteral("/driver")).symLinkTarget())
                      .fileName();
            ports.append(
                { dev + QLatin1Char('/') + name, usbProduct(device), {}, modems.contains(driver) });
        }
    }
    return ports;
}

QList<PresentPort> systemPorts()
{
    return serialPortsUnder(sysFolder, devFolder, udevFolder);
}

void setSystemFolders(const QString &sys, const QString &dev, const QString &udev)
{
    sysFolder = sys;
    devFolder = dev;
    udevFolder = udev;
}

PresentPort entryPort(int port, const QList<PresentPort> &present, const QString &chosen)
{
    PresentPort found = comPort(port, present, consoles(), chosen);
    // A stable name (/dev/serial/by-id/...) links to a port present: it describes it too.
    const QString target = QFileInfo(chosen).canonicalFilePath();
    if (found.description.isEmpty() && !target.isEmpty() && target != chosen)
        found.description = comPort(port, present, consoles(), target).description;
    return found;
}

QList<PresentPort> entryPorts(const QList<PresentPort> &present)
{
    return comPorts(present, consoles());
}

QString noPortPresent(int port)
{
    return QStringLiteral("no hay ningún puerto serie presente (conecte un adaptador serie USB, "
                          "o indique el dispositivo en SALVEX_COM%1)")
        .arg(port);
}

QString stableName(const QString &device, const QString &folder)
{
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty() || device.startsWith(folder + QLatin1Char('/')))
        return {};
    const QFileInfoList links = QDir(folder).entryInfoList(QDir::System | QDir::Files, QDir::Name);
    for (const QFileInfo &link : links) {
        if (link.canonicalFilePath() == target)
            return link.absoluteFilePath();
    }
    return {};
}

// ttyUSB numbers follow the order the adapters are found in, which may change at the next
// start-up; the adapter's own name does not. The system makes that name from its maker,
// model and serial number; one without a serial number (most CH340 and PL2303 clones)
// shares it with every adapter of its kind, and only the USB socket tells it apart.
QString keepingHint(int port, const QString &device)
{
    const QString tty = QFileInfo(QFileInfo(device).canonicalFilePath()).fileName();
    const QString usb = tty.isEmpty()
        ? QString()
        : usbDevice(sysFolder + QStringLiteral("/class/tty/") + tty + QStringLiteral("/device"));
    const bool bySocket = !usb.isEmpty() && firstLine(usb + QStringLiteral("/serial")).isEmpty();
    const QString stable = stableName(device,
        devFolder
            + (bySocket ? QStringLiteral("/serial/by-path") : QStringLiteral("/serial/by-id")));
    if (stable.isEmpty())
        return {};
    return (bySocket
            ? QStringLiteral("Para que COM%1 abra siempre el adaptador que se conecte a "
                             "esta misma toma USB: SALVEX_COM%1=%2")
            : QStringLiteral("Para que COM%1 abra siempre este adaptador: SALVEX_COM%1=%2"))
        .arg(port)
        .arg(stable);
}
