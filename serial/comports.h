// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// A serial port this machine has: its device and the system's description of it.
struct PresentPort
{
    QString device;
    QString description;
    // On Windows, the driver's device that holds the COM name ("\Device\BthModem0"): it tells
    // a Bluetooth link from a cable.
    QString driverDevice = {};
    // On Linux, a port of a built-in mobile-broadband modem (drivers option, qcserial,
    // sierra), which a laptop may have several of: never the operator's cable.
    bool modem = false;
    // On Windows, a link of any Bluetooth stack, Microsoft's or another maker's.
    bool bluetooth = false;
};

// The ports that COM1, COM2, ... name, in that order: the built-in UARTs (ttyS), then the
// USB adapters (ttyUSB), then the modem adapters (ttyACM), each in number order, then the
// ports of built-in modems. A port named in consoles ("ttyS0") carries the system console
// and is none of them.
QList<PresentPort> comPorts(const QList<PresentPort> &present, const QStringList &consoles);

// The port COMn names: the device chosen by the operator when there is one, else the n-th
// of comPorts(). An empty device when there is no such port.
PresentPort comPort(int port, const QList<PresentPort> &present, const QStringList &consoles,
    const QString &chosen);

// The port the entry COMn opens on Windows: the one chosen by the operator when there is
// one, else the PC's own COMn. Entries whose COMn the PC lacks take, in list order, the
// ports numbered above COM4: Bluetooth links after all others, each group in number order.
// Above COM4, a number opens only the PC's own port. An empty device when there is none.
PresentPort windowsComPort(int port, const QList<PresentPort> &present, const QString &chosen);

// What follows is each platform's own (comports_linux.cpp, comports_win.cpp).

// The serial ports this machine has at this moment, as the system reports them.
QList<PresentPort> systemPorts();

// The port the entry COMn opens: the one the operator chose, else the system's numbering of
// the ports present (comPort() on Linux, windowsComPort() on Windows).
PresentPort entryPort(int port, const QList<PresentPort> &present, const QString &chosen);

// The ports the entries COM1, COM2, ... open when the operator chose none, in entry order;
// an empty device for an entry that opens nothing.
QList<PresentPort> entryPorts(const QList<PresentPort> &present);

// Why the entry COMn opens nothing when no serial port is present at all.
QString noPortPresent(int port);

// How the operator keeps the adapter behind a device on the entry COMn whatever number the
// system gives it next time; empty where there is nothing to add.
QString keepingHint(int port, const QString &device);

#ifdef Q_OS_LINUX
// The serial ports a sysfs tree (/sys) tells of, named as under the device folder (/dev),
// found without opening any: a built-in UART whose serial core knows its chip, a USB or
// modem adapter whose device is there. A built-in UART is described by the device behind
// it: a PCI one by its name in udev's database (under `udev`, /run/udev) or else by its ids,
// one the firmware declares as the board's own.
QList<PresentPort> serialPortsUnder(
    const QString &sys, const QString &dev, const QString &udev = QString());

// The name that the adapter behind a device keeps whichever ttyUSB number it gets, from the
// links the system makes for it in `folder` (made from the adapter's maker, model and serial
// number); empty when it has none or the device is already named that way.
QString stableName(
    const QString &device, const QString &folder = QStringLiteral("/dev/serial/by-id"));

// Where the system is asked about ports (/sys, /dev and /run/udev); a test points them at a
// tree of its own. Without `udev`, PCI UARTs are described by their ids alone.
void setSystemFolders(const QString &sys, const QString &dev, const QString &udev = QString());
#endif
