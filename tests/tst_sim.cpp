// SPDX-License-Identifier: MIT
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The terminal's end of the line, opened through the published link the way a serial port
// is opened: raw, at a given speed.
class Terminal
{
public:
    ~Terminal() { close(); }

    bool open(const QString &path, speed_t speed = B9600)
    {
        close();
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd < 0)
            return false;
        termios raw {};
        ::tcgetattr(m_fd, &raw);
        ::cfmakeraw(&raw);
        ::cfsetispeed(&raw, speed);
        ::cfsetospeed(&raw, speed);
        return ::tcsetattr(m_fd, TCSANOW, &raw) == 0;
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    bool send(const QByteArray &bytes)
    {
        m_clock.start();
        return ::write(m_fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

    // Reads until `quietMs` pass without a byte, the line hangs up, or `timeoutMs` is over.
    QByteArray receive(int quietMs = 500, int timeoutMs = 30000)
    {
        QByteArray got;
        m_hungUp = false;
        QElapsedTimer quiet;
        quiet.start();
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired() && quiet.elapsed() < quietMs) {
            pollfd p { m_fd, POLLIN, 0 };
            ::poll(&p, 1, 20);
            char buffer[4096];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n > 0) {
                got.append(buffer, n);
                m_lastByteMs = m_clock.elapsed();
                quiet.restart();
            } else if (n == 0 || errno == EIO) {
                m_hungUp = true;
                break;
            }
        }
        return got;
    }

    // From the request to the last byte received.
    double answerSeconds() const { return m_lastByteMs / 1000.0; }
    bool hungUp() const { return m_hungUp; }

private:
    int m_fd = -1;
    QElapsedTimer m_clock;
    qint64 m_lastByteMs = 0;
    bool m_hungUp = false;
};

