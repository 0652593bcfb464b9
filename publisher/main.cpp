// vellumix-publish: keys, staging and checking of signed update manifests.
#include "cli.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return vellumix::publish::runPublisher(QCoreApplication::arguments());
}
