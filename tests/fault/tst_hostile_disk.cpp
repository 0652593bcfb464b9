// Disks and files that refuse: a program root on a real full disk (a small tmpfs, out of bytes or
// out of inodes at every point of the install), files and directories that cannot be changed
// (chattr +i), and lock files left behind by a killed run or held by a live one.
#include "faultrig.h"
#include "messages.h"
#include "updatetree.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace fault;

namespace {

QString failureText(const QString &message)
{
    return Msg::failurePrefix + message + Msg::failureTail;
}

// A tmpfs whose number of inodes can be limited while it is mounted.
class InodeDisk
{
public:
    InodeDisk()
    {
        QDir().mkpath(path());
        m_mounted = testsupport::runProgram(QStringLiteral("mount"),
                                            {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                             QStringLiteral("size=256m"), QStringLiteral("tmpfs"), path()})
            == 0;
    }
    ~InodeDisk()
    {
        if (m_mounted)
            testsupport::runProgram(QStringLiteral("umount"), {QStringLiteral("-l"), path()});
    }
    bool isMounted() const { return m_mounted; }
    QString path() const { return m_dir.path() + QStringLiteral("/disk"); }
    qint64 inodesUsed() const
    {
        struct statvfs info;
        if (::statvfs(QFile::encodeName(path()).constData(), &info) != 0)
            return -1;
        return qint64(info.f_files - info.f_ffree);
    }
    bool limitInodes(qint64 inodes) const
    {
        return testsupport::runProgram(QStringLiteral("mount"),
                                       {QStringLiteral("-o"), QStringLiteral("remount,nr_inodes=%1").arg(inodes),
                                        path()})
            == 0;
    }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
};

// Temporary files go to `dir` while the object lives (the Installation takes its directory there).
class TemporaryFilesIn
{
public:
    explicit TemporaryFilesIn(const QString &dir) : m_old(qgetenv("TMPDIR")) { qputenv("TMPDIR", dir.toLocal8Bit()); }
    ~TemporaryFilesIn() { qputenv("TMPDIR", m_old); }

private:
    QByteArray m_old;
};

QString recoverAndCheckOld(const ReferenceUpdate &update, const e2e::Installation &installation)
{
    const e2e::RunResult recovery = installation.runUpdater(
        {QStringLiteral("--root"), installation.root(), QStringLiteral("--recover"), QStringLiteral("--quiet")});
    if (recovery.exitCode != 0)
        return QStringLiteral("recovery: exit %1 %2").arg(recovery.exitCode).arg(recovery.errorOutput);
    return differenceFromOld(update, installation);
}

} // namespace

