// SPDX-License-Identifier: MIT
#include "linemarks.h"

#include <cstring>
#include <utility>

void LineMarks::decode(QByteArrayView in, QByteArray &out, QList<qsizetype> *breakAt)
{
    const char *next = in.data();
    const char *const end = next + in.size();
    while (next < end) {
        if (m_held == 0) {
            // Most reads hold no mark at all: copy up to the next 0xFF in one go.
            const void *mark = std::memchr(next, 0xFF, size_t(end - next));
            const char *stop = mark ? static_cast<const char *>(mark) : end;
            out.append(next, stop - next);
            next = stop;
            if (next < end) {
                m_held = 1;
                ++next;
            }
            continue;
        }
        const char byte = *next++;
        if (m_held == 1) {
            if (byte == '\0') {
                m_held = 2;
                continue;
            }
            // 0xFF 0xFF is one 0xFF; anything else after a lone 0xFF is kept as it came.
            out.append('\xff');
            if (byte != '\xff')
                out.append(byte);
        } else if (byte == '\0') {
            ++breaks;
            if (breakAt)
                breakAt->append(out.size());
        } else {
            ++damaged;
            out.append(byte);
        }
        m_held = 0;
    }
}

QByteArray LineReader::read(QByteArrayView raw, const Counts &counts)
{
    QByteArray bytes;
    QList<qsizetype> breaks;
    m_marks.decode(raw, bytes, &breaks);
    if (breaks.isEmpty())
        return bytes;
    // A NUL damaged on the line arrives marked as a break is (0xFF 0x00 0x00). A driver that
    // counts counts every break it marks, so marks beyond its count are such NULs, even where
    // it marks a whole USB packet for one error counted (FTDI); one that counts nothing cannot
    // tell them apart (PL2303). Either way the byte is put back where it came, a damaged byte,
    // rather than lost with a break told that never was.
    const std::optional<DriverCounts> now = counts();
    const qint64 counted = now && m_seen ? now->brk - m_seen->brk : 0;
    const qint64 nulls = qBound<qint64>(0, m_marks.breaks - counted, breaks.size());
    for (qint64 i = 1; i <= nulls; ++i)
        bytes.insert(breaks[breaks.size() - i], '\0');
    m_marks.breaks -= nulls;
    m_marks.damaged += nulls;
    return bytes;
}

LineErrors LineReader::take(const std::optional<DriverCounts> &now)
{
    LineErrors found;
    found.damaged = std::exchange(m_marks.damaged, 0);
    found.breaks = std::exchange(m_marks.breaks, 0);
    const std::optional<DriverCounts> seen = std::exchange(m_seen, now);
    if (!now || !seen)
        return found;
    const qint64 parity = now->parity - seen->parity;
    const qint64 framing = now->frame - seen->frame;
    // Where the driver counted every damaged byte it marked, its counts tell parity from
    // framing; some drivers (cdc_acm) count damaged bytes and breaks without marking them.
    // Others mark a whole USB packet for one error counted: then the marks tell more.
    if (found.damaged <= parity + framing) {
        found.damaged = 0;
        found.parity = parity;
        found.framing = framing;
    }
    found.breaks = qMax(found.breaks, now->brk - seen->brk);
    found.overruns = now->overrun - seen->overrun;
    found.bufferOverruns = now->bufOverrun - seen->bufOverrun;
    return found;
}

void LineReader::restart(const std::optional<DriverCounts> &now)
{
    m_marks = LineMarks();
    m_seen = now;
}
