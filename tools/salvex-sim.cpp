// SPDX-License-Identifier: MIT
// salvex-sim: plays the amusement machine on a pseudo-terminal, so that the terminal can be
// tried, tested and measured without one. Every "W" received is answered with a takings
// report, sent at the pace of the line the terminal has set.

#include "takingsreport.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int exitDone = 0;
constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

// A character on the line: start bit, 8 data bits, parity, stop bit.
constexpr double bitsPerCharacter = 11;

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int)
{
    stopRequested = 1;
}

void printUsage(std::FILE *to)
{
    std::fputs(
        "Usage: salvex-sim --link PATH [options]\n"
        "Plays the amusement machine on a pseudo-terminal published at PATH (a symbolic\n"
        "link, replaced if one is already there). Every \"W\" received is answered with a\n"
        "takings report at the pace of the line: 11 bits per character at the speed the\n"
        "terminal set. Once ready, prints \"salvex-sim: <pty> -> <PATH>\" on stdout.\n"
        "\n"
        "  --link PATH         where to publish the device side (required)\n"
        "  --baud N            pace the answers at N baud, whatever the terminal set\n"
        "  --report FILE       answer with the bytes of FILE\n"
        "  --flood N           answer with N bytes as fast as possible: 64-byte lines of\n"
        "                      printable text ending in CR LF, the last one shorter\n"
        "  --all-bytes         answer with every byte value from 0 to 255, in order\n"
        "  --vanish-after N    after N bytes of answers, go away like an unplugged cable:\n"
        "                      hang up the line, remove the link and exit\n"
        "  --once              exit after the first complete answer\n"
        "  --quiet             print nothing but the ready line and errors\n"
        "  --help              print this help\n"
        "\n"
        "Exit status: 0 when done (--once, --vanish-after, or stopped by SIGINT, SIGTERM or\n"
        "SIGHUP), 1 when the line or the link fails, 2 for bad usage.\n",
        to);
}

struct Options
{
    std::string link;
    std::string reportFile;
    long long baud = 0;
    long long flood = -1;
    long long vanishAfter = -1;
    bool allBytes = false;
    bool once = false;
    bool quiet = false;
};

bool parseCount(const char *text, long long min, long long max, long long *out)
{
    if (!text || !*text || *text == '-' || *text == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return false;
    *out = value;
    return true;
}

int usageError(const std::string &message)
{
    std::fprintf(stderr, "salvex-sim: %s\n", message.c_str());
    std::fputs("Try 'salvex-sim --help'.\n", stderr);
    return exitUsage;
}

// Returns -1 to go on, or the exit status.
int parseOptions(int argc, char **argv, Options *options)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        const char *value = nullptr;
        bool inlineValue = false;
        if (const std::size_t equals = name.find('=');
            name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = argv[i] + equals + 1;
            name.resize(equals);
            inlineValue = true;
        }
        const auto takeValue = [&]() -> const char * {
            if (inlineValue)
                return value;
            return i + 1 < argc ? argv[++i] : nullptr;
        };
        const auto takesNoValue = [&] { return !inlineValue; };

        if (name == "--help" && takesNoValue()) {
            printUsage(stdout);
            return exitDone;
        } else if (name == "--link") {
            const char *path = takeValue();
            if (!path || !*path)
                return usageError("--link needs a path");
            options->link = path;
        } else if (name == "--report") {
            const char *path = takeValue();
            if (!path || !*path)
                return usageError("--report needs a file");
            options->reportFile = path;
        } else if (name == "--baud") {
            if (!parseCount(takeValue(), 50, 4000000, &options->baud))
                return usageError("--baud needs a speed from 50 to 4000000");
        } else if (name == "--flood") {
            if (!parseCount(takeValue(), 0, (1ll << 50), &options->flood))
                return usageError("--flood needs a number of bytes");
        } else if (name == "--vanish-after") {
            if (!parseCount(takeValue(), 0, (1ll << 50), &options->vanishAfter))
                return usageError("--vanish-after needs a number of bytes");
        } else if (name == "--all-bytes" && takesNoValue()) {
            options->allBytes = true;
        } else if (name == "--once" && takesNoValue()) {
            options->once = true;
        } else if (name == "--quiet" && takesNoValue()) {
            options->quiet = true;
        } else {
            return usageError("unknown option '" + std::string(argv[i]) + "'");
        }
    }
    if (options->link.empty())
        return usageError("--link PATH is required");
    if (int(!options->reportFile.empty()) + int(options->flood >= 0) + int(options->allBytes) > 1)
        return usageError("--report, --flood and --all-bytes exclude each other");
    return -1;
}

