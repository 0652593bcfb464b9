// The transaction journal: "transaction.json" in the work directory of the program root. The
// updater writes it; the client's start-up reads it. This file is its only reader and writer, and
// the only place its members are named.
//
// The journal is held as a JSON object so that every member of a journal that was read, including
// members this version does not know, is written back unchanged when only "state" changes. It is
// read and changed through the accessors below.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include "coreerror.h"
#include "updateprotocol.h"

namespace vellumix {

using TransactionJournal = QJsonObject;

namespace JournalState = protocol::JournalState;
using protocol::kWorkDirectoryName;

// The largest journal that is read. An update at the limits of a manifest writes a few megabytes;
// the client's start-up reads the journal with the same bound.
inline constexpr qint64 kJournalMaxBytes = 64 * 1024 * 1024;

// The program root joined with ".vellumix-update", after the link check of that path.
CoreResult<QString> workDirectoryPath(const QString &programRoot);

// The journal of the program root; an empty object when there is none. JournalUnreadable when it
// cannot be read (also when something other than a regular file stands at its name, or it is
// larger than kJournalMaxBytes), JournalDamaged when it is no journal.
CoreResult<TransactionJournal> readTransactionJournal(const QString &programRoot);

// Replaces the journal on disk with `journal`, atomically and durably.
CoreError writeTransactionJournal(const QString &programRoot, const TransactionJournal &journal);

// The journal of the work directory `workDirectory` as the application's start-up reads it: only a
// regular file, never through a link at its name, never waiting on a pipe. Anything else, and a
// damaged journal, reads as none (an empty object); the recovery that the updater runs judges it.
TransactionJournal peekTransactionJournal(const QString &workDirectory);

// True for the states "installing", "starting" and "rollback-needed".
bool isTransactionUnfinished(const TransactionJournal &journal);

// The "state" member, empty when absent or not a string.
QString journalState(const TransactionJournal &journal);
void setJournalState(TransactionJournal &journal, const QString &state);
// The one-time token of the update, which the probed new version writes into the health file;
// empty when absent or not a string.
QString journalToken(const TransactionJournal &journal);
// The release being installed; empty and 0 when absent.
QString journalVersion(const TransactionJournal &journal);
qint32 journalSequence(const TransactionJournal &journal);

// One file the install touched, in the order it touched them.
struct JournalEntry
{
    QString path;        // relative to the program root, as the manifest names it
    bool hadOld = false; // an old version stood at the path and was moved into the backup
};
// The entries; an entry that is not an object reads as one with an empty path.
QList<JournalEntry> journalEntries(const TransactionJournal &journal);

// A new journal in state "installing" with no entries.
TransactionJournal newTransactionJournal(const QString &version, qint32 sequence,
                                         const QString &token);
// Appends {"path", "hadOld"} to the journal's "entries".
void appendJournalEntry(TransactionJournal &journal, const QString &path, bool hadOld);

/*
    A journal that grows one entry at a time, held together with its serialized form. The install
    rewrites the whole journal before every file it touches; serializing the whole object each
    time would make an update of N files cost N^2/2 entries of serializing. Here each entry is
    serialized once, when it is appended, and only the few members around "entries" are
    serialized again when they change. toJson() gives exactly the bytes of the compact JSON writer
    for object().
*/
class GrowingJournal
{
public:
    // A journal whose "entries" is absent or not an array starts with an empty array.
    explicit GrowingJournal(const TransactionJournal &journal);

    const TransactionJournal &object() const { return m_journal; }
    void appendEntry(const QString &path, bool hadOld);
    void setState(const QString &state);
    QByteArray toJson() const;

private:
    void serializeMembersAroundEntries();

    TransactionJournal m_journal;
    QByteArray m_head;    // the members before "entries", up to its opening bracket
    QByteArray m_entries; // the elements of "entries", separated by commas
    QByteArray m_tail;    // from the closing bracket of "entries" to the end
};

CoreError writeTransactionJournal(const QString &programRoot, const GrowingJournal &journal);

} // namespace vellumix
