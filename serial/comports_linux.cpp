// SPDX-License-Identifier: MIT
#include "comports.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Where the system tells of its ports; a test points them at a tree of its own.
QString sysFolder = QStringLiteral("/sys");
QString devFolder = QStringLiteral("/dev");

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

} // namespace

QList<PresentPort> serialPortsUnder(const QString &sys, const QString &dev)
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
            ports.append({ dev + QLatin1Char('/') + name, QString() });
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
    return serialPortsUnder(sysFolder, devFolder);
}

void setSystemFolders(const QString &sys, const QString &dev)
{
    sysFolder = sys;
    devFolder = dev;
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
