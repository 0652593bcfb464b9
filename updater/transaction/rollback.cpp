#include "rollback.h"

#include "coreedge.h"
#include "linkguard.h"
#include "messages.h"
#include "osbridge.h"
#include "platform.h"
#include "updateprotocol.h"
#include "workdirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace vellumix {

namespace {

// Undoes one entry. The state of its file is read off the disk: a backup file means the old
// version was moved away; no backup file and no old version means whatever stands at the target
// was put there by the install; no backup file but an old version means it was never moved.
void restoreEntry(const QString &programRoot, const JournalEntry &entry)
{
    const QString &path = entry.path;
    orThrow(ensureSafePathBelow(programRoot, path));
    const QString target = programRoot + u'/' + path;
    const QString backupDirectory = backupDirectoryOf(orThrow(workDirectoryPath(programRoot)));
    const QString backupFile = backupDirectory + u'/' + path;
    orThrow(ensureSafePathBelow(backupDirectory, path));

    if (QFileInfo::exists(backupFile)) {
        if (QFileInfo::exists(target) && !QFile::remove(target))
            throw Msg::restoreTargetInUse;
        if (!QDir().mkpath(QFileInfo(target).absolutePath()))
            throw Msg::cannotRestoreOldFile;
        if (!os::moveNoReplace(osText(backupFile), osText(target)))
            throw Msg::cannotRestoreOldFile;
        return;
    }
    if (!entry.hadOld && QFileInfo::exists(target) && !QFile::remove(target))
        throw Msg::cannotRemoveNewFile;
}

} // namespace

QString backupDirectoryOf(const QString &workDirectory)
{
    return WorkDirectory::at(workDirectory).backupFolder();
}

void rollbackTransaction(const QString &programRoot, TransactionJournal &journal)
{
    orThrow(ensureNoLinksOnPath(backupDirectoryOf(orThrow(workDirectoryPath(programRoot)))));

    const QList<JournalEntry> entries = journalEntries(journal);
    for (qsizetype i = entries.size() - 1; i >= 0; --i)
        restoreEntry(programRoot, entries.at(i));

    /*
        The restored files must be on stable storage before the journal says "rolledback": a
        power cut after that state is durable but before the moves are would leave a program that
        no later run rolls back.
    */
    if (!os::flushFileSystem(osText(programRoot)))
        throw Msg::cannotSaveUpdateFile;

    setJournalState(journal, JournalState::rolledBack);
    orThrow(writeTransactionJournal(programRoot, journal));
}

} // namespace vellumix
