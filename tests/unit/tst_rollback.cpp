// The rollback on crafted journals and real trees: order, every kind of entry, failures part-way
// and a second run that completes the first.
#include "messages.h"
#include "rollback.h"
#include "testsupport.h"
#include "updatetree.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace vellumix;
using testsupport::failureOf;
using testsupport::kNoFailure;

namespace {

// "a=X;sub/b=Y" -> {a: X, sub/b: Y}
QMap<QString, QByteArray> filesOf(const QString &listing)
{
    QMap<QString, QByteArray> files;
    for (const QString &item : listing.split(u';', Qt::SkipEmptyParts))
        files.insert(item.section(u'=', 0, 0), item.section(u'=', 1).toUtf8());
    return files;
}

// Only the files of a snapshot, with their digests.
testsupport::TreeSnapshot fileEntries(const testsupport::TreeSnapshot &snapshot)
{
    testsupport::TreeSnapshot files;
    for (auto it = snapshot.cbegin(); it != snapshot.cend(); ++it) {
        if (it.value() != QStringLiteral("dir"))
            files.insert(it.key(), it.value());
    }
    return files;
}

testsupport::TreeSnapshot expectedFiles(const QString &listing)
{
    testsupport::TreeSnapshot files;
    const auto map = filesOf(listing);
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        files.insert(it.key(), QStringLiteral("file ") + testsupport::sha256Hex(it.value()));
    return files;
}

TransactionJournal journalWith(const QByteArray &entriesJson)
{
    TransactionJournal journal{{QStringLiteral("state"), QStringLiteral("installing")},
                               {QStringLiteral("version"), QStringLiteral("2")},
                               {QStringLiteral("sequence"), 2},
                               {QStringLiteral("token"), QStringLiteral("t")}};
    if (!entriesJson.isEmpty())
        journal.insert(QStringLiteral("entries"), QJsonDocument::fromJson(entriesJson).array());
    return journal;
}

} // namespace

class RollbackTest : public QObject
{
    Q_OBJECT

private slots:
    void craftedJournals_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("backup");
        QTest::addColumn<QByteArray>("entries");
        QTest::addColumn<QString>("expectedProgram");
        QTest::addColumn<QString>("expectedBackup");
        QTest::addColumn<QString>("message");

        const QString ok = kNoFailure;
        QTest::newRow("no entries member") << "a=A" << "" << QByteArray() << "a=A" << "" << ok;
        QTest::newRow("empty entries") << "a=A" << "x=X" << QByteArray("[]") << "a=A" << "x=X" << ok;
        QTest::newRow("target and backup: target replaced")
            << "a=NEW" << "a=OLD" << QByteArray(R"([{"path":"a","hadOld":true}])") << "a=OLD" << "" << ok;
        QTest::newRow("target missing, backup in a subdirectory moved back")
            << "" << "sub/deep/b=OLD" << QByteArray(R"([{"path":"sub/deep/b","hadOld":true}])")
            << "sub/deep/b=OLD" << "" << ok;
        QTest::newRow("new file removed")
            << "n=NEW;k=KEEP" << "" << QByteArray(R"([{"path":"n","hadOld":false}])") << "k=KEEP" << "" << ok;
        QTest::newRow("new file never copied")
            << "k=KEEP" << "" << QByteArray(R"([{"path":"n","hadOld":false}])") << "k=KEEP" << "" << ok;
        QTest::newRow("old file never moved is left alone")
            << "a=OLD" << "" << QByteArray(R"([{"path":"a","hadOld":true}])") << "a=OLD" << "" << ok;
        QTest::newRow("missing hadOld counts as a new file")
            << "n=NEW" << "" << QByteArray(R"([{"path":"n"}])") << "" << "" << ok;
        QTest::newRow("hadOld as text counts as false")
            << "n=NEW" << "" << QByteArray(R"([{"path":"n","hadOld":"true"}])") << "" << "" << ok;
        QTest::newRow("files in the backup that no entry names stay")
            << "a=NEW" << "a=OLD;z=OTHER" << QByteArray(R"([{"path":"a","hadOld":true}])")
            << "a=OLD" << "z=OTHER" << ok;
        QTest::newRow("mixed journal of an interrupted install")
            << "a=NEW;b=NEW;c=OLDC;d=NEWD" << "a=OLDA;b=OLDB"
            << QByteArray(R"([{"path":"a","hadOld":true},{"path":"b","hadOld":true},)"
                          R"({"path":"d","hadOld":false},{"path":"c","hadOld":true}])")
            << "a=OLDA;b=OLDB;c=OLDC" << "" << ok;

