#include <vellumix/softwareupdate.h>

#include "updatedialog.h"
#include "updateschedule.h"
#include "widgettexts.h"

#include <vellumix/startup.h>

#include <QAction>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QRandomGenerator>
#include <QTimer>
#include <QWidget>

#include <algorithm>

namespace vellumix {

namespace {

using WidgetMsg::text;

// A timer never sleeps longer than this: the next check is compared with the wall clock when it
// fires, so a computer that slept through the due time checks soon after it wakes.
constexpr qint64 kLongestTimerMs = 10 * 60 * 1000;

QString programRootOf(const UpdateClientSettings &client)
{
    return client.programRoot.isEmpty() ? QCoreApplication::applicationDirPath() : client.programRoot;
}

/*
    The hand-over at the application's quit. It belongs to the application object, not to the
    interface: a main window that deletes itself when closed (Qt::WA_DeleteOnClose) takes the
    interface with it before QCoreApplication::aboutToQuit, and the update chosen for the quit
    must still be handed to the updater then.
*/
class HandOverAtQuit : public QObject
{
public:
    HandOverAtQuit(SoftwareUpdatePrivate *owner, const UpdateClientSettings &client,
                   const QString &stage, bool quiet)
        : QObject(QCoreApplication::instance()), owner(owner), client(client), stage(stage),
          quiet(quiet)
    {
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                [this] { handOver(); });
    }
    void handOver();

    SoftwareUpdatePrivate *owner; // null once the interface is gone
    UpdateClientSettings client;
    QString stage;
    bool quiet;
    bool done = false;
};

} // namespace

class SoftwareUpdatePrivate
{
public:
    SoftwareUpdatePrivate(SoftwareUpdate *owner, SoftwareUpdateSettings given, QWidget *parent)
        : q(owner), settings(std::move(given)), window(parent),
          recordPath(scheduleRecordPath(programRootOf(settings.client)))
    {
        record = readScheduleRecord(recordPath);
    }

    QString applicationName() const
    {
        if (!settings.applicationName.isEmpty())
            return settings.applicationName;
        const QString name = QGuiApplication::applicationDisplayName();
        return name.isEmpty() ? QCoreApplication::applicationName() : name;
    }

    // The "Software Update" window, made once (hidden until a page is shown).
    UpdateDialog *dialogWindow()
    {
        if (!dialog) {
            dialog = new UpdateDialog(window);
            QObject::connect(dialog, &UpdateDialog::installRequested, q, [this] { startDownload(); });
            QObject::connect(dialog, &UpdateDialog::retryRequested, q, [this] { startDownload(); });
            QObject::connect(dialog, &UpdateDialog::remindRequested, q, [this] { remindLater(); });
            QObject::connect(dialog, &UpdateDialog::skipRequested, q, [this] { skipOffered(); });
            QObject::connect(dialog, &UpdateDialog::cancelRequested, q, [this] { cancel(); });
            QObject::connect(dialog, &UpdateDialog::installOnQuitRequested, q,
                             [this] { armInstallOnQuit(); });
            QObject::connect(dialog, &UpdateDialog::restartRequested, q, [this] { restartNow(); });
            QObject::connect(dialog, &UpdateDialog::dismissed, q, [this] {
                if (state == SoftwareUpdate::State::Offering)
                    setState(SoftwareUpdate::State::Idle);
            });
        }
        return dialog;
    }

    void setState(SoftwareUpdate::State next)
    {
        if (state == next)
            return;
        state = next;
        emit q->stateChanged(next);
    }

    UpdateClient &clientFor(bool explicitCheck)
    {
        std::unique_ptr<UpdateClient> &client = explicitCheck ? explicitClient : quietClient;
        if (!client) {
            UpdateClientSettings clientSettings = settings.client;
            clientSettings.ignoreRollout = explicitCheck;
            client = std::make_unique<UpdateClient>(clientSettings);
        }
        return *client;
    }

    // --- The schedule ---------------------------------------------------------------------

    void scheduleNext()
    {
        if (!started || !settings.automaticChecks)
            return;
        auto *random = QRandomGenerator::global();
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const qint64 wait = msUntilNextCheck(record.lastCheck, now,
                                             std::max<qint64>(60, settings.checkIntervalSeconds) * 1000,
                                             random->generateDouble() * 2 - 1,
                                             qint64(settings.firstCheckWithinSeconds) * 1000,
                                             random->generateDouble());
        nextCheck = now.addMSecs(wait);
        armTimer();
    }

