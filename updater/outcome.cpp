#include "outcome.h"

#include "journal.h"
#include "messages.h"
#include "osbridge.h"
#include "platform.h"
#include "rollback.h"

#include <QCoreApplication>
#include <QDebug>
#include <QProcess>

namespace vellumix {

void showMessage(const QString &text)
{
    if (QCoreApplication::arguments().contains(QStringLiteral("--quiet"), Qt::CaseSensitive)) {
        qWarning().noquote() << text;
        return;
    }
    os::showMessageBox(osText(Msg::messageTitle), osText(text));
}

void restartMainProgram(const QString &programRoot)
{
    QProcess::startDetached(programRoot + QStringLiteral("/Vellumix.exe"), {}, programRoot);
}

int reportFailure(const QString &message, const QString &programRoot, bool parentWaitDone)
{
    /*
        When the journal itself cannot be read (unreadable, damaged, or its directory refused as a
        link), nothing is known about the state of the program directory: an install may be half
        done. That is treated like a rollback that failed: the old program is not started, and the
        text says where the old files are kept, with exit code 6.
    */
    const CoreResult<TransactionJournal> read = readTransactionJournal(programRoot);
    if (!read.ok()) {
        showMessage(message + Msg::rollbackSeparator + read.error().updaterText()
                    + Msg::backupKeptTail);
        return ExitRollbackFailed;
    }
    TransactionJournal journal = *read;

    if (isTransactionUnfinished(journal)) {
        try {
            rollbackTransaction(programRoot, journal);
        } catch (const QString &rollbackProblem) {
            showMessage(message + Msg::rollbackSeparator + rollbackProblem + Msg::backupKeptTail);
            return ExitRollbackFailed;
        }
    }
    if (parentWaitDone && !isTransactionUnfinished(journal))
        restartMainProgram(programRoot);
    showMessage(Msg::failurePrefix + message + Msg::failureTail);
    return ExitHandledFailure;
}

} // namespace vellumix
