#include "startup.h"

#include "fileio.h"
#include "linkguard.h"
#include "manifest.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

namespace vellumix {

namespace {

const QString kProbeOption = QStringLiteral("--vellumix-update-probe=");
constexpr qint64 kRecordMaxBytes = 64 * 1024;
// The journal lists every file of an update; a release at the limits writes a few megabytes.
constexpr qint64 kJournalMaxBytes = 64 * 1024 * 1024;

QString rootOrDefault(const QString &programRoot)
{
    return QFileInfo(programRoot.isEmpty() ? QCoreApplication::applicationDirPath() : programRoot)
        .absoluteFilePath();
}

QString workDirectoryOf(const QString &programRoot)
{
    return QDir(rootOrDefault(programRoot)).filePath(QStringLiteral(".vellumix-update"));
}

// A JSON object read leniently: anything unreadable is an empty object.
QJsonObject readObject(const QString &path, qint64 maxBytes)
{
    try {
        if (!QFileInfo(path).isFile())
            return QJsonObject();
        return QJsonDocument::fromJson(readFileLimited(path, maxBytes)).object();
    } catch (const QString &) {
        return QJsonObject();
    }
}

} // namespace

std::optional<InstalledRelease> installedRelease(const QString &programRoot)
{
    const QJsonObject record =
        readObject(workDirectoryOf(programRoot) + QStringLiteral("/installed.json"), kRecordMaxBytes);
    const QJsonValue sequence = record.value(QStringLiteral("sequence"));
    const int value = sequence.toInt(-1);
    if (!sequence.isDouble() || value < kManifestMinSequence || value > kManifestMaxSequence)
        return std::nullopt;
    return InstalledRelease{value, record.value(QStringLiteral("version")).toString()};
}

bool confirmStartIfProbed(const QStringList &arguments, const QString &version,
                          const QString &programRoot, UpdateFailure *failure)
{
    QString token;
    bool probed = false;
    for (const QString &argument : arguments) {
        if (argument.startsWith(kProbeOption)) {
            token = argument.mid(kProbeOption.size());
            probed = true;
            break;
        }
    }
    if (!probed)
        return false;
    const QString workDirectory = workDirectoryOf(programRoot);
    const QJsonObject health{{QStringLiteral("token"), token},
                             {QStringLiteral("version"), version}};
    try {
        // Written whole or not at all, so the updater never reads half of it.
        ensureNoLinksOnPath(workDirectory);
        writeFileAtomic(workDirectory + QStringLiteral("/health.json"),
                        QJsonDocument(health).toJson(QJsonDocument::Compact));
    } catch (const QString &text) {
        if (failure)
            *failure = {UpdateFailureReason::WorkDirectoryFailed, workDirectory + u' ' + text};
    }
    return true;
}

bool recoveryPending(const QString &programRoot)
{
    const QString state =
        readObject(workDirectoryOf(programRoot) + QStringLiteral("/transaction.json"),
                   kJournalMaxBytes)
            .value(QStringLiteral("state"))
            .toString();
    return state == u"installing" || state == u"starting" || state == u"rollback-needed";
}

static UpdaterCommand updaterCommand(const QString &programRoot, QStringList arguments,
                                     quint32 parentId, bool quiet)
{
    const QString root = rootOrDefault(programRoot);
    arguments.prepend(root);
    arguments.prepend(QStringLiteral("--root"));
    if (parentId != 0)
        arguments << QStringLiteral("--parent") << QString::number(parentId);
    if (quiet)
        arguments << QStringLiteral("--quiet");
    return {QDir(root).filePath(QString::fromLatin1(kUpdaterProgramPath)), arguments, root};
}

UpdaterCommand applyCommand(const QString &programRoot, const QString &stagingDirectory,
                            quint32 parentId, bool quiet)
{
    return updaterCommand(programRoot,
                          {QStringLiteral("--stage"), QFileInfo(stagingDirectory).absoluteFilePath()},
                          parentId, quiet);
}

UpdaterCommand recoveryCommand(const QString &programRoot, quint32 parentId, bool quiet)
{
    return updaterCommand(programRoot, {QStringLiteral("--recover")}, parentId, quiet);
}

UpdateFailure ensureWorkDirectory(const QString &programRoot)
{
    const QString workDirectory = workDirectoryOf(programRoot);
    try {
        ensureNoLinksOnPath(workDirectory);
    } catch (const QString &text) {
        return {UpdateFailureReason::WorkDirectoryFailed, workDirectory + u' ' + text};
    }
    if (!QDir().mkpath(workDirectory))
        return {UpdateFailureReason::WorkDirectoryFailed,
                QStringLiteral("cannot create %1").arg(workDirectory)};
    return {};
}

UpdateFailure launchUpdater(const UpdaterCommand &command, const QString &programRoot)
{
    if (UpdateFailure failure = ensureWorkDirectory(programRoot); !failure.ok())
        return failure;
    if (!QProcess::startDetached(command.program, command.arguments, command.workingDirectory))
        return {UpdateFailureReason::UpdaterNotStarted,
                QStringLiteral("cannot start %1").arg(command.program)};
    return {};
}

UpdateFailure startUpdater(const QString &programRoot, const QString &stagingDirectory, bool quiet)
{
    if (!QFileInfo(stagingDirectory + QStringLiteral("/manifest.json")).isFile())
        return {UpdateFailureReason::NotStaged,
                QStringLiteral("%1 holds no complete update").arg(stagingDirectory)};
    return launchUpdater(applyCommand(programRoot, stagingDirectory,
                                      quint32(QCoreApplication::applicationPid()), quiet),
                         programRoot);
}

UpdateFailure startRecovery(const QString &programRoot, bool quiet)
{
    return launchUpdater(
        recoveryCommand(programRoot, quint32(QCoreApplication::applicationPid()), quiet),
        programRoot);
}

} // namespace vellumix
