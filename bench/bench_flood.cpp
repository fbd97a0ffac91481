// SPDX-License-Identifier: MIT
// Reception on Windows (under Wine): a flood through a real COM port into the main window,
// then saved and compared byte for byte.
//
//   bench_flood REPORT OUT     SALVEX_COM1 names a port whose machine answers "W" with REPORT
//
// Prints the bytes, the seconds from the request to the last byte in the box, the rate, and
// whether the saved file holds exactly the report.

#include "form1.h"
#include "mscomm.h"
#include "scripteddialogs.h"
#include "textfilewriter.h"
#include "textorecibido.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_flood REPORT OUT\n");
        return 2;
    }
    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::ReadOnly))
        return 2;
    const QByteArray report = file.readAll();

    ScriptedDialogs boxes;
    Form1 form;
    form.show();
    form.Boton_Abrir_Click();
    if (!form.MSComm1->portOpen()) {
        std::fprintf(stderr, "%s\n", qPrintable(boxes.prompts().join(QLatin1Char('\n'))));
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    form.Command4_Click();
    const QDeadlineTimer limit(600 * 1000);
    while (form.Texto_Recibido->text().size() < report.size() && !limit.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double seconds = clock.nsecsElapsed() / 1e9;
    const qsizetype got = form.Texto_Recibido->text().size();

    const QString out = QString::fromLocal8Bit(argv[2]);
    TextFileWriter::write(out, form.Texto_Recibido->text());
    QFile saved(out);
    saved.open(QIODevice::ReadOnly);
    const bool exact = saved.readAll() == report + "\r\n";
    std::printf("%lld of %lld bytes in %.2f s: %.2f MB/s; saved file %s\n", qlonglong(got),
        qlonglong(report.size()), seconds, got / seconds / 1e6, exact ? "exact" : "DIFFERS");
    return exact ? 0 : 1;
}
