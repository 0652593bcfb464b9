// The smallest application that updates itself with the client library.
#include "selfupdate.h"

#include <vellumix/startup.h>

#include <QCoreApplication>

// This build's release and its feed, as the build sets them (see sampleapp/CMakeLists.txt).
static const QString kVersion = QStringLiteral(APP_VERSION);
static constexpr qint32 kSequence = APP_SEQUENCE;
static const QString kFeed = QStringLiteral(APP_UPDATE_FEED);

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    // First of all: confirm the start of a new version that the updater is probing, or hand an
    // interrupted update to the recovery before any file of the program is used.
    const vellumix::StartupDecision startup = vellumix::handleStartup(app.arguments(), kVersion);
    if (!startup.failure.ok())
        qWarning("update: %s (%s)", qUtf8Printable(startup.failure.userText()),
                 qUtf8Printable(startup.failure.detail));
    if (startup.action == vellumix::StartupAction::Quit) {
        qInfo("version %s quits: the updater finishes an update first", qUtf8Printable(kVersion));
        return 0;
    }
    if (startup.action == vellumix::StartupAction::ContinueConfirmed)
        qInfo("version %s confirmed its start", qUtf8Printable(kVersion));
    // What became of the last update, told once: a window would show it to the user.
    if (startup.outcome.isValid())
        qInfo("last update: %s (%s%s%s)", qUtf8Printable(startup.outcome.userText()),
              qUtf8Printable(startup.outcome.resultName()),
              startup.outcome.failed() ? ", " : "", qUtf8Printable(startup.outcome.reasonName()));

    // The application's own work goes here. Then, on a menu command or a timer, the check (an
    // administrator or a test may point it at another feed with VELLUMIX_UPDATE_FEED):
    vellumix::UpdateClientSettings settings;
    settings.feed = vellumix::feedUrlFromUserInput(qEnvironmentVariable("VELLUMIX_UPDATE_FEED", kFeed));
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
