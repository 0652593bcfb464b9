// The stand-in for the Vellumix application (installed into program roots as "Vellumix.exe").
#include "sampleapp.h"

#include <vellumix/translation.h>

#include <QCoreApplication>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The update client's texts in the user's language, where the library has a translation
    // for it; English otherwise.
    QTranslator updateTexts;
    if (vellumix::loadTranslation(updateTexts, QLocale()))
        QCoreApplication::installTranslator(&updateTexts);
    return sampleapp::run(QCoreApplication::arguments());
}
