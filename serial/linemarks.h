// SPDX-License-Identifier: MIT
#pragma once

#include "lineerrors.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <functional>
#include <optional>

// Reads what a Linux serial driver delivers with INPCK and PARMRK set: a byte X received
// with a parity or framing error comes as 0xFF 0x00 X, a break as 0xFF 0x00 0x00 (unless
// IGNBRK drops it), and a real 0xFF doubled as 0xFF 0xFF. Gives back the bytes as they came
// off the line, counting the damaged ones and the marks that may be breaks; a mark split
// across two reads is joined up.
class LineMarks
{
public:
    explicit LineMarks(bool breaksMarked = true) : m_breaksMarked(breaksMarked) { }

    // Appends the bytes of `in` to `out`, marks taken out; where a mark may be a break, the
    // place in `out` goes to `breakAt`.
    void decode(QByteArrayView in, QByteArray &out, QList<qsizetype> *breakAt = nullptr);

    qint64 damaged = 0;
    qint64 breaks = 0;

private:
    // With breaks not marked, 0xFF 0x00 0x00 can only be a damaged NUL.
    bool m_breaksMarked;
    // How much of a mark the previous read ended in: none, 0xFF, or 0xFF 0x00.
    int m_held = 0;
};

// What a Linux serial driver counted since the port opened (TIOCGICOUNT), and which of the
// control lines the other end drives are on (LineErrors::Dsr, Cts, Dcd).
struct DriverCounts
{
    qint64 parity = 0;
    qint64 frame = 0;
    qint64 brk = 0;
    qint64 overrun = 0;
    qint64 bufOverrun = 0;
    qint64 dsr = 0;
    qint64 cts = 0;
    qint64 dcd = 0;
    int lines = 0;
};

// A port's reads with the driver's marks taken out, and the errors the line brought, told
// from the marks and the driver's counts together.
//
// A driver counts an error before its bytes reach the reader, so counts asked for after a
// read may already hold errors whose marks come in a later read. Where breaks are marked,
// a mark that is a break cannot be told from a damaged NUL until every mark of the counted
// breaks has been read: the bytes from the first such mark on are held back until the answer
// is over (take), then given back with the NULs in place.
class LineReader
{
public:
    using Counts = std::function<std::optional<DriverCounts>()>;

    // How a kind of driver hands its line errors over.
    struct Driver
    {
        // Each damaged byte comes marked (not so on cdc_acm, which only counts them).
        bool marksDamage = true;
        // Breaks come as marks (USB adapters, some of which mark a whole packet for one);
        // otherwise the port drops them (IGNBRK) and only the driver's count tells them.
        bool marksBreaks = true;
    };

    QByteArray read(QByteArrayView raw, const Counts &counts);
    // The errors since the last look; bytes held back until then go to `released`. Errors
    // counted but not marked belong to the bytes still waiting to be read, if any.
    LineErrors take(
        const std::optional<DriverCounts> &now, QByteArray *released, bool bytesWaiting = false);
    // Marks and counts so far belong to no answer (an opening, a closing).
    void restart(const std::optional<DriverCounts> &now, Driver driver);

private:
    QByteArray settle(const std::optional<DriverCounts> &now);

    Driver m_driver;
    LineMarks m_marks;
    // The driver's counts at the last look.
    std::optional<DriverCounts> m_seen;
    // From the first mark that may be a break on, and where such marks are in it: none
    // while nothing is held.
    QByteArray m_held;
    QList<qsizetype> m_heldBreaks;
};
