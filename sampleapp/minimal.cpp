// The smallest application that updates itself with the client library.
#include "selfupdate.h"
#include "startup.h"

#include <QCoreApplication>

static const QString kVersion = QStringLiteral("1.0.0"); // this build's release
static constexpr qint32 kSequence = 1;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString programRoot = QCoreApplication::applicationDirPath();

    // Started by the updater to prove that this version works: confirm as soon as it does.
    vellumix::confirmStartIfProbed(app.arguments(), kVersion);
    // An update was interrupted (a crash, a power cut, an unconfirmed start): it is rolled back
    // before the program is used; the recovery starts the application again when it is done.
    if (vellumix::recoveryPending(programRoot))
        return vellumix::startRecovery(programRoot).ok() ? 0 : 1;

    // The application's own work goes here. Then, on a menu command or a timer, the check:
    vellumix::UpdateClientSettings settings;
    settings.feed = QUrl(QStringLiteral("https://updates.example.com/vellumix/"));
    settings.programRoot = programRoot;
    settings.builtInSequence = kSequence;
    sampleapp::SelfUpdate update(settings, [](const QString &line) {
        qInfo("%s", qUtf8Printable(line));
    });
    // 0: the updater is waiting for this process, so it quits now; 1 or 2: nothing to install
    // (a window would carry on; this console program ends either way).
    QObject::connect(&update, &sampleapp::SelfUpdate::finished, &app,
                     [](int outcome) { QCoreApplication::exit(outcome == 1 ? 1 : 0); });
    update.start();
    return app.exec();
}
