#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// A real pseudo-terminal pair: the program opens the device side, the test plays the
// machine on the other. The test keeps the device side open as well, so that the line
// does not hang up between the program's openings.
class PtyPair
{
public:
    PtyPair()
    {
        char name[256] = {};
        int device = -1;
        if (::openpty(&m_machine, &device, name, nullptr, nullptr) != 0)
            return;
        termios raw {};
        ::tcgetattr(device, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(device, TCSANOW, &raw);
        m_keep = device;
        m_path = QString::fromLocal8Bit(name);
        ::fcntl(m_machine, F_SETFL, ::fcntl(m_machine, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair()
    {
        unplug();
        if (m_keep >= 0)
            ::close(m_keep);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_machine >= 0; }
    QString devicePath() const { return m_path; }
    int machineFd() const { return m_machine; }

    // Sends bytes from the machine's side, all of them.
    bool send(const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_machine, bytes.constData() + done, bytes.size() - done);
            if (n > 0) {
                done += n;
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p { m_machine, POLLOUT, 0 };
                ::poll(&p, 1, 100);
                QCoreApplication::processEvents();
            } else {
                return false;
            }
        }
        return true;
    }

    // What the program has written so far, waiting up to timeoutMs for at least
    // `atLeast` bytes while the event loop keeps running.
    QByteArray receive(int atLeast = 1, int timeoutMs = 2000)
    {
        QByteArray got;
        QDeadlineTimer deadline(timeoutMs);
        while (true) {
            char buffer[4096];
            const ssize_t n = ::read(m_machine, buffer, sizeof buffer);
            if (n > 0)
                got.append(buffer, n);
            if (got.size() >= atLeast || deadline.hasExpired())
                break;
            if (n <= 0) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
                pollfd p { m_machine, POLLIN, 0 };
                ::poll(&p, 1, 10);
            }
        }
        return got;
    }

    // The line as the device side sees it, from the machine's end.
    termios lineSettings() const
    {
        termios t {};
        ::tcgetattr(m_machine, &t);
        return t;
    }

    // The cable is pulled: the machine's side goes away.
    void unplug()
    {
        if (m_machine >= 0)
            ::close(m_machine);
        m_machine = -1;
    }

private:
    int m_machine = -1;
    int m_keep = -1;
    QString m_path;
};
