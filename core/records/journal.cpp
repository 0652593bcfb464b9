#include "journal.h"

#include "fileio.h"
#include "linkguard.h"
#include "osbridge.h"
#include "platform.h"
#include "workdirectory.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>

#include <string>

namespace vellumix {

namespace {

// The journal's members. The client reads state, version, sequence and token through the
// accessors below; the entries are the updater's alone.
const QString kStateMember = QStringLiteral("state");
const QString kVersionMember = QStringLiteral("version");
const QString kSequenceMember = QStringLiteral("sequence");
const QString kTokenMember = QStringLiteral("token");
const QString kEntriesMember = QStringLiteral("entries");
const QString kEntryPathMember = QStringLiteral("path");
const QString kEntryHadOldMember = QStringLiteral("hadOld");

CoreResult<QString> journalFilePath(const QString &programRoot)
{
    const WorkDirectory work = WorkDirectory::ofProgramRoot(programRoot);
    if (CoreError linked = work.ensureNoLinks(); !linked.ok())
        return linked;
    return work.journalFile();
}

CoreError writeJournalBytes(const QString &programRoot, const QByteArray &bytes)
{
    const CoreResult<QString> path = journalFilePath(programRoot);
    return path.ok() ? writeFileAtomic(*path, bytes) : path.error();
}

QJsonObject journalEntry(const QString &path, bool hadOld)
{
    return QJsonObject{{kEntryPathMember, path}, {kEntryHadOldMember, hadOld}};
}

} // namespace

CoreResult<QString> workDirectoryPath(const QString &programRoot)
{
    const WorkDirectory work = WorkDirectory::ofProgramRoot(programRoot);
    if (CoreError linked = work.ensureNoLinks(); !linked.ok())
        return linked;
    return work.path();
}

/*
    Only a regular file is read, and its open never waits: a pipe at the journal's name would
    otherwise hold the recovery, and the application's start that runs it, for ever. Anything
    other than a regular file there (a pipe, a folder, a device) is a journal that cannot be read.
    A link there is followed, as it always was, to a regular file only; a link to nothing is no
    journal, and the first write of one refuses the link.
*/
CoreResult<TransactionJournal> readTransactionJournal(const QString &programRoot)
{
    const CoreResult<QString> path = journalFilePath(programRoot);
    if (!path.ok())
        return path.error();
    std::string bytes;
    switch (os::readRegularFile(osText(*path), std::size_t(kJournalMaxBytes),
                                os::LinkAtName::Follow, bytes)) {
    case os::FileRead::Missing:
        return TransactionJournal();
    case os::FileRead::Read:
        break;
    case os::FileRead::NotAFile:
    case os::FileRead::TooLarge:
    case os::FileRead::Failed:
        return CoreError{CoreError::JournalUnreadable, *path, {}};
    }
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(bytes));
    if (!document.isObject() || journalState(document.object()).isEmpty())
        return CoreError{CoreError::JournalDamaged, *path, {}};
    return document.object();
}

TransactionJournal peekTransactionJournal(const QString &workDirectory)
{
    const std::optional<QByteArray> bytes =
        WorkDirectory::readRecord(WorkDirectory::at(workDirectory).journalFile(), kJournalMaxBytes);
    return bytes ? QJsonDocument::fromJson(*bytes).object() : TransactionJournal();
}

CoreError writeTransactionJournal(const QString &programRoot, const TransactionJournal &journal)
{
    return writeJournalBytes(programRoot, QJsonDocument(journal).toJson(QJsonDocument::Compact));
}

CoreError writeTransactionJournal(const QString &programRoot, const GrowingJournal &journal)
{
    return writeJournalBytes(programRoot, journal.toJson());
}

bool isTransactionUnfinished(const TransactionJournal &journal)
{
    return protocol::isUnfinishedJournalState(journalState(journal));
}

QString journalState(const TransactionJournal &journal)
{
    return journal.value(kStateMember).toString();
}

