#include "comports.h"

#include <QRegularExpression>

#include <algorithm>
#include <optional>
#include <utility>

namespace {

// Family first (UART, USB, modem), then the number: ttyUSB2 comes before ttyUSB10.
std::optional<std::pair<int, qulonglong>> rank(const QString &name)
{
    static const QRegularExpression form(QStringLiteral("^tty(S|USB|ACM)(\\d+)$"));
    const QRegularExpressionMatch match = form.match(name);
    if (!match.hasMatch())
        return std::nullopt;
    static const QStringList families
        = { QStringLiteral("S"), QStringLiteral("USB"), QStringLiteral("ACM") };
    return std::make_pair(
        int(families.indexOf(match.captured(1))), match.captured(2).toULongLong());
}

QString baseName(const QString &device)
{
    return device.section(QLatin1Char('/'), -1);
}

} // namespace

QList<PresentPort> comPorts(const QList<PresentPort> &present, const QStringList &consoles)
{
    QList<std::pair<std::pair<int, qulonglong>, PresentPort>> ranked;
    for (const PresentPort &port : present) {
        const QString name = baseName(port.device);
        if (consoles.contains(name))
            continue;
        if (const auto order = rank(name))
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