    void scheduleAfter(qint64 wait)
    {
        if (!started || !settings.automaticChecks)
            return;
        nextCheck = QDateTime::currentDateTimeUtc().addMSecs(wait);
        armTimer();
    }

    void armTimer()
    {
        const qint64 left = QDateTime::currentDateTimeUtc().msecsTo(nextCheck);
        timer.start(int(std::clamp<qint64>(left, 0, kLongestTimerMs)));
    }

    void timerFired()
    {
        if (QDateTime::currentDateTimeUtc().msecsTo(nextCheck) > 500) {
            armTimer();
            return;
        }
        q->checkInBackground();
    }

    // --- Checks ---------------------------------------------------------------------------

    void startCheck(bool explicitCheck)
    {
        // The time is kept when the check is made, so that an application killed during it does
        // not check again at its next start.
        record = readScheduleRecord(recordPath);
        record.lastCheck = QDateTime::currentDateTimeUtc();
        if (!writeScheduleRecord(recordPath, record))
            qWarning("update: the time of this check could not be kept in %s", qUtf8Printable(recordPath));
        UpdateClient &client = clientFor(explicitCheck);
        checkIsExplicit = explicitCheck;
        checking = &client;
        check = client.check();
        UpdateCheck *started = check;
        QObject::connect(started, &UpdateCheck::finished, q, [this, started] { checkEnded(started); });
        setState(SoftwareUpdate::State::Checking);
        if (explicitCheck)
            dialogWindow()->showChecking();
    }

    void checkEnded(UpdateCheck *ended)
    {
        ended->deleteLater();
        if (ended != check)
            return; // a quiet check that an explicit one replaced
        check = nullptr;
        const UpdateFailure failure = ended->failure();
        const UpdateInfo update = ended->update();
        const bool explicitCheck = checkIsExplicit;
        setState(SoftwareUpdate::State::Idle);
        scheduleNext();
        emit q->checkFinished(failure, update);
        if (failure.reason == UpdateFailureReason::Cancelled) {
            if (explicitCheck && dialog)
                dialog->hide();
            return;
        }
        if (!failure.ok()) {
            // A quiet check says nothing of a failure: the next one tries again.
            if (explicitCheck)
                dialogWindow()->showMessage(UpdateDialog::Tone::Warning,
                                           text(WidgetMsg::checkFailedHeading), failure.userText());
            return;
        }
        if (update.isAvailable()) {
            const bool skipped = update.sequence() == record.skippedSequence
                && record.skippedChannel == settings.client.channel;
            if (!explicitCheck && skipped && !update.isCritical())
                return;
            offer(update);
            return;
        }
        if (!explicitCheck)
            return;
        if (update.hasFailedHere()) {
            dialogWindow()->showMessage(UpdateDialog::Tone::Information,
                                       text(WidgetMsg::failedHereHeading),
                                       update.failedHere().userText());
            return;
        }
        dialogWindow()->showMessage(UpdateDialog::Tone::Information, text(WidgetMsg::upToDateHeading),
                                   text(WidgetMsg::upToDateText)
                                       .arg(applicationName(), settings.installedVersion));
    }

    void offer(const UpdateInfo &update)
    {
        offered = update;
        offeredBy = checking;
        setState(SoftwareUpdate::State::Offering);
        // An offer of a scheduled check appears without taking the keyboard, so that keys typed
        // into the application meanwhile never answer it; an explicit check's offer takes it.
        dialogWindow()->showOffer(applicationName(), update.version(), settings.installedVersion,
                                 update.notes(), update.downloadBytes(), update.isCritical(),
                                 checkIsExplicit || dialog->isActiveWindow());
    }

    // --- The user's answers ---------------------------------------------------------------

    void startDownload()
    {
        if (!offered.isValid() || !offeredBy || download)
            return;
        download = offeredBy->download(offered);
        UpdateDownload *started = download;
        QObject::connect(started, &UpdateDownload::progressChanged, q,
                         [this](const DownloadProgress &progress) {
                             if (dialog)
                                 dialog->setProgress(progress);
                         });
        QObject::connect(started, &UpdateDownload::finished, q,
                         [this, started] { downloadEnded(started); });
        setState(SoftwareUpdate::State::Downloading);
        dialogWindow()->showDownload(applicationName(), offered.version());
    }

