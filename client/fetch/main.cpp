// vellumix-fetch: check a feed, download an update into a stage, start the updater.
#include "fetchcli.h"

#include <vellumix/translation.h>

#include <QCoreApplication>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vellumix-fetch"));
    // The reasons' texts in the system's language where the library has it (Chinese on a Chinese
    // system); the reason names in the JSON stay the same in every language. The tool's own
    // messages (fetchtexts.h) go through the same context, but the library carries no translation
    // of them, so they stay English.
    QTranslator texts;
    if (vellumix::loadTranslation(texts, QLocale()))
        QCoreApplication::installTranslator(&texts);
    return vellumix::fetch::runFetch(QCoreApplication::arguments());
}
