#include "sampleapp.h"

#include "healthrecord.h"
#include "selfupdate.h"
#include "updateprotocol.h"
#include "workdirectory.h"

#include <vellumix/startup.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTextStream>
#include <QThread>

namespace sampleapp {

namespace {

using vellumix::protocol::kProbeOption;

// Lines for whoever watches the application: the file named by VELLUMIX_SAMPLE_LOG when it is set
// (the demo and the tests follow the application there), otherwise standard error.
void note(const QString &line)
{
    const QString logPath = qEnvironmentVariable("VELLUMIX_SAMPLE_LOG");
    if (logPath.isEmpty()) {
        QTextStream(stderr) << "Vellumix: " << line << Qt::endl;
        return;
    }
    QFile log(logPath);
    if (log.open(QIODevice::WriteOnly | QIODevice::Append))
        log.write(line.toUtf8() + '\n');
}

QJsonObject readJsonObject(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

// The misbehaving confirmations that the tests need are written by hand, through the health
// file's own writer; a proper one goes through the client library like a real application's.
bool writeHealthFile(const QString &workDirectory, const vellumix::HealthRecord &health)
{
    return vellumix::writeHealthRecord(workDirectory, health).ok();
}

int runProbe(const QString &programRoot, const Settings &settings, const QString &token)
{
    note(QStringLiteral("version %1 started for its health probe (%2), process %3")
             .arg(settings.version, settings.behaviour)
             .arg(QCoreApplication::applicationPid()));
    const QString workDirectory = vellumix::WorkDirectory::ofProgramRoot(programRoot).path();
    const QString &b = settings.behaviour;
    if (b == u"exit")
        return 3;
    if (b == u"never") {
        QThread::msleep(settings.runMs);
        return 0;
    }
    QThread::msleep(settings.delayMs);
    bool written = false;
    if (b == u"wrong-token" || b == u"number-version") {
        const vellumix::HealthRecord health =
            b == u"wrong-token"
            ? vellumix::HealthRecord(QStringLiteral("00000000-0000-0000-0000-000000000000"),
                                     settings.version)
            : vellumix::HealthRecord(token, settings.version.toDouble());
        written = writeHealthFile(workDirectory, health);
    } else {
        vellumix::UpdateFailure failure;
        vellumix::confirmStartIfProbed(QCoreApplication::arguments(), settings.version, programRoot,
                                       &failure);
        written = failure.ok();
    }
    if (!written) {
        note(QStringLiteral("cannot write the health file"));
        return 1;
    }
    note(QStringLiteral("version %1 confirmed its start").arg(settings.version));
    if (b != u"confirm-exit")
        QThread::msleep(settings.runMs);
    return 0;
}

// The sequence of the staged update, read from its payload. The updater checks the signature;
// the application only needs to know whether the update is newer than what is installed.
qint32 stagedSequence(const QString &stagingDirectory)
{
    const QJsonObject envelope =
        readJsonObject(stagingDirectory + u'/' + vellumix::protocol::kManifestFileName);
    const QByteArray payload =
        QByteArray::fromBase64(envelope.value(QStringLiteral("payload")).toString().toLatin1());
    return QJsonDocument::fromJson(payload).object().value(QStringLiteral("sequence")).toInt();
}

qint32 installedSequence(const QString &programRoot, const Settings &settings)
{
    const auto installed = vellumix::installedRelease(programRoot);
    return installed ? installed->sequence : settings.sequence;
}

int applyUpdate(const QString &programRoot, const Settings &settings,
                const QString &stagingDirectory, bool quiet)
{
    const qint32 staged = stagedSequence(stagingDirectory);
    const qint32 installed = installedSequence(programRoot, settings);
    if (staged <= installed) {
        note(QStringLiteral("refusing the staged update: its sequence %1 is not above the "
                            "installed %2").arg(staged).arg(installed));
        return 2;
    }
    if (const vellumix::UpdateFailure failure =
            vellumix::startUpdater(programRoot, stagingDirectory, quiet, QStringLiteral("stable"),
                                   settings.sequence);
        !failure.ok()) {
        note(QStringLiteral("cannot start the updater: %1").arg(failure.detail));
        return 1;
    }
    note(QStringLiteral("version %1 started the updater for sequence %2 and exits")
             .arg(settings.version).arg(staged));
    return 0;
}

// Checks the feed, downloads what changed with progress lines in the log, and starts the updater.
int checkForUpdate(const QString &programRoot, const Settings &settings, const QString &feed,
                   const QString &stagingDirectory)
{
    vellumix::UpdateClientSettings clientSettings;
    clientSettings.feed = vellumix::feedUrlFromUserInput(feed);
    clientSettings.programRoot = programRoot;
    clientSettings.builtInSequence = settings.sequence;
    clientSettings.stagingDirectory = stagingDirectory;
    SelfUpdate update(clientSettings, note);
    int outcome = 1;
    QObject::connect(&update, &SelfUpdate::finished, &update, [&](int result) {
        outcome = result;
        QCoreApplication::quit();
    });
    update.start();
    QCoreApplication::exec();
    if (outcome == 0)
        note(QStringLiteral("version %1 started the updater and exits").arg(settings.version));
    return outcome == 2 ? 0 : outcome;
}

} // namespace

Settings readSettings(const QString &programRoot)
{
    const QJsonObject json = readJsonObject(QDir(programRoot).filePath(kSettingsFile));
    Settings settings;
    settings.version = json.value(QStringLiteral("version")).toString(settings.version);
    settings.sequence = json.value(QStringLiteral("sequence")).toInt(settings.sequence);
    settings.behaviour = json.value(QStringLiteral("behaviour")).toString(settings.behaviour);
    settings.delayMs = json.value(QStringLiteral("delayMs")).toInt(settings.delayMs);
    settings.runMs = json.value(QStringLiteral("runMs")).toInt(settings.runMs);
    return settings;
}

int run(const QStringList &arguments)
{
    const QString programRoot = QCoreApplication::applicationDirPath();
    const Settings settings = readSettings(programRoot);
    const bool quiet = arguments.contains(QStringLiteral("--quiet"));

    for (const QString &argument : arguments) {
        if (argument.startsWith(kProbeOption))
            return runProbe(programRoot, settings, argument.mid(kProbeOption.size()));
    }
    const qsizetype apply = arguments.indexOf(QStringLiteral("--apply-update"));
    if (apply >= 0 && apply + 1 < arguments.size())
        return applyUpdate(programRoot, settings, arguments.at(apply + 1), quiet);

    const qsizetype check = arguments.indexOf(QStringLiteral("--check-update"));
    if (check >= 0 && check + 1 < arguments.size()) {
        const qsizetype stage = arguments.indexOf(QStringLiteral("--stage"));
        return checkForUpdate(programRoot, settings, arguments.at(check + 1),
                              stage >= 0 ? arguments.value(stage + 1) : QString());
    }

    // A normal start: an update left unfinished is rolled back before the program is used. The
    // recovery run starts the application again when it is done.
    const vellumix::StartupDecision startup =
        vellumix::handleStartup(arguments, settings.version, programRoot, quiet);
    if (startup.action == vellumix::StartupAction::Quit) {
        note(QStringLiteral("version %1 found an unfinished update and starts the recovery")
                 .arg(settings.version));
        return startup.failure.ok() ? 0 : 1;
    }
    note(QStringLiteral("version %1 started").arg(settings.version));
    if (startup.outcome.isValid())
        note(QStringLiteral("last update: %1 (%2%3)")
                 .arg(startup.outcome.userText(), startup.outcome.resultName(),
                      startup.outcome.failed() ? QStringLiteral(", ") + startup.outcome.reasonName()
                                               : QString()));
    QThread::msleep(settings.runMs);
    return 0;
}

} // namespace sampleapp
