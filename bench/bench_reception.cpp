// SPDX-License-Identifier: MIT
// Reception through the real main window, fed by a pseudo-terminal.
//
//   bench_reception            runs every measurement, each in a fresh process, and prints them
//   bench_reception MODE [MB]  one measurement: flood, paced, append, naive-flood, naive-append,
//                              unplug
//
// Figures are wall or CPU seconds on a shared machine: compare the ratios of one run.

#include "form1.h"
#include "mscomm.h"
#include "ptypair.h"
#include "scripteddialogs.h"
#include "textorecibido.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <thread>
#include <time.h>

namespace {

constexpr qsizetype MB = 1000 * 1000;

// 64-byte lines ending in CR LF, as a machine's report would come.
QByteArray lines(qsizetype size)
{
    QByteArray out;
    out.reserve(size);
    for (qsizetype n = 0; out.size() < size; ++n) {
        QByteArray line = QByteArray::number(n).rightJustified(10, '0')
            + " CONTADOR ENTRADAS 000123 SALIDAS 000045 TOTAL ";
        line = line.leftJustified(62, '.', true) + "\r\n";
        out += line;
    }
    out.truncate(size);
    return out;
}

double cpuSeconds(clockid_t clock)
{
    timespec t {};
    clock_gettime(clock, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

long peakKilobytes()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long currentKilobytes()
{
    FILE *f = std::fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The view has caught up with the text: every character, a CR LF pair as one break.
bool onScreen(TextoRecibido *box, qsizetype size, qsizetype pairs)
{
    return box->document()->characterCount() == size - pairs + 1;
}

struct Bench
{
    ScriptedDialogs boxes;
    Form1 form;
    PtyPair pty;

    Bench()
    {
        form.show();
        qputenv("SALVEX_COM1", pty.devicePath().toLocal8Bit());
        form.Boton_Abrir_Click();
        if (!form.MSComm1->portOpen()) {
            std::fprintf(stderr, "could not open the pseudo-terminal\n");
            std::exit(1);
        }
    }

    // The longest the event loop went without turning during the last flood, in seconds.
    double longestStall = 0;

    // The machine floods the line from a thread of its own; the window receives. A 1 ms
    // timer ticks meanwhile: the widest gap between its ticks is how long the window would
    // have kept the operator waiting.
    double flood(const QByteArray &data)
    {
        TextoRecibido *box = form.Texto_Recibido;
        const qsizetype start = box->text().size();
        const qsizetype pairs = data.count("\r\n") + box->text().count(QLatin1String("\r\n"));
        QElapsedTimer clock;
        clock.start();
        QElapsedTimer sinceTick;
        sinceTick.start();
        longestStall = 0;
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            longestStall = qMax(longestStall, sinceTick.nsecsElapsed() / 1e9);
            sinceTick.start();
        });
        probe.start(1);
        std::thread machine([&] { pty.send(data); });
        while (box->text().size() < start + data.size())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        while (!onScreen(box, start + data.size(), pairs))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        box->viewport()->repaint();
        const double seconds = clock.nsecsElapsed() / 1e9;
        longestStall = qMax(longestStall, sinceTick.nsecsElapsed() / 1e9);
        machine.join();
        return seconds;
    }
};

// One 64-byte line through the line into a box that already holds `prefill` bytes.
QList<double> appendTimes(Bench &bench, qsizetype prefill, int count)
{
    TextoRecibido *box = bench.form.Texto_Recibido;
    box->setText(QString::fromLatin1(lines(prefill)));
    while (!onScreen(box, prefill, prefill / 64))
        QCoreApplication::processEvents();
    const QByteArray line = lines(64);
    QList<double> times;
    for (int i = 0; i < count; ++i) {
        const qsizetype before = box->text().size();
        bench.pty.send(line);
        // Let the bytes reach the port, then time their whole handling: the read, the
        // notification, the append and the view's update.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        QElapsedTimer clock;
        clock.start();
        while (box->text().size() == before)
            QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        box->viewport()->repaint();
        times.append(clock.nsecsElapsed() / 1e6);
    }
    return times;
}

// The text set to the old text plus the new characters on every notification.
void receiveTheNaiveWay(Form1 *form)
{
    QObject::disconnect(form->MSComm1, &MSComm::OnComm, form, nullptr);
    QObject::connect(form->MSComm1, &MSComm::OnComm, form, [form] {
        if (form->MSComm1->commEvent() == MSComm::comEvReceive)
            form->Texto_Recibido->setText(form->Texto_Recibido->text() + form->MSComm1->input());
    });
}

int runOne(const QString &mode, double sizeMB)
{
    Bench bench;
    const long baseKB = currentKilobytes();
    if (mode == "flood") {
        const QByteArray data = lines(qsizetype(sizeMB * MB));
        const long dataKB = currentKilobytes();
        const double seconds = bench.flood(data);
        const double perByte = double(peakKilobytes() - dataKB) * 1024 / data.size();
        std::printf("flood %.0f MB: %.3f s, %.1f MB/s, longest stall %.0f ms, peak memory %.1f "
                    "bytes per received byte (base %ld KB)\n",
            sizeMB, seconds, sizeMB / seconds, bench.longestStall * 1000, perByte, baseKB);
    } else if (mode == "paced") {
        // A 921,600 baud line: 92,160 bytes a second, in 10 ms slices.
        const double seconds = sizeMB > 0 ? sizeMB : 20;
        const QByteArray data = lines(qsizetype(92160 * seconds));
        std::atomic<bool> done { false };
        double machineCpu = 0;
        const double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        QElapsedTimer clock;
        clock.start();
        std::thread machine([&] {
            const double t0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            QElapsedTimer pace;
            pace.start();
            qsizetype sent = 0;
            while (sent < data.size()) {
                const qsizetype due
                    = qMin<qsizetype>(data.size(), qsizetype(pace.nsecsElapsed() / 1e9 * 92160));
                if (due > sent) {
                    bench.pty.send(data.mid(sent, due - sent));
                    sent = due;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            machineCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0;
            done = true;
        });
        TextoRecibido *box = bench.form.Texto_Recibido;
        // Wait in the event loop, as the program does, without spinning.
        const qsizetype pairs = data.count("\r\n");
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, [&] {
            if (done && box->text().size() >= data.size() && onScreen(box, data.size(), pairs))
                loop.quit();
        });
        check.start(100);
        loop.exec();
        machine.join();
        const double wall = clock.nsecsElapsed() / 1e9;
        const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0 - machineCpu;
        std::printf("paced 92160 B/s for %.0f s: %.2f CPU s in %.1f s, %.1f%% of a core\n", seconds,
            cpu, wall, 100 * cpu / wall);
    } else if (mode == "append" || mode == "naive-append") {
        if (mode == "naive-append")
            receiveTheNaiveWay(&bench.form);
        QList<double> times
            = appendTimes(bench, qsizetype(sizeMB * MB), mode == "append" ? 400 : 20);
        std::sort(times.begin(), times.end());
        std::printf("%s at %.1f MB: median %.3f ms, 99th percentile %.3f ms\n", qPrintable(mode),
            sizeMB, times[times.size() / 2],
            times[qMin<qsizetype>(times.size() - 1, times.size() * 99 / 100)]);
    } else if (mode == "unplug") {
        // The line hangs up as it does when a USB adapter is pulled: how soon the panel says
        // closed, and what the window spends in the ten seconds after.
        double toldMs = -1;
        QElapsedTimer clock;
        QObject::connect(bench.form.MSComm1, &MSComm::OnComm, [&] {
            if (toldMs < 0 && bench.form.Etiq_Estado->text() == QLatin1String("CERRADO"))
                toldMs = clock.nsecsElapsed() / 1e6;
        });
        const qsizetype boxesBefore = bench.boxes.boxes.size();
        const int line = ::open(bench.pty.devicePath().toLocal8Bit().constData(), O_RDWR);
        const double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        clock.start();
        if (line < 0 || ::ioctl(line, TIOCVHANGUP) != 0) {
            std::fprintf(stderr, "hanging up a terminal needs CAP_SYS_ADMIN\n");
            return 1;
        }
        ::close(line);
        QEventLoop loop;
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
        std::printf("unplug: %s, %lld box(es), %.0f ms of CPU in the 10 s after\n",
            toldMs < 0 ? "never told"
                       : qPrintable(QStringLiteral("CERRADO after %1 ms").arg(toldMs, 0, 'f', 2)),
            qlonglong(bench.boxes.boxes.size() - boxesBefore), cpu * 1000);
    } else if (mode == "naive-flood") {
        receiveTheNaiveWay(&bench.form);
        const QByteArray data = lines(qsizetype(sizeMB * MB));
        const double seconds = bench.flood(data);
        std::printf("naive-flood %.2f MB: %.3f s, %.2f MB/s\n", sizeMB, seconds, sizeMB / seconds);
    } else {
        std::fprintf(stderr, "unknown mode %s\n", qPrintable(mode));
        return 2;
    }
    return 0;
}

// Runs one measurement in a fresh process and returns what it printed.
QString measure(const QStringList &arguments, int timeoutSeconds = 120)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    if (!child.waitForFinished(timeoutSeconds * 1000)) {
        child.kill();
        child.waitForFinished();
        return QStringLiteral("timeout");
    }
    const QString out = QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed();
    std::printf("%s\n", qPrintable(out));
    std::fflush(stdout);
    return out;
}

double firstNumberAfter(const QString &text, const QString &marker)
{
    const qsizetype at = text.indexOf(marker);
    if (at < 0)
        return -1;
    return text.mid(at + marker.size()).section(' ', 0, 0).toDouble();
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (!args.isEmpty())
        return runOne(args[0], args.value(1, "10").toDouble());

    measure({ "unplug" });
    measure({ "flood", "10" });
    measure({ "paced", "20" });
    const QString at1 = measure({ "append", "1" });
    measure({ "append", "10" });
    // The naive way, growing until a flood takes over 10 s.
    double naiveFloodMB = 0;
    for (double size : { 0.25, 0.5, 1.0, 2.0, 4.0, 10.0 }) {
        const QString out = measure({ "naive-flood", QString::number(size) }, 60);
        naiveFloodMB = size;
        if (out == "timeout" || firstNumberAfter(out, "MB: ") > 10)
            break;
    }
    const QString naive1 = measure({ "naive-append", "1" }, 300);
    const double ours = firstNumberAfter(at1, "median ");
    const double theirs = firstNumberAfter(naive1, "median ");
    if (ours > 0 && theirs > 0)
        std::printf("append at 1 MB: %.0f times faster than the naive way\n", theirs / ours);
    Q_UNUSED(naiveFloodMB);
    return 0;
}
