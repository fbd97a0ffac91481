// SPDX-License-Identifier: MIT
#include "comports.h"

#include <QRegularExpression>

#include <algorithm>
#include <optional>
#include <utility>

namespace {

// Family first (UART, USB, modem adapter, built-in modem), then the number: ttyUSB2 comes
// before ttyUSB10.
std::optional<std::pair<int, qulonglong>> rank(const QString &name, bool modem)
{
    static const QRegularExpression form(QStringLiteral("^tty(S|USB|ACM)(\\d+)$"));
    const QRegularExpressionMatch match = form.match(name);
    if (!match.hasMatch())
        return std::nullopt;
    static const QStringList families
        = { QStringLiteral("S"), QStringLiteral("USB"), QStringLiteral("ACM") };
    return std::make_pair(modem ? int(families.size()) : int(families.indexOf(match.captured(1))),
        match.captured(2).toULongLong());
}

QString baseName(const QString &device)
{
    return device.section(QLatin1Char('/'), -1);
}

// 5 for "COM5" (Windows names are case-blind); 0 for any other name.
int comNumber(const QString &name)
{
    static const QRegularExpression form(
        QStringLiteral("^COM([1-9]\\d{0,2})$"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(name);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

// A Bluetooth link comes and goes with the telephone or printer at its other end: the last
// choice for an entry, after every cable.
bool isBluetooth(const PresentPort &port)
{
    return port.bluetooth
        || port.driverDevice.startsWith(QLatin1String("\\Device\\BthModem"), Qt::CaseInsensitive);
}

} // namespace

QList<PresentPort> comPorts(const QList<PresentPort> &present, const QStringList &consoles)
{
    QList<std::pair<std::pair<int, qulonglong>, PresentPort>> ranked;
    for (const PresentPort &port : present) {
        const QString name = baseName(port.device);
        if (consoles.contains(name))
            continue;
        if (const auto order = rank(name, port.modem))
            ranked.append({ *order, port });
    }
    std::stable_sort(ranked.begin(), ranked.end(),
        [](const auto &a, const auto &b) { return a.first < b.first; });
    QList<PresentPort> ports;
    for (const auto &entry : std::as_const(ranked))
        ports.append(entry.second);
    return ports;
}

PresentPort comPort(
    int port, const QList<PresentPort> &present, const QStringList &consoles, const QString &chosen)
{
    if (chosen.isEmpty())
        return port >= 1 ? comPorts(present, consoles).value(port - 1) : PresentPort();
    for (const PresentPort &known : present) {
        if (known.device == chosen)
            return known;
    }
    return { chosen, QString() };
}

PresentPort windowsComPort(int port, const QList<PresentPort> &present, const QString &chosen)
{
    if (!chosen.isEmpty()) {
        for (const PresentPort &known : present) {
            if (known.device.compare(chosen, Qt::CaseInsensitive) == 0)
                return known;
        }
        return { chosen, QString() };
    }
    QList<PresentPort> entries(4);
    QList<std::pair<std::pair<bool, int>, PresentPort>> higher;
    for (const PresentPort &known : present) {
        const int number = comNumber(known.device);
        if (number == port)
            return known;
        if (number >= 1 && number <= 4)
            entries[number - 1] = known;
        else if (number > 4)
            higher.append({ { isBluetooth(known), number }, known });
    }
    if (port < 1 || port > 4)
        return PresentPort();
    std::stable_sort(higher.begin(), higher.end(),
        [](const auto &a, const auto &b) { return a.first < b.first; });
    auto next = higher.cbegin();
    for (PresentPort &entry : entries) {
        if (entry.device.isEmpty() && next != higher.cend())
            entry = (next++)->second;
    }
    return entries[port - 1];
}
