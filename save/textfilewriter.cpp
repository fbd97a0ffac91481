// SPDX-License-Identifier: MIT
#include "textfilewriter.h"
#include "textfilewriter_p.h"

#include "codepage.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace TextFile {

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

void fail(int error)
{
    throw failureFor(error);
}

// The text in the system's code page, then the line end.
QByteArray encoded(const QString &text)
{
    return CodePage::toBytes(text) + "\r\n";
}

Failure stalled()
{
    return { TextFileWriter::DeviceTimeout,
        QStringLiteral("Tiempo de espera agotado: el dispositivo no acepta datos desde hace %1 "
                       "segundos")
            .arg(TextFileWriter::StallSeconds) };
}

QString keptOld()
{
    return QStringLiteral(". El fichero conserva su contenido anterior");
}

QString lostOld()
{
    return QStringLiteral(". No se pudo devolver al fichero su contenido anterior: queda "
                          "incompleto");
}

bool acceptable(const QString &name)
{
    return !name.isEmpty() && !name.contains(QChar(0));
}

bool folderExists(const QString &name)
{
    return QFileInfo(QFileInfo(name).absolutePath()).isDir();
}

} // namespace TextFile
