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
        } else if (byte == '\0' && m_breaksMarked) {
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
    if (!m_heldBreaks.isEmpty()) {
        for (const qsizetype at : std::as_const(breaks))
            m_heldBreaks.append(m_held.size() + at);
        m_held += bytes;
        return {};
    }
    if (breaks.isEmpty())
        return bytes;
    // A NUL damaged on the line comes marked as a break is. Where the driver counted no break
    // since the last look, or counts nothing (PL2303), every such mark is a damaged NUL: kept
    // at once, rather than lost with a break told that never was.
    const std::optional<DriverCounts> now = counts();
    if (!now || !m_seen || now->brk == m_seen->brk) {
        for (qsizetype i = breaks.size() - 1; i >= 0; --i)
            bytes.insert(breaks[i], '\0');
        m_marks.breaks -= breaks.size();
        m_marks.damaged += breaks.size();
        return bytes;
    }
    m_held = bytes.mid(breaks[0]);
    for (const qsizetype at : std::as_const(breaks))
        m_heldBreaks.append(at - breaks[0]);
    return bytes.left(breaks[0]);
}

// Every mark of a break counted by now has been read (the answer is over): the marks beyond
// the count are damaged NULs. Which of the marks they are no count tells; the first ones are
// taken, as a USB adapter that marks a whole packet for a break (FTDI) puts the break last.
QByteArray LineReader::settle(const std::optional<DriverCounts> &now)
{
    const qint64 counted = now && m_seen ? now->brk - m_seen->brk : 0;
    const qint64 nulls = qBound<qint64>(0, m_marks.breaks - counted, m_heldBreaks.size());
    for (qsizetype i = qsizetype(nulls) - 1; i >= 0; --i)
        m_held.insert(m_heldBreaks[i], '\0');
    m_marks.breaks -= nulls;
    m_marks.damaged += nulls;
    m_heldBreaks.clear();
    return std::exchange(m_held, QByteArray());
}

LineErrors LineReader::take(
    const std::optional<DriverCounts> &now, QByteArray *released, bool bytesWaiting)
{
    if (!m_heldBreaks.isEmpty())
        released->append(settle(now));
    LineErrors found;
    found.damaged = std::exchange(m_marks.damaged, 0);
    const qint64 breakMarks = std::exchange(m_marks.breaks, 0);
    const std::optional<DriverCounts> seen = std::exchange(m_seen, now);
    if (!now || !seen)
        return found;
    const qint64 parity = now->parity - seen->parity;
    const qint64 framing = now->frame - seen->frame;
    if (!m_driver.marksDamage) {
        // cdc_acm counts damaged bytes without marking them: the counts are all there is.
        found.parity = parity;
        found.framing = framing;
    } else if (found.damaged == 0 && bytesWaiting) {
        // Counted, not yet marked, with bytes waiting: those bytes are the next answer's, and
        // the counts wait for it.
        m_seen->parity = seen->parity;
        m_seen->frame = seen->frame;
    } else if (found.damaged <= parity + framing) {
        // The counts tell parity from framing for the bytes marked; any more counted are
        // still on their way.
        // Nothing waiting: a driver that counts without marking (there are some beyond
        // cdc_acm) has its counts told.
        const qint64 marked = found.damaged > 0 ? found.damaged : parity + framing;
        found.parity = qMin(parity, marked);
        found.framing = marked - found.parity;
        found.damaged = 0;
        m_seen->parity = seen->parity + found.parity;
        m_seen->frame = seen->frame + found.framing;
    }
    // Otherwise the driver marked a whole USB packet for fewer errors counted (FTDI): the
    // marks tell more.
    if (m_driver.marksBreaks && bytesWaiting) {
        // Counted, not yet marked: the next answer's, as above.
        found.breaks = breakMarks;
        m_seen->brk = seen->brk + breakMarks;
    } else {
        found.breaks = now->brk - seen->brk;
    }
    found.overruns = now->overrun - seen->overrun;
    found.bufferOverruns = now->bufOverrun - seen->bufOverrun;
    // A control line off at the end of the answer that was on at the request, or that the
    // driver counted changing: the cable was pulled, the other end switched off. A line that
    // came on (the machine switched its end on) loses nothing.
    const struct
    {
        qint64 DriverCounts::*count;
        int line;
    } watched[] = {
        { &DriverCounts::dsr, LineErrors::Dsr },
        { &DriverCounts::cts, LineErrors::Cts },
        { &DriverCounts::dcd, LineErrors::Dcd },
    };
    for (const auto &line : watched) {
        const bool changed
            = (*now).*line.count != (*seen).*line.count || ((now->lines ^ seen->lines) & line.line);
        if (changed && !(now->lines & line.line))
            found.controlLines |= line.line;
    }
    return found;
}

void LineReader::restart(const std::optional<DriverCounts> &now, Driver driver)
{
    m_driver = driver;
    m_marks = LineMarks(driver.marksBreaks);
    m_seen = now;
    m_held.clear();
    m_heldBreaks.clear();
}
