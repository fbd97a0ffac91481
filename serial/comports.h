#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// A serial port this machine has: its device and the system's description of it.
struct PresentPort
{
    QString device;
    QString description;
};

// The ports that COM1, COM2, ... name, in that order: the built-in UARTs (ttyS), then the
// USB adapters (ttyUSB), then the modem adapters (ttyACM), each in number order. A port
// named in consoles ("ttyS0") carries the system console and is none of them.
QList<PresentPort> comPorts(const QList<PresentPort> &present, const QStringList &consoles);

// The port COMn names: the device chosen by the operator when there is one, else the n-th
// of comPorts(). An empty device when there is no such port.
PresentPort comPort(int port, const QList<PresentPort> &present, const QStringList &consoles,
    const QString &chosen);
