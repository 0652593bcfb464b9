// Symbolic links planted, one at a time, at every place the updater touches: above the program
// root, the work directory, the backup directory and inside it, the updater's own files, the
// targets and their directories, the staged files and their directories, the health file. Each
// run must refuse with the right text, change nothing outside the work directory, and write
// nothing through the link.
#include "faultrig.h"
#include "messages.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace fault;
using testsupport::snapshotTree;

namespace {

QString failureText(const QString &message)
{
    return Msg::failurePrefix + message + Msg::failureTail;
}

QString rollbackFailureText(const QString &message)
{
    return message + Msg::rollbackSeparator + message + Msg::backupKeptTail;
}

void copyTree(const QString &from, const QString &to)
{
    QCOMPARE(testsupport::runProgram(QStringLiteral("cp"), {QStringLiteral("-a"), from, to}), 0);
}

// Moves `path` to `elsewhere`/`name` and leaves a link to it in its place: the same content,
// reached through the link.
void replaceByLink(const QString &path, const QString &elsewhere, const QString &name)
{
    const QString target = elsewhere + u'/' + name;
    QDir().mkpath(QFileInfo(target).absolutePath());
    if (QFileInfo::exists(path))
        QVERIFY(QFile::rename(path, target));
    QVERIFY(QFile::link(target, path));
}

// A journal of an install of lib/core.dll that was interrupted after the old file went into the
// backup, so that a recovery run rolls it back.
void leaveInterruptedInstall(const e2e::Installation &installation)
{
    testsupport::writeFile(installation.workPath(QStringLiteral("backup")), QStringLiteral("lib/core.dll"),
                           "core library 1.0.0");
    testsupport::writeFile(installation.root(), QStringLiteral("lib/core.dll"), "core library 2");
    testsupport::writeFile(installation.workPath(QString()), QStringLiteral("transaction.json"),
                           "{\"entries\":[{\"hadOld\":true,\"path\":\"lib/core.dll\"}],\"sequence\":2,"
                           "\"state\":\"installing\",\"token\":\"t\",\"version\":\"2.0.0\"}");
}

} // namespace

class HostileFileSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        m_scratch = std::make_unique<Scratch>();
        m_confirms = std::make_unique<ReferenceUpdate>(NewVersion::Confirms);
        m_crashes = std::make_unique<ReferenceUpdate>(NewVersion::Crashes);
    }

    void cleanupTestCase()
    {
        qInfo("attack cases: %d, each refused with nothing changed outside the work directory and "
              "nothing written through the link", m_cases);
        m_confirms.reset();
        m_crashes.reset();
        m_scratch.reset();
    }

    void plantedLink_data()
    {
        QTest::addColumn<QString>("place");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("treeAfter"); // "unchanged", "rolledback" or "new"

        const QString onWork = failureText(Msg::workDirectoryHasLink);
        const QString onPath = failureText(Msg::pathHasLinkOrJunction);
        const QString inBackup = failureText(Msg::backupContainsLink);
        const QString unchanged = QStringLiteral("unchanged");
        QTest::newRow("an ancestor of the program root") << "ancestor" << 1 << onWork << unchanged;
        QTest::newRow("the program root") << "root" << 1 << onWork << unchanged;
        QTest::newRow("the work directory") << "work" << 1 << onWork << unchanged;
        QTest::newRow("the backup directory") << "backup" << 1 << onWork << unchanged;
        QTest::newRow("a directory in the old backup") << "backup/lib" << 1 << inBackup << unchanged;
        QTest::newRow("a file in the old backup") << "backup/lib/core.dll" << 1 << inBackup << unchanged;
        QTest::newRow("a hidden entry in the old backup") << "backup/.hidden" << 1 << inBackup << unchanged;
        QTest::newRow("the journal") << "transaction.json" << 1 << onWork << unchanged;
        QTest::newRow("the lock file") << "installer.lock" << 3 << QString() << unchanged;
        // Found by the probe after the install: rolled back (directories made for new files stay).
        QTest::newRow("the health file") << "health.json" << 1 << onWork << "rolledback";
        QTest::newRow("a replaced file") << "lib/core.dll" << 1 << onPath << unchanged;
        QTest::newRow("an unchanged file") << "docs/readme.txt" << 1 << onPath << unchanged;
        QTest::newRow("the name of a new file") << "lib/new.dll" << 1 << onPath << unchanged;
        QTest::newRow("the updater itself") << "VellumixUpdater.exe" << 1 << onPath << unchanged;
        QTest::newRow("a target's directory") << "lib" << 1 << onPath << unchanged;
        QTest::newRow("a target's directory, two levels up") << QStringLiteral(u"插件") << 1 << onPath << unchanged;
        QTest::newRow("the name of a new directory") << "plugins" << 1 << onPath << unchanged;
        QTest::newRow("the staged files directory") << "stage:files" << 1 << onPath << unchanged;
        QTest::newRow("a staged file") << "stage:files/lib/core.dll" << 1 << onPath << unchanged;
        QTest::newRow("a staged file's directory") << "stage:files/lib" << 1 << onPath << unchanged;
        QTest::newRow("a staged file's directory, two levels up") << QStringLiteral(u"stage:files/插件") << 1 << onPath << unchanged;
        // Found only when the record is written, after the update became final: the program is
        // the new version, the failure is reported, nothing is written through the link.
        QTest::newRow("the installed record") << "installed.json" << 1 << onWork << "new";
        // A recovery run that finds the link while it rolls back: both attempts refuse, the old
        // file stays in the backup.
        QTest::newRow("recovery: a target's directory") << "recover:lib" << 6
            << rollbackFailureText(Msg::pathHasLinkOrJunction) << unchanged;
        QTest::newRow("recovery: a directory in the backup") << "recover:backup/lib" << 6
            << rollbackFailureText(Msg::pathHasLinkOrJunction) << unchanged;
    }

    void plantedLink()
    {
        QFETCH(QString, place);
        QFETCH(int, exitCode);
        QFETCH(QString, text);
        QFETCH(QString, treeAfter);

        // The health file is read before the new version could write it; a new version that
        // ends at once writes nothing through the link itself.
        const ReferenceUpdate &update =
            place == u"installed.json" ? *m_confirms : *m_crashes;
        const auto installation = update.freshInstallation();
        const QString base = QFileInfo(installation->root()).absolutePath();
        const QString elsewhere = base + QStringLiteral("/elsewhere");
        QDir().mkpath(elsewhere);
        const QString stage = base + QStringLiteral("/stage-copy");
        copyTree(update.stage(), stage);
        QString root = installation->root();
        const QString work = installation->workPath(QString()).chopped(1);

        if (place == u"ancestor") {
            QVERIFY(QFile::link(base, elsewhere + QStringLiteral("/up")));
            root = elsewhere + QStringLiteral("/up/program");
        } else if (place == u"root") {
            QVERIFY(QFile::link(installation->root(), elsewhere + QStringLiteral("/program")));
            root = elsewhere + QStringLiteral("/program");
        } else if (place == u"work") {
            replaceByLink(work, elsewhere, QStringLiteral("work"));
        } else if (place.startsWith(QStringLiteral("stage:"))) {
            replaceByLink(stage + u'/' + place.mid(6), elsewhere, place.mid(6));
        } else if (place.startsWith(QStringLiteral("recover:"))) {
            leaveInterruptedInstall(*installation);
            const QString path = place.mid(8);
            replaceByLink(path.startsWith(QStringLiteral("backup")) ? work + u'/' + path
                                                                    : root + u'/' + path,
                          elsewhere, path);
        } else if (QStringList{QStringLiteral("backup"), QStringLiteral("transaction.json"),
                               QStringLiteral("installer.lock"), QStringLiteral("health.json"),
                               QStringLiteral("installed.json")}
                       .contains(place.section(u'/', 0, 0))) {
            if (place == u"health.json" || place == u"installer.lock")
                testsupport::writeFile(work, place, "{}");
            /*
                The refusal of the health file rolls the update back while the new version may
                still be starting: it then reads the old settings. The stand-in writes its health
                file with a save-file, which follows a link; so that nothing but the updater could
                write through this one, the old version ends at once too.
            */
            if (place == u"health.json")
                testsupport::writeFile(root, QStringLiteral("vellumix-sample.json"),
                                       "{\"version\":\"1.0.0\",\"sequence\":1,\"behaviour\":\"exit\",\"runMs\":0}");
            replaceByLink(work + u'/' + place, elsewhere, place);
        } else {
            const QString path = root + u'/' + place;
            if (!QFileInfo::exists(path) && !place.contains(u'.'))
                QDir().mkpath(path); // a new directory: the link stands in for it
            replaceByLink(path, elsewhere, place);
        }

        const auto programBefore = snapshotTree(installation->root(), {QStringLiteral(".vellumix-update")});
        const auto elsewhereBefore = snapshotTree(elsewhere);
        QStringList arguments{QStringLiteral("--root"), root, QStringLiteral("--quiet")};
        if (place.startsWith(QStringLiteral("recover:")))
            arguments << QStringLiteral("--recover");
        else
            arguments << QStringLiteral("--stage") << stage;
        const e2e::RunResult run = installation->runUpdater(arguments);

        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.errorOutput, text);
        if (treeAfter == u"new") {
            QCOMPARE(differenceFromNew(update, *installation), QString());
        } else if (treeAfter == u"rolledback") {
            // The directories that the install made for new files stay after its rollback.
            auto after = snapshotTree(installation->root(), {QStringLiteral(".vellumix-update")});
            for (const QString &dir : update.createdDirectories())
                after.remove(dir);
            QCOMPARE(testsupport::describeDifference(programBefore, after), QString());
        } else {
            QCOMPARE(testsupport::describeDifference(
                         programBefore, snapshotTree(installation->root(), {QStringLiteral(".vellumix-update")})),
                     QString());
        }
        QCOMPARE(testsupport::describeDifference(elsewhereBefore, snapshotTree(elsewhere)), QString());
        ++m_cases;
    }

private:
    std::unique_ptr<Scratch> m_scratch;
    std::unique_ptr<ReferenceUpdate> m_confirms;
    std::unique_ptr<ReferenceUpdate> m_crashes;
    int m_cases = 0;
};

QTEST_GUILESS_MAIN(HostileFileSystem)
#include "tst_hostile_fs.moc"