void setJournalState(TransactionJournal &journal, const QString &state)
{
    journal.insert(kStateMember, state);
}

QString journalToken(const TransactionJournal &journal)
{
    return journal.value(kTokenMember).toString();
}

QString journalVersion(const TransactionJournal &journal)
{
    return journal.value(kVersionMember).toString();
}

qint32 journalSequence(const TransactionJournal &journal)
{
    return journal.value(kSequenceMember).toInt();
}

QList<JournalEntry> journalEntries(const TransactionJournal &journal)
{
    const QJsonArray entries = journal.value(kEntriesMember).toArray();
    QList<JournalEntry> list;
    list.reserve(entries.size());
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        list.append({entry.value(kEntryPathMember).toString(),
                     entry.value(kEntryHadOldMember).toBool(false)});
    }
    return list;
}

TransactionJournal newTransactionJournal(const QString &version, qint32 sequence,
                                         const QString &token)
{
    TransactionJournal journal;
    journal.insert(kStateMember, JournalState::installing);
    journal.insert(kVersionMember, version);
    journal.insert(kSequenceMember, sequence);
    journal.insert(kTokenMember, token);
    journal.insert(kEntriesMember, QJsonArray());
    return journal;
}

void appendJournalEntry(TransactionJournal &journal, const QString &path, bool hadOld)
{
    // Taking the array out of the object leaves it with a single owner, so the append does not
    // copy the entries that are already there.
    QJsonArray entries = journal.take(kEntriesMember).toArray();
    entries.append(journalEntry(path, hadOld));
    journal.insert(kEntriesMember, entries);
}

GrowingJournal::GrowingJournal(const TransactionJournal &journal) : m_journal(journal)
{
    const QJsonValue entries = m_journal.value(kEntriesMember);
    if (!entries.isArray())
        m_journal.insert(kEntriesMember, QJsonArray());
    m_entries = QJsonDocument(entries.toArray()).toJson(QJsonDocument::Compact);
    m_entries = m_entries.mid(1, m_entries.size() - 2);
    serializeMembersAroundEntries();
}

void GrowingJournal::appendEntry(const QString &path, bool hadOld)
{
    appendJournalEntry(m_journal, path, hadOld);
    if (!m_entries.isEmpty())
        m_entries += ',';
    m_entries += QJsonDocument(journalEntry(path, hadOld)).toJson(QJsonDocument::Compact);
}

void GrowingJournal::setState(const QString &state)
{
    setJournalState(m_journal, state);
    serializeMembersAroundEntries();
}

QByteArray GrowingJournal::toJson() const
{
    QByteArray bytes;
    bytes.reserve(m_head.size() + m_entries.size() + m_tail.size());
    return bytes.append(m_head).append(m_entries).append(m_tail);
}

/*
    The writer emits the members of an object in the order in which the object keeps them, and
    that order depends on the keys alone. The members before "entries" and those after it are
    therefore each serialized as an object of their own, whose braces are then replaced by the
    joins to "entries". Values are serialized by the writer itself, so numbers and the escaping of
    strings come out exactly as in a whole-object serialization.
*/
void GrowingJournal::serializeMembersAroundEntries()
{
    QJsonObject before;
    QJsonObject after;
    bool seenEntries = false;
    for (auto it = m_journal.constBegin(); it != m_journal.constEnd(); ++it) {
        if (it.key() == kEntriesMember)
            seenEntries = true;
        else
            (seenEntries ? after : before).insert(it.key(), it.value());
    }
    m_head = QJsonDocument(before).toJson(QJsonDocument::Compact);
    m_head.chop(1); // the closing brace
    if (!before.isEmpty())
        m_head += ',';
    m_head += '"' + kEntriesMember.toLatin1() + "\":[";
    m_tail = QJsonDocument(after).toJson(QJsonDocument::Compact);
    m_tail[0] = after.isEmpty() ? ']' : ',';
    if (!after.isEmpty())
        m_tail.prepend(']');
}

} // namespace vellumix
