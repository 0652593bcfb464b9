// The stand-in for the Vellumix application (installed into program roots as "Vellumix.exe").
#include "sampleapp.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return sampleapp::run(QCoreApplication::arguments());
}
