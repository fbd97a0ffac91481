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
};

// The ports that COM1, COM2, ... name, in that order: the built-in UARTs (ttyS), then the
// USB adapters (ttyUSB), then the modem adapters (ttyACM), each in number order. A port
// named in consoles ("ttyS0") carries the system console and is none of them.
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

// The name that the adapter behind a device keeps whichever ttyUSB number it gets, from the
// links the system makes for it in `folder` (made from the adapter's maker, model and serial
// number); empty when it has none or the device is already named that way.
QString stableName(
    const QString &device, const QString &folder = QStringLiteral("/dev/serial/by-id"));

#ifdef Q_OS_WIN
// The COM ports Windows has at this moment, with their names in Device Manager where the
// system has them, else the driver's device.
QList<PresentPort> windowsPortsPresent();
#endif
