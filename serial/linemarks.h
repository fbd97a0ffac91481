// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

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
