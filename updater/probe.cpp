#include "probe.h"

#include "coreedge.h"
#include "healthrecord.h"
#include "installedrecord.h"
#include "messages.h"
#include "outcome.h"
#include "platform.h"
#include "rollback.h"
#include "updateprotocol.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

namespace vellumix {

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

    const QString workDirectory = orThrow(workDirectoryPath(programRoot));
    QElapsedTimer elapsed;
    elapsed.start();
    bool confirmed = false;
    bool ended = false;
    while (elapsed.elapsed() < timing.probeTimeMs) {
        if (orThrow(healthFileConfirms(workDirectory, token, version))) {
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
        confirmed = orThrow(healthFileConfirms(workDirectory, token, version));

    if (confirmed) {
        setJournalState(journal, JournalState::healthy);
        orThrow(writeTransactionJournal(programRoot, journal));
        orThrow(writeInstalledRecord(workDirectory, {sequence, version}));
        return ExitSuccess;
    }
    if (ended) {
        rollbackTransaction(programRoot, journal);
        restartMainProgram(programRoot);
        showMessage(Msg::newVersionFailedRestored);
        return ExitNewVersionEnded;
    }
    setJournalState(journal, JournalState::rollbackNeeded);
    orThrow(writeTransactionJournal(programRoot, journal));
    showMessage(Msg::newVersionUnconfirmed);
    return ExitNewVersionUnconfirmed;
}

} // namespace vellumix
