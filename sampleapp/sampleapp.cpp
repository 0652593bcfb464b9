#include "sampleapp.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QTextStream>
#include <QThread>

namespace sampleapp {

namespace {

const QString kProbeOption = QStringLiteral("--vellumix-update-probe=");
const QString kWorkDirectory = QStringLiteral(".vellumix-update");

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

// The health file is written through a save-file, so the updater never reads half of it.
bool writeHealthFile(const QString &workDirectory, const QJsonObject &health)
{
    QSaveFile file(workDirectory + QStringLiteral("/health.json"));
    return file.open(QIODevice::WriteOnly)
        && file.write(QJsonDocument(health).toJson(QJsonDocument::Compact)) >= 0 && file.commit();
}

int runProbe(const QString &programRoot, const Settings &settings, const QString &token)
{
    note(QStringLiteral("version %1 started for its health probe (%2), process %3")
             .arg(settings.version, settings.behaviour)
             .arg(QCoreApplication::applicationPid()));
    const QString workDirectory = QDir(programRoot).filePath(kWorkDirectory);
    const QString &b = settings.behaviour;
    if (b == u"exit")
        return 3;
    if (b == u"never") {
        QThread::msleep(settings.runMs);
        return 0;
    }
    QThread::msleep(settings.delayMs);
    QJsonObject health{{QStringLiteral("token"), token}, {QStringLiteral("version"), settings.version}};
    if (b == u"wrong-token")
        health.insert(QStringLiteral("token"), QStringLiteral("00000000-0000-0000-0000-000000000000"));
    if (b == u"number-version")
        health.insert(QStringLiteral("version"), settings.version.toDouble());
    if (!writeHealthFile(workDirectory, health)) {
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
    const QJsonObject envelope = readJsonObject(stagingDirectory + QStringLiteral("/manifest.json"));
    const QByteArray payload =
        QByteArray::fromBase64(envelope.value(QStringLiteral("payload")).toString().toLatin1());
    return QJsonDocument::fromJson(payload).object().value(QStringLiteral("sequence")).toInt();
}

qint32 installedSequence(const QString &programRoot, const Settings &settings)
{
    const QJsonObject record = readJsonObject(
        QDir(programRoot).filePath(kWorkDirectory) + QStringLiteral("/installed.json"));
    return record.contains(QStringLiteral("sequence"))
        ? record.value(QStringLiteral("sequence")).toInt()
        : settings.sequence;
}

// Starts the updater from the program root, detached, for this process to end before it works.
bool startUpdater(const QString &programRoot, QStringList arguments, bool quiet)
{
    arguments << QStringLiteral("--root") << programRoot << QStringLiteral("--parent")
              << QString::number(QCoreApplication::applicationPid());
    if (quiet)
        arguments << QStringLiteral("--quiet");
    return QProcess::startDetached(programRoot + QStringLiteral("/VellumixUpdater.exe"), arguments,
                                   programRoot);
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
    // The updater takes its lock in the work directory and never creates it.
    if (!QDir().mkpath(QDir(programRoot).filePath(kWorkDirectory))) {
        note(QStringLiteral("cannot create the work directory"));
        return 1;
    }
    if (!startUpdater(programRoot, {QStringLiteral("--stage"), stagingDirectory}, quiet)) {
        note(QStringLiteral("cannot start the updater"));
        return 1;
    }
    note(QStringLiteral("version %1 started the updater for sequence %2 and exits")
             .arg(settings.version).arg(staged));
    return 0;
}

bool journalIsUnfinished(const QString &programRoot)
{
    const QJsonObject journal = readJsonObject(
        QDir(programRoot).filePath(kWorkDirectory) + QStringLiteral("/transaction.json"));
    const QString state = journal.value(QStringLiteral("state")).toString();
    return state == u"installing" || state == u"starting" || state == u"rollback-needed";
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

    // A normal start: an update left unfinished is rolled back before the program is used. The
    // recovery run starts the application again when it is done.
    if (journalIsUnfinished(programRoot)) {
        note(QStringLiteral("version %1 found an unfinished update and starts the recovery")
                 .arg(settings.version));
        return startUpdater(programRoot, {QStringLiteral("--recover")}, quiet) ? 0 : 1;
    }
    note(QStringLiteral("version %1 started").arg(settings.version));
    QThread::msleep(settings.runMs);
    return 0;
}

} // namespace sampleapp
