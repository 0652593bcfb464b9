#pragma once

#include "journal.h"

namespace vellumix {

// The backup directory in the work directory `workDirectory`, where the install moves the old
// version of each file it replaces and the rollback finds it.
QString backupDirectoryOf(const QString &workDirectory);

// Puts the program directory back as it was before the journal's install began, from the journal
// and the backup directory alone. On success the journal's "state" is "rolledback", in `journal`
// and on disk. Safe to run again after it failed part-way.
void rollbackTransaction(const QString &programRoot, TransactionJournal &journal);

} // namespace vellumix
