// The standard update interface of a Qt Widgets application: checks on a schedule, the "Software
// Update" window (the new version with its release notes and download size, the download's
// progress, then "Restart Now" or "Install on Quit"), a "Check for Updates…" action for the
// application's menu, and the word to the user after an update. It uses the client library's
// public API only (updateclient.h, startup.h); an application adds it in a few lines:
//
//     const vellumix::StartupDecision startup = vellumix::handleStartup(app.arguments(), "1.0.0");
//     if (startup.action == vellumix::StartupAction::Quit)
//         return 0;
//     ...
//     vellumix::SoftwareUpdateSettings settings;
//     settings.client.feed = QUrl("https://updates.example.com/vellumix/");
//     settings.client.builtInSequence = 1;
//     settings.installedVersion = "1.0.0";
//     auto *update = new vellumix::SoftwareUpdate(settings, &window);
//     helpMenu->addAction(update->checkForUpdatesAction());
//     update->showOutcome(startup.outcome); // "Updated to 2.0.0", once
//     update->start();                      // the scheduled checks
//
// Nothing interrupts the user unasked: a scheduled check shows the window only when a release is
// new and not skipped, never on a network failure; an update is installed only when the user
// chose "Restart Now" (the application then quits through QCoreApplication::quit(), so a window
// with unsaved work may still refuse) or "Install on Quit" (the updater is started as the
// application quits, whenever that is).
#pragma once

#include <vellumix/updateclient.h>
#include <vellumix/updatefailure.h>
#include <vellumix/updateoutcome.h>

#include <QDateTime>
#include <QObject>
#include <QString>

#include <memory>

class QAction;
class QWidget;

namespace vellumix {

struct SoftwareUpdateSettings
{
    // The feed, channel, program root and built-in sequence, as UpdateClient takes them. The
    // interface's own explicit check sets ignoreRollout itself; leave it false here.
    UpdateClientSettings client;
    // This build's version text, shown beside the new one.
    QString installedVersion;
    // The name the texts use; empty: QGuiApplication::applicationDisplayName().
    QString applicationName;
    // Scheduled checks: one within firstCheckWithinSeconds of start() when the last check is
    // older than the interval (or there was none), then one every interval while the application
    // runs. Each interval is moved by up to a tenth of it at random, so that a fleet does not
    // check in step. The last check's time is kept per program root and user, written when the
    // check is made.
    bool automaticChecks = true;
    qint64 checkIntervalSeconds = 24 * 60 * 60;
    int firstCheckWithinSeconds = 30;
    // The updater writes its final text to its log rather than showing a message box: the
    // interface tells the user what became of the update at the next start (showOutcome).
    bool quietUpdater = true;
};

class SoftwareUpdatePrivate;

class SoftwareUpdate : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Idle,           // between checks
        Checking,       // a check runs (scheduled or asked for)
        Offering,       // the window offers a release and waits for the user
        Downloading,
        ReadyToInstall, // staged; "Restart Now" or the application's quit installs it
        HandedOver,     // the updater was started for the stage: the application quits
    };
    Q_ENUM(State)

    // `window` is the application's main window: the "Software Update" window is its child.
    explicit SoftwareUpdate(SoftwareUpdateSettings settings, QWidget *window = nullptr);
    ~SoftwareUpdate() override;

    const SoftwareUpdateSettings &settings() const;
    State state() const;

    // Starts the scheduled checks (nothing when automaticChecks is off).
    void start();
    // "Check for Updates…", for the application's menu: checkForUpdates() when triggered.
    QAction *checkForUpdatesAction() const;
    // Tells the user once what became of the last update (the start-up call's outcome): "Updated
    // to 2.0.0", or that it was undone and why. Nothing when `outcome` is not valid.
    void showOutcome(const UpdateOutcome &outcome);

    // When the last check was made (UTC; invalid: never), and when the next scheduled one is due.
    QDateTime lastCheckTime() const;
    QDateTime nextCheckTime() const;
    // The release the user chose to skip in this channel (0: none).
    qint32 skippedSequence() const;
    // True once the user chose "Install on Quit" (or "Restart Now"): the updater is started for
    // the stage when the application quits.
    bool installsOnQuit() const;
    // The window, for an application that wants to place or style it.
    QWidget *window() const;

public Q_SLOTS:
    // A person's explicit check: shows its progress, takes a release inside any rollout above 0 %,
    // says "You're up to date" when nothing is new and shows a failure plainly. While a release
    // is offered, downloading or ready, it shows that instead.
    void checkForUpdates();
    // A quiet check, as the schedule makes one: the window appears only for a new release that
    // was not skipped.
    void checkInBackground();

Q_SIGNALS:
    void stateChanged(vellumix::SoftwareUpdate::State state);
    // Every check's end, for the application's log: the failure (ok() when it succeeded) and
    // what it found.
    void checkFinished(const vellumix::UpdateFailure &failure, const vellumix::UpdateInfo &update);
    // The updater was started for the stage (or could not be: `failure`).
    void handedOver(const vellumix::UpdateFailure &failure);

private:
    friend class SoftwareUpdatePrivate;
    std::unique_ptr<SoftwareUpdatePrivate> d;
    Q_DISABLE_COPY_MOVE(SoftwareUpdate)
};

} // namespace vellumix
