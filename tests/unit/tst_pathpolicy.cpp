// The update path policy, rule by rule, with the boundaries of each rule.
#include "pathpolicy.h"

#include <QTest>

using vellumix::isAllowedUpdatePath;

class PathPolicyTest : public QObject
{
    Q_OBJECT

private slots:
    void policy_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("allowed");

        auto row = [](const char *name, const QString &path, bool allowed) {
            QTest::newRow(name) << path << allowed;
        };
        // Plain paths.
        row("main program", QStringLiteral("Vellumix.exe"), true);
        row("updater", QStringLiteral("VellumixUpdater.exe"), true);
        row("subdirectory", QStringLiteral("plugins/platforms/qwindows.dll"), true);
        row("non-ASCII names", QStringLiteral(u"资源/更新说明.txt"), true);
        row("non-BMP name", QStringLiteral(u"emoji/\U0001F600.png"), true);
        row("inner dots and spaces", QStringLiteral("a b/c.d.e"), true);

        // Whole-path rules.
        row("empty", QString(), false);
        row("240 units", QString(236, u'a') + QStringLiteral(".dll"), true);
        row("241 units", QString(237, u'a') + QStringLiteral(".dll"), false);
        row("240 units in components", QString(119, u'a') + u'/' + QString(120, u'b'), true);
        row("backslash", QStringLiteral("lib\\a.dll"), false);
        row("colon", QStringLiteral("C:a.dll"), false);
        row("stream name", QStringLiteral("a.dll:stream"), false);
        row("leading slash", QStringLiteral("/a.dll"), false);
        row("NUL character", QStringLiteral("a") + QChar(u'\0') + QStringLiteral("b"), false);
        // An unpaired surrogate would otherwise hide the character and device-name rules.
        row("unpaired surrogate", QStringLiteral("a") + QChar(0xD800) + QStringLiteral("b.dll"), false);
        row("device name beside an unpaired surrogate", QStringLiteral("CON.") + QChar(0xDC00), false);
        row("tab beside an unpaired surrogate", QStringLiteral("a\tb") + QChar(0xD800), false);

        // Component rules.
        row("double slash", QStringLiteral("lib//a.dll"), false);
        row("trailing slash", QStringLiteral("lib/"), false);
        row("dot component", QStringLiteral("./a.dll"), false);
        row("dot-dot component", QStringLiteral("lib/../a.dll"), false);
        row("dot-dot alone", QStringLiteral(".."), false);
        row("ends with dot", QStringLiteral("lib./a.dll"), false);
        row("file ends with dot", QStringLiteral("a.dll."), false);
        row("ends with space", QStringLiteral("lib /a.dll"), false);
        row("starts with dot", QStringLiteral(".hidden"), false);
        row("work directory", QStringLiteral(".vellumix-update/transaction.json"), false);
        row("work directory deeper", QStringLiteral("x/.vellumix-update/a"), false);
        row("starts with space", QStringLiteral(" a.dll"), true);
        for (const char16_t c : {u'<', u'>', u'"', u'|', u'?', u'*', u'\t', u'\n', u'\r',
                                 u'\x01', u'\x1f'}) {
            QTest::addRow("forbidden U+%04X", unsigned(c))
                << QStringLiteral("a") + QChar(c) + QStringLiteral("b.dll") << false;
        }
        row("U+0020 allowed inside", QStringLiteral("a b.dll"), true);
        row("U+007F allowed", QStringLiteral("a\x7f" "b.dll"), true);

        // Device names, any letter case, alone or followed by a dot.
        for (const char *name : {"con", "Con.txt", "com1.log", "LPT0", "nul.tar.gz", "PRN", "aux",
                                 "COM9.dll", "lpt5", "dir/CON", "nul/a.dll"})
            QTest::addRow("device %s", name) << QString::fromLatin1(name) << false;
        for (const char *name : {"console.txt", "auxiliary.dll", "COM10", "LPT", "nullable",
                                 "com.dll", "xcon"})
            QTest::addRow("not a device %s", name) << QString::fromLatin1(name) << true;

        // Endings and the build manifest.
        for (const char *name : {"settings.INI", "Guide.PDF", "web.config", "secret.dpapi",
                                 "board.ubz", "a/b/App.Config", "x.ini"})
            QTest::addRow("ending %s", name) << QString::fromLatin1(name) << false;
        row("build manifest", QStringLiteral("build-manifest.json"), false);
        row("build manifest capitals", QStringLiteral("Build-Manifest.json"), true);
        row("build manifest below", QStringLiteral("sub/build-manifest.json"), true);
        row("directory ending in .pdf", QStringLiteral("docs.pdf/readme.txt"), true);
        row("directory ending in .config", QStringLiteral("x.config/a.dll"), true);
        row("ending inside a name", QStringLiteral("a.ini.bak"), true);
    }

    void policy()
    {
        QFETCH(QString, path);
        QFETCH(bool, allowed);
        QCOMPARE(isAllowedUpdatePath(path), allowed);
    }
};

QTEST_GUILESS_MAIN(PathPolicyTest)
#include "tst_pathpolicy.moc"
