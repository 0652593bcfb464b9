// The bounded read and the atomic write, on real files, a full tmpfs and an immutable directory.
#include "fileio.h"
#include "messages.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace vellumix;
using testsupport::failureOf;
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
            failureOf([&] { read = readFileLimited(path(QStringLiteral("manifest.json")), bound); });
        QCOMPARE(failure, accepted ? kNoFailure : Msg::fileTooLarge);
        if (accepted)
            QVERIFY(read == contents);
    }

    void missingFileIsNamedWithoutItsDirectory()
    {
        QCOMPARE(failureOf([&] { readFileLimited(path(QStringLiteral("stage/manifest.json")), 10); }),
                 QStringLiteral(u"无法读取文件：manifest.json"));
        QCOMPARE(failureOf([&] { readFileLimited(m_tmp.path(), 10); }),
                 Msg::cannotReadFile + QFileInfo(m_tmp.path()).fileName());
    }

    void sparseGiantIsRefusedUnread()
    {
        // One tebibyte of holes: reading it would take hours and the memory of the machine.
        QFile sparse(path(QStringLiteral("giant")));
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.resize(qint64(1) << 40));
        sparse.close();
        QCOMPARE(failureOf([&] { readFileLimited(sparse.fileName(), 0x800000); }), Msg::fileTooLarge);
    }

    void endlessDeviceIsBounded()
    {
        // A device reports size 0 but never ends; the read must still stop at the bound.
        QCOMPARE(failureOf([] { readFileLimited(QStringLiteral("/dev/zero"), 4096); }),
                 Msg::fileTooLarge);
    }

    void writeCreatesMissingDirectories()
    {
        const QString target = path(QStringLiteral("a/b/c/transaction.json"));
        QCOMPARE(failureOf([&] { writeFileAtomic(target, "{\"state\":\"installing\"}"); }), kNoFailure);
        QCOMPARE(testsupport::readFile(target), QByteArray("{\"state\":\"installing\"}"));
        QCOMPARE(failureOf([&] { writeFileAtomic(target, QByteArray()); }), kNoFailure);
        QVERIFY(QFileInfo::exists(target));
        QCOMPARE(QFileInfo(target).size(), 0);
        QCOMPARE(QDir(path(QStringLiteral("a/b/c"))).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("transaction.json")});
    }

    void fileWhereADirectoryMustBe()
    {
        testsupport::writeFile(m_tmp.path(), QStringLiteral("blocker"), "i am a file");
        QCOMPARE(failureOf([&] { writeFileAtomic(path(QStringLiteral("blocker/sub/x.json")), "x"); }),
                 Msg::cannotCreateUpdateDirectory);
        QCOMPARE(testsupport::readFile(path(QStringLiteral("blocker"))), QByteArray("i am a file"));
    }

    void fullDiskKeepsThePreviousFile()
    {
        testsupport::SmallDisk disk(256 * 1024);
        if (!disk.isMounted())
            QSKIP("needs root to mount a tmpfs");
        const QString target = disk.path() + QStringLiteral("/work/transaction.json");
        QCOMPARE(failureOf([&] { writeFileAtomic(target, "previous"); }), kNoFailure);
        disk.fill();
        const auto before = testsupport::snapshotTree(disk.path());
        QCOMPARE(failureOf([&] { writeFileAtomic(target, QByteArray(64 * 1024, 'n')); }),
                 Msg::cannotSaveUpdateFile);
        QCOMPARE(testsupport::readFile(target), QByteArray("previous"));
        QCOMPARE(testsupport::snapshotTree(disk.path()), before);
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
            failureOf([&] { writeFileAtomic(dir + QStringLiteral("/installed.json"), "new"); });
        testsupport::runProgram(QStringLiteral("chattr"), {QStringLiteral("-i"), dir});
        QCOMPARE(failure, Msg::cannotSaveUpdateFile);
        QCOMPARE(testsupport::readFile(dir + QStringLiteral("/installed.json")), QByteArray("previous"));
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("installed.json")});
    }
};

QTEST_GUILESS_MAIN(FileIoTest)
#include "tst_fileio.moc"
