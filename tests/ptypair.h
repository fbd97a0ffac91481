// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>

// The line as the device side sees it, from the machine's end.
struct LineSeen
{
    int baud = 0;
    int dataBits = 0;
    // The driver marks bytes damaged on the line instead of passing them on as whole.
    bool marksErrors = false;
    // Mark or space parity instead of odd or even (Linux's CMSPAR).
    bool stickParity = false;
};

#ifndef Q_OS_WIN

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

    LineSeen line() const
    {
        termios t {};
        ::tcgetattr(m_machine, &t);
        const speed_t speed = cfgetospeed(&t);
        const int baud = cfgetispeed(&t) != speed ? -1
            : speed == B1200                      ? 1200
            : speed == B2400                      ? 2400
            : speed == B4800                      ? 4800
            : speed == B9600                      ? 9600
            : speed == B19200                     ? 19200
                                                  : -1;
        const tcflag_t size = t.c_cflag & CSIZE;
        const tcflag_t marks = t.c_iflag & (INPCK | PARMRK | IGNPAR | ISTRIP);
        return { baud,
            size == CS8       ? 8
                : size == CS7 ? 7
                : size == CS6 ? 6
                              : 5,
            marks == (INPCK | PARMRK), (t.c_cflag & CMSPAR) != 0 };
    }

    // As a program that used mark or space parity leaves the line.
    void setStickParity()
    {
        termios t {};
        ::tcgetattr(m_keep, &t);
        t.c_cflag |= CMSPAR;
        ::tcsetattr(m_keep, TCSANOW, &t);
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

#else

#include <QDeadlineTimer>
#include <QFile>
#include <QStringList>
#include <QThread>

// Under Wine a Windows program cannot make a pseudo-terminal: the host that runs the test
// (tests/wine/ptyhost.py) makes the pair, maps its device side as a COM port and plays the
// machine's side on request.
class PtyPair
{
public:
    PtyPair() : PtyPair(QStringLiteral("new")) { }
    // The pair the host wired as the prefix's COM5 before the test started, with COM1 to
    // COM4 switched off: a port the system itself lists. The host keeps it for the next
    // asker.
    struct Wired
    {
    };
    explicit PtyPair(Wired) : PtyPair(QStringLiteral("wired")) { }
    ~PtyPair()
    {
        if (isValid())
            ask(QStringLiteral("drop ") + m_id);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return !m_id.isEmpty(); }
    QString devicePath() const { return m_path; }

    bool send(const QByteArray &bytes)
    {
        return ask(QStringLiteral("send %1 %2").arg(m_id, QString::fromLatin1(bytes.toHex())))
                   .value(0)
            == QLatin1String("ok");
    }

    QByteArray receive(int atLeast = 1, int timeoutMs = 2000)
    {
        const QStringList got
            = ask(QStringLiteral("recv %1 %2 %3").arg(m_id).arg(atLeast).arg(timeoutMs));
        return QByteArray::fromHex(got.value(1).toLatin1());
    }

    LineSeen line() const
    {
        const QStringList got = ask(QStringLiteral("line ") + m_id);
        return { got.value(1).toInt(), got.value(2).toInt() };
    }

    void unplug() { ask(QStringLiteral("unplug ") + m_id); }

private:
    explicit PtyPair(const QString &request)
    {
        const QStringList made = ask(request);
        if (made.size() == 3 && made[0] == QLatin1String("ok")) {
            m_id = made[1];
            m_path = made[2];
        }
    }

    // One request to the host, answered while this side's event loop keeps running. Each
    // request carries a number that its answer repeats: should a step of the exchange fail
    // under Wine, an answer is never taken for another request's.
    static QStringList ask(const QString &request)
    {
        const QString channel = qEnvironmentVariable("SALVEX_PTYHOST");
        if (channel.isEmpty())
            return {};
        static int sequence = 0;
        const QString number = QString::number(++sequence);
        QFile out(channel + QStringLiteral("/req.tmp"));
        if (!out.open(QIODevice::WriteOnly))
            return {};
        // The line's end tells the host the request is whole.
        out.write((number + QLatin1Char(' ') + request + QLatin1Char('\n')).toLatin1());
        out.close();
        QDeadlineTimer deadline(60000);
        const auto pause = [] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QThread::msleep(2);
        };
        // The host takes the request before it answers; until then the name is taken.
        while (!out.rename(channel + QStringLiteral("/req"))) {
            if (deadline.hasExpired())
                return {};
            pause();
        }
        QFile in(channel + QStringLiteral("/ans"));
        while (!deadline.hasExpired()) {
            if (in.open(QIODevice::ReadOnly)) {
                const QStringList words = QString::fromLatin1(in.readAll()).split(QLatin1Char(' '));
                in.close();
                in.remove();
                if (words.value(0) == number)
                    return words.mid(1);
                qWarning("answer to another request dropped: %s", qPrintable(words.join(' ')));
            }
            pause();
        }
        return {};
    }

    QString m_id;
    QString m_path;
};

#endif
