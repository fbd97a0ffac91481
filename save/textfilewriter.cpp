#include "textfilewriter.h"

#include "codepage.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <cerrno>
#include <cstring>
#include <utility>

#ifdef Q_OS_WIN
#include <QDir>
#include <io.h>
#include <qt_windows.h>
#include <string>
#else
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

Failure pathNotFound()
{
    return { TextFileWriter::PathNotFound, QStringLiteral("No se encontró la ruta de acceso") };
}

Failure failureFor(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return pathNotFound();
    case ENXIO:
    case ENODEV:
#ifdef ENOMEDIUM
    case ENOMEDIUM:
#endif
        return { TextFileWriter::DeviceUnavailable,
            QStringLiteral("El dispositivo no está disponible") };
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return { TextFileWriter::DiskFull, QStringLiteral("El disco está lleno") };
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EAGAIN:
        return { TextFileWriter::PermissionDenied,
            QStringLiteral("Permiso denegado: el fichero es de solo lectura, está "
                           "bloqueado o no hay acceso a la carpeta") };
    case EISDIR:
        return { TextFileWriter::PathFileAccessError,
            QStringLiteral("Error de acceso a la ruta o al fichero: el nombre es el de una "
                           "carpeta") };
    case ENAMETOOLONG:
    case EINVAL:
    case ELOOP:
    case EILSEQ:
        return { TextFileWriter::BadFileName, QStringLiteral("Nombre de fichero incorrecto") };
    case EIO:
        return { TextFileWriter::DeviceIOError,
            QStringLiteral("Error de entrada/salida en el dispositivo") };
    case EPIPE:
        return { TextFileWriter::DeviceIOError,
            QStringLiteral("Error de entrada/salida en el dispositivo: nadie lee ya la "
                           "tubería") };
    case EMFILE:
    case ENFILE:
        return { TextFileWriter::TooManyFiles, QStringLiteral("Demasiados ficheros abiertos") };
    default:
        return { TextFileWriter::PathFileAccessError,
            QStringLiteral("Error de acceso a la ruta o al fichero (%1)")
                .arg(QString::fromLocal8Bit(std::strerror(error))) };
    }
}

[[noreturn]] void fail(int error)
{
    throw failureFor(error);
}

// The text in the system's code page, then the line end.
QByteArray encoded(const QString &text)
{
    return CodePage::toBytes(text) + "\r\n";
}

// A NUL would cut the name short where the system reads it.
bool acceptable(const QString &name)
{
    return !name.isEmpty() && !name.contains(QChar(0));
}

bool folderExists(const QString &name)
{
    return QFileInfo(QFileInfo(name).absolutePath()).isDir();
}

#ifdef Q_OS_WIN

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

#else

// A descriptor closed on every way out. close() reports a late write error, which some file
// systems give only there.
class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) { }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Q_DISABLE_COPY_MOVE(Descriptor)

    int fd() const { return m_fd; }
    void close()
    {
        if (::close(std::exchange(m_fd, -1)) != 0 && errno != EINTR)
            fail(errno);
    }

private:
    int m_fd;
};

// Waits for a pipe or device that is slow to take the bytes, but not for ever: one that
// takes nothing for StallSeconds would otherwise freeze the window.
void writeAll(int fd, const QByteArray &bytes)
{
    constexpr qint64 limit = TextFileWriter::StallSeconds * 1000;
    QDeadlineTimer deadline(limit);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            deadline.setRemainingTime(limit);
        } else if (n == 0) {
            fail(ENOSPC);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd ready { fd, POLLOUT, 0 };
            const int polled = ::poll(&ready, 1, int(deadline.remainingTime()));
            if (polled == 0)
                throw Failure { TextFileWriter::DeviceTimeout,
                    QStringLiteral("Tiempo de espera agotado: el dispositivo no acepta datos "
                                   "desde hace %1 segundos")
                        .arg(TextFileWriter::StallSeconds) };
            if (polled < 0 && errno != EINTR)
                fail(errno);
        } else if (errno != EINTR) {
            fail(errno);
        }
    }
}

// The confirmation promises the data is on the disk. Devices and pipes have nothing to sync
// and say so.
void sync(int fd)
{
    if (::fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP && errno != EOPNOTSUPP)
        fail(errno);
}

void writeDirectly(const QByteArray &path, const QByteArray &bytes)
{
    // Opened without waiting, so that a named pipe nobody reads fails instead of hanging
    // the window; a terminal given as the name does not become ours.
    int fd;
    do {
        fd = ::open(path.constData(),
            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        fail(errno);
    Descriptor file(fd);
    writeAll(fd, bytes);
    sync(fd);
    file.close();
}

// The new text goes into a file of its own beside the old one, which it replaces only once
// it is on the disk: whatever fails before, the old text is still there.
void replace(const QByteArray &path, const struct stat &old, const QByteArray &bytes)
{
    // A symbolic link keeps pointing where it did: the file it names is the one replaced.
    char *resolved = ::realpath(path.constData(), nullptr);
    if (!resolved)
        fail(errno);
    const QByteArray target(resolved);
    std::free(resolved);
    // Refused as before: a file the operator may not write is not swapped behind their back.
    if (::access(target.constData(), W_OK) != 0)
        fail(errno);

    const qsizetype slash = target.lastIndexOf('/');
    QByteArray temp = target.left(slash + 1) + '.' + target.mid(slash + 1) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        // A folder that takes no new names still lets a file the operator may write be
        // rewritten in place, as before.
        if (errno == EACCES || errno == EPERM)
            return writeDirectly(target, bytes);
        fail(errno);
    }
    auto removeTemp = qScopeGuard([&] { ::unlink(temp.constData()); });
    Descriptor file(fd);
    // Mode and owner are kept where the file system and the operator's rights allow it: a
    // file system without modes has none to keep, and a file of another owner becomes the
    // operator's, as any file they create.
    [[maybe_unused]] const int owner = ::fchown(fd, old.st_uid, old.st_gid);
    [[maybe_unused]] const int mode = ::fchmod(fd, old.st_mode & 07777);
    writeAll(fd, bytes);
    sync(fd);
    file.close();
    if (::rename(temp.constData(), target.constData()) != 0)
        fail(errno);
    removeTemp.dismiss();

    // The new name, too, must be on the disk before the confirmation.
    const int folder = ::open(
        slash > 0 ? target.left(slash).constData() : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        Descriptor closing(folder);
        sync(folder);
    }
}

} // namespace

bool TextFileWriter::exists(const QString &name)
{
    if (!acceptable(name))
        return false;
    struct stat info;
    if (::stat(QFile::encodeName(name).constData(), &info) == 0)
        return true;
    const int error = errno;
    if (error == ENOENT && folderExists(name))
        return false;
    const Failure failure = failureFor(error);
    if (failure.number == PathNotFound)
        throw failure;
    return false;
}

void TextFileWriter::write(const QString &name, const QString &text)
{
    if (!acceptable(name))
        fail(EINVAL);
    const QByteArray path = QFile::encodeName(name);
    struct stat info;
    if (::stat(path.constData(), &info) == 0 && S_ISREG(info.st_mode))
        replace(path, info, encoded(text));
    else
        writeDirectly(path, encoded(text));
}

void TextFileWriter::ignoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

#endif