    void downloadEnded(UpdateDownload *ended)
    {
        ended->deleteLater();
        download = nullptr;
        const UpdateFailure failure = ended->failure();
        if (failure.ok()) {
            stagingDirectory = ended->stagingDirectory();
            setState(SoftwareUpdate::State::ReadyToInstall);
            dialogWindow()->showReady(applicationName(), offered.version());
            return;
        }
        if (failure.reason == UpdateFailureReason::Cancelled) {
            // What arrived stays staged: the next download of this release resumes there.
            if (dialog)
                dialog->hide();
            setState(SoftwareUpdate::State::Idle);
            return;
        }
        qWarning("update: the download failed: %s", qUtf8Printable(failure.detail));
        setState(SoftwareUpdate::State::Offering);
        dialogWindow()->showMessage(UpdateDialog::Tone::Warning, text(WidgetMsg::downloadFailedHeading),
                                   failure.userText(), true);
    }

    void remindLater()
    {
        if (dialog)
            dialog->hide();
        setState(SoftwareUpdate::State::Idle);
    }

    void skipOffered()
    {
        if (!offered.isValid() || offered.isCritical())
            return;
        record = readScheduleRecord(recordPath);
        record.skippedChannel = settings.client.channel;
        record.skippedSequence = offered.sequence();
        record.skippedVersion = offered.version();
        if (!writeScheduleRecord(recordPath, record))
            qWarning("update: the skipped version could not be kept in %s", qUtf8Printable(recordPath));
        remindLater();
    }

    void cancel()
    {
        if (check)
            check->cancel();
        else if (download)
            download->cancel();
        else if (dialog)
            dialog->hide();
    }

    void armInstallOnQuit()
    {
        installOnQuit = true;
        if (!handOverAtQuit && QCoreApplication::instance())
            handOverAtQuit = new HandOverAtQuit(this, settings.client, stagingDirectory,
                                                settings.quietUpdater);
        if (dialog)
            dialog->hide();
    }

    void restartNow()
    {
        // The stage is checked before anything closes: a stage that would not be installed is
        // reported here, with the application still open.
        const UpdateFailure failure =
            verifyStagedUpdate(settings.client.programRoot, stagingDirectory, settings.client.channel,
                               settings.client.builtInSequence);
        if (!failure.ok()) {
            qWarning("update: the stage cannot be installed: %s", qUtf8Printable(failure.detail));
            setState(SoftwareUpdate::State::Offering);
            dialogWindow()->showMessage(UpdateDialog::Tone::Warning,
                                       text(WidgetMsg::downloadFailedHeading), failure.userText(), true);
            return;
        }
        // Quitting runs the hand-over (on aboutToQuit). A window that refuses to close (unsaved
        // work) keeps the application running, and the update waits for its quit.
        armInstallOnQuit();
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }

    void handedOver(const UpdateFailure &failure)
    {
        if (failure.ok()) {
            setState(SoftwareUpdate::State::HandedOver);
        } else {
            // Asked for at the next start again: the stage is kept, and the next check finds it.
            record = readScheduleRecord(recordPath);
            record.lastCheck = QDateTime();
            writeScheduleRecord(recordPath, record);
        }
        emit q->handedOver(failure);
    }

    SoftwareUpdate *q;
    SoftwareUpdateSettings settings;
    QPointer<QWidget> window;
    QPointer<UpdateDialog> dialog;
    QAction *action = nullptr;
    SoftwareUpdate::State state = SoftwareUpdate::State::Idle;

    std::unique_ptr<UpdateClient> quietClient;
    std::unique_ptr<UpdateClient> explicitClient;
    UpdateClient *checking = nullptr;   // the client of the running or last check
    UpdateClient *offeredBy = nullptr;  // the client whose check found `offered`
    QPointer<UpdateCheck> check;
    bool checkIsExplicit = false;
    QPointer<UpdateDownload> download;
    UpdateInfo offered;
    QString stagingDirectory;
    bool installOnQuit = false;
    QPointer<HandOverAtQuit> handOverAtQuit;

    bool started = false;
    QTimer timer;
    QDateTime nextCheck;
    QString recordPath;
    ScheduleRecord record;
};