class HostileDisk : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        if (!testsupport::isRoot())
            QSKIP("needs root for tmpfs mounts and chattr");
        m_update = std::make_unique<ReferenceUpdate>(NewVersion::Confirms);
    }

    void cleanupTestCase() { m_update.reset(); }

    void diskWithoutRoomForTheUpdate()
    {
        // Room for the old version but not for the new files and the reserve: refused up front.
        // The disk is filled until exactly the 32 MiB reserve is left, whatever the size of the
        // programs of this build, so the requirement (the reserve plus the changed files) is
        // always above what is available.
        testsupport::SmallDisk disk(256 * 1024 * 1024);
        QVERIFY(disk.isMounted());
        const TemporaryFilesIn onDisk(disk.path());
        const auto installation = m_update->freshInstallation();
        constexpr qint64 kReserve = 32 * 1024 * 1024;
        QFile filler(disk.path() + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(1024 * 1024, 'f');
        for (qint64 left = QStorageInfo(disk.path()).bytesAvailable() - kReserve; left > 0; left -= block.size())
            QVERIFY(filler.write(block.constData(), qMin<qint64>(left, block.size())) > 0);
        filler.close();
        QVERIFY(QStorageInfo(disk.path()).bytesAvailable() <= kReserve);
        const e2e::RunResult run = installation->runUpdater(m_update->applyArguments(*installation));
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.errorOutput, failureText(Msg::notEnoughDiskSpace));
        QCOMPARE(differenceFromOld(*m_update, *installation), QString());
    }

    void diskRunsOutOfInodesAtEveryStep()
    {
        // The byte check passes, but the file system runs out of inodes after k more files: the
        // install, its journal writes, the rollback and the record meet a real ENOSPC at every
        // point in turn until the update fits.
        InodeDisk disk;
        QVERIFY(disk.isMounted());
        const TemporaryFilesIn onDisk(disk.path());
        int points = 0;
        QMap<int, int> exitCodes;
        for (int spare = 0; spare < 80; ++spare) {
            QVERIFY(disk.limitInodes(1000000));
            const auto installation = m_update->freshInstallation();
            QVERIFY(disk.limitInodes(disk.inodesUsed() + spare));
            const e2e::RunResult run = installation->runUpdater(m_update->applyArguments(*installation));
            QVERIFY(disk.limitInodes(1000000));
            ++points;
            ++exitCodes[run.exitCode];
            const QString context = QStringLiteral("%1 spare inodes: exit %2 %3").arg(spare).arg(run.exitCode).arg(run.errorOutput);
            switch (run.exitCode) {
            case 0:
                QVERIFY2(differenceFromNew(*m_update, *installation).isEmpty(), qPrintable(context));
                break;
            case 1: {
                const QString difference = updateBecameHealthy(*installation)
                    ? differenceFromNew(*m_update, *installation)
                    : differenceFromOld(*m_update, *installation);
                QVERIFY2(difference.isEmpty(), qPrintable(context + u'\n' + difference));
                break;
            }
            case 4: // the new version could not write its health file
            case 3: // the lock file itself could not be made
                QVERIFY2(differenceFromOld(*m_update, *installation).isEmpty(), qPrintable(context));
                break;
            case 6:
                QVERIFY2(lostOldFiles(*m_update, *installation).isEmpty(), qPrintable(context));
                break;
            default:
                QFAIL(qPrintable(context));
            }
            if (run.exitCode != 0) {
                const QString recovered = recoverAndCheckOld(*m_update, *installation);
                // A run that failed after the confirmation keeps the new version.
                if (!updateBecameHealthy(*installation))
                    QVERIFY2(recovered.isEmpty(), qPrintable(context + u'\n' + recovered));
            }
            if (run.exitCode == 0)
                break;
        }
        QStringList outcomes;
        for (auto it = exitCodes.cbegin(); it != exitCodes.cend(); ++it)
            outcomes << QStringLiteral("exit %1: %2").arg(it.key()).arg(it.value());
        qInfo("full-disk points (inodes): %d; %s", points, qPrintable(outcomes.join(QStringLiteral(", "))));
        QVERIFY(exitCodes.value(0) == 1);
        QVERIFY(exitCodes.value(1) > 10);
    }

    void filesThatCannotChange_data()
    {
        QTest::addColumn<QString>("immutable");
        QTest::addColumn<bool>("recover");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("text");
        QTest::newRow("a replaced file") << "lib/core.dll" << false << 1
                                         << failureText(Msg::fileInUseOrDirectoryReadOnly + QStringLiteral("lib/core.dll"));
        QTest::newRow("the directory of a replaced file") << "data" << false << 1
                                                          << failureText(Msg::fileInUseOrDirectoryReadOnly + QStringLiteral("data/big.bin"));
        QTest::newRow("the directory of new files") << "res" << false << 1
                                                    << failureText(Msg::installFileFailed + QStringLiteral("res/new.txt"));
        QTest::newRow("the old backup") << ".vellumix-update/backup/lib" << false << 1
                                        << failureText(Msg::cannotClearOldBackup);
        QTest::newRow("the work directory") << ".vellumix-update" << false << 3 << QString();
        QTest::newRow("recovery: a directory holding new files") << "lib" << true << 6
            << Msg::cannotRemoveNewFile + Msg::rollbackSeparator + Msg::cannotRemoveNewFile + Msg::backupKeptTail;
    }

    void filesThatCannotChange()
    {
        QFETCH(QString, immutable);
        QFETCH(bool, recover);
        QFETCH(int, exitCode);
        QFETCH(QString, text);
        const auto installation = m_update->freshInstallation();
        if (recover) {
            // An install interrupted after it put two new files in place.
            testsupport::writeFile(installation->root(), QStringLiteral("lib/new.dll"), "new library");
            testsupport::writeFile(installation->workPath(QString()), QStringLiteral("transaction.json"),
                                   "{\"entries\":[{\"hadOld\":false,\"path\":\"lib/new.dll\"}],\"sequence\":2,"
                                   "\"state\":\"installing\",\"token\":\"t\",\"version\":\"2.0.0\"}");
        }
        const auto before = installation->programTree();
        ImmutableDirectory locked(installation->root() + u'/' + immutable);
        QVERIFY(locked.isInEffect());
        const QStringList arguments = recover
            ? QStringList{QStringLiteral("--root"), installation->root(), QStringLiteral("--recover"), QStringLiteral("--quiet")}
            : m_update->applyArguments(*installation);
        const e2e::RunResult run = installation->runUpdater(arguments);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.errorOutput.section(u'\n', 0, text.count(u'\n')), text); // Qt may add a lock warning
        // Directories that the install made for new files stay after its rollback.
        QCOMPARE(recover ? testsupport::describeDifference(before, installation->programTree())
                         : differenceFromOld(*m_update, *installation),
                 QString());
        locked.release();
        if (recover) {
            QCOMPARE(installation->journalState(), QStringLiteral("installing"));
            QCOMPARE(recoverAndCheckOld(*m_update, *installation), QString());
        } else {
            QVERIFY(installation->journalState() != u"installing");
        }
    }

    void lockFileLeftByAKilledRun_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("heldByALiveProcess");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("empty, killed before it was written") << QByteArray() << false << 0;
        QTest::newRow("half written") << QByteArray("12") << false << 0;
        QTest::newRow("empty, its owner still writing it") << QByteArray() << true << 3;
    }

    void lockFileLeftByAKilledRun()
    {
        QFETCH(QByteArray, contents);
        QFETCH(bool, heldByALiveProcess);
        QFETCH(int, exitCode);
        const auto installation = m_update->freshInstallation();
        const QString lockPath = installation->workPath(QStringLiteral("installer.lock"));
        testsupport::writeFile(installation->workPath(QString()), QStringLiteral("installer.lock"), contents);
        // A live owner holds an exclusive lock on its lock file from the moment it made it.
        const int fd = ::open(QFile::encodeName(lockPath).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        if (heldByALiveProcess)
            QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        const e2e::RunResult run = installation->runUpdater(
            {QStringLiteral("--root"), installation->root(), QStringLiteral("--recover"), QStringLiteral("--quiet")});
        ::close(fd);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(QFileInfo::exists(lockPath), heldByALiveProcess);
    }

private:
    std::unique_ptr<ReferenceUpdate> m_update;
};

QTEST_GUILESS_MAIN(HostileDisk)
#include "tst_hostile_disk.moc"
