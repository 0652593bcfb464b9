// The transaction journal: "transaction.json" in the work directory of the program root.
//
// The journal is held as a JSON object so that every member of a journal that was read, including
// members this version does not know, is written back unchanged when only "state" changes.
#pragma once

#include <QJsonObject>
#include <QString>

namespace vellumix {

using TransactionJournal = QJsonObject;

namespace JournalState {
inline const QString installing = QStringLiteral("installing");
inline const QString starting = QStringLiteral("starting");
inline const QString healthy = QStringLiteral("healthy");
inline const QString rollbackNeeded = QStringLiteral("rollback-needed");
inline const QString rolledBack = QStringLiteral("rolledback");
} // namespace JournalState

inline const QString kWorkDirectoryName = QStringLiteral(".vellumix-update");

// The program root joined with ".vellumix-update", after the link check of that path.
QString workDirectoryPath(const QString &programRoot);

// The journal of the program root; an empty object when there is none. Throws when it cannot be
// read or is damaged.
TransactionJournal readTransactionJournal(const QString &programRoot);

// Replaces the journal on disk with `journal`, atomically and durably.
void writeTransactionJournal(const QString &programRoot, const TransactionJournal &journal);

// True for the states "installing", "starting" and "rollback-needed".
bool isTransactionUnfinished(const TransactionJournal &journal);

// The "state" member, empty when absent or not a string.
QString journalState(const TransactionJournal &journal);
// A new journal in state "installing" with no entries.
TransactionJournal newTransactionJournal(const QString &version, qint32 sequence,
                                         const QString &token);
// Appends {"path", "hadOld"} to the journal's "entries".
void appendJournalEntry(TransactionJournal &journal, const QString &path, bool hadOld);

} // namespace vellumix
