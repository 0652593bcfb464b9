// Disks and files that refuse: a program root on a real full disk (a small tmpfs, out of bytes or
// out of inodes at every point of the install), files and directories that cannot be changed
// (chattr +i), lock files left behind by killed runs or held by a live one, and live updaters
// started together over them.
#include "faultrig.h"
#include "messages.h"
#include "updatetree.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStorageInfo>
#include <QSysInfo>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// The lock files in the work directory.
QStringList lockFiles(const e2e::Installation &installation)
{
    return QDir(installation.workPath(QString()))
        .entryList({QStringLiteral("installer.lock*")}, QDir::AllEntries | QDir::Hidden | QDir::System,
                   QDir::Name);
}

// Recovery runs killed in turn at the `kills` ("call#n"); without kills, `written` as the lock file.
bool leaveLocksOfKilledRuns(const e2e::Installation &installation, const QStringList &kills,
                            const QByteArray &written)
{
    if (kills.isEmpty()) {
        testsupport::writeFile(installation.workPath(QString()), QStringLiteral("installer.lock"), written);
        return true;
    }
    for (const QString &kill : kills) {
        const InjectedRun run = runInjected(installation, installation.recoverArguments(), kill.section(u'#', 0, 0),
                                            QStringLiteral("signal=KILL"), kill.section(u'#', 1).toInt());
        if (!run.reached || run.result.exitCode != -1)
            return false;
    }
    return true;
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
        // Lock files made by real runs killed in turn ("call#n": a recovery killed at the n-th
        // call), or, without kills, one written by hand: @live stands for the id of this test's
        // process (alive, and no updater), @host, @hostId and @bootId for this machine's;
        // "@fifo" is a pipe in the lock file's place.
        QTest::addColumn<QStringList>("kills");
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QString>("heldByALiveProcess"); // held while the run happens; made if absent
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("left");
        const QString lock = QStringLiteral("installer.lock");
        const QString helper = lock + QStringLiteral(".rmlock");
        // A recovery run with a stale lock makes the helper first: its write #1 and fdatasync #1
        // are the helper's, its unlink #2 removes the helper after the stale lock (#1).
        const QString deadOwner = QStringLiteral("fdatasync#1");
        QTest::newRow("empty, killed before it was written") << QStringList() << QByteArray("") << QString() << 0 << QStringList();
        QTest::newRow("half written") << QStringList() << QByteArray("12") << QString() << 0 << QStringList();
        QTest::newRow("empty, its owner still writing it") << QStringList() << QByteArray("") << lock << 3 << QStringList{lock};
        QTest::newRow("a dead owner's") << QStringList{deadOwner} << QByteArray() << QString() << 0 << QStringList();
        QTest::newRow("a dead owner's, and an empty helper of a recovery killed while it removed it")
            << QStringList{deadOwner, QStringLiteral("write#1")} << QByteArray() << QString() << 0 << QStringList();
        QTest::newRow("a dead owner's, and the helper of a dead remover")
            << QStringList{deadOwner, deadOwner} << QByteArray() << QString() << 0 << QStringList();
        QTest::newRow("a dead owner's, a dead remover's helper and an empty helper of that helper")
            << QStringList{deadOwner, deadOwner, QStringLiteral("write#1")} << QByteArray() << QString() << 0 << QStringList();
        QTest::newRow("the helper of a run killed after it removed a dead owner's lock")
            << QStringList{deadOwner, QStringLiteral("unlink#2")} << QByteArray() << QString() << 0 << QStringList();
        QTest::newRow("a dead owner's, and an empty helper that a live remover holds")
            << QStringList{deadOwner} << QByteArray() << helper << 3 << QStringList{lock, helper};
        // After a restart the id of a killed updater names a live process of another program,
        // which the file names, by the name it gave, as its own.
        QTest::newRow("a live process that is not the updater")
            << QStringList() << QByteArray("@live\ntst_hostile_disk\n@host\n@hostId\n@bootId\n")
            << QString() << 0 << QStringList();
        // Never opened: an open for reading would wait for a writer for ever.
        QTest::newRow("a pipe") << QStringList() << QByteArray("@fifo") << QString() << 3 << QStringList{lock};
    }

    void lockFileLeftByAKilledRun()
    {
        QFETCH(QStringList, kills);
        QFETCH(QByteArray, written);
        QFETCH(QString, heldByALiveProcess);
        QFETCH(int, exitCode);
        QFETCH(QStringList, left);
        const auto installation = m_update->freshInstallation();
        if (written == "@fifo") {
            const QString path = installation->workPath(QStringLiteral("installer.lock"));
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else {
            written.replace("@live", QByteArray::number(QCoreApplication::applicationPid()))
                .replace("@hostId", QSysInfo::machineUniqueId())
                .replace("@host", QSysInfo::machineHostName().toUtf8())
                .replace("@bootId", QSysInfo::bootUniqueId());
            QVERIFY2(leaveLocksOfKilledRuns(*installation, kills, written), qPrintable(kills.join(u' ')));
        }
        int fd = -1;
        if (!heldByALiveProcess.isEmpty()) {
            // A live owner holds an exclusive lock on its lock file from the call after the one
            // that made it.
            const QString path = installation->workPath(heldByALiveProcess);
            fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
            QVERIFY(fd >= 0);
            QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        }
        const e2e::RunResult run = installation->runUpdater(installation->recoverArguments(), 30000);
        if (fd >= 0)
            ::close(fd);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(lockFiles(*installation), left);
        if (exitCode == 0) // the recovery starts the application (before its directory goes)
            QVERIFY(installation->waitForAppLog(QStringLiteral("version 1.0.0 started")));
    }

    void lockFileThatALiveUpdaterIsMaking()
    {
        // A live updater's lock file in the moment between its creation and the call that locks
        // it, before its owner is written: neither held nor named. Its maker names itself and
        // locks it a tenth of a second after the other updater has started.
        const auto installation = m_update->freshInstallation();
        const QString lockPath = installation->workPath(QStringLiteral("installer.lock"));
        const int fd = ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        QProcess updater;
        updater.start(QString::fromUtf8(VELLUMIX_UPDATER_BINARY), installation->recoverArguments());
        QVERIFY(updater.waitForStarted());
        QThread::msleep(100);
        const QByteArray owner = QByteArray::number(QCoreApplication::applicationPid()) + '\n'
            + QCoreApplication::applicationName().toUtf8() + '\n' + QSysInfo::machineHostName().toUtf8() + '\n';
        QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        QCOMPARE(::write(fd, owner.constData(), size_t(owner.size())), ssize_t(owner.size()));
        QVERIFY(updater.waitForFinished(30000));
        ::close(fd);
        QCOMPARE(updater.exitCode(), 3);
        QCOMPARE(testsupport::readFile(lockPath), owner);
    }

    void liveUpdatersExcludeEachOther_data()
    {
        QTest::addColumn<QStringList>("kills");
        const QString deadOwner = QStringLiteral("fdatasync#1");
        QTest::newRow("no lock file") << QStringList();
        QTest::newRow("an ownerless lock file") << QStringList{QStringLiteral("write#1")};
        QTest::newRow("a dead owner's, and an empty helper") << QStringList{deadOwner, QStringLiteral("write#1")};
        QTest::newRow("a dead owner's, a dead remover's helper and an empty helper of that helper")
            << QStringList{deadOwner, deadOwner, QStringLiteral("write#1")};
        QTest::newRow("the helper of a run killed after it removed a dead owner's lock")
            << QStringList{deadOwner, QStringLiteral("unlink#2")};
    }

    void liveUpdatersExcludeEachOther()
    {
        // Updaters started together over what killed runs left: each that takes the lock keeps it
        // while it waits for a parent that lives until the test ends it, so two of them running
        // at once after the others ended would be two holders. Exactly one may hold it.
        QFETCH(QStringList, kills);
        const auto installation = m_update->freshInstallation();
        QVERIFY(leaveLocksOfKilledRuns(*installation, kills, QByteArray()));
        e2e::Sleeper parent(60000);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VELLUMIX_SAMPLE_LOG"), installation->root() + QStringLiteral("/../app.log"));
        std::vector<std::unique_ptr<QProcess>> updaters;
        for (int i = 0; i < 8; ++i) {
            updaters.push_back(std::make_unique<QProcess>());
            updaters.back()->setProcessEnvironment(environment);
            updaters.back()->start(QString::fromUtf8(VELLUMIX_UPDATER_BINARY),
                                   installation->recoverArguments()
                                       << QStringLiteral("--parent") << QString::number(parent.pid()));
        }
        const auto running = [&]() {
            return std::count_if(updaters.cbegin(), updaters.cend(), [](const auto &updater) {
                return updater->state() != QProcess::NotRunning;
            });
        };
        QDeadlineTimer deadline(30000);
        while (running() > 1 && !deadline.hasExpired()) {
            for (const auto &updater : updaters) {
                if (updater->state() != QProcess::NotRunning)
                    updater->waitForFinished(10);
            }
        }
        const qsizetype holders = running();
        parent.stop();
        QMap<int, int> exitCodes;
        for (const auto &updater : updaters) {
            QVERIFY(updater->state() == QProcess::NotRunning || updater->waitForFinished(30000));
            ++exitCodes[updater->exitStatus() == QProcess::NormalExit ? updater->exitCode() : -1];
        }
        QCOMPARE(holders, 1);
        QCOMPARE(exitCodes, (QMap<int, int>{{0, 1}, {3, 7}}));
        QCOMPARE(installation->journalState(), QStringLiteral("healthy"));
        QCOMPARE(lockFiles(*installation), QStringList());
        QVERIFY(installation->waitForAppLog(QStringLiteral("version 1.0.0 started")));
    }

private:
    std::unique_ptr<ReferenceUpdate> m_update;
};

QTEST_GUILESS_MAIN(HostileDisk)
#include "tst_hostile_disk.moc"
