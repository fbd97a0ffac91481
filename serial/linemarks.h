// SPDX-License-Identifier: MIT
#pragma once

#include "lineerrors.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <functional>
#include <optional>

// Reads what a Linux serial driver delivers with INPCK and PARMRK set: a byte X received
// with a parity or framing error comes as 0xFF 0x00 X, a break as 0xFF 0x00 0x00, and a real
// 0xFF doubled as 0xFF 0xFF. Gives back the bytes as they came off the line, counting the
// damaged ones and the breaks; a mark split across two reads is joined up.
class LineMarks
{
public:
    // Appends the bytes of `in` to `out`, marks taken out; where a break was, the place in
    // `out` goes to `breakAt`.
    void decode(QByteArrayView in, QByteArray &out, QList<qsizetype> *breakAt = nullptr);

    qint64 damaged = 0;
    qint64 breaks = 0;

private:
    // How much of a mark the previous read ended in: none, 0xFF, or 0xFF 0x00.
    int m_held = 0;
};

// What a Linux serial driver counted since the port opened (TIOCGICOUNT), of line errors.
struct DriverCounts
{
    qint64 parity = 0;
    qint64 frame = 0;
    qint64 brk = 0;
    qint64 overrun = 0;
    qint64 bufOverrun = 0;
};

// A port's reads with the driver's marks taken out, and the errors the line brought, told
// from the marks and the driver's counts together. The counts are asked for after a read;
// there are none where the driver keeps none.
class LineReader
{
public:
    using Counts = std::function<std::optional<DriverCounts>()>;

    QByteArray read(QByteArrayView raw, const Counts &counts);
    // The errors since the last look.
    LineErrors take(const std::optional<DriverCounts> &now);
    // Marks and counts so far belong to no answer (an opening, a closing).
    void restart(const std::optional<DriverCounts> &now);

private:
    LineMarks m_marks;
    // The driver's counts at the last look.
    std::optional<DriverCounts> m_seen;
};
