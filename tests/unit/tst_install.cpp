// The install procedure on real trees: what it changes, what it leaves, and the exact tree after
// each kind of failure.
#include "install.h"
#include "journal.h"
#include "messages.h"
#include "testsupport.h"
#include "updatetree.h"

#include <QFile>
#include <QJsonArray>
#include <QStorageInfo>
#include <QTest>

using namespace vellumix;
using testsupport::failureOf;
using testsupport::kNoFailure;
using Files = QList<QPair<QString, QByteArray>>;

namespace {

QJsonArray entriesOnDisk(const UpdateTree &tree)
{
    return orThrow(readTransactionJournal(tree.root)).value(QStringLiteral("entries")).toArray();
}

QStringList entryPaths(const QJsonArray &entries)
{
    QStringList paths;
    for (const auto &entry : entries)
        paths << entry.toObject().value(QStringLiteral("path")).toString();
    return paths;
}

// The reference old tree and its update: a replaced file in a subdirectory, an unchanged file, a
// new file in a new directory, and the two programs.
const QMap<QString, QByteArray> kOld{
    {QStringLiteral("Vellumix.exe"), "main v1"},
    {QStringLiteral("VellumixUpdater.exe"), "updater v1"},
    {QStringLiteral("lib/core.dll"), "core v1"},
    {QStringLiteral("lib/same.dll"), "same"},
    {QStringLiteral("user-data.txt"), "not in the update"},
};
const Files kNew{
    {QStringLiteral("Vellumix.exe"), "main v2"},
    {QStringLiteral("VellumixUpdater.exe"), "updater v2"},
    {QStringLiteral("lib/core.dll"), "core v2"},
    {QStringLiteral("lib/same.dll"), "same"},
    {QStringLiteral(u"plugins/新/extra.dll"), "extra v2"},
};

testsupport::TreeSnapshot snapshotOf(const QMap<QString, QByteArray> &files)
{
    UpdateTree scratch;
    scratch.putOld(files);
    return scratch.program();
}

QMap<QString, QByteArray> newTree()
{
    QMap<QString, QByteArray> files = kOld;
    for (const auto &[path, contents] : kNew)
        files.insert(path, contents);
    return files;
}

} // namespace

class InstallTest : public QObject
{
    Q_OBJECT

private slots:
    void installsTheChangedFiles()
    {
        UpdateTree tree;
        tree.putOld(kOld);
        testsupport::writeFile(tree.workPath(QStringLiteral("backup")), QStringLiteral("stale/x"), "old backup");
        const UpdateManifest manifest = tree.stageUpdate(kNew);

        QCOMPARE(failureOf([&] { installUpdate(tree.root, tree.stage, manifest); }), kNoFailure);

        QCOMPARE(testsupport::describeDifference(snapshotOf(newTree()), tree.program()), QString());
        const TransactionJournal journal = orThrow(readTransactionJournal(tree.root));
        QCOMPARE(journalState(journal), QStringLiteral("starting"));
        QCOMPARE(journal.value(QStringLiteral("version")).toString(), QStringLiteral("2.0.0"));
        QCOMPARE(journal.value(QStringLiteral("token")).toString().size(), 36);
        // Only the changed files, in manifest order, each with whether an old file existed.
        const QJsonArray entries = entriesOnDisk(tree);
        QCOMPARE(entryPaths(entries),
                 (QStringList{QStringLiteral("Vellumix.exe"), QStringLiteral("VellumixUpdater.exe"),
                              QStringLiteral("lib/core.dll"), QStringLiteral(u"plugins/新/extra.dll")}));
        QCOMPARE(entries.at(2).toObject().value(QStringLiteral("hadOld")), QJsonValue(true));
        QCOMPARE(entries.at(3).toObject().value(QStringLiteral("hadOld")), QJsonValue(false));
        // The backup mirrors the replaced files; the stale backup is gone.
        QCOMPARE(testsupport::describeDifference(
                     snapshotOf({{QStringLiteral("Vellumix.exe"), "main v1"},
                                 {QStringLiteral("VellumixUpdater.exe"), "updater v1"},
                                 {QStringLiteral("lib/core.dll"), "core v1"}}),
                     tree.backup()),
                 QString());
    }

    void installedFilesKeepTheStagedPermissions()
    {
        UpdateTree tree;
        tree.putOld(kOld);
        const UpdateManifest manifest = tree.stageUpdate(kNew);
        const QString staged = tree.stage + QStringLiteral("/files/Vellumix.exe");
        QVERIFY(QFile::setPermissions(staged, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                  | QFile::ReadGroup | QFile::ExeGroup));
        QCOMPARE(failureOf([&] { installUpdate(tree.root, tree.stage, manifest); }), kNoFailure);
        QCOMPARE(QFile::permissions(tree.root + QStringLiteral("/Vellumix.exe")) & 0x0777,
                 QFile::permissions(staged) & 0x0777);
    }

