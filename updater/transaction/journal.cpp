#include "journal.h"

#include "fileio.h"
#include "linkguard.h"
#include "messages.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

namespace vellumix {

namespace {

QString journalFilePath(const QString &programRoot)
{
    return workDirectoryPath(programRoot) + QStringLiteral("/transaction.json");
}

} // namespace

QString workDirectoryPath(const QString &programRoot)
{
    const QString workDirectory = QDir(programRoot).filePath(kWorkDirectoryName);
    ensureNoLinksOnPath(workDirectory);
    return workDirectory;
}

TransactionJournal readTransactionJournal(const QString &programRoot)
{
    const QString path = journalFilePath(programRoot);
    if (!QFile::exists(path))
        return TransactionJournal();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Msg::journalUnreadable;
    const QByteArray contents = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw Msg::journalUnreadable;
    const QJsonDocument document = QJsonDocument::fromJson(contents);
    if (!document.isObject() || journalState(document.object()).isEmpty())
        throw Msg::journalDamaged;
    return document.object();
}

void writeTransactionJournal(const QString &programRoot, const TransactionJournal &journal)
{
    const QByteArray bytes = QJsonDocument(journal).toJson(QJsonDocument::Compact);
    writeFileAtomic(journalFilePath(programRoot), bytes);
}

bool isTransactionUnfinished(const TransactionJournal &journal)
{
    const QString state = journalState(journal);
    return state == JournalState::installing || state == JournalState::starting
        || state == JournalState::rollbackNeeded;
}

QString journalState(const TransactionJournal &journal)
{
    return journal.value(QStringLiteral("state")).toString();
}

TransactionJournal newTransactionJournal(const QString &version, qint32 sequence,
                                         const QString &token)
{
    TransactionJournal journal;
    journal.insert(QStringLiteral("state"), JournalState::installing);
    journal.insert(QStringLiteral("version"), version);
    journal.insert(QStringLiteral("sequence"), sequence);
    journal.insert(QStringLiteral("token"), token);
    journal.insert(QStringLiteral("entries"), QJsonArray());
    return journal;
}

void appendJournalEntry(TransactionJournal &journal, const QString &path, bool hadOld)
{
    // Taking the array out of the object leaves it with a single owner, so the append does not
    // copy the entries that are already there.
    QJsonArray entries = journal.take(QStringLiteral("entries")).toArray();
    entries.append(QJsonObject{{QStringLiteral("path"), path}, {QStringLiteral("hadOld"), hadOld}});
    journal.insert(QStringLiteral("entries"), entries);
}

} // namespace vellumix
