#include "textfilewriter.h"
#include "textfilewriter_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <cerrno>
#include <io.h>
#include <qt_windows.h>
#include <string>

using namespace TextFile;

namespace {

// The failure the system reported last, in the table's terms and in the system's own words.
Failure lastFailure()
{
    const DWORD code = GetLastError();
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
    default:
        failure = failureFor(EIO);
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

void writeAll(QFile &file, const QByteArray &bytes)
{
    if (file.write(bytes) != bytes.size() || !file.flush() || ::_commit(file.handle()) != 0)
        throw failureFor(file.error() == QFileDevice::ResourceError ? ENOSPC : EIO);
    file.close();
    if (file.error() != QFileDevice::NoError)
        fail(EIO);
}

void writeDirectly(const QString &name, const QByteArray &bytes)
{
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (QFileInfo(name).isDir())
            fail(EISDIR);
        if (!folderExists(name))
            throw pathNotFound();
        if (file.error() == QFileDevice::PermissionsError)
            fail(EACCES);
        throw Failure { TextFileWriter::PathFileAccessError,
            QStringLiteral("Error de acceso a la ruta o al fichero (%1)").arg(file.errorString()) };
    }
    writeAll(file, bytes);
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
    const std::wstring to = QDir::toNativeSeparators(target).toStdWString();
    std::wstring from;
    HANDLE temp = INVALID_HANDLE_VALUE;
    for (int attempt = 0; temp == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        from = to + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
        temp = CreateFileW(
            from.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (temp == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            throw lastFailure();
    }
    if (temp == INVALID_HANDLE_VALUE)
        throw lastFailure();
    auto removeTemp = qScopeGuard([&] { DeleteFileW(from.c_str()); });
    DWORD written = 0;
    const bool onDisk = WriteFile(temp, bytes.constData(), DWORD(bytes.size()), &written, nullptr)
        && written == DWORD(bytes.size()) && FlushFileBuffers(temp);
    const Failure failure = onDisk ? Failure {} : lastFailure();
    CloseHandle(temp);
    if (!onDisk)
        throw failure;
    // The replacement takes the old file's attributes, as the operator left them.
    SetFileAttributesW(from.c_str(), GetFileAttributesW(to.c_str()));
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        throw lastFailure();
    removeTemp.dismiss();
}

} // namespace

bool TextFileWriter::exists(const QString &name)
{
    if (!acceptable(name))
        return false;
    if (QFileInfo::exists(name))
        return true;
    if (!folderExists(name))
        throw pathNotFound();
    return false;
}

void TextFileWriter::write(const QString &name, const QString &text)
{
    if (!acceptable(name))
        fail(EINVAL);
    const QFileInfo info(name);
    if (info.isFile())
        replace(info, encoded(text));
    else
        writeDirectly(name, encoded(text));
}

void TextFileWriter::ignoreBrokenPipes() { }
