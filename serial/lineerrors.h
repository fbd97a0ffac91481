// SPDX-License-Identifier: MIT
#pragma once

#include <QStringList>

// The errors the line brought to one answer, as the port's driver tells them: a count for
// each kind where the adapter counts, -1 where it only says that there were some.
struct LineErrors
{
    // The control lines the other end drives.
    enum ControlLine { Dsr = 1, Cts = 2, Dcd = 4 };

    // Bytes with a parity or framing error, where the driver does not say which.
    qint64 damaged = 0;
    qint64 parity = 0;
    qint64 framing = 0;
    qint64 breaks = 0;
    // Bytes the adapter's chip had no room for.
    qint64 overruns = 0;
    // Bytes the driver's input buffer had no room for.
    qint64 bufferOverruns = 0;
    // The control lines that went off while the answer came (ControlLine bits): the cable
    // pulled or the machine switched off, when the machine drives them.
    int controlLines = 0;

    // Each kind there was, counted where the adapter counts ("1 corte de la línea", "3 bytes
    // dañados (...)"), only named where it only says there were some.
    QStringList told() const;
};