std::int64_t nowNs()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

timespec toTimespec(std::int64_t ns)
{
    ns = std::max<std::int64_t>(ns, 0);
    return timespec { time_t(ns / 1000000000), long(ns % 1000000000) };
}

long baudOf(speed_t speed)
{
    static const struct
    {
        speed_t code;
        long baud;
    } speeds[] = {
        { B50, 50 },
        { B75, 75 },
        { B110, 110 },
        { B134, 134 },
        { B150, 150 },
        { B200, 200 },
        { B300, 300 },
        { B600, 600 },
        { B1200, 1200 },
        { B1800, 1800 },
        { B2400, 2400 },
        { B4800, 4800 },
        { B9600, 9600 },
        { B19200, 19200 },
        { B38400, 38400 },
        { B57600, 57600 },
        { B115200, 115200 },
        { B230400, 230400 },
#ifdef B460800
        { B460800, 460800 },
#endif
#ifdef B921600
        { B921600, 921600 },
#endif
    };
    for (const auto &entry : speeds)
        if (entry.code == speed)
            return entry.baud;
    return 0;
}

// The pseudo-terminal: the machine's end (master) and a kept handle on the device side,
// so that the line does not hang up each time the terminal closes the port.
class Line
{
public:
    ~Line() { close(); }

    bool open()
    {
        char name[256] = {};
        if (::openpty(&m_master, &m_device, name, nullptr, nullptr) != 0) {
            std::fprintf(
                stderr, "salvex-sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
            return false;
        }
        termios raw {};
        ::tcgetattr(m_device, &raw);
        ::cfmakeraw(&raw);
        ::cfsetispeed(&raw, B9600);
        ::cfsetospeed(&raw, B9600);
        ::tcsetattr(m_device, TCSANOW, &raw);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
        ::fcntl(m_device, F_SETFD, FD_CLOEXEC);
        m_path = name;
        return true;
    }

    void close()
    {
        if (m_master >= 0)
            ::close(m_master);
        if (m_device >= 0)
            ::close(m_device);
        m_master = m_device = -1;
    }

    int master() const { return m_master; }
    const std::string &path() const { return m_path; }

    // The speed the terminal set on its side; 0 when it is none we know.
    long speed() const
    {
#ifdef __linux__
        // Linux's own termios2 holds the speed in baud. One set through it (Wine 10 does)
        // shows through tcgetattr only as BOTHER.
        struct
        {
            tcflag_t iflag, oflag, cflag, lflag;
            cc_t line;
            cc_t cc[19];
            speed_t ispeed, ospeed;
        } t2 {};
        if (::ioctl(m_device, _IOR('T', 0x2A, t2), &t2) == 0 && t2.ospeed > 0)
            return long(t2.ospeed);
#endif
        termios t {};
        if (::tcgetattr(m_device, &t) != 0)
            return 0;
        return baudOf(::cfgetospeed(&t));
    }

    // Bytes sent that the terminal has not read yet.
    int unread() const
    {
        int count = 0;
        return ::ioctl(m_device, TIOCINQ, &count) == 0 ? count : 0;
    }

private:
    int m_master = -1;
    int m_device = -1;
    std::string m_path;
};

// The symbolic link the terminal is pointed at.
class Link
{
public:
    ~Link() { remove(); }

