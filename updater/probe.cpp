#include "probe.h"

#include "fileio.h"
#include "linkguard.h"
#include "messages.h"
#include "outcome.h"
#include "platform.h"
#include "rollback.h"
#include "updateprotocol.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

namespace vellumix {

namespace {

// A health file is a few dozen bytes; anything beyond this is not a confirmation.
constexpr qint64 kHealthFileMaxBytes = 65536;

/*
    The health file is written by the application, not by the updater, so it is checked as it is
    read: the file itself must not be a link (the work directory and its ancestors are checked
    with it), and it must be an ordinary file of a sane size. A pipe or device planted under its
    name would otherwise block the read or fill the memory; neither is a confirmation.
*/
bool checkHealthFile(const QString &healthFile, const QString &token, const QString &version)
{
    ensureNoLinksOnPath(healthFile);
    const QFileInfo info(healthFile);
    if (!info.isFile() || info.size() > kHealthFileMaxBytes)
        return false;
    QFile file(healthFile);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray contents = file.read(kHealthFileMaxBytes + 1);
    file.close();
    return contents.size() <= kHealthFileMaxBytes && healthConfirmed(contents, token, version);
}

void writeInstalledRecord(const QString &programRoot, qint32 sequence, const QString &version)
{
    const QJsonObject record{{protocol::kInstalledSequenceMember, sequence},
                             {protocol::kInstalledVersionMember, version}};
    const QString workDirectory = workDirectoryPath(programRoot);
    writeFileAtomic(workDirectory + u'/' + protocol::kInstalledFileName,
                    QJsonDocument(record).toJson(QJsonDocument::Indented));
}

} // namespace

bool healthConfirmed(const QByteArray &contents, const QString &token, const QString &version)
{
    const QJsonDocument document = QJsonDocument::fromJson(contents);
    if (!document.isObject())
        return false;
    const QJsonObject health = document.object();
    return health.value(protocol::kHealthTokenMember) == QJsonValue(token)
        && health.value(protocol::kHealthVersionMember) == QJsonValue(version);
}

int probeNewVersion(const QString &programRoot, const QString &token, const QString &version,
                    qint32 sequence, TransactionJournal &journal, ProbeTiming timing)
{
    QProcess newVersion;
    newVersion.setProgram(programRoot + QStringLiteral("/Vellumix.exe"));
    newVersion.setArguments({protocol::kProbeOption + token});
    newVersion.setWorkingDirectory(programRoot);
    qint64 processId = 0;
    // The new version must stay observable by its id until it is opened below, even if it ends
    // at once; see keepDescendantsObservable.
    os::keepDescendantsObservable();
    if (!newVersion.startDetached(&processId))
        throw Msg::newVersionNotStarted;

    os::ProcessHandle handle;
    handle.open(std::uint32_t(quint64(processId) & 0xFFFFFFFFu));

    const QString healthFile = workDirectoryPath(programRoot) + u'/' + protocol::kHealthFileName;
    QElapsedTimer elapsed;
    elapsed.start();
    bool confirmed = false;
    bool ended = false;
    while (elapsed.elapsed() < timing.probeTimeMs) {
        if (checkHealthFile(healthFile, token, version)) {
            confirmed = true;
            break;
        }
        if (!handle.isOpen()) {
            QThread::msleep(timing.intervalMs);
        } else if (handle.wait(std::uint32_t(timing.intervalMs)) == os::WaitStatus::Ended) {
            ended = true;
            break;
        }
    }
    handle.close();
    // A confirmation written just before the new version ended, or just before the time ran out.
    if (!confirmed)
        confirmed = checkHealthFile(healthFile, token, version);

    if (confirmed) {
        journal.insert(QStringLiteral("state"), JournalState::healthy);
        writeTransactionJournal(programRoot, journal);
        writeInstalledRecord(programRoot, sequence, version);
        return ExitSuccess;
    }
    if (ended) {
        rollbackTransaction(programRoot, journal);
        restartMainProgram(programRoot);
        showMessage(Msg::newVersionFailedRestored);
        return ExitNewVersionEnded;
    }
    journal.insert(QStringLiteral("state"), JournalState::rollbackNeeded);
    writeTransactionJournal(programRoot, journal);
    showMessage(Msg::newVersionUnconfirmed);
    return ExitNewVersionUnconfirmed;
}

} // namespace vellumix
