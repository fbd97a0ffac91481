// SPDX-License-Identifier: MIT
#include "textfilewriter.h"
#include "textfilewriter_p.h"
#include "textfilewriter_win.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>

#include <algorithm>
#include <optional>
#include <cerrno>
#include <qt_windows.h>
#include <string>
#include <utility>

using namespace TextFile;

namespace {

const Win32Files systemFiles = {
    [](const wchar_t *path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
        return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
    },
    [](HANDLE file, void *buffer, DWORD size, DWORD *done) {
        return ReadFile(file, buffer, size, done, nullptr);
    },
    [](const wchar_t *replaced, const wchar_t *replacement, const wchar_t *backup) {
        return ReplaceFileW(replaced, replacement, backup,
            REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr, nullptr);
    },
    [](const wchar_t *from, const wchar_t *to, DWORD flags) {
        return MoveFileExW(from, to, flags);
    },
};
const Win32Files *calls = &systemFiles;

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
// \\?\ form (\\?\UNC\ for a share), which takes the name as it stands. It is made whole
// first by GetFullPathNameW, as Qt makes it for QFileInfo and the question before the
// replacement: a folder's final dot or space goes, and the file written is the one asked about.
std::wstring systemPath(const QString &name)
{
    const QString typed = QDir::toNativeSeparators(name);
    if (typed.startsWith(QLatin1String("\\\\?\\")))
        return typed.toStdWString();
    const std::wstring wide = typed.toStdWString();
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(wide.c_str(), DWORD(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(wide.c_str(), DWORD(full.size()), full.data(), nullptr);
    }
    if (length == 0 || length >= full.size())
        return wide;
    QString path = QString::fromWCharArray(full.data(), int(length));
    if (path.startsWith(QLatin1String("\\\\.\\")))
        return path.toStdWString();
    if (path.startsWith(QLatin1String("\\\\")))
        path = QStringLiteral("\\\\?\\UNC\\") + path.mid(2);
    else
        path.prepend(QStringLiteral("\\\\?\\"));
    return path.toStdWString();
}

// A disk file named by its volume: \\?\Volume{GUID}\...
bool onVolume(const QString &path)
{
    static const QRegularExpression volume(QStringLiteral("^//\\?/volume\\{[0-9a-f-]+\\}/."),
        QRegularExpression::CaseInsensitiveOption);
    return volume.match(path).hasMatch();
}

// The name as Qt's file classes read it. They drop a leading \\?\ and so take \\?\UNC\ and
// \\?\Volume{GUID}\ names for relative ones: the share is named as usual, the volume by
// where it is mounted, when it is.
QString readable(const QString &name)
{
    const QString path = QString(name).replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1String("//?/UNC/"), Qt::CaseInsensitive))
        return QLatin1String("//") + path.mid(8);
    if (!onVolume(path))
        return name;
    const qsizetype cut = path.indexOf(QLatin1Char('}')) + 2;
    const std::wstring volume = QDir::toNativeSeparators(path.left(cut)).toStdWString();
    wchar_t mounts[1024];
    DWORD size = 0;
    if (!GetVolumePathNamesForVolumeNameW(volume.c_str(), mounts, 1024, &size) || !mounts[0])
        return name;
    return QString::fromWCharArray(mounts) + QDir::toNativeSeparators(path.mid(cut));
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
        if ((path.size() >= 2 && path.at(1) == QLatin1Char(':'))
            || onVolume(QLatin1String("//?/") + path))
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
    return calls->createFile(path.c_str(), GENERIC_WRITE, share, disposition,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
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

// The old text whole, or nothing: a file that reads short (QFile::readAll would not say so),
// or that changes size meanwhile, could not be put back as it was.
std::optional<QByteArray> wholeText(const std::wstring &path)
{
    Handle file(calls->createFile(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
    LARGE_INTEGER size;
    if (file.get() == INVALID_HANDLE_VALUE || !GetFileSizeEx(file.get(), &size)
        || size.QuadPart >= (qint64(1) << 31))
        return std::nullopt;
    QByteArray old(qsizetype(size.QuadPart), Qt::Uninitialized);
    qsizetype done = 0;
    DWORD got = 0;
    while (done < old.size()) {
        if (!calls->readFile(file.get(), old.data() + done, DWORD(old.size() - done), &got)
            || got == 0)
            return std::nullopt;
        done += got;
    }
    char more;
    if (!calls->readFile(file.get(), &more, 1, &got) || got != 0)
        return std::nullopt;
    return old;
}

// In a folder that takes no new files the file is rewritten where it is. The old text is
// read whole first and the new one written over it without emptying the file, so that a
// failure (a full disk, a share that drops) can put the old bytes back where they were.
// Without a whole copy nothing is written: `refused` is why the file could not be replaced.
void rewriteInPlace(const QString &name, const QByteArray &bytes, Failure refused)
{
    const std::wstring path = systemPath(name);
    const std::optional<QByteArray> old = wholeText(path);
    if (!old) {
        refused.description += QStringLiteral(". La carpeta no admite ficheros nuevos y el "
                                              "fichero no se pudo leer entero para reescribirlo: "
                                              "no se ha modificado");
        throw refused;
    }
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
            if (again.get() != INVALID_HANDLE_VALUE) {
                writeAt(again, *old);
                restored = setLength(again, old->size()) && flushed(again);
                again.close();
            }
        } catch (const Failure &) {
            restored = false;
        }
        failure.description += restored ? keptOld() : lostOld();
        throw;
    }
}

// A name as the operator reads it, without the \\?\ the system's calls take.
QString shown(const std::wstring &path)
{
    const QString name = QString::fromStdWString(path);
    if (name.startsWith(QLatin1String("\\\\?\\UNC\\")))
        return QLatin1String("\\\\") + name.mid(8);
    if (name.size() >= 6 && name.startsWith(QLatin1String("\\\\?\\"))
        && name.at(5) == QLatin1Char(':'))
        return name.mid(4);
    return name;
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
    DWORD code = ERROR_SUCCESS;
    int refusals = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        from = to + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
        made = openForWriting(from, 0, CREATE_NEW);
        if (made != INVALID_HANDLE_VALUE)
            break;
        code = GetLastError();
        // A name is refused too while an earlier attempt under it waits to be deleted (an
        // antivirus or the indexer still holds it): the next name may do. A few refusals in a
        // row are the folder's own.
        if (code != ERROR_FILE_EXISTS && (code != ERROR_ACCESS_DENIED || ++refusals == 3))
            break;
    }
    if (made == INVALID_HANDLE_VALUE) {
        // A folder that takes no new files still lets a file the operator may write be
        // rewritten in place, as before.
        if (code == ERROR_ACCESS_DENIED)
            return rewriteInPlace(target, bytes, systemFailure(code, accessError()));
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
    if (calls->replaceFile(to.c_str(), from.c_str(), aside.c_str())) {
        DeleteFileW(aside.c_str());
        removeTemp.dismiss();
        return;
    }
    const DWORD replaceCode = GetLastError();
    const bool stepped = replaceCode == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
    if (!stepped && !movable(replaceCode))
        throw systemFailure(replaceCode);
    if (!calls->moveFile(
            from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Failure failure = systemFailure(GetLastError());
        // The old file waits under the backup name, the name itself is empty.
        if (stepped && !calls->moveFile(aside.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
            removeTemp.dismiss();
            failure.description += QStringLiteral(". No se pudo devolver el fichero a su "
                                                  "nombre: el contenido anterior queda en %1 y el "
                                                  "nuevo en %2")
                                       .arg(shown(aside), shown(from));
        } else if (stepped) {
            failure.description += keptOld();
        }
        throw failure;
    }
    if (stepped)
        DeleteFileW(aside.c_str());
    removeTemp.dismiss();
}

} // namespace

bool TextFileWriter::exists(const QString &typed)
{
    // A name Windows will not keep names nothing here; the writing says why.
    if (!acceptable(typed) || !refusal(typed).isEmpty())
        return false;
    const QString name = readable(typed);
    if (QFileInfo::exists(name))
        return true;
    if (folderExists(name) || driveMissing(name))
        return false;
    throw pathNotFound();
}

void TextFileWriter::write(const QString &typed, const QString &text)
{
    if (!acceptable(typed))
        fail(EINVAL);
    if (const QString why = refusal(typed); !why.isEmpty())
        throw Failure { BadFileName, why };
    const QString name = readable(typed);
    const QFileInfo info(name);
    if (info.isFile())
        replace(info, encoded(text));
    else
        writeDirectly(name, encoded(text));
}

void TextFileWriter::ignoreBrokenPipes() { }

const Win32Files &TextFile::systemCalls()
{
    return systemFiles;
}

void TextFile::setCalls(const Win32Files *replacement)
{
    calls = replacement ? replacement : &systemFiles;
}
