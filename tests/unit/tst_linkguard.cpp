// The link guards against real symbolic links in temporary trees.
#include "linkguard.h"
#include "messages.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace vellumix;
using testsupport::failureOf;
using testsupport::kNoFailure;

class LinkGuardTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QString m_root;
    int m_case = 0;

    void link(const QString &target, const QString &linkPath)
    {
        QVERIFY(QFile::link(target, linkPath));
    }

private slots:
    void init()
    {
        QVERIFY(m_tmp.isValid());
        m_root = m_tmp.path() + QStringLiteral("/case-") + QString::number(++m_case);
        // Layout: plain/sub/file.txt, elsewhere/real/x, and links into them.
        testsupport::writeFile(m_root, QStringLiteral("plain/sub/file.txt"), "x");
        testsupport::writeFile(m_root, QStringLiteral("elsewhere/real/x"), "x");
        link(m_root + QStringLiteral("/elsewhere/real"), m_root + QStringLiteral("/dirlink"));
        link(m_root + QStringLiteral("/plain/sub/file.txt"),
             m_root + QStringLiteral("/plain/sub/filelink"));
        link(m_root + QStringLiteral("/nowhere"), m_root + QStringLiteral("/plain/dangling"));
    }

    void noLinksOnPath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("refused");
        QTest::newRow("plain directory") << QStringLiteral("plain/sub") << false;
        QTest::newRow("missing below plain") << QStringLiteral("plain/missing/deeper") << false;
        QTest::newRow("the link itself") << QStringLiteral("dirlink") << true;
        QTest::newRow("below a link") << QStringLiteral("dirlink/x") << true;
        QTest::newRow("missing below a link") << QStringLiteral("dirlink/missing/y") << true;
        QTest::newRow("link to a file") << QStringLiteral("plain/sub/filelink") << true;
        QTest::newRow("dangling link") << QStringLiteral("plain/dangling") << true;
        QTest::newRow("missing below a dangling link")
            << QStringLiteral("plain/dangling/a/b") << true;
    }

    void noLinksOnPath()
    {
        QFETCH(QString, path);
        QFETCH(bool, refused);
        const auto before = testsupport::snapshotTree(m_root);
        QCOMPARE(failureOf([&] { orThrow(ensureNoLinksOnPath(m_root + u'/' + path)); }),
                 refused ? Msg::workDirectoryHasLink : kNoFailure);
        QCOMPARE(testsupport::snapshotTree(m_root), before);
    }

    void noLinksOnPathWalksToTheRoot()
    {
        // The volume root is its own parent: the walk tests it and stops.
        QCOMPARE(failureOf([] { orThrow(ensureNoLinksOnPath(QStringLiteral("/"))); }), kNoFailure);
        // A link high above the path is found too.
        QTemporaryDir outer;
        const QString linked = outer.path() + QStringLiteral("/up");
        link(m_root, linked);
        QCOMPARE(failureOf([&] { orThrow(ensureNoLinksOnPath(linked + QStringLiteral("/plain/sub/a/b/c"))); }),
                 Msg::workDirectoryHasLink);
    }

    void relativePathsAreMadeAbsolute()
    {
        const QString saved = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_root));
        const QString relativeLinked = failureOf([] { orThrow(ensureNoLinksOnPath(QStringLiteral("dirlink/x"))); });
        const QString relativePlain = failureOf([] { orThrow(ensureNoLinksOnPath(QStringLiteral("plain/../plain/sub"))); });
        const QString belowRelativeBase = failureOf([] {
            orThrow(ensureSafePathBelow(QStringLiteral("plain"), QStringLiteral("sub/filelink")));
        });
        const QString relativeBaseIsLink = failureOf([] {
            orThrow(ensureSafePathBelow(QStringLiteral("dirlink"), QStringLiteral("x")));
        });
        QDir::setCurrent(saved);
        QCOMPARE(relativeLinked, Msg::workDirectoryHasLink);
        QCOMPARE(relativePlain, kNoFailure);
        QCOMPARE(belowRelativeBase, Msg::pathHasLinkOrJunction);
        QCOMPARE(relativeBaseIsLink, Msg::pathHasLinkOrJunction);
    }

    void safePathBelow_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("relative");
        QTest::addColumn<QString>("message");
        const QString ok = kNoFailure;
        QTest::newRow("existing file") << "plain" << "sub/file.txt" << ok;
        QTest::newRow("missing file in missing directories") << "plain" << "new/dir/a.dll" << ok;
        QTest::newRow("file is a link to a harmless file")
            << "plain" << "sub/filelink" << Msg::pathHasLinkOrJunction;
        QTest::newRow("a link as a middle directory") << "." << "dirlink/x" << Msg::pathHasLinkOrJunction;
        QTest::newRow("dangling link in a missing tail")
            << "plain" << "dangling/more/a.dll" << Msg::pathHasLinkOrJunction;
        QTest::newRow("base is a link") << "dirlink" << "x" << Msg::pathHasLinkOrJunction;
        QTest::newRow("base below a link passes") << "dirlink/.." << "plain/sub/file.txt" << ok;
        QTest::newRow("policy refuses dot-dot on a missing base")
            << "no/such/base" << "../x" << Msg::unsafeUpdatePath;
        QTest::newRow("policy refuses an empty path") << "plain" << "" << Msg::unsafeUpdatePath;
        QTest::newRow("policy before links") << "dirlink" << "a//b" << Msg::unsafeUpdatePath;
    }

    void safePathBelow()
    {
        QFETCH(QString, base);
        QFETCH(QString, relative);
        QFETCH(QString, message);
        QCOMPARE(failureOf([&] { orThrow(ensureSafePathBelow(m_root + u'/' + base, relative)); }), message);
    }

    void baseBelowALinkIsOnlyRefusedByTheUpwardWalk()
    {
        QTemporaryDir outer;
        const QString linked = outer.path() + QStringLiteral("/up");
        link(m_root, linked);
        const QString base = linked + QStringLiteral("/plain");
        QCOMPARE(failureOf([&] { orThrow(ensureSafePathBelow(base, QStringLiteral("sub/file.txt"))); }),
                 kNoFailure);
        QCOMPARE(failureOf([&] { orThrow(ensureNoLinksOnPath(base)); }), Msg::workDirectoryHasLink);
    }
};

QTEST_GUILESS_MAIN(LinkGuardTest)
#include "tst_linkguard.moc"
