// A small windowed application that updates itself with the standard update interface: a text
// editor's window with "Check for Updates…" in its Help menu, scheduled checks, and the "Software
// Update" window. docs/integration.md shows the lines it takes.
#include <vellumix/softwareupdate.h>
#include <vellumix/startup.h>
#include <vellumix/translation.h>

#include <QApplication>
#include <QFile>
#include <QMetaEnum>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTranslator>

#include <cstdio>

// This build's release and its feed, as the build sets them (see sampleapp/CMakeLists.txt).
static const QString kVersion = QStringLiteral(APP_VERSION);
static constexpr qint32 kSequence = APP_SEQUENCE;
static const QString kFeed = QStringLiteral(APP_UPDATE_FEED);

// The log of the tests: with VELLUMIX_WIDGETS_APP_LOG set, every message goes to that file too
// (a Windows program without a console has no standard error to read).
static void logToFile(QtMsgType, const QMessageLogContext &, const QString &message)
{
    static QFile log(qEnvironmentVariable("VELLUMIX_WIDGETS_APP_LOG"));
    if (!log.isOpen() && !log.open(QIODevice::Append | QIODevice::Text))
        return;
    log.write(message.toUtf8() + '\n');
    log.flush();
    fprintf(stderr, "%s\n", qUtf8Printable(message));
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet("VELLUMIX_WIDGETS_APP_LOG"))
        qInstallMessageHandler(logToFile);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vellumix"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vellumix"));
    QApplication::setApplicationVersion(kVersion);
    QTranslator updateTexts;
    if (vellumix::loadTranslation(updateTexts, QLocale()))
        QApplication::installTranslator(&updateTexts);

    // First of all: confirm the start of a new version that the updater is probing, or hand an
    // interrupted update to the recovery before any file of the program is used.
    const vellumix::StartupDecision startup = vellumix::handleStartup(app.arguments(), kVersion);
    if (startup.action == vellumix::StartupAction::Quit)
        return 0;
    qInfo("version %s started%s", qUtf8Printable(kVersion),
          startup.action == vellumix::StartupAction::ContinueConfirmed ? " (confirmed)" : "");

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Vellumix %1").arg(kVersion));
    auto *editor = new QPlainTextEdit(&window);
    editor->setPlaceholderText(QStringLiteral("Vellumix %1").arg(kVersion));
    window.setCentralWidget(editor);
    window.resize(720, 480);

    vellumix::SoftwareUpdateSettings settings;
    settings.client.feed =
        vellumix::feedUrlFromUserInput(qEnvironmentVariable("VELLUMIX_UPDATE_FEED", kFeed));
    settings.client.builtInSequence = kSequence;
    settings.installedVersion = kVersion;
    // The tests make the first check come sooner than within the usual 30 seconds.
    bool shorter = false;
    const int firstCheck = qEnvironmentVariableIntValue("VELLUMIX_UPDATE_FIRST_CHECK_SECONDS", &shorter);
    if (shorter && firstCheck > 0)
        settings.firstCheckWithinSeconds = firstCheck;
    auto *update = new vellumix::SoftwareUpdate(settings, &window);
    window.menuBar()->addMenu(QStringLiteral("&Help"))->addAction(update->checkForUpdatesAction());

    // For the log: what each check found, and the hand-over.
    QObject::connect(update, &vellumix::SoftwareUpdate::checkFinished,
                     [](const vellumix::UpdateFailure &failure, const vellumix::UpdateInfo &found) {
                         if (!failure.ok())
                             qInfo("check: %s (%s)", qUtf8Printable(failure.reasonName()),
                                   qUtf8Printable(failure.detail));
                         else
                             qInfo("check: %s", found.isAvailable()
                                                    ? qUtf8Printable(found.version() + QStringLiteral(" available"))
                                                    : "nothing new");
                     });
    QObject::connect(update, &vellumix::SoftwareUpdate::stateChanged,
                     [](vellumix::SoftwareUpdate::State state) {
                         qInfo("update state: %s",
                               QMetaEnum::fromType<vellumix::SoftwareUpdate::State>().valueToKey(int(state)));
                     });
    QObject::connect(update, &vellumix::SoftwareUpdate::handedOver,
                     [](const vellumix::UpdateFailure &failure) {
                         qInfo("hand-over: %s", failure.ok() ? "the updater was started"
                                                             : qUtf8Printable(failure.detail));
                     });

    window.show();
    if (startup.outcome.isValid())
        qInfo("last update: %s %s", qUtf8Printable(startup.outcome.resultName()),
              qUtf8Printable(startup.outcome.version));
    update->showOutcome(startup.outcome);
    update->start();
    qInfo("next check: %s", qUtf8Printable(update->nextCheckTime().toString(Qt::ISODate)));
    return app.exec();
}
