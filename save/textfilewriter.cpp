#include "textfilewriter.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using Failure = TextFileWriter::Failure;

Failure pathNotFound()
{
    return { 76, QStringLiteral("No se encontró la ruta de acceso") };
}

// The numbers the save dialog reports, one per cause the operator can act on.
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
        return { 68, QStringLiteral("El dispositivo no está disponible") };
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return { 61, QStringLiteral("El disco está lleno") };
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EAGAIN:
        return { 70,
            QStringLiteral("Permiso denegado: el fichero es de solo lectura, está "
                           "bloqueado o no hay acceso a la carpeta") };
    case EISDIR:
        return { 75,
            QStringLiteral("Error de acceso a la ruta o al fichero: el nombre es el de una "
                           "carpeta") };
    case ENAMETOOLONG:
    case EINVAL:
    case ELOOP:
    case EILSEQ:
        return { 52, QStringLiteral("Nombre de fichero incorrecto") };
    case EIO:
        return { 57, QStringLiteral("Error de entrada/salida en el dispositivo") };
    case EMFILE:
    case ENFILE:
        return { 67, QStringLiteral("Demasiados ficheros abiertos") };
    default:
        return { 75,
            QStringLiteral("Error de acceso a la ruta o al fichero (%1)")
                .arg(QString::fromLocal8Bit(std::strerror(error))) };
    }
}

// Each character is the byte of the same code; one outside that range is one "?", also
// when it takes two code units.
QByteArray encoded(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size() + 2);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t code = text.at(i).unicode();
        if (code < 256) {
            bytes.append(char(code));
            continue;
        }
        if (QChar::isHighSurrogate(code) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        bytes.append('?');
    }
    return bytes + "\r\n";
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

} // namespace

#ifdef Q_OS_WIN

std::optional<Failure> TextFileWriter::attributes(const QString &name)
{
    if (!acceptable(name))
        return failureFor(EINVAL);
    if (QFileInfo::exists(name))
        return std::nullopt;
    if (folderExists(name))
        return Failure { 53, QStringLiteral("No se encontró el fichero") };
    return pathNotFound();
}

std::optional<Failure> TextFileWriter::write(const QString &name, const QString &text)
{
    if (!acceptable(name))
        return failureFor(EINVAL);
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (QFileInfo(name).isDir())
            return failureFor(EISDIR);
        if (!folderExists(name))
            return pathNotFound();
        if (file.error() == QFileDevice::PermissionsError)
            return failureFor(EACCES);
        return Failure { 75,
            QStringLiteral("Error de acceso a la ruta o al fichero (%1)").arg(file.errorString()) };
    }
    const QByteArray bytes = encoded(text);
    std::optional<Failure> failure;
    if (file.write(bytes) != bytes.size() || !file.flush() || ::_commit(file.handle()) != 0)
        failure = failureFor(file.error() == QFileDevice::ResourceError ? ENOSPC : EIO);
    file.close();
    if (!failure && file.error() != QFileDevice::NoError)
        failure = failureFor(EIO);
    return failure;
}

#else

std::optional<Failure> TextFileWriter::attributes(const QString &name)
{
    if (!acceptable(name))
        return failureFor(EINVAL);
    struct stat info;
    if (::stat(QFile::encodeName(name).constData(), &info) == 0)
        return std::nullopt;
    const int error = errno;
    if (error == ENOENT && folderExists(name))
        return Failure { 53, QStringLiteral("No se encontró el fichero") };
    return failureFor(error);
}

std::optional<Failure> TextFileWriter::write(const QString &name, const QString &text)
{
    if (!acceptable(name))
        return failureFor(EINVAL);
    const QByteArray path = QFile::encodeName(name);

    // Opened without waiting, so that a named pipe nobody reads fails instead of hanging
    // the window; a terminal given as the name does not become ours.
    int fd;
    do {
        fd = ::open(path.constData(),
            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return failureFor(errno);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    std::optional<Failure> failure;
    const QByteArray bytes = encoded(text);
    qsizetype done = 0;
    while (!failure && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n == 0)
            failure = failureFor(ENOSPC);
        else if (errno != EINTR)
            failure = failureFor(errno);
    }
    // The confirmation promises the data is on the disk. Devices and pipes have nothing
    // to sync and say so.
    if (!failure && ::fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP && errno != EOPNOTSUPP)
        failure = failureFor(errno);
    // The descriptor is released even when close reports an error; a late write error
    // still counts.
    if (::close(fd) != 0 && errno != EINTR && !failure)
        failure = failureFor(errno);
    return failure;
}

#endif
