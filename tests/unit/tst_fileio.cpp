// The bounded read and the atomic write, on real files, a full tmpfs and an immutable directory;
// the lock policy on lock files of live, ended and foreign owners.
#include "fileio.h"
#include "lockpolicy.h"
#include "messages.h"
#include "testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace vellumix;
using testsupport::failureOf;

Q_DECLARE_METATYPE(vellumix::LockFileState)
using testsupport::kNoFailure;

class FileIoTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

    QString path(const QString &name) const { return m_tmp.path() + u'/' + name; }

private slots:
    void readsUpToTheBound_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("bound");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("empty") << qint64(0) << qint64(0x800000) << true;
        QTest::newRow("exactly the bound") << qint64(0x800000) << qint64(0x800000) << true;
        QTest::newRow("one byte over") << qint64(0x800001) << qint64(0x800000) << false;
        QTest::newRow("small bound") << qint64(11) << qint64(10) << false;
        QTest::newRow("zero bound, empty file") << qint64(0) << qint64(0) << true;
    }

    void readsUpToTheBound()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, bound);
        QFETCH(bool, accepted);
        QByteArray contents(size, '\0');
        for (qint64 i = 0; i < size; ++i)
            contents[i] = char(i * 7);
        testsupport::writeFile(m_tmp.path(), QStringLiteral("manifest.json"), contents);
        QByteArray read;
        const QString failure =
            failureOf([&] { read = orThrow(readFileLimited(path(QStringLiteral("manifest.json")), bound)); });
        QCOMPARE(failure, accepted ? kNoFailure : Msg::fileTooLarge);
        if (accepted)
            QVERIFY(read == contents);
    }

    void missingFileIsNamedWithoutItsDirectory()
    {
        QCOMPARE(failureOf([&] { orThrow(readFileLimited(path(QStringLiteral("stage/manifest.json")), 10)); }),
                 QStringLiteral(u"无法读取文件：manifest.json"));
        QCOMPARE(failureOf([&] { orThrow(readFileLimited(m_tmp.path(), 10)); }),
                 Msg::cannotReadFile + QFileInfo(m_tmp.path()).fileName());
    }

    void sparseGiantIsRefusedUnread()
    {
        // One tebibyte of holes: reading it would take hours and the memory of the machine.
        QFile sparse(path(QStringLiteral("giant")));
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.resize(qint64(1) << 40));
        sparse.close();
        QCOMPARE(failureOf([&] { orThrow(readFileLimited(sparse.fileName(), 0x800000)); }), Msg::fileTooLarge);
    }

    void endlessDeviceIsBounded()
    {
        // A device reports size 0 but never ends; the read must still stop at the bound.
        QCOMPARE(failureOf([] { orThrow(readFileLimited(QStringLiteral("/dev/zero"), 4096)); }),
                 Msg::fileTooLarge);
    }

    void writeCreatesMissingDirectories()
    {
        const QString target = path(QStringLiteral("a/b/c/transaction.json"));
        QCOMPARE(failureOf([&] { orThrow(writeFileAtomic(target, "{\"state\":\"installing\"}")); }), kNoFailure);
        QCOMPARE(testsupport::readFile(target), QByteArray("{\"state\":\"installing\"}"));
        QCOMPARE(failureOf([&] { orThrow(writeFileAtomic(target, QByteArray())); }), kNoFailure);
        QVERIFY(QFileInfo::exists(target));
        QCOMPARE(QFileInfo(target).size(), 0);
        QCOMPARE(QDir(path(QStringLiteral("a/b/c"))).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("transaction.json")});
    }

    void fileWhereADirectoryMustBe()
    {
        testsupport::writeFile(m_tmp.path(), QStringLiteral("blocker"), "i am a file");
        QCOMPARE(failureOf([&] { orThrow(writeFileAtomic(path(QStringLiteral("blocker/sub/x.json")), "x")); }),
                 Msg::cannotCreateUpdateDirectory);
        QCOMPARE(testsupport::readFile(path(QStringLiteral("blocker"))), QByteArray("i am a file"));
    }

    void fullDiskKeepsThePreviousFile()
    {
        testsupport::SmallDisk disk(256 * 1024);
        if (!disk.isMounted())
            QSKIP("needs root to mount a tmpfs");
        const QString target = disk.path() + QStringLiteral("/work/transaction.json");
        QCOMPARE(failureOf([&] { orThrow(writeFileAtomic(target, "previous")); }), kNoFailure);
        disk.fill();
        const auto before = testsupport::snapshotTree(disk.path());
        QCOMPARE(failureOf([&] { orThrow(writeFileAtomic(target, QByteArray(64 * 1024, 'n'))); }),
                 Msg::cannotSaveUpdateFile);
        QCOMPARE(testsupport::readFile(target), QByteArray("previous"));
        QCOMPARE(testsupport::snapshotTree(disk.path()), before);
    }

    // The one atomic write tells each program which step failed, so each says it in its words.
    void atomicWriteTellsWhichStepFailed_data()
    {
        QTest::addColumn<QString>("setup"); // what stands in the way
        QTest::addColumn<int>("status");
        QTest::newRow("nothing") << QString() << int(AtomicWriteResult::Written);
        QTest::newRow("link at the name") << QStringLiteral("link")
                                          << int(AtomicWriteResult::LinkAtName);
        QTest::newRow("dangling link at the name") << QStringLiteral("dangling")
                                                   << int(AtomicWriteResult::LinkAtName);
        QTest::newRow("file where the folder must be") << QStringLiteral("blocker")
                                                       << int(AtomicWriteResult::CannotCreateDirectory);
        QTest::newRow("folder at the name") << QStringLiteral("folder")
                                            << int(AtomicWriteResult::CannotWrite);
    }

    void atomicWriteTellsWhichStepFailed()
    {
        QFETCH(QString, setup);
        QFETCH(int, status);
        const QTemporaryDir dir;
        QString target = dir.path() + QStringLiteral("/feed/manifest.json");
        const QString elsewhere = dir.path() + QStringLiteral("/elsewhere.json");
        testsupport::writeFile(dir.path(), QStringLiteral("elsewhere.json"), "kept");
        QVERIFY(QDir().mkpath(dir.path() + QStringLiteral("/feed")));
        if (setup == u"link")
            QVERIFY(QFile::link(elsewhere, target));
        if (setup == u"dangling")
            QVERIFY(QFile::link(dir.path() + QStringLiteral("/nothing"), target));
        if (setup == u"folder")
            QVERIFY(QDir().mkpath(target));
        if (setup == u"blocker")
            target = elsewhere + QStringLiteral("/manifest.json");
        const AtomicWriteResult result = replaceFileAtomically(target, "new");
        QCOMPARE(int(result.status), status);
        QCOMPARE(result.ok(), status == AtomicWriteResult::Written);
        QCOMPARE(testsupport::readFile(elsewhere), QByteArray("kept"));
        if (result.ok())
            QCOMPARE(testsupport::readFile(target), QByteArray("new"));
        QVERIFY(!QFileInfo::exists(dir.path() + QStringLiteral("/nothing")));
    }

    // A replaced file whose predecessor carries a time at or ahead of the clock still comes out
    // later than it, in whole seconds; by default the file keeps the time it was written at.
    void modificationTimeAfterThePrevious()
    {
        const QString target = path(QStringLiteral("channel/manifest.json"));
        QVERIFY(replaceFileAtomically(target, "first").ok());
        const QDateTime ahead = QDateTime::currentDateTime().addSecs(100);
        QFile previous(target);
        QVERIFY(previous.open(QIODevice::ReadWrite));
        QVERIFY(previous.setFileTime(ahead, QFileDevice::FileModificationTime));
        previous.close();
        QVERIFY(replaceFileAtomically(target, "second", ModificationTime::AfterPrevious).ok());
        QCOMPARE(QFileInfo(target).lastModified().toSecsSinceEpoch(), ahead.toSecsSinceEpoch() + 1);
        QVERIFY(replaceFileAtomically(target, "third").ok());
        QVERIFY(QFileInfo(target).lastModified() < ahead);
        QCOMPARE(testsupport::readFile(target), QByteArray("third"));
    }

    void lockPolicy_data()
    {
        // What stands at the lock's name: "none", "pipe", "link" (to a file this process names
        // itself in), "pipe helper" (an ownerless lock file with a pipe where its helper goes), or
        // the bytes of the file with @self (this process), @ended (a process that has ended),
        // @host, @hostId and @bootId (this machine's) put in.
        QTest::addColumn<QByteArray>("lock");
        QTest::addColumn<QString>("program"); // empty: this test's own program
        QTest::addColumn<int>("ageSeconds");  // its modification time so long ago (< 0: ahead)
        QTest::addColumn<LockFileState>("state");
        const QByteArray self = "@self\ntst_fileio\n@host\n@hostId\n@bootId\n";
        const QString updater = QStringLiteral("VellumixUpdater.exe");
        QTest::newRow("none") << QByteArray("none") << updater << 0 << LockFileState::Absent;
        QTest::newRow("a live process of the program") << self << QString() << 0 << LockFileState::Held;
        QTest::newRow("a live process of another program, which the file names as its own")
            << self << updater << 0 << LockFileState::Abandoned;
        QTest::newRow("a live process of another program, the file naming the program")
            << QByteArray("@self\nVellumixUpdater.exe\n@host\n") << updater << 0
            << LockFileState::Abandoned;
        QTest::newRow("an ended process") << QByteArray("@ended\ntst_fileio\n@host\n") << QString() << 0
                                          << LockFileState::Abandoned;
        QTest::newRow("another host") << QByteArray("@self\ntst_fileio\nanother-host\n") << QString()
                                      << 600 << LockFileState::OtherHost;
        QTest::newRow("another host's id") << QByteArray("@self\ntst_fileio\n@host\n0123abcd\n")
                                           << QString() << 0 << LockFileState::OtherHost;
        QTest::newRow("another host's name, this machine's id")
            << QByteArray("@ended\nVellumixUpdater.exe\nanother-host\n@hostId\n") << updater << 0
            << LockFileState::Abandoned;
        QTest::newRow("an earlier boot") << QByteArray("@self\ntst_fileio\n@host\n@hostId\nearlier\n")
                                         << QString() << 0 << LockFileState::Abandoned;
        QTest::newRow("no owner, just made") << QByteArray() << updater << 0 << LockFileState::Unsettled;
        QTest::newRow("no owner, half a line") << QByteArray("12") << updater << 0 << LockFileState::Unsettled;
        QTest::newRow("no owner, settled") << QByteArray() << updater << 5 << LockFileState::Abandoned;
        QTest::newRow("no owner, modified an hour ahead") << QByteArray() << updater << -3600
                                                          << LockFileState::Abandoned;
        QTest::newRow("a pipe") << QByteArray("pipe") << updater << 0 << LockFileState::NotAFile;
        QTest::newRow("a link to a live owner's file") << QByteArray("link") << QString() << 0
                                                       << LockFileState::NotAFile;
        QTest::newRow("no owner, settled, a pipe where its helper goes")
            << QByteArray("pipe helper") << updater << 5 << LockFileState::NotAFile;
        // The client's locks, which any program may take ("*"): the file names the program.
        QTest::newRow("any program: a live process of the program the file names")
            << self << QStringLiteral("*") << 0 << LockFileState::Held;
        QTest::newRow("any program: a live process of another program than the file names")
            << QByteArray("@self\nVellumix.exe\n@host\n") << QStringLiteral("*") << 0
            << LockFileState::Abandoned;
        QTest::newRow("any program: an ended process") << QByteArray("@ended\ntst_fileio\n@host\n")
                                                       << QStringLiteral("*") << 0
                                                       << LockFileState::Abandoned;
        QTest::newRow("any program: no owner, two days old")
            << QByteArray() << QStringLiteral("*") << 2 * 86400 << LockFileState::Abandoned;
    }

    void lockPolicy()
    {
        QFETCH(QByteArray, lock);
        QFETCH(QString, program);
        QFETCH(int, ageSeconds);
        QFETCH(LockFileState, state);
        QProcess ended;
        ended.start(QStringLiteral("true"), QStringList());
        QVERIFY(ended.waitForStarted());
        const qint64 endedId = ended.processId();
        QVERIFY(ended.waitForFinished());
        const QString lockPath = path(QStringLiteral("installer.lock"));
        QFile::remove(lockPath);
        QFile::remove(path(QStringLiteral("owner")));
        QFile::remove(lockPath + QStringLiteral(".rmlock"));
        const QByteArray self = QByteArray::number(QCoreApplication::applicationPid())
            + "\ntst_fileio\n" + QSysInfo::machineHostName().toUtf8() + '\n';
        if (lock == "pipe") {
            QCOMPARE(::mkfifo(QFile::encodeName(lockPath).constData(), 0600), 0);
        } else if (lock == "link") {
            testsupport::writeFile(m_tmp.path(), QStringLiteral("owner"), self);
            QVERIFY(QFile::link(path(QStringLiteral("owner")), lockPath));
        } else if (lock != "none") {
            if (lock == "pipe helper") {
                QCOMPARE(::mkfifo(QFile::encodeName(lockPath + QStringLiteral(".rmlock")).constData(), 0600), 0);
                lock.clear();
            }
            lock.replace("@self", QByteArray::number(QCoreApplication::applicationPid()))
                .replace("@ended", QByteArray::number(endedId))
                .replace("@hostId", QSysInfo::machineUniqueId())
                .replace("@host", QSysInfo::machineHostName().toUtf8())
                .replace("@bootId", QSysInfo::bootUniqueId());
            testsupport::writeFile(m_tmp.path(), QStringLiteral("installer.lock"), lock);
            QFile file(lockPath);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds),
                                     QFileDevice::FileModificationTime));
        }
        const LockPolicy policy{program == u"*"   ? QString()
                                    : program.isEmpty() ? QStringLiteral("tst_fileio")
                                                        : program,
                                1000};
        QCOMPARE(inspectLockFile(lockPath, policy).state, state);
        const bool held = state != LockFileState::Absent && state != LockFileState::Abandoned;
        QCOMPARE(isLockHeld(lockPath, policy), held);
        if (policy.program == u"VellumixUpdater.exe")
            QCOMPARE(isInstallerLockHeld(lockPath), held);
    }

    void immutableDirectoryKeepsThePreviousFile()
    {
        // No temporary file can be made beside the target: the write fails instead of
        // overwriting the target in place.
        const QString dir = path(QStringLiteral("locked"));
        testsupport::writeFile(dir, QStringLiteral("installed.json"), "previous");
        if (!testsupport::isRoot()
            || testsupport::runProgram(QStringLiteral("chattr"), {QStringLiteral("+i"), dir}) != 0)
            QSKIP("needs root and chattr on this file system");
        const QString failure =
            failureOf([&] { orThrow(writeFileAtomic(dir + QStringLiteral("/installed.json"), "new")); });
        testsupport::runProgram(QStringLiteral("chattr"), {QStringLiteral("-i"), dir});
        QCOMPARE(failure, Msg::cannotSaveUpdateFile);
        QCOMPARE(testsupport::readFile(dir + QStringLiteral("/installed.json")), QByteArray("previous"));
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("installed.json")});
    }
};

QTEST_GUILESS_MAIN(FileIoTest)
#include "tst_fileio.moc"
