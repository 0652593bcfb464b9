// VellumixUpdater: applies an update that the application has staged, or, with --recover, rolls
// an unfinished update back. See docs/architecture.md for the story of a run:
// stage -> manifest -> journal -> files -> probe -> outcome.
#include "runsequence.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return vellumix::runUpdater(QCoreApplication::arguments());
}