    bool publish(const std::string &path, const std::string &target)
    {
        struct stat existing
        {
        };
        if (::lstat(path.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
            std::fprintf(stderr,
                "salvex-sim: %s exists and is not a symbolic link; not replacing it\n",
                path.c_str());
            return false;
        }
        // Made aside and renamed over the old one, so the path never names nothing.
        const std::string aside = path + ".salvex-sim." + std::to_string(::getpid());
        ::unlink(aside.c_str());
        if (::symlink(target.c_str(), aside.c_str()) != 0) {
            std::fprintf(stderr, "salvex-sim: cannot create the link %s: %s\n", path.c_str(),
                std::strerror(errno));
            return false;
        }
        if (::rename(aside.c_str(), path.c_str()) != 0) {
            std::fprintf(stderr, "salvex-sim: cannot create the link %s: %s\n", path.c_str(),
                std::strerror(errno));
            ::unlink(aside.c_str());
            return false;
        }
        m_path = path;
        m_target = target;
        return true;
    }

    // Only our own link goes: another simulator may have taken the path over since.
    void remove()
    {
        if (m_path.empty())
            return;
        char target[4096];
        const ssize_t n = ::readlink(m_path.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string_view(target, std::size_t(n)) == m_target)
            ::unlink(m_path.c_str());
        m_path.clear();
    }

private:
    std::string m_path;
    std::string m_target;
};

// One answer to a request, handed out piece by piece so that a flood of any size needs no
// memory of its own.
class Answer
{
public:
    static Answer bytes(std::string content)
    {
        Answer answer;
        answer.m_size = content.size();
        answer.m_content = std::move(content);
        return answer;
    }

    static Answer flood(std::uint64_t size)
    {
        Answer answer;
        answer.m_size = size;
        answer.m_flood = true;
        return answer;
    }

    std::uint64_t size() const { return m_size; }

    void copy(std::uint64_t offset, char *to, std::size_t count) const
    {
        if (!m_flood) {
            std::memcpy(to, m_content.data() + offset, count);
            return;
        }
        for (std::size_t i = 0; i < count; ++i)
            to[i] = floodByte(offset + i);
    }

private:
    // Lines of 64 bytes: a six-digit line number, a space, printable text, CR LF. The last
    // line is cut short but still ends in CR LF when there is room for it.
    char floodByte(std::uint64_t at) const
    {
        const std::uint64_t line = at / 64;
        const unsigned column = unsigned(at % 64);
        const std::uint64_t lineEnd = std::min<std::uint64_t>(line * 64 + 64, m_size);
        const std::uint64_t lineLength = lineEnd - line * 64;
        if (lineLength >= 2 && column == lineLength - 2)
            return '\r';
        if (lineLength >= 2 && column == lineLength - 1)
            return '\n';
        if (column < 6) {
            std::uint64_t number = line % 1000000;
            for (unsigned i = column; i < 5; ++i)
                number /= 10;
            return char('0' + number % 10);
        }
        if (column == 6)
            return ' ';
        return char(0x21 + (line + column) % 94);
    }

    std::string m_content;
    std::uint64_t m_size = 0;
    bool m_flood = false;
};

class Machine
{
public:
    Machine(const Options &options, Line &line, Link &link, std::string fixedAnswer,
        const sigset_t &waitMask)
        : m_options(options), m_line(line), m_link(link), m_fixed(std::move(fixedAnswer)),
          m_waitMask(waitMask)
    { }

