// SPDX-License-Identifier: MIT
#include "textfilewriter.h"
#include "textfilewriter_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <algorithm>
#include <cerrno>
#include <qt_windows.h>
#include <string>
#include <utility>

using namespace TextFile;

namespace {

Failure accessError()
{
    return { TextFileWriter::PathFileAccessError,
        QStringLiteral("Error de acceso a la ruta o al fichero") };
}

// A failure the system reported, in the table's terms and in the system's own words. One the
// table does not name is `otherwise`.
Failure systemFailure(DWORD code, Failure otherwise = failureFor(EIO))
{
    Failure failure;
    switch (code) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        failure = failureFor(ENOSPC);
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        failure = failureFor(EACCES);
        break;
    case ERROR_NOT_READY:
        failure = failureFor(ENXIO);
        break;
    case ERROR_PATH_NOT_FOUND:
        failure = pathNotFound();
        break;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        failure = failureFor(EINVAL);
        break;
    default:
        failure = std::move(otherwise);
        break;
    }
    wchar_t *text = nullptr;
    if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                | FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr)) {
        failure.description
            += QStringLiteral(" (") + QString::fromWCharArray(text).trimmed() + QLatin1Char(')');
        LocalFree(text);
    }
    return failure;
}

Failure lastFailure()
{
    return systemFailure(GetLastError());
}

// A file handle closed on every way out.
class Handle
{
public:
    explicit Handle(HANDLE handle) : m_handle(handle) { }
    ~Handle()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    Q_DISABLE_COPY_MOVE(Handle)

    HANDLE get() const { return m_handle; }
    void close()
    {
        if (!CloseHandle(std::exchange(m_handle, INVALID_HANDLE_VALUE)))
            throw lastFailure();
    }

private:
    HANDLE m_handle;
};

// The name as the system's calls take it without the 260-character limit: absolute, in the
// \\?\ form (\\?\UNC\ for a share), which takes the name as it stands, so it is made whole
// here first.
std::wstring systemPath(const QString &name)
{
    if (QString(name)
            .replace(QLatin1Char('\\'), QLatin1Char('/'))
            .startsWith(QLatin1String("//?/")))
        return QDir::toNativeSeparators(name).toStdWString();
    QString path = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(name).absoluteFilePath()));
    if (path.startsWith(QLatin1String("\\\\")))
        path = QStringLiteral("\\\\?\\UNC\\") + path.mid(2);
    else if (path.size() >= 3 && path.at(1) == QLatin1Char(':'))
        path.prepend(QStringLiteral("\\\\?\\"));
    return path.toStdWString();
}

// A name in the device namespace (\\.\COM10, \\?\GLOBALROOT\..., a pipe or mailslot,
// here or on a server) names no disk file: writing to it may wait for ever.
bool namesDevice(const QString &name)
{
    // By hand: QDir::fromNativeSeparators() drops a leading \\?\.
    QString path = QString(name).replace(QLatin1Char('\\'), QLatin1Char('/')).toLower();
    if (path.startsWith(QLatin1String("//./")))
        return true;
    if (path.startsWith(QLatin1String("//?/"))) {
        path = path.mid(4);
        if (path.size() >= 2 && path.at(1) == QLatin1Char(':'))
            return false;
        if (!path.startsWith(QLatin1String("unc/")))
            return true;
        path = QLatin1String("//") + path.mid(4);
    }
    if (!path.startsWith(QLatin1String("//")))
        return false;
    const QString share = path.section(QLatin1Char('/'), 3, 3);
    return share == QLatin1String("pipe") || share == QLatin1String("mailslot");
}

// Why Windows would not keep a file under the last part of the name, or nothing when it
// would: it reserves the name for a device, refuses a character, or drops a final dot or
// space and so saves under another name than the one typed.
QString refusal(const QString &name)
{
    if (namesDevice(name))
        return QStringLiteral("Nombre de fichero incorrecto: %1 es un dispositivo de Windows, no "
                              "un fichero")
            .arg(name);
    const bool drive = name.size() >= 2 && name.at(1) == QLatin1Char(':');
    const qsizetype cut = std::max({ name.lastIndexOf(QLatin1Char('/')),
        name.lastIndexOf(QLatin1Char('\\')), qsizetype(drive ? 1 : -1) });
    const QString last = name.mid(cut + 1);
    // A folder's own name: the opening says it is a folder.
    if (last.isEmpty() || last == QLatin1String(".") || last == QLatin1String(".."))
        return {};

    const QString why = QStringLiteral("Nombre de fichero incorrecto: ");
    for (const QChar c : last) {
        if (c.unicode() < 32)
            return why + QStringLiteral("Windows no admite caracteres de control en un nombre");
        if (QStringView(u"<>:\"|?*").contains(c))
            return why + QStringLiteral("Windows no admite el carácter %1 en un nombre").arg(c);
    }
    if (last.endsWith(QLatin1Char('.')) || last.endsWith(QLatin1Char(' ')))
        return why + QStringLiteral("en Windows un nombre no puede acabar en punto ni en espacio");

    // The device is named by what comes before the first dot, less the spaces that end it,
    // in any case; COM and LPT also take the superscript digits as their number.
    QString device = last.left(last.indexOf(QLatin1Char('.'))).toUpper();
    while (device.endsWith(QLatin1Char(' ')))
        device.chop(1);
    const bool numbered = device.size() == 4
        && (device.startsWith(QLatin1String("COM")) || device.startsWith(QLatin1String("LPT")))
        && QStringView(u"123456789¹²³").contains(device.back());
    if (numbered || QStringList { "CON", "PRN", "AUX", "NUL" }.contains(device))
        return why + QStringLiteral("Windows reserva %1 para un dispositivo").arg(device);
    return {};
}

