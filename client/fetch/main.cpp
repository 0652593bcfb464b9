// vellumix-fetch: check a feed, download an update into a stage, start the updater.
#include "fetchcli.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vellumix-fetch"));
    return vellumix::fetch::runFetch(QCoreApplication::arguments());
}
