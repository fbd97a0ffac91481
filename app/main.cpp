// SPDX-License-Identifier: MIT
#include "form1.h"
#include "salvexicon.h"
#include "textfilewriter.h"
#include "twips.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

int main(int argc, char *argv[])
{
    TextFileWriter::ignoreBrokenPipes();
    QApplication app(argc, argv);
    // No display name: Qt would append it to every window title.
    QApplication::setApplicationName(QStringLiteral("salvex"));
    QApplication::setApplicationVersion(QStringLiteral(SALVEX_VERSION_TEXT));
    QApplication::setWindowIcon(salvexIcon());
    useProgramLook();

    // Standard buttons and the serial layer's reasons in the desktop's language.
    const QString translations = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    for (const char *catalogue : { "qtbase", "qtserialport" }) {
        auto *translator = new QTranslator(&app);
        if (translator->load(
                QLocale(), QString::fromLatin1(catalogue), QStringLiteral("_"), translations))
            QApplication::installTranslator(translator);
        else
            delete translator;
    }

    Form1 form;
    form.show();
    return app.exec();
}