    void nothingToInstall()
    {
        UpdateTree tree;
        tree.putOld(newTree());
        testsupport::writeFile(tree.workPath(QStringLiteral("backup")), QStringLiteral("stale"), "x");
        const UpdateManifest manifest = tree.stageUpdate(kNew, false);
        const auto before = tree.program();

        QCOMPARE(failureOf([&] { installUpdate(tree.root, tree.stage, manifest); }), kNoFailure);
        QCOMPARE(tree.program(), before);
        QCOMPARE(journalState(orThrow(readTransactionJournal(tree.root))), QStringLiteral("starting"));
        QVERIFY(entriesOnDisk(tree).isEmpty());
        QVERIFY(!QFileInfo::exists(tree.workPath(QStringLiteral("backup"))));
    }

    void refusedBeforeAnythingChanges_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message");
        QTest::newRow("staged copy missing") << "missing" << Msg::stagedFileInvalid + QStringLiteral("lib/core.dll");
        QTest::newRow("staged copy differs by a byte") << "digest" << Msg::stagedFileInvalid + QStringLiteral("lib/core.dll");
        QTest::newRow("manifest size disagrees") << "size" << Msg::stagedFileInvalid + QStringLiteral("lib/core.dll");
        QTest::newRow("staged copy is a link") << "stagedlink" << Msg::pathHasLinkOrJunction;
        QTest::newRow("target is a link") << "targetlink" << Msg::pathHasLinkOrJunction;
        QTest::newRow("unfinished journal") << "unfinished" << Msg::previousUpdateUnfinished;
        QTest::newRow("damaged journal") << "damaged" << Msg::journalDamaged;
        QTest::newRow("link in the old backup") << "backuplink" << Msg::backupContainsLink;
        QTest::newRow("hidden link in the old backup") << "hiddenlink" << Msg::backupContainsLink;
        QTest::newRow("backup directory is a link") << "backupdirlink" << Msg::workDirectoryHasLink;
        QTest::newRow("work directory is a link") << "worklink" << Msg::workDirectoryHasLink;
        QTest::newRow("work directory cannot be made") << "workfile" << Msg::programDirectoryNotWritable;
    }

    void refusedBeforeAnythingChanges()
    {
        QFETCH(QString, fault);
        QFETCH(QString, message);
        UpdateTree tree;
        tree.putOld(kOld);
        testsupport::writeFile(tree.workPath(QStringLiteral("backup")), QStringLiteral("keep/me"), "old backup");
        UpdateManifest manifest = tree.stageUpdate(kNew);
        const QString stagedCore = tree.stage + QStringLiteral("/files/lib/core.dll");
        QTemporaryDir elsewhere;
        testsupport::writeFile(elsewhere.path(), QStringLiteral("core.dll"), "core v2");

        if (fault == u"missing") {
            QVERIFY(QFile::remove(stagedCore));
        } else if (fault == u"digest") {
            testsupport::writeFile(tree.stage, QStringLiteral("files/lib/core.dll"), "core v3");
        } else if (fault == u"size") {
            manifest.files[2].size += 1;
        } else if (fault == u"stagedlink") {
            QVERIFY(QFile::remove(stagedCore));
            QVERIFY(QFile::link(elsewhere.path() + QStringLiteral("/core.dll"), stagedCore));
        } else if (fault == u"targetlink") {
            QVERIFY(QFile::remove(tree.root + QStringLiteral("/lib/core.dll")));
            QVERIFY(QFile::link(elsewhere.path() + QStringLiteral("/core.dll"),
                                tree.root + QStringLiteral("/lib/core.dll")));
        } else if (fault == u"unfinished" || fault == u"damaged") {
            testsupport::writeFile(tree.workPath(QString()), QStringLiteral("transaction.json"),
                                   fault == u"damaged" ? "{\"state\":3}" : "{\"state\":\"rollback-needed\"}");
        } else if (fault == u"backuplink" || fault == u"hiddenlink") {
            const QString name = fault == u"backuplink" ? QStringLiteral("keep/link") : QStringLiteral("keep/.hidden");
            QVERIFY(QFile::link(elsewhere.path(), tree.workPath(QStringLiteral("backup/")) + name));
        } else if (fault == u"backupdirlink" || fault == u"worklink") {
            const QString at = QDir::cleanPath(tree.workPath(fault == u"worklink" ? QString() : QStringLiteral("backup")));
            QVERIFY(QFile::rename(at, elsewhere.path() + QStringLiteral("/moved")));
            QVERIFY(QFile::link(elsewhere.path() + QStringLiteral("/moved"), at));
        } else if (fault == u"workfile") {
            QDir(tree.workPath(QString())).removeRecursively();
            testsupport::writeFile(tree.root, QStringLiteral(".vellumix-update"), "a file");
        }
        const auto before = testsupport::snapshotTree(tree.root);
        const auto beforeElsewhere = testsupport::snapshotTree(elsewhere.path());

        QCOMPARE(failureOf([&] { installUpdate(tree.root, tree.stage, manifest); }), message);
        QCOMPARE(testsupport::describeDifference(before, testsupport::snapshotTree(tree.root)), QString());
        QCOMPARE(testsupport::snapshotTree(elsewhere.path()), beforeElsewhere);
    }

    void finishedJournalsDoNotBlock_data()
    {
        QTest::addColumn<QByteArray>("journal");
        QTest::newRow("healthy") << QByteArray(R"({"state":"healthy","entries":[{"path":"x","hadOld":true}]})");
        QTest::newRow("rolledback") << QByteArray(R"({"state":"rolledback"})");
    }

    void finishedJournalsDoNotBlock()
    {
        QFETCH(QByteArray, journal);
        UpdateTree tree;
        tree.putOld(kOld);
        testsupport::writeFile(tree.workPath(QString()), QStringLiteral("transaction.json"), journal);
        QCOMPARE(failureOf([&] { installUpdate(tree.root, tree.stage, tree.stageUpdate(kNew)); }),
                 kNoFailure);
        QCOMPARE(entriesOnDisk(tree).size(), 4);
    }

    void failureAtTheThirdOfFiveFiles()
    {
        // The third file's directory cannot be changed, so its old file cannot be moved away.
        UpdateTree tree;
        QMap<QString, QByteArray> old;
        Files update;
        const QStringList paths{QStringLiteral("Vellumix.exe"), QStringLiteral("a/one.dll"),
                                QStringLiteral("locked/three.dll"), QStringLiteral("b/four.dll"),
                                QStringLiteral("VellumixUpdater.exe")};
        for (const QString &path : paths) {
            old.insert(path, "old " + path.toUtf8());
            update.append({path, "new " + path.toUtf8()});
        }
        tree.putOld(old);
        const UpdateManifest manifest = tree.stageUpdate(update);
        ImmutableDirectory locked(tree.root + QStringLiteral("/locked"));
        if (!locked.isInEffect())
            QSKIP("needs root and chattr on this file system");

        QCOMPARE(failureOf([&] { installUpdate(tree.root, tree.stage, manifest); }),
                 Msg::fileInUseOrDirectoryReadOnly + QStringLiteral("locked/three.dll"));
        locked.release();
        QCOMPARE(testsupport::describeDifference(snapshotOf(old), tree.program()), QString());
        QCOMPARE(entryPaths(entriesOnDisk(tree)), paths.first(3));
        QCOMPARE(journalState(orThrow(readTransactionJournal(tree.root))), QStringLiteral("rolledback"));
    }

    void failedCopyIsRolledBack()
    {
        // A file stands where the new file's directory must be created.
        UpdateTree tree;
        QMap<QString, QByteArray> old = kOld;
        old.insert(QStringLiteral("plugins"), "a file, not a directory");
        tree.putOld(old);
        const UpdateManifest manifest = tree.stageUpdate(kNew);
        QCOMPARE(failureOf([&] { installUpdate(tree.root, tree.stage, manifest); }),
                 Msg::installFileFailed + QStringLiteral(u"plugins/新/extra.dll"));
        QCOMPARE(testsupport::describeDifference(snapshotOf(old), tree.program()), QString());
        QCOMPARE(journalState(orThrow(readTransactionJournal(tree.root))), QStringLiteral("rolledback"));
        QCOMPARE(entriesOnDisk(tree).size(), 4);
    }

    void freeSpaceBoundary()
    {
        testsupport::SmallDisk disk(48 * 1024 * 1024);
        if (!disk.isMounted())
            QSKIP("needs root to mount a tmpfs");
        QTemporaryDir stage;
        const QString root = disk.path() + QStringLiteral("/program");
        testsupport::writeFile(root, QStringLiteral("Vellumix.exe"), "old");
        QVERIFY(QDir().mkpath(root + QStringLiteral("/.vellumix-update")));
        const qint64 available = QStorageInfo(root).bytesAvailable();
        const qint64 exact = available - 33554432;
        QVERIFY(exact > 0);

        for (const qint64 size : {exact, exact - 1}) {
            UpdateManifest manifest;
            manifest.version = QStringLiteral("2");
            manifest.sequence = 2;
            const QByteArray contents(size, 'n');
            ManifestFile file;
            file.path = QStringLiteral("Vellumix.exe");
            file.sha256 = testsupport::sha256Hex(contents).toLatin1();
            file.size = size;
            manifest.files = {file};
            testsupport::writeFile(stage.path(), QStringLiteral("files/Vellumix.exe"), contents);
            QCOMPARE(QStorageInfo(root).bytesAvailable(), available);
            QCOMPARE(failureOf([&] { installUpdate(root, stage.path(), manifest); }),
                     size == exact ? Msg::notEnoughDiskSpace : kNoFailure);
        }
        QCOMPARE(QFileInfo(root + QStringLiteral("/Vellumix.exe")).size(), exact - 1);
    }
};

QTEST_GUILESS_MAIN(InstallTest)
#include "tst_install.moc"