        // A refused entry stops the rollback: later entries (handled first) stay restored,
        // earlier ones are untouched.
        QTest::newRow("missing path stops, last to first")
            << "a=NEWA;c=NEWC" << "" << QByteArray(R"([{"path":"a"},{"hadOld":true},{"path":"c"}])")
            << "a=NEWA" << "" << Msg::unsafeUpdatePath;
        QTest::newRow("traversal in a journal path")
            << "a=NEW" << "" << QByteArray(R"([{"path":"a"},{"path":"../outside","hadOld":false}])")
            << "a=NEW" << "" << Msg::unsafeUpdatePath;
        QTest::newRow("path not a string")
            << "a=NEW" << "" << QByteArray(R"([{"path":7,"hadOld":false}])") << "a=NEW" << "" << Msg::unsafeUpdatePath;
    }

    void craftedJournals()
    {
        QFETCH(QString, program);
        QFETCH(QString, backup);
        QFETCH(QByteArray, entries);
        QFETCH(QString, expectedProgram);
        QFETCH(QString, expectedBackup);
        QFETCH(QString, message);

        UpdateTree tree;
        tree.putOld(filesOf(program));
        for (auto [path, contents] : filesOf(backup).asKeyValueRange())
            testsupport::writeFile(tree.workPath(QStringLiteral("backup")), path, contents);
        TransactionJournal journal = journalWith(entries);
        orThrow(writeTransactionJournal(tree.root, journal));

        QCOMPARE(failureOf([&] { rollbackTransaction(tree.root, journal); }), message);
        QCOMPARE(fileEntries(tree.program()), expectedFiles(expectedProgram));
        QCOMPARE(fileEntries(tree.backup()), expectedFiles(expectedBackup));
        const QString stateOnDisk = journalState(orThrow(readTransactionJournal(tree.root)));
        const QString expectedState = message == kNoFailure ? QStringLiteral("rolledback")
                                                            : QStringLiteral("installing");
        QCOMPARE(stateOnDisk, expectedState);
        QCOMPARE(journalState(journal), expectedState);
        // Every other member is stored again unchanged.
        QCOMPARE(orThrow(readTransactionJournal(tree.root)).value(QStringLiteral("token")).toString(),
                 QStringLiteral("t"));
    }

    void directoriesStayAfterARollback()
    {
        UpdateTree tree;
        tree.putOld({{QStringLiteral("newdir/n.dll"), "NEW"}});
        testsupport::writeFile(tree.workPath(QStringLiteral("backup")), QStringLiteral("sub/x"), "OLD");
        TransactionJournal journal =
            journalWith(R"([{"path":"sub/x","hadOld":true},{"path":"newdir/n.dll","hadOld":false}])");
        QCOMPARE(failureOf([&] { rollbackTransaction(tree.root, journal); }), kNoFailure);
        QVERIFY(QFileInfo(tree.root + QStringLiteral("/newdir")).isDir());
        QVERIFY(QFileInfo(tree.workPath(QStringLiteral("backup/sub"))).isDir());
        QCOMPARE(testsupport::readFile(tree.root + QStringLiteral("/sub/x")), QByteArray("OLD"));
    }

    void linksStopTheRollback_data()
    {
        QTest::addColumn<QString>("linkAt");
        QTest::addColumn<QString>("message");
        QTest::newRow("backup directory") << "/.vellumix-update/backup" << Msg::workDirectoryHasLink;
        QTest::newRow("work directory") << "/.vellumix-update" << Msg::workDirectoryHasLink;
        QTest::newRow("directory on the entry's path") << "/sub" << Msg::pathHasLinkOrJunction;
        QTest::newRow("directory inside the backup") << "/.vellumix-update/backup/sub"
                                                     << Msg::pathHasLinkOrJunction;
    }

    void linksStopTheRollback()
    {
        QFETCH(QString, linkAt);
        QFETCH(QString, message);
        UpdateTree tree;
        tree.putOld({{QStringLiteral("sub/a"), "NEW"}});
        testsupport::writeFile(tree.workPath(QStringLiteral("backup")), QStringLiteral("sub/a"), "OLD");
        TransactionJournal journal = journalWith(R"([{"path":"sub/a","hadOld":true}])");
        orThrow(writeTransactionJournal(tree.root, journal));

        // Move the real directory away and leave a link to it in its place.
        QTemporaryDir elsewhere;
        const QString real = elsewhere.path() + QStringLiteral("/real");
        QVERIFY(QFile::rename(tree.root + linkAt, real));
        QVERIFY(QFile::link(real, tree.root + linkAt));
        const auto before = testsupport::snapshotTree(tree.root);
        const auto beforeElsewhere = testsupport::snapshotTree(elsewhere.path());

        QCOMPARE(failureOf([&] { rollbackTransaction(tree.root, journal); }), message);
        QCOMPARE(testsupport::snapshotTree(tree.root), before);
        QCOMPARE(testsupport::snapshotTree(elsewhere.path()), beforeElsewhere);
    }

    void failedRollbackCompletesWhenRunAgain_data()
    {
        QTest::addColumn<bool>("hadOld");
        QTest::addColumn<QString>("message");
        QTest::newRow("target of a backup file in use") << true << Msg::restoreTargetInUse;
        QTest::newRow("new file in use") << false << Msg::cannotRemoveNewFile;
    }

    void failedRollbackCompletesWhenRunAgain()
    {
        QFETCH(bool, hadOld);
        QFETCH(QString, message);
        UpdateTree tree;
        tree.putOld({{QStringLiteral("a"), "NEWA"}, {QStringLiteral("locked/b"), "NEWB"},
                     {QStringLiteral("c"), "NEWC"}});
        const QString backupDir = tree.workPath(QStringLiteral("backup"));
        testsupport::writeFile(backupDir, QStringLiteral("a"), "OLDA");
        testsupport::writeFile(backupDir, QStringLiteral("c"), "OLDC");
        if (hadOld)
            testsupport::writeFile(backupDir, QStringLiteral("locked/b"), "OLDB");
        TransactionJournal journal = journalWith(
            QStringLiteral(R"([{"path":"a","hadOld":true},{"path":"locked/b","hadOld":%1},)"
                           R"({"path":"c","hadOld":true}])")
                .arg(hadOld ? QStringLiteral("true") : QStringLiteral("false"))
                .toUtf8());
        orThrow(writeTransactionJournal(tree.root, journal));

        ImmutableDirectory locked(tree.root + QStringLiteral("/locked"));
        if (!locked.isInEffect())
            QSKIP("needs root and chattr on this file system");
        QCOMPARE(failureOf([&] { rollbackTransaction(tree.root, journal); }), message);
        // c (handled first) is restored, a (handled after b) is untouched, the journal unchanged.
        QCOMPARE(testsupport::readFile(tree.root + QStringLiteral("/c")), QByteArray("OLDC"));
        QCOMPARE(testsupport::readFile(tree.root + QStringLiteral("/a")), QByteArray("NEWA"));
        QCOMPARE(journalState(orThrow(readTransactionJournal(tree.root))), QStringLiteral("installing"));
        QCOMPARE(journalState(journal), QStringLiteral("installing"));

        locked.release();
        TransactionJournal again = orThrow(readTransactionJournal(tree.root));
        QCOMPARE(failureOf([&] { rollbackTransaction(tree.root, again); }), kNoFailure);
        QString expected = QStringLiteral("a=OLDA;c=OLDC");
        if (hadOld)
            expected += QStringLiteral(";locked/b=OLDB");
        QCOMPARE(fileEntries(tree.program()), expectedFiles(expected));
        QCOMPARE(journalState(orThrow(readTransactionJournal(tree.root))), QStringLiteral("rolledback"));
    }
};

QTEST_GUILESS_MAIN(RollbackTest)
#include "tst_rollback.moc"