// A drive that is missing or not ready: the opening tells which, in the system's words.
bool driveMissing(const QString &name)
{
    const QString path = QFileInfo(name).absoluteFilePath();
    const bool letter
        = path.size() >= 3 && path.at(1) == QLatin1Char(':') && path.at(2) == QLatin1Char('/');
    return letter && !QFileInfo(path.left(3)).isDir();
}

// Some redirectors have nothing to flush and say so.
bool flushed(const Handle &file)
{
    return FlushFileBuffers(file.get()) || GetLastError() == ERROR_INVALID_FUNCTION;
}

// Writes the bytes from `offset` on, through a handle opened for overlapped requests, and
// returns once they are on the disk. A pipe or device may take its time, but not for ever: one
// that takes nothing for StallSeconds is given up. It has nothing to flush, and a pipe's flush
// would wait for its reader.
void writeAt(Handle &file, const QByteArray &bytes, qint64 offset = 0)
{
    const bool disk = GetFileType(file.get()) == FILE_TYPE_DISK;
    OVERLAPPED request {};
    request.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!request.hEvent)
        throw lastFailure();
    const auto closeEvent = qScopeGuard([&] { CloseHandle(request.hEvent); });
    qsizetype done = 0;
    while (done < bytes.size()) {
        const quint64 at = quint64(offset + done);
        request.Offset = DWORD(at);
        request.OffsetHigh = DWORD(at >> 32);
        ResetEvent(request.hEvent);
        const DWORD piece = DWORD(std::min<qsizetype>(bytes.size() - done, disk ? 1 << 30 : 4096));
        if (!WriteFile(file.get(), bytes.constData() + done, piece, nullptr, &request)
            && GetLastError() != ERROR_IO_PENDING)
            throw lastFailure();
        const DWORD waitMs = disk ? INFINITE : DWORD(TextFileWriter::StallSeconds * 1000);
        DWORD written = 0;
        if (WaitForSingleObject(request.hEvent, waitMs) == WAIT_TIMEOUT) {
            CancelIoEx(file.get(), &request);
            GetOverlappedResult(file.get(), &request, &written, TRUE);
            throw stalled();
        }
        if (!GetOverlappedResult(file.get(), &request, &written, FALSE))
            throw lastFailure();
        if (written == 0)
            fail(ENOSPC);
        done += written;
    }
    if (disk && !flushed(file))
        throw lastFailure();
}

void writeAll(Handle &file, const QByteArray &bytes)
{
    writeAt(file, bytes);
    file.close();
}

HANDLE openForWriting(const std::wstring &path, DWORD share, DWORD disposition)
{
    return CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, disposition,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

void writeDirectly(const QString &name, const QByteArray &bytes)
{
    // Opened and then emptied, as QFile does: CREATE_ALWAYS refuses a hidden or system file.
    Handle file(openForWriting(systemPath(name), FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS));
    if (file.get() == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (QFileInfo(name).isDir())
            fail(EISDIR);
        throw systemFailure(code, accessError());
    }
    if (GetFileType(file.get()) == FILE_TYPE_DISK && !SetEndOfFile(file.get()))
        throw lastFailure();
    writeAll(file, bytes);
}

bool setLength(Handle &file, qint64 length)
{
    LARGE_INTEGER at;
    at.QuadPart = length;
    return SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) && SetEndOfFile(file.get());
}

