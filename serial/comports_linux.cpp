// SPDX-License-Identifier: MIT
#include "comports.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

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
    return firstLine(QStringLiteral("/sys/class/tty/console/active"))
        .split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// The name a USB device gives itself ("FT232R USB UART"), found on the USB device above the
// adapter's port or interface.
QString usbProduct(const QString &device)
{
    QDir dir(QFileInfo(device).canonicalFilePath());
    for (int up = 0; up < 4 && !dir.isRoot(); ++up) {
        if (dir.exists(QStringLiteral("idVendor")))
            return firstLine(dir.filePath(QStringLiteral("product")));
        dir.cdUp();
    }
    return QString();
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
            ports.append({ dev + QLatin1Char('/') + name, usbProduct(device) });
        }
    }
    return ports;
}

QList<PresentPort> systemPorts()
{
    return serialPortsUnder(QStringLiteral("/sys"), QStringLiteral("/dev"));
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
// start-up; the adapter's own name does not.
QString keepingHint(int port, const QString &device)
{
    const QString stable = stableName(device);
    if (stable.isEmpty())
        return {};
    return QStringLiteral("Para que COM%1 abra siempre este adaptador: SALVEX_COM%1=%2")
        .arg(port)
        .arg(stable);
}