void HandOverAtQuit::handOver()
{
    if (done)
        return;
    done = true;
    const UpdateFailure failure = startUpdater(client.programRoot, stage, quiet, client.channel,
                                               client.builtInSequence);
    if (failure.ok()) {
        qInfo("update: the updater was started for %s", qUtf8Printable(stage));
    } else {
        qWarning("update: the updater was not started: %s (%s)", qUtf8Printable(failure.userText()),
                 qUtf8Printable(failure.detail));
        if (!owner) {
            // The interface is gone: the next start checks at once and offers the update again.
            const QString path = scheduleRecordPath(programRootOf(client));
            ScheduleRecord record = readScheduleRecord(path);
            record.lastCheck = QDateTime();
            writeScheduleRecord(path, record);
        }
    }
    if (owner)
        owner->handedOver(failure);
}

SoftwareUpdate::SoftwareUpdate(SoftwareUpdateSettings settings, QWidget *window)
    : QObject(window), d(std::make_unique<SoftwareUpdatePrivate>(this, std::move(settings), window))
{
    d->action = new QAction(text(WidgetMsg::checkAction), this);
    d->action->setToolTip(text(WidgetMsg::checkActionTip));
    d->action->setMenuRole(QAction::ApplicationSpecificRole);
    connect(d->action, &QAction::triggered, this, &SoftwareUpdate::checkForUpdates);
    d->timer.setSingleShot(true);
    connect(&d->timer, &QTimer::timeout, this, [this] { d->timerFired(); });
    d->dialogWindow();
}

SoftwareUpdate::~SoftwareUpdate()
{
    if (d->handOverAtQuit)
        d->handOverAtQuit->owner = nullptr;
    delete d->dialog.data();
}

const SoftwareUpdateSettings &SoftwareUpdate::settings() const { return d->settings; }
SoftwareUpdate::State SoftwareUpdate::state() const { return d->state; }
QAction *SoftwareUpdate::checkForUpdatesAction() const { return d->action; }
QDateTime SoftwareUpdate::lastCheckTime() const { return d->record.lastCheck; }
QDateTime SoftwareUpdate::nextCheckTime() const { return d->started ? d->nextCheck : QDateTime(); }
bool SoftwareUpdate::installsOnQuit() const { return d->installOnQuit; }
QWidget *SoftwareUpdate::window() const { return d->dialog.data(); }

qint32 SoftwareUpdate::skippedSequence() const
{
    return d->record.skippedChannel == d->settings.client.channel ? d->record.skippedSequence : 0;
}

void SoftwareUpdate::start()
{
    if (d->started)
        return;
    d->started = true;
    d->record = readScheduleRecord(d->recordPath);
    d->scheduleNext();
}

void SoftwareUpdate::showOutcome(const UpdateOutcome &outcome)
{
    if (!outcome.isValid())
        return;
    if (outcome.result == UpdateResult::Installed) {
        d->dialogWindow()->showMessage(UpdateDialog::Tone::Information,
                                      text(WidgetMsg::updatedHeading).arg(outcome.version), QString());
    } else {
        d->dialogWindow()->showMessage(UpdateDialog::Tone::Warning,
                                      text(WidgetMsg::notUpdatedHeading).arg(outcome.version),
                                      outcome.userText());
    }
}

void SoftwareUpdate::checkForUpdates()
{
    switch (d->state) {
    case State::Offering:
        if (d->offered.isValid()) {
            d->checkIsExplicit = true;
            d->offer(d->offered);
        }
        return;
    case State::Downloading:
        d->dialogWindow()->show();
        d->dialog->raise();
        d->dialog->activateWindow();
        return;
    case State::ReadyToInstall:
        d->dialogWindow()->showReady(d->applicationName(), d->offered.version());
        return;
    case State::HandedOver:
        return;
    case State::Checking:
        if (d->checkIsExplicit) {
            d->dialogWindow()->showChecking();
            return;
        }
        // The person asked: their check replaces the quiet one.
        if (d->check)
            d->check->cancel();
        break;
    case State::Idle:
        break;
    }
    d->startCheck(true);
}

void SoftwareUpdate::checkInBackground()
{
    if (d->state != State::Idle) {
        // Busy with an update (offered, downloading, ready): the next check comes an interval on.
        d->scheduleAfter(std::max<qint64>(60, d->settings.checkIntervalSeconds) * 1000);
        return;
    }
    d->startCheck(false);
}

} // namespace vellumix