    int run()
    {
        while (!stopRequested) {
            pollfd p { m_line.master(), POLLIN, 0 };
            if (m_sending && m_stalled)
                p.events |= POLLOUT;
            timespec timeout {};
            timespec *wait = nullptr;
            if (m_sending && !m_stalled) {
                timeout = toTimespec(m_nextWakeNs - nowNs());
                wait = &timeout;
            }
            const int ready = ::ppoll(&p, 1, wait, &m_waitMask);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                return failure("waiting on the line");
            }
            if (p.revents & (POLLERR | POLLNVAL | POLLHUP)) {
                std::fputs("salvex-sim: the line broke\n", stderr);
                return exitFailure;
            }
            if ((p.revents & POLLIN) && !readRequests())
                return failure("reading the line");
            if (p.revents & POLLOUT)
                resume();
            if (m_sending) {
                const int status = send();
                if (status >= 0)
                    return status;
            }
        }
        log("stopped");
        return exitDone;
    }

private:
    // Requests that come while an answer is going out are ignored: the machine is busy
    // printing and does not listen.
    bool readRequests()
    {
        char buffer[256];
        while (true) {
            const ssize_t n = ::read(m_line.master(), buffer, sizeof buffer);
            if (n < 0)
                return errno == EAGAIN || errno == EINTR;
            if (n == 0)
                return true;
            if (!m_sending && std::memchr(buffer, 'W', std::size_t(n)))
                startAnswer();
        }
    }

    void startAnswer()
    {
        if (m_options.flood >= 0)
            m_answer = Answer::flood(std::uint64_t(m_options.flood));
        else if (m_options.allBytes || !m_options.reportFile.empty())
            m_answer = Answer::bytes(m_fixed);
        else
            m_answer = Answer::bytes(m_report.next(std::time(nullptr)));

        m_sent = 0;
        m_sending = true;
        m_stalled = false;
        m_startNs = m_nextWakeNs = nowNs();
        if (m_options.flood >= 0) {
            log("request received, flooding " + std::to_string(m_answer.size()) + " bytes");
            return;
        }
        long baud = m_options.baud;
        if (baud == 0) {
            baud = m_line.speed();
            if (baud == 0) {
                baud = 9600;
                log("the terminal set a speed this simulator does not know; pacing at 9600 baud");
            }
        }
        m_characterNs = bitsPerCharacter * 1e9 / double(baud);
        // Batches of about 10 ms: smooth enough for any reader, cheap in system calls.
        m_batch = std::max<std::uint64_t>(
            1, std::uint64_t(std::lround(0.010 * baud / bitsPerCharacter)));
        log("request received, sending " + std::to_string(m_answer.size()) + " bytes at "
            + std::to_string(baud) + " baud");
    }

    // The terminal did not read for a while: go on from here at the line's pace instead
    // of bursting to catch up.
    void resume()
    {
        m_stalled = false;
        if (m_options.flood < 0)
            m_startNs = nowNs() - std::int64_t(double(m_sent) * m_characterNs);
    }

    // Returns -1 to go on, or the exit status.
    int send()
    {
        if (m_stalled)
            return -1;
        const std::uint64_t limit = sendLimit();
        std::uint64_t due = limit;
        if (m_options.flood < 0) {
            // A character is there once its stop bit has gone down the line.
            const double elapsed = double(nowNs() - m_startNs);
            due = std::min<std::uint64_t>(
                limit, std::uint64_t(std::max(0.0, elapsed / m_characterNs)));
        }
        // A flood gives the event loop a look-in between chunks.
        std::uint64_t budget = 1 << 16;
        while (m_sent < due && budget > 0) {
            char buffer[4096];
            const std::size_t count
                = std::size_t(std::min<std::uint64_t>({ due - m_sent, sizeof buffer, budget }));
            m_answer.copy(m_sent, buffer, count);
            const ssize_t n = ::write(m_line.master(), buffer, count);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN) {
                    m_stalled = true;
                    break;
                }
                return failure("writing to the line");
            }
            m_sent += std::uint64_t(n);
            m_total += std::uint64_t(n);
            budget -= std::uint64_t(n);
        }

