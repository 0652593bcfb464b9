#include "updatertexts.h"
#include "messages.h"

#include <QCoreApplication>

namespace Msg {

namespace {

struct Meaning
{
    const QString *text;
    const char *english;
    bool followedByName; // the text ends in "：" and a file's name or relative path follows it
};

// Every text of messages.h but the line break between rollback texts.
const Meaning kMeanings[] = {
    {&parentNotConfirmedGone, QT_TRANSLATE_NOOP("vellumix", "cannot confirm that the program has exited"), false},
    {&parentStillRunning, QT_TRANSLATE_NOOP("vellumix", "the program has not exited; the update was cancelled"), false},
    {&newVersionNotStarted, QT_TRANSLATE_NOOP("vellumix", "the new version did not start"), false},
    {&newVersionFailedRestored, QT_TRANSLATE_NOOP("vellumix", "the new version failed to start; the previous version was restored"), false},
    {&newVersionUnconfirmed, QT_TRANSLATE_NOOP("vellumix", "the new version has not confirmed its start; it was not closed, and the previous version is restored at the next start"), false},
    {&failurePrefix, QT_TRANSLATE_NOOP("vellumix", "the update did not finish:"), false},
    {&failureTail, QT_TRANSLATE_NOOP("vellumix", "the original files are kept; go on using the original version or try again"), false},
    {&backupKeptTail, QT_TRANSLATE_NOOP("vellumix", "the old files are kept in .vellumix-update/backup in the program directory"), false},
    {&messageTitle, QT_TRANSLATE_NOOP("vellumix", "Vellumix update"), false},
    {&manifestTooLarge, QT_TRANSLATE_NOOP("vellumix", "the update manifest is too large"), false},
    {&signatureRejected, QT_TRANSLATE_NOOP("vellumix", "the update's signature does not verify"), false},
    {&unsupportedUpdate, QT_TRANSLATE_NOOP("vellumix", "the update's format version is not supported"), false},
    {&fileListInvalid, QT_TRANSLATE_NOOP("vellumix", "the update's file list is invalid"), false},
    {&illegalOrDuplicatePath, QT_TRANSLATE_NOOP("vellumix", "the manifest holds an illegal or duplicate path"), false},
    {&fileChecksInvalid, QT_TRANSLATE_NOOP("vellumix", "the digest or size of an update file is invalid"), false},
    {&totalSizeExceeded, QT_TRANSLATE_NOOP("vellumix", "the update's total size exceeds the limit"), false},
    {&requiredProgramsMissing, QT_TRANSLATE_NOOP("vellumix", "the update manifest lacks a required program"), false},
    {&unsafeUpdatePath, QT_TRANSLATE_NOOP("vellumix", "the update path is unsafe"), false},
    {&workDirectoryHasLink, QT_TRANSLATE_NOOP("vellumix", "the update directory must not contain a link"), false},
    {&pathHasLinkOrJunction, QT_TRANSLATE_NOOP("vellumix", "the update directory must not contain a link or junction"), false},
    {&cannotReadFile, QT_TRANSLATE_NOOP("vellumix", "cannot read the file"), true},
    {&fileTooLarge, QT_TRANSLATE_NOOP("vellumix", "the file exceeds the size limit"), false},
    {&cannotCreateUpdateDirectory, QT_TRANSLATE_NOOP("vellumix", "cannot create the update directory"), false},
    {&cannotSaveUpdateFile, QT_TRANSLATE_NOOP("vellumix", "cannot save the update file; check disk space and permissions"), false},
    {&journalUnreadable, QT_TRANSLATE_NOOP("vellumix", "cannot read the update's recovery journal"), false},
    {&journalDamaged, QT_TRANSLATE_NOOP("vellumix", "the update's recovery journal is damaged; keep the backup and use the recovery tool"), false},
    {&previousUpdateUnfinished, QT_TRANSLATE_NOOP("vellumix", "the previous update has not finished"), false},
    {&programDirectoryNotWritable, QT_TRANSLATE_NOOP("vellumix", "the program directory is not writable"), false},
    {&stagedFileInvalid, QT_TRANSLATE_NOOP("vellumix", "a staged file does not match its digest:"), true},
    {&notEnoughDiskSpace, QT_TRANSLATE_NOOP("vellumix", "not enough disk space to install"), false},
    {&backupContainsLink, QT_TRANSLATE_NOOP("vellumix", "the backup directory contains a link"), false},
    {&cannotClearOldBackup, QT_TRANSLATE_NOOP("vellumix", "cannot clear the previous update's backup"), false},
    {&fileInUseOrDirectoryReadOnly, QT_TRANSLATE_NOOP("vellumix", "a file is in use or its directory is not writable:"), true},
    {&installFileFailed, QT_TRANSLATE_NOOP("vellumix", "cannot install the file"), true},
    {&installedFileInvalid, QT_TRANSLATE_NOOP("vellumix", "an installed file does not match its digest"), false},
    {&restoreTargetInUse, QT_TRANSLATE_NOOP("vellumix", "a file is still in use while restoring the old version"), false},
    {&cannotRestoreOldFile, QT_TRANSLATE_NOOP("vellumix", "cannot restore a file of the old version"), false},
    {&cannotRemoveNewFile, QT_TRANSLATE_NOOP("vellumix", "cannot remove an unfinished new file"), false},
};

} // namespace

QString englishForUpdaterText(const QString &text)
{
    for (const Meaning &meaning : kMeanings) {
        const bool matches = meaning.followedByName ? text.startsWith(*meaning.text)
                                                    : text == *meaning.text;
        if (!matches)
            continue;
        QString english = QCoreApplication::translate("vellumix", meaning.english);
        if (meaning.followedByName && text.size() > meaning.text->size())
            english += u' ' + text.mid(meaning.text->size());
        return english + QStringLiteral(" (\"") + text + QStringLiteral("\")");
    }
    return text;
}

} // namespace Msg
