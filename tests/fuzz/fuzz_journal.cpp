// Fuzz target: the journal reader, on a journal file of any content in a scratch program root.
// It either refuses with one of its two texts or returns a journal whose state is a non-empty
// string; whatever the entries say, the rollback's guard admits only paths that stay below the
// program root.
#include "fuzzcheck.h"
#include "journal.h"
#include "linkguard.h"
#include "pathpolicy.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>

using namespace vellumix;

namespace {

const QString &scratchRoot()
{
    // One scratch program root for the whole run, in memory where there is a tmpfs.
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                 ? QStringLiteral("/dev/shm/vellumix-fuzz-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/vellumix-fuzz-XXXXXX"));
    static const QString root = [] {
        QDir().mkpath(dir.path() + QStringLiteral("/program/.vellumix-update"));
        return dir.path() + QStringLiteral("/program");
    }();
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString &root = scratchRoot();
    QFile file(root + QStringLiteral("/.vellumix-update/transaction.json"));
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    file.close();

    const CoreResult<TransactionJournal> read = readTransactionJournal(root);
    if (!read.ok()) {
        FUZZ_CHECK(read.error().code == CoreError::JournalDamaged
                   || read.error().code == CoreError::JournalUnreadable);
        return 0;
    }
    const TransactionJournal &journal = *read;
    FUZZ_CHECK(!journalState(journal).isEmpty());
    (void)isTransactionUnfinished(journal);
    const QJsonArray entries = journal.value(QStringLiteral("entries")).toArray();
    for (const QJsonValue &entry : entries) {
        const QString path = entry.toObject().value(QStringLiteral("path")).toString();
        if (const CoreError refused = ensureSafePathBelow(root, path); !refused.ok()) {
            FUZZ_CHECK(refused.code == CoreError::UnsafePath);
            continue;
        }
        // Admitted: a relative path of plain components that cannot leave the root by name.
        FUZZ_CHECK(isAllowedUpdatePath(path));
        FUZZ_CHECK(QDir::cleanPath(root + u'/' + path).startsWith(root + u'/'));
    }
    return 0;
}
