// SPDX-License-Identifier: MIT
#include "textfilewriter.h"
#include "textfilewriter_p.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QScopeGuard>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using namespace TextFile;

namespace {

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
                throw stalled();
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

// In a folder that takes no new names the file is rewritten where it is. The old text is read
// first and the new one written over it without emptying the file, so that a failure (a full
// disk, a share that drops) can put the old bytes back where they were.
void rewriteInPlace(const QByteArray &path, const QByteArray &bytes)
{
    QFile reading(QFile::decodeName(path));
    const bool kept = reading.open(QIODevice::ReadOnly);
    const QByteArray old = kept ? reading.readAll() : QByteArray();
    reading.close();
    int fd;
    do {
        fd = ::open(path.constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        fail(errno);
    Descriptor file(fd);
    const auto settle = [&](const QByteArray &text) {
        writeAll(fd, text);
        if (::ftruncate(fd, off_t(text.size())) != 0)
            fail(errno);
        sync(fd);
    };
    try {
        settle(bytes);
        file.close();
    } catch (Failure &failure) {
        bool restored = false;
        if (kept && file.fd() >= 0 && ::lseek(fd, 0, SEEK_SET) == 0) {
            try {
                settle(old);
                file.close();
                restored = true;
            } catch (const Failure &) { }
        }
        failure.description += restored ? keptOld() : lostOld();
        throw;
    }
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
            return rewriteInPlace(target, bytes);
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