        if (m_options.vanishAfter >= 0 && m_total >= std::uint64_t(m_options.vanishAfter))
            return vanish();
        if (m_sent == m_answer.size()) {
            m_sending = false;
            log("answer sent");
            if (m_options.once) {
                waitUntilRead();
                return exitDone;
            }
            return -1;
        }
        if (m_options.flood < 0)
            m_nextWakeNs = m_startNs
                + std::int64_t(double(std::min(m_sent + m_batch, limit)) * m_characterNs);
        return -1;
    }

    // The end of this answer, or the byte after which the cable is pulled.
    std::uint64_t sendLimit() const
    {
        std::uint64_t limit = m_answer.size();
        if (m_options.vanishAfter >= 0) {
            const std::uint64_t left = std::uint64_t(m_options.vanishAfter) - m_total;
            limit = std::min(limit, m_sent + left);
        }
        return limit;
    }

    // Hanging up throws away whatever the terminal has not read yet, and on a real line
    // those bytes would already be in its hands: wait for them to be read, unless the
    // terminal stops reading.
    void waitUntilRead()
    {
        std::int64_t lastProgress = nowNs();
        int before = m_line.unread();
        int quietChecks = 0;
        while (!stopRequested && nowNs() - lastProgress < 2000000000ll) {
            const int unread = m_line.unread();
            if (unread == 0) {
                // Bytes may still be on their way into the device side's queue.
                if (++quietChecks >= 3)
                    return;
            } else {
                quietChecks = 0;
            }
            if (unread < before)
                lastProgress = nowNs();
            before = unread;
            const timespec pause { 0, 10000000 };
            ::ppoll(nullptr, 0, &pause, &m_waitMask);
        }
    }

    int vanish()
    {
        waitUntilRead();
        log("cable pulled after " + std::to_string(m_total) + " bytes");
        m_line.close();
        m_link.remove();
        return exitDone;
    }

    int failure(const char *what)
    {
        std::fprintf(stderr, "salvex-sim: %s: %s\n", what, std::strerror(errno));
        return exitFailure;
    }

    void log(const std::string &message) const
    {
        if (m_options.quiet)
            return;
        std::printf("salvex-sim: %s\n", message.c_str());
        std::fflush(stdout);
    }

    const Options &m_options;
    Line &m_line;
    Link &m_link;
    const std::string m_fixed;
    const sigset_t m_waitMask;
    TakingsReport m_report;

    Answer m_answer;
    bool m_sending = false;
    bool m_stalled = false;
    std::uint64_t m_sent = 0;
    std::uint64_t m_total = 0;
    std::int64_t m_startNs = 0;
    std::int64_t m_nextWakeNs = 0;
    double m_characterNs = 0;
    std::uint64_t m_batch = 1;
};

bool readWholeFile(const std::string &path, std::string *out)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(
            stderr, "salvex-sim: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
        std::fprintf(stderr, "salvex-sim: cannot read %s\n", path.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (const int status = parseOptions(argc, argv, &options); status >= 0)
        return status;

    std::string fixedAnswer;
    if (!options.reportFile.empty() && !readWholeFile(options.reportFile, &fixedAnswer))
        return exitFailure;
    if (options.allBytes)
        for (int value = 0; value < 256; ++value)
            fixedAnswer += char(value);

    // The stop signals only get through while the machine waits, so none is missed
    // between a look at the flag and the wait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int number : { SIGINT, SIGTERM, SIGHUP })
        sigaddset(&stopSignals, number);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGHUP);
    struct sigaction stop
    {
    };
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    for (const int number : { SIGINT, SIGTERM, SIGHUP })
        sigaction(number, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Line line;
    if (!line.open())
        return exitFailure;
    Link link;
    if (!link.publish(options.link, line.path()))
        return exitFailure;

    std::printf("salvex-sim: %s -> %s\n", line.path().c_str(), options.link.c_str());
    std::fflush(stdout);

    Machine machine(options, line, link, std::move(fixedAnswer), waitMask);
    return machine.run();
}