bool isLink(const QString &path)
{
    struct stat info
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

double lineSeconds(qsizetype bytes, int baud)
{
    return bytes * 11.0 / baud;
}

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_link;

    // Starts the simulator on the test's link and waits for its ready line.
    bool start(QProcess &sim, const QStringList &arguments)
    {
        sim.start(QStringLiteral(SALVEX_SIM), QStringList { "--link", m_link } + arguments);
        QDeadlineTimer deadline(10000);
        while (!sim.canReadLine() && !deadline.hasExpired())
            sim.waitForReadyRead(100);
        const QByteArray ready = sim.readLine();
        if (!ready.startsWith("salvex-sim: /dev/pts/")
            || !ready.endsWith(" -> " + m_link.toLocal8Bit() + "\n")) {
            qWarning("not ready: %s %s", ready.constData(), sim.readAllStandardError().constData());
            return false;
        }
        return true;
    }

    static bool endsWell(QProcess &sim)
    {
        return sim.waitForFinished(10000) && sim.exitStatus() == QProcess::NormalExit
            && sim.exitCode() == 0;
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_link = m_dir.filePath(QStringLiteral("com1"));
    }

    void cleanup() { QFile::remove(m_link); }

    void reportComesWholeInCrLfLinesAtLinePaceOnEveryOpening()
    {
        QProcess sim;
        QVERIFY(start(sim, { "--quiet" }));

        // The terminal opens and closes the port before it asks: the line must survive it.
        Terminal terminal;
        for (int i = 0; i < 2; ++i) {
            QVERIFY(terminal.open(m_link));
            terminal.close();
            // Long enough for a line without a second holder to hang up.
            QTest::qSleep(200);
        }
        QVERIFY(terminal.open(m_link));
        QVERIFY(terminal.send("w\r\nX"));
        QCOMPARE(terminal.receive(400), QByteArray());

        QByteArray reports[2];
        for (QByteArray &report : reports) {
            QVERIFY(terminal.send("W"));
            report = terminal.receive();
            QVERIFY2(report.size() > 500, report.constData());
            QVERIFY(report.endsWith("\r\n"));
            const QList<QByteArray> lines = report.chopped(2).split('\n');
            QVERIFY(lines.size() >= 24);
            for (const QByteArray &line : lines) {
                QVERIFY2(line.endsWith('\r') || &line == &lines.last(), line.constData());
                const QByteArray text = &line == &lines.last() ? line : line.chopped(1);
                QVERIFY(!text.isEmpty() && text.size() <= 80);
                for (const char c : text)
                    QVERIFY2(uchar(c) >= 0x20 && (uchar(c) < 0x7f || uchar(c) >= 0xa0),
                        line.constData());
            }
            const double expected = lineSeconds(report.size(), 9600);
            QVERIFY2(terminal.answerSeconds() > expected * 0.5
                    && terminal.answerSeconds() < expected * 2,
                qPrintable(
                    QStringLiteral("%1 s for %2 s").arg(terminal.answerSeconds()).arg(expected)));
            // The next answer comes through a new opening of the port.
            terminal.close();
            QTest::qSleep(200);
            QVERIFY(terminal.open(m_link));
        }
        QCOMPARE(reports[1].count('\n'), reports[0].count('\n'));
        sim.terminate();
        QVERIFY(endsWell(sim));
    }

    void answerIsPacedAtTheSpeedInUse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<int>("terminalSpeed");
        QTest::addColumn<int>("baud");

        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all += char(b);
        QTest::newRow("every byte at the 2400 baud the terminal set")
            << QStringList { "--all-bytes" } << all << int(B2400) << 2400;

        QByteArray report
            = "M\xc1QUINA N\xba 7\r\n" + QByteArray(300, '.') + QByteArray("\r\n\0\x1b\xff\r\n", 7);
        report += QByteArray(100, 'x');
        QFile file(m_dir.filePath(QStringLiteral("report.bin")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(report) == report.size());
        QTest::newRow("a report file at 4800 baud forced over 9600")
            << QStringList { "--report", file.fileName(), "--baud", "4800" } << report << int(B9600)
            << 4800;
    }
    void answerIsPacedAtTheSpeedInUse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, expected);
        QFETCH(int, terminalSpeed);
        QFETCH(int, baud);

        Terminal terminal;
        QProcess sim;
        QVERIFY(start(sim, arguments << "--once"));
        QVERIFY(terminal.open(m_link, speed_t(terminalSpeed)));
        QVERIFY(terminal.send("W"));
        QCOMPARE(terminal.receive(), expected);
        const double seconds = lineSeconds(expected.size(), baud);
        QVERIFY2(terminal.answerSeconds() > seconds * 0.5 && terminal.answerSeconds() < seconds * 2,
            qPrintable(QStringLiteral("%1 s for %2 s").arg(terminal.answerSeconds()).arg(seconds)));
        QVERIFY(endsWell(sim));
        QVERIFY(!isLink(m_link));
    }

    void floodGivesExactlyTheBytesAskedFast()
    {
        const qsizetype size = 100000 + 35;
        QProcess sim;
        QVERIFY(start(sim, { "--flood", QString::number(size), "--quiet" }));
        Terminal terminal;
        QVERIFY(terminal.open(m_link));
        QVERIFY(terminal.send("W"));
        const QByteArray got = terminal.receive();
        QCOMPARE(got.size(), size);
        // At 9600 baud this would take two minutes.
        QVERIFY2(
            terminal.answerSeconds() < 10, qPrintable(QString::number(terminal.answerSeconds())));
        for (qsizetype at = 0; at < size; at += 64) {
            const QByteArray line = got.mid(at, 64);
            QVERIFY(line.endsWith("\r\n"));
            for (const char c : line.chopped(2))
                QVERIFY(c >= 0x20 && c < 0x7f);
        }
        QCOMPARE(got.count('\n'), size / 64 + 1);
        sim.terminate();
        QVERIFY(endsWell(sim));
    }

    void vanishingMachineHangsUpAfterItsBytesAndTakesItsLink()
    {
        QProcess sim;
        QVERIFY(start(sim, { "--all-bytes", "--vanish-after", "100" }));
        Terminal terminal;
        QVERIFY(terminal.open(m_link));
        QVERIFY(terminal.send("W"));
        // The terminal is slow to read: what reached it before the cable went must not be lost.
        QTest::qSleep(500);
        QByteArray first100;
        for (int b = 0; b < 100; ++b)
            first100 += char(b);
        QCOMPARE(terminal.receive(3000), first100);
        QVERIFY(terminal.hungUp());
        QVERIFY(endsWell(sim));
        QVERIFY(!isLink(m_link));
    }

    void staleLinkIsReplacedAndRemovedOnSigterm()
    {
        QVERIFY(QFile::link(QStringLiteral("/nonexistent/ttyX"), m_link));
        QProcess sim;
        QVERIFY(start(sim, { "--quiet" }));
        QVERIFY(QFile::symLinkTarget(m_link).startsWith(QStringLiteral("/dev/pts/")));
        sim.terminate();
        QVERIFY(endsWell(sim));
        QVERIFY(!isLink(m_link));
    }

    void badStartsAreRefusedWithTheirExitCode_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("no link") << QStringList { "--once" } << 2;
        QTest::newRow("flood without a number")
            << QStringList { "--link", "L", "--flood", "many" } << 2;
        QTest::newRow("two answers at once")
            << QStringList { "--link", "L", "--all-bytes", "--flood", "10" } << 2;
        QTest::newRow("unknown option") << QStringList { "--link", "L", "--fast" } << 2;
        QTest::newRow("missing report file")
            << QStringList { "--link", "L", "--report", "/nonexistent/report" } << 1;
        QTest::newRow("a file where the link goes") << QStringList { "--link", "FILE" } << 1;
    }
    void badStartsAreRefusedWithTheirExitCode()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFile occupied(m_dir.filePath(QStringLiteral("occupied")));
        QVERIFY(occupied.open(QIODevice::WriteOnly) && occupied.write("keep me") == 7);
        occupied.close();
        arguments.replaceInStrings(QRegularExpression(QStringLiteral("^L$")), m_link);
        arguments.replaceInStrings(
            QRegularExpression(QStringLiteral("^FILE$")), occupied.fileName());

        QProcess sim;
        sim.start(QStringLiteral(SALVEX_SIM), arguments);
        QVERIFY(sim.waitForFinished(10000));
        QCOMPARE(sim.exitCode(), exitCode);
        QVERIFY(sim.readAllStandardOutput().isEmpty());
        QVERIFY(sim.readAllStandardError().startsWith("salvex-sim: "));
        QVERIFY(!isLink(m_link));
        QVERIFY(occupied.open(QIODevice::ReadOnly));
        QCOMPARE(occupied.readAll(), QByteArray("keep me"));
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
