// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QtGlobal>

// The link state, alive for the whole run.
namespace Module1 {

// The speed in baud and the port number chosen in the lists.
inline qint16 Velocidad_Actual = 0;
inline qint16 Puerto_Actual = 0;
// 0 while start-up makes its selections, -1 once it is over.
inline qint16 Carga_Terminada = 0;

inline bool cargaTerminada()
{
    return Carga_Terminada == -1;
}

// Port numbers and speeds are written with one leading space: " 1", " 9600".
inline QString numberText(int value)
{
    return (value < 0 ? QString() : QStringLiteral(" ")) + QString::number(value);
}

} // namespace Module1
