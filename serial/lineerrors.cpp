// SPDX-License-Identifier: MIT
#include "lineerrors.h"

#include <utility>

QStringList LineErrors::told() const
{
    struct Kind
    {
        qint64 LineErrors::*count;
        const char *one;
        const char *many;
        const char *some;
    };
    static const Kind kinds[] = {
        { &LineErrors::damaged, "1 byte dañado (error de paridad o de trama)",
            "%1 bytes dañados (error de paridad o de trama)",
            "bytes dañados (error de paridad o de trama)" },
        { &LineErrors::parity, "1 error de paridad", "%1 errores de paridad",
            "errores de paridad" },
        { &LineErrors::framing, "1 error de trama", "%1 errores de trama", "errores de trama" },
        { &LineErrors::breaks, "1 corte de la línea", "%1 cortes de la línea",
            "cortes de la línea" },
        { &LineErrors::overruns, "1 desbordamiento del adaptador, con bytes perdidos",
            "%1 desbordamientos del adaptador, con bytes perdidos",
            "desbordamiento del adaptador, con bytes perdidos" },
        { &LineErrors::bufferOverruns, "1 desbordamiento del búfer de entrada, con bytes perdidos",
            "%1 desbordamientos del búfer de entrada, con bytes perdidos",
            "desbordamiento del búfer de entrada, con bytes perdidos" },
    };
    QStringList found;
    for (const Kind &kind : kinds) {
        const qint64 count = this->*kind.count;
        if (count < 0)
            found.append(QString::fromUtf8(kind.some));
        else if (count == 1)
            found.append(QString::fromUtf8(kind.one));
        else if (count > 1)
            found.append(QString::fromUtf8(kind.many).arg(count));
    }
    QStringList lines;
    for (const auto &[line, name] : { std::pair { Dsr, "DSR" }, { Cts, "CTS" }, { Dcd, "DCD" } }) {
        if (controlLines & line)
            lines.append(QString::fromLatin1(name));
    }
    // The line gives no other sign of a pulled cable or a machine switched off: the answer
    // just stops.
    if (!lines.isEmpty())
        found.append((lines.size() == 1 ? QStringLiteral("cambió la señal %1 del dispositivo")
                                        : QStringLiteral("cambiaron las señales %1 del dispositivo"))
                .arg(lines.size() == 1 ? lines[0]
                                       : lines.mid(0, lines.size() - 1).join(u", ")
                             + QStringLiteral(" y ") + lines.last())
            + QStringLiteral(" (la conexión pudo cortarse y la respuesta puede estar incompleta)"));
    return found;
}
