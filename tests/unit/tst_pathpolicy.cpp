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

        // Device names, any letter case, alone or followed by a dot, also with spaces before the
        // dot: the base before the first dot, without its final spaces, names the device.
        for (const char16_t *name :
             {u"con", u"Con.txt", u"com1.log", u"LPT0", u"nul.tar.gz", u"PRN", u"aux", u"COM9.dll",
              u"lpt5", u"dir/CON", u"nul/a.dll", u"CONIN$", u"conout$.log", u"Clock$",
              u"dir/conin$/a.dll", u"COM\u00b9.txt", u"com\u00b2", u"LPT\u00b3", u"lpt\u00b9.dll",
              u"NUL .txt", u"AUX .dll", u"CON .txt", u"con  .x", u"COM1 .a.b", u"nul . .txt",
              u"CONOUT$ .log", u"LPT\u00b2 .x", u"d/aux .dll/a", u"CON\u0131N$"}) {
            const QString path = QStringView(name).toString();
            QTest::addRow("device %s", qPrintable(path)) << path << false;
        }
        for (const char16_t *name :
             {u"console.txt", u"auxiliary.dll", u"COM10", u"LPT", u"nullable", u"com.dll", u"xcon",
              u"NULL.dll", u"COM10.txt", u"LPT.txt", u"CON_.txt", u"NUL x.txt", u"COM 1.txt",
              u"CONIN", u"CLOCK.txt", u"a.CON", u"COM\u2070", u"LPT\u2074.dll", u"COM\uff11",
              u"CLOC\u212a$"}) {
            const QString path = QStringView(name).toString();
            QTest::addRow("not a device %s", qPrintable(path)) << path << true;
        }

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
