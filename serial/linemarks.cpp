// SPDX-License-Identifier: MIT
#include "linemarks.h"

#include <cstring>

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
