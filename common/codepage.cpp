// SPDX-License-Identifier: MIT
#include "codepage.h"

#include <QHash>

#include <array>
#include <cstring>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

using Table = std::array<char16_t, 256>;

// 0x80 to 0x9F of Windows-1252; the rest of it is Latin-1.
constexpr char16_t Windows1252High[32]
    = { 0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
          0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
          0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178 };

Table windows1252()
{
    Table table {};
    for (int byte = 0; byte < 256; ++byte)
        table[byte] = byte >= 0x80 && byte < 0xA0 ? Windows1252High[byte - 0x80] : char16_t(byte);
    return table;
}

#ifdef Q_OS_WIN
// The system's own code page where it is one byte a character and every byte is a
// character of its own; a multi-byte one (Japanese, UTF-8) could not keep every byte, so
// Windows-1252 stands in for it.
Table systemTable()
{
    const UINT acp = GetACP();
    CPINFO info {};
    if (acp == 1252 || !GetCPInfo(acp, &info) || info.MaxCharSize != 1)
        return windows1252();
    Table table {};
    QHash<char16_t, int> seen;
    for (int byte = 0; byte < 256; ++byte) {
        const char in = char(byte);
        wchar_t out = 0;
        if (MultiByteToWideChar(acp, 0, &in, 1, &out, 1) != 1 || seen.contains(char16_t(out)))
            return windows1252();
        table[byte] = char16_t(out);
        seen.insert(char16_t(out), byte);
    }
    return table;
}
#endif

struct Maps
{
    Table text;
    QHash<char16_t, char> bytes;
    // Windows-1252: only 0x80 to 0x9F differ from Latin-1.
    bool nearLatin1 = false;
};

const Maps &maps()
{
    static const Maps built = [] {
        Maps m;
#ifdef Q_OS_WIN
        m.text = systemTable();
#else
        m.text = windows1252();
#endif
        m.nearLatin1 = true;
        for (int byte = 0; byte < 256; ++byte) {
            m.bytes.insert(m.text[byte], char(byte));
            m.nearLatin1 = m.nearLatin1 && (m.text[byte] == byte || (byte >= 0x80 && byte < 0xA0));
        }
        return m;
    }();
    return built;
}

// Whether any byte is from 0x80 to 0x9F, eight bytes at a time: a byte is in that range
// when its top three bits are 100, that is when (byte & 0xE0) ^ 0x80 is zero.
bool holdsC1(const QByteArray &bytes)
{
    constexpr quint64 ones = 0x0101010101010101ULL;
    constexpr quint64 highs = 0x8080808080808080ULL;
    const char *next = bytes.constData();
    const char *const end = next + bytes.size();
    for (; end - next >= 8; next += 8) {
        quint64 word;
        std::memcpy(&word, next, 8);
        const quint64 x = (word & (0xE0 * ones)) ^ highs;
        if ((x - ones) & ~x & highs)
            return true;
    }
    for (; next < end; ++next) {
        if ((uchar(*next) & 0xE0) == 0x80)
            return true;
    }
    return false;
}

} // namespace

QString CodePage::toText(const QByteArray &bytes)
{
    const Maps &m = maps();
    // Most answers hold no byte from 0x80 to 0x9F: Qt's own conversion is the fastest there.
    if (m.nearLatin1 && !holdsC1(bytes))
        return QString::fromLatin1(bytes);
    const Table &table = m.text;
    QString text(bytes.size(), Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    for (const char byte : bytes)
        *out++ = table[uchar(byte)];
    return text;
}

QByteArray CodePage::toBytes(QStringView text)
{
    const Maps &m = maps();
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t code = text[i].unicode();
        // Most text is ASCII, which every code page here keeps as itself.
        if (code < 0x80 && m.text[code] == code) {
            bytes.append(char(code));
            continue;
        }
        const auto found = m.bytes.constFind(code);
        if (found != m.bytes.constEnd()) {
            bytes.append(*found);
            continue;
        }
        if (QChar::isHighSurrogate(code) && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        bytes.append('?');
    }
    return bytes;
}
