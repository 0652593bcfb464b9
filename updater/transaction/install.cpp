#include "install.h"

#include "coreedge.h"
#include "journal.h"
#include "linkguard.h"
#include "messages.h"
#include "osbridge.h"
#include "platform.h"
#include "rollback.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStorageInfo>
#include <QUuid>

namespace vellumix {

namespace {

constexpr qint64 kSpaceReserve = 33554432; // 32 MiB beyond the files to be installed

struct InstallItem
{
    QString path;
    bool hadOld = false;
};

/*
    The scan of the old backup refuses every link before anything is removed. It lists hidden and
    system entries too: the removal that follows visits them, so a link among them would
    otherwise be removed or followed unseen. An entry whose attributes cannot be read is refused
    like a link.
*/
void clearOldBackup(const QString &backupDirectory)
{
    orThrow(ensureNoLinksOnPath(backupDirectory));
    if (!QFileInfo::exists(backupDirectory))
        return;
    QDirIterator it(backupDirectory,
                    QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        if (os::linkStatus(osText(it.next())) != os::LinkStatus::NotALink)
            throw Msg::backupContainsLink;
    }
    if (!QDir(backupDirectory).removeRecursively())
        throw Msg::cannotClearOldBackup;
}

// The first phase: finds the files that differ and checks their staged copies. Changes no
// program file.
QList<InstallItem> planInstall(const QString &programRoot, const QString &stagingDirectory,
                               const UpdateManifest &manifest, qint64 &spaceRequired)
{
    const QString stagedFiles = stagingDirectory + u'/' + protocol::kStageFilesFolder;
    QList<InstallItem> items;
    spaceRequired = kSpaceReserve;
    for (const ManifestFile &file : manifest.files) {
        orThrow(ensureSafePathBelow(programRoot, file.path));
        const QString target = QDir(programRoot).filePath(file.path);
        if (fileSha256Hex(target) == file.sha256)
            continue;
        spaceRequired += file.size;

        orThrow(ensureSafePathBelow(stagedFiles, file.path));
        const QString staged = stagedFiles + u'/' + file.path;
        if (fileSha256Hex(staged) != file.sha256 || QFileInfo(staged).size() != file.size)
            throw Msg::stagedFileInvalid + file.path;
        items.append({file.path, QFileInfo::exists(target)});
    }
    return items;
}

void ensureFreeSpace(const QString &programRoot, qint64 spaceRequired)
{
    const QStorageInfo volume(programRoot);
    if (volume.isValid() && volume.bytesAvailable() <= spaceRequired)
        throw Msg::notEnoughDiskSpace;
}

// Replaces one file: its journal entry is on disk before the file is touched.
void installItem(const QString &programRoot, const QString &stagingDirectory,
                 const InstallItem &item, const QByteArray &expectedDigest,
                 GrowingJournal &journal)
{
    journal.appendEntry(item.path, item.hadOld);
    orThrow(writeTransactionJournal(programRoot, journal));

    const QString target = QDir(programRoot).filePath(item.path);
    if (item.hadOld) {
        const QString backupFile =
            backupDirectoryOf(orThrow(workDirectoryPath(programRoot))) + u'/' + item.path;
        if (!QDir().mkpath(QFileInfo(backupFile).absolutePath())
            || !os::moveNoReplace(osText(target), osText(backupFile)))
            throw Msg::fileInUseOrDirectoryReadOnly + item.path;
    }
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        throw Msg::installFileFailed + item.path;
    const QString staged = stagingDirectory + u'/' + protocol::kStageFilesFolder + u'/' + item.path;
    if (!os::copyFileExclusive(osText(staged), osText(target)))
        throw Msg::installFileFailed + item.path;
    if (fileSha256Hex(target) != expectedDigest)
        throw Msg::installedFileInvalid;
}

} // namespace

void installUpdate(const QString &programRoot, const QString &stagingDirectory,
                   const UpdateManifest &manifest)
{
    // First phase: checks only; no program file changes.
    if (isTransactionUnfinished(orThrow(readTransactionJournal(programRoot))))
        throw Msg::previousUpdateUnfinished;
    const QString workDirectory = orThrow(workDirectoryPath(programRoot));
    if (!QDir().mkpath(workDirectory))
        throw Msg::programDirectoryNotWritable;

    QHash<QString, QByteArray> expectedDigests;
    for (const ManifestFile &file : manifest.files)
        expectedDigests.insert(file.path, file.sha256);

    qint64 spaceRequired = 0;
    const QList<InstallItem> items =
        planInstall(programRoot, stagingDirectory, manifest, spaceRequired);
    ensureFreeSpace(programRoot, spaceRequired);
    clearOldBackup(backupDirectoryOf(workDirectory));

    // Second phase: every change is recorded in the journal before it is made.
    GrowingJournal journal(newTransactionJournal(
        manifest.version, manifest.sequence, QUuid::createUuid().toString(QUuid::WithoutBraces)));
    orThrow(writeTransactionJournal(programRoot, journal));
    try {
        for (const InstallItem &item : items)
            installItem(programRoot, stagingDirectory, item, expectedDigests.value(item.path),
                        journal);
        /*
            The copies are not flushed one by one: one flush of the file system before the journal
            leaves "installing" puts all of them on stable storage at once, which costs far less
            than a flush per file when an update has thousands of small files. Until then the
            journal still says "installing", so a power cut before this point is rolled back.
            When every file was already current nothing was copied, and the flush, which would
            only wait for whatever else is being written on the volume, is left out.
        */
        if (!items.isEmpty() && !os::flushFileSystem(osText(programRoot)))
            throw Msg::cannotSaveUpdateFile;
        journal.setState(JournalState::starting);
        orThrow(writeTransactionJournal(programRoot, journal));
    } catch (const QString &) {
        TransactionJournal held = journal.object();
        rollbackTransaction(programRoot, held);
        throw;
    }
}

} // namespace vellumix