// In a folder that takes no new files the file is rewritten where it is. The old text is
// read first and the new one written over it without emptying the file, so that a failure
// (a full disk, a share that drops) can put the old bytes back where they were.
void rewriteInPlace(const QString &name, const QByteArray &bytes)
{
    const std::wstring path = systemPath(name);
    QFile reading(name);
    const bool kept = reading.open(QIODevice::ReadOnly);
    const QByteArray old = kept ? reading.readAll() : QByteArray();
    reading.close();
    Handle file(openForWriting(path, FILE_SHARE_READ, OPEN_EXISTING));
    if (file.get() == INVALID_HANDLE_VALUE)
        throw systemFailure(GetLastError(), accessError());
    try {
        writeAt(file, bytes);
        if (!setLength(file, bytes.size()) || !flushed(file))
            throw lastFailure();
        file.close();
    } catch (Failure &failure) {
        bool restored = false;
        try {
            if (file.get() != INVALID_HANDLE_VALUE)
                file.close();
            Handle again(openForWriting(path, FILE_SHARE_READ, OPEN_EXISTING));
            if (kept && again.get() != INVALID_HANDLE_VALUE) {
                writeAt(again, old);
                restored = setLength(again, old.size()) && flushed(again);
                again.close();
            }
        } catch (const Failure &) {
            restored = false;
        }
        failure.description += restored ? keptOld() : lostOld();
        throw;
    }
}

// The failures of ReplaceFileW that a plain move can get past: a file system or share that
// does not do replacements, an old file the operator may write but not read, a step of the
// replacement that failed with both files still in place.
bool movable(DWORD code)
{
    switch (code) {
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_PARAMETER:
        return true;
    default:
        return false;
    }
}

// The new text goes into a file of its own beside the old one, which it replaces only once
// it is on the disk: whatever fails before, the old text is still there. Written with the
// system's own calls: QTemporaryFile keeps its file open after close(), and Windows does
// not move an open file.
void replace(const QFileInfo &info, const QByteArray &bytes)
{
    // A link keeps pointing where it did: the file it names is the one replaced.
    const QString target = info.canonicalFilePath();
    // Refused as before: a file the operator may not write is not swapped behind their back.
    if (!QFileInfo(target).isWritable())
        fail(EACCES);
    const std::wstring to = systemPath(target);
    WIN32_FILE_ATTRIBUTE_DATA old;
    if (!GetFileAttributesExW(to.c_str(), GetFileExInfoStandard, &old))
        throw systemFailure(GetLastError(), accessError());

    std::wstring from;
    HANDLE made = INVALID_HANDLE_VALUE;
    DWORD code = ERROR_FILE_EXISTS;
    for (int attempt = 0; code == ERROR_FILE_EXISTS && attempt < 100; ++attempt) {
        from = to + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
        made = openForWriting(from, 0, CREATE_NEW);
        code = made == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    }
    if (made == INVALID_HANDLE_VALUE) {
        // A folder that takes no new files still lets a file the operator may write be
        // rewritten in place, as before.
        if (code == ERROR_ACCESS_DENIED)
            return rewriteInPlace(target, bytes);
        throw systemFailure(code, accessError());
    }
    auto removeTemp = qScopeGuard([&] { DeleteFileW(from.c_str()); });
    Handle temp(made);
    // Born as old as the file it replaces, and with its attributes, where the system lets
    // them be set: ReplaceFileW carries them over, the move it may fall back on does not.
    SetFileTime(temp.get(), &old.ftCreationTime, nullptr, nullptr);
    writeAll(temp, bytes);
    constexpr DWORD settable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN
        | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_SYSTEM
        | FILE_ATTRIBUTE_TEMPORARY;
    const DWORD attributes = old.dwFileAttributes & settable;
    SetFileAttributesW(from.c_str(), attributes ? attributes : FILE_ATTRIBUTE_NORMAL);

    // ReplaceFileW also keeps the old file's security and short name. The old file steps
    // aside under a name of its own until the new one has taken its place, so that no failure
    // leaves the name empty.
    const std::wstring aside = from + L"-anterior";
    if (ReplaceFileW(to.c_str(), from.c_str(), aside.c_str(),
            REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr, nullptr)) {
        DeleteFileW(aside.c_str());
        removeTemp.dismiss();
        return;
    }
    const DWORD replaceCode = GetLastError();
    const bool stepped = replaceCode == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
    if (!stepped && !movable(replaceCode))
        throw systemFailure(replaceCode);
    if (!MoveFileExW(
            from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD moveCode = GetLastError();
        if (stepped)
            MoveFileExW(aside.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH);
        throw systemFailure(moveCode);
    }
    if (stepped)
        DeleteFileW(aside.c_str());
    removeTemp.dismiss();
}

} // namespace

bool TextFileWriter::exists(const QString &name)
{
    // A name Windows will not keep names nothing here; the writing says why.
    if (!acceptable(name) || !refusal(name).isEmpty())
        return false;
    if (QFileInfo::exists(name))
        return true;
    if (folderExists(name) || driveMissing(name))
        return false;
    throw pathNotFound();
}

void TextFileWriter::write(const QString &name, const QString &text)
{
    if (!acceptable(name))
        fail(EINVAL);
    if (const QString why = refusal(name); !why.isEmpty())
        throw Failure { BadFileName, why };
    const QFileInfo info(name);
    if (info.isFile())
        replace(info, encoded(text));
    else
        writeDirectly(name, encoded(text));
}

void TextFileWriter::ignoreBrokenPipes() { }
