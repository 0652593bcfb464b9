// The Windows build end to end under Wine: VellumixUpdater.exe with the Windows stand-in
// application as Vellumix.exe in program roots on drive C:, updates signed on the Linux side,
// through the scenarios that the native suite runs too (tests/e2e/scenarios.cpp), with the
// message box on a private X server; the application's side (the stand-in, the guide's program
// and vellumix-fetch.exe with feeds made by the Linux release tool and served by nginx) through
// the native suite's scenarios of it as well (tests/e2e/feedscenarios.cpp);
// platform-smoke-test.exe, and TLS through the schannel back end of the static Qt; the Setup
// program that the release tool builds: installed silently, started, updated through the feed,
// installed over, and removed by its uninstaller, its pages photographed.
#include "feedscenarios.h"
#include "wineinstallation.h"

#include "feedserver.h"

#include <QDirIterator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <locale.h>
#include <signal.h>
#include <sys/prctl.h>

using namespace Qt::StringLiterals;
using wine::Installation;
using wine::RunResult;
using wine::readAndDismissBox;
using wine::runTool;

// The exit code of a run, with its standard error shown when it is not the one expected.
#define COMPARE_EXIT(run, expected)                                                               \
    QVERIFY2((run).exitCode == (expected),                                                        \
             qPrintable(QStringLiteral("exit code %1, expected %2; standard error: %3")           \
                            .arg((run).exitCode).arg(expected).arg((run).errorOutput)))

namespace {

// A private X server for the whole suite, so that the message box has a screen to appear on.
class PrivateDisplay
{
public:
    bool start()
    {
        // The server ends with the test, even when the test is killed.
        m_server.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                                QStringLiteral("-screen"), QStringLiteral("0"),
                                                QStringLiteral("1024x768x24"),
                                                QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        if (!m_server.waitForStarted())
            return false;
        while (!m_server.canReadLine()) {
            if (!m_server.waitForReadyRead(10000))
                return false;
        }
        m_display = u':' + QString::fromLatin1(m_server.readLine().trimmed());
        return true;
    }
    ~PrivateDisplay()
    {
        m_server.terminate();
        m_server.waitForFinished();
    }
    QString display() const { return m_display; }

private:
    QProcess m_server;
    QString m_display;
};


const QString kUninstallKey = u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"_s;

// The installed record as the updater writes it.
QByteArray recordOf(const e2e::AppVersion &version)
{
    return u"{\n    \"sequence\": %1,\n    \"version\": \"%2\"\n}\n"_s.arg(version.sequence).arg(version.version).toUtf8();
}

// The Setup program of `version` of the stand-in, built by the release tool from a stage signed
// with the development key; `options` go to "installer". Empty after a failed check.
QString buildSetup(const e2e::AbstractInstallation &installation, const e2e::AppVersion &version,
                   const QStringList &options = {})
{
    // Made once for each version and options (compressing the release takes a while), in a
    // folder that lasts as long as the suite.
    static QTemporaryDir setups(wine::driveC() + u"/vellumix-tests/setups-XXXXXX"_s);
    static QMap<QString, QString> made;
    const QString key = version.version + u'|' + options.join(u'|');
    if (made.contains(key))
        return made.value(key);
    const QString dir = setups.filePath(QString::number(made.size()));
    const QString release = dir + u"/release-"_s + version.version;
    const QString stage = dir + u"/stage-"_s + version.version;
    const QString setup = dir + u"/Setup-"_s + version.version + u".exe"_s;
    for (const auto &file : installation.filesOf(version))
        testsupport::writeFile(release, file.path, file.content);
    const QString tool = QString::fromUtf8(VELLUMIX_PUBLISH);
    QByteArray output;
    if (testsupport::runProgram(tool, {u"stage"_s, u"--release"_s, release, u"--version"_s, version.version,
                                       u"--sequence"_s, QString::number(version.sequence), u"--key"_s,
                                       testsupport::devSigningKey(), u"--out"_s, stage}, &output) != 0
        || testsupport::runProgram(tool, QStringList{u"installer"_s, stage, u"--out"_s, setup} + options,
                                   &output) != 0) {
        qWarning("%s", output.constData());
        return QString();
    }
    made.insert(key, setup);
    return setup;
}

// What the user's folders hold that Setup touches: the program's folder, the shortcuts, the
// noted stage and the entry in the list of programs; printed for the record.
void showState(const QString &when, const QString &root, const QString &name)
{
    qInfo().noquote() << when << "\n  program root" << wine::windowsPath(root) << ":"
                      << (QFileInfo::exists(root) ? wine::listing(root).join(u" "_s) : u"(none)"_s)
                      << "\n  start menu:" << wine::listing(wine::startMenuPrograms()).join(u" "_s)
                      << "\n  %LOCALAPPDATA%\\Vellumix (the program's cache and the user's data):"
                      << wine::listing(wine::localAppData() + u"/Vellumix"_s).join(u" "_s)
                      << "\n  %APPDATA%\\Vellumix:" << wine::listing(wine::roamingAppData() + u"/Vellumix"_s).join(u" "_s)
                      << "\n  registry" << kUninstallKey + name << ":";
    const QMap<QString, QString> values = wine::registryValues(kUninstallKey + name);
    if (values.isEmpty())
        qInfo().noquote() << "    (no such key)";
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        qInfo().noquote() << "   " << it.key() << "=" << it.value();
}

// The uninstaller copies itself away and returns at once; the removal is over when the program
// root is gone.
bool uninstall(const QString &root)
{
    const RunResult run = wine::run(root + u"/uninstall.exe"_s, {u"/S"_s}, wine::environment(wine::display()));
    return run.exitCode == 0 && QTest::qWaitFor([&] { return !QFileInfo::exists(root); }, 120000);
}

// Removes what an earlier, killed run left of the default installation.
void removeDefaultInstallation(const QString &root)
{
    QDir(root).removeRecursively();
    QFile::remove(wine::startMenuPrograms() + u"/Vellumix.lnk"_s);
    wine::run(u"reg"_s, {u"delete"_s, kUninstallKey + u"Vellumix"_s, u"/f"_s}, wine::environment(wine::display()));
}

} // namespace

class WineEndToEnd : public QObject
{
    Q_OBJECT

    PrivateDisplay m_display;

private slots:
    void initTestCase()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        const locale_t chinese = newlocale(LC_ALL_MASK, "zh_CN.UTF-8", locale_t(0));
        QVERIFY2(chinese != locale_t(0), "the locale zh_CN.UTF-8 is missing: "
                                         "localedef -i zh_CN -f UTF-8 zh_CN.UTF-8");
        freelocale(chinese);
        QVERIFY2(m_display.start(), "Xvfb did not start");
        wine::setDisplay(m_display.display());
        // The Wine session of the prefix has to start on this display, or message boxes would
        // appear on the display of an earlier session. The prefix is the suite's own, so an
        // earlier session (of a killed run, say) is ended.
        runTool(QStringLiteral("wineserver"), {QStringLiteral("-k")});
        runTool(QStringLiteral("wineserver"), {QStringLiteral("-w")});
        QVERIFY(!wine::updaterBinary().isEmpty());
    }

    // The programs' per-user caches (kept manifests, default stages) start empty for each test,
    // as on a fresh machine: what an earlier test kept would answer its checks with 304s.
    void init() { wine::clearProgramCaches(); }

    void cleanupTestCase()
    {
        // Programs of the last tests end before the X server goes away.
        runTool(QStringLiteral("wineserver"), {QStringLiteral("-k")});
    }

    // The updater's scenarios, shared with the native suite.
    void scenario_data() { e2e::addScenarioRows(); }

    void scenario()
    {
        QFETCH(int, scenario);
        const e2e::Scenario &row = e2e::updaterScenarios().at(scenario);
        if (!row.notOnWine.isEmpty())
            QSKIP(qPrintable(QStringLiteral("not under Wine: ") + row.notOnWine));
        Installation installation(row.stageElsewhere ? wine::StageDrive::Z : wine::StageDrive::C);
        e2e::runScenario(installation, row, e2e::Platform::Wine);
    }

    // The application side's scenarios, shared with the native suite.
    void feedScenario_data() { e2e::addFeedScenarioRows(); }

    void feedScenario()
    {
        QFETCH(int, scenario);
        const e2e::FeedScenario &row = e2e::feedScenarios().at(scenario);
        if (!row.notOnWine.isEmpty())
            QSKIP(qPrintable(QStringLiteral("not under Wine: ") + row.notOnWine));
        Installation installation;
        e2e::runFeedScenario(installation, row, e2e::Platform::Wine);
    }

    /*
        The Setup program over what a folder holds already (/D= names the folder): a lower
        sequence over a higher one is refused and changes nothing; an equal or higher one
        replaces the program's files and keeps the work folder's records; a folder that holds
        other files is refused; a damaged record is replaced. `before`: the installed record
        there (0: none, -1: damaged), `foreign`: a file of someone else's there.
    */
    void setupOverAnInstallation_data()
    {
        QTest::addColumn<int>("before");
        QTest::addColumn<bool>("foreign");
        QTest::addColumn<int>("carried"); // the sequence Setup carries
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("running"); // the installed program runs while Setup does
        QTest::addColumn<QByteArray>("journalState"); // of an update journal left in the work folder
        QTest::newRow("new folder") << 0 << false << 2 << 0 << false << QByteArray();
        QTest::newRow("lower sequence over a higher one") << 3 << false << 2 << 3 << false << QByteArray();
        QTest::newRow("equal sequence") << 2 << false << 2 << 0 << false << QByteArray();
        QTest::newRow("higher sequence") << 1 << false << 2 << 0 << false << QByteArray();
        QTest::newRow("damaged record") << -1 << false << 2 << 0 << false << QByteArray();
        QTest::newRow("folder holds other files") << 0 << true << 2 << 4 << false << QByteArray();
        // A file that cannot be written fails Setup, also a silent one: never skipped.
        QTest::newRow("the program runs") << 1 << false << 2 << 2 << true << QByteArray();
        // The recovery would put the unfinished update's backup over what Setup installs.
        QTest::newRow("an update to roll back") << 1 << false << 2 << 5 << false << QByteArray("rollback-needed");
        QTest::newRow("an update being installed") << 1 << false << 2 << 5 << false << QByteArray("installing");
        QTest::newRow("a finished update") << 1 << false << 2 << 0 << false << QByteArray("healthy");
    }

    void setupOverAnInstallation()
    {
        QFETCH(int, before);
        QFETCH(bool, foreign);
        QFETCH(int, carried);
        QFETCH(int, exitCode);
        QFETCH(bool, running);
        QFETCH(QByteArray, journalState);
        Installation installation;
        const e2e::AppVersion version = e2e::versionOf(u"%1.0.0"_s.arg(carried), carried);
        const QString name = u"Vellumix Over"_s;
        const QString setup = buildSetup(installation, version, {u"--name"_s, name});
        QVERIFY(!setup.isEmpty());
        const QString root = installation.root();
        const QString work = root + u"/.vellumix-update"_s;
        const QByteArray history = "{\"the client's\": \"history\"}";
        QByteArray record;
        if (before > 0) {
            installation.install(e2e::versionOf(u"%1.0.0"_s.arg(before), before, u"confirm"_s, 30000));
            if (!running)
                testsupport::writeFile(root, u"Vellumix.exe"_s, "the earlier program");
            record = recordOf(e2e::versionOf(u"%1.0.0"_s.arg(before), before));
            testsupport::writeFile(work, u"installed.json"_s, record);
            testsupport::writeFile(work, u"update-history.json"_s, history);
        } else if (before < 0) {
            installation.install(e2e::versionOf(u"1.0.0"_s, 1));
            record = "{\n    \"sequence\": 0x7,\n    \"version\": \"7\"\n}\n";
            testsupport::writeFile(work, u"installed.json"_s, record);
        }
        if (foreign)
            testsupport::writeFile(root, u"notes.txt"_s, "someone else's");
        if (!journalState.isEmpty()) {
            // As the updater writes it: compact, the files first, "state" after them, here
            // beyond the first piece of the file that Setup reads.
            QByteArray entries;
            for (int i = 0; i < 200; ++i)
                entries += (i ? "," : "") + QByteArray("{\"hadOld\":true,\"path\":\"data/file")
                    + QByteArray::number(i) + ".bin\"}";
            testsupport::writeFile(work, u"transaction.json"_s,
                                   "{\"entries\":[" + entries + "],\"sequence\":2,\"state\":\""
                                       + journalState + "\",\"version\":\"2.0.0\"}");
        }
        const testsupport::TreeSnapshot earlier = testsupport::snapshotTree(root);
        QProcess program;
        if (running) {
            const QString log = installation.home() + u"/running.log"_s;
            wine::start(program, root + u"/Vellumix.exe"_s, {}, wine::environment(wine::display(), log));
            QVERIFY(QTest::qWaitFor([&] { return testsupport::readFile(log).contains("started"); }, 60000));
        }
        const auto waitForProgram = qScopeGuard([&] { wine::finish(program); });

        const RunResult run = wine::run(setup, {u"/S"_s, u"/D="_s + QString(wine::windowsPath(root)).replace(u'/', u'\\')},
                                        wine::environment(wine::display()));
        QCOMPARE(run.exitCode, exitCode);
        const QMap<QString, QString> entry = wine::registryValues(kUninstallKey + name);
        if (running) {
            // Failed on the program's file: the record still names the release that runs.
            QCOMPARE(testsupport::readFile(work + u"/installed.json"_s), record);
            QVERIFY(entry.isEmpty());
            return;
        }
        if (exitCode != 0) {
            // Refused: nothing changed, nothing registered.
            QCOMPARE(testsupport::describeDifference(earlier, testsupport::snapshotTree(root)), QString());
            QVERIFY(entry.isEmpty());
            return;
        }
        showState(u"installed over (%1)"_s.arg(QString::fromUtf8(QTest::currentDataTag())), root, name);
        QCOMPARE(testsupport::describeDifference(installation.treeOf(version),
                                                 testsupport::snapshotTree(root, {u".vellumix-update"_s, u"uninstall.exe"_s})),
                 QString());
        QCOMPARE(testsupport::readFile(work + u"/installed.json"_s), recordOf(version));
        if (before > 0)
            QCOMPARE(testsupport::readFile(work + u"/update-history.json"_s), history);
        QVERIFY(QFileInfo(root + u"/uninstall.exe"_s).isFile());
        QCOMPARE(entry.value(u"DisplayVersion"_s), u"REG_SZ:"_s + version.version);
        QCOMPARE(entry.value(u"InstallLocation"_s), u"REG_SZ:"_s + QString(wine::windowsPath(root)).replace(u'/', u'\\'));
        QVERIFY(uninstall(root));
        QVERIFY(wine::registryValues(kUninstallKey + name).isEmpty());
        QVERIFY(!QFileInfo::exists(wine::startMenuPrograms() + u"/"_s + name + u".lnk"_s));
    }

    /*
        The whole life of an installation made by the Setup program: installed silently into the
        default folder (%LOCALAPPDATA%\Programs\Vellumix) with its record, shortcut and entry;
        started; updated to version 2 through the feed served by nginx, by the program itself;
        removed by its uninstaller with the stage the client noted, while the user's own data
        stays. A stage that the work folder's note names is removed only when it is one: below
        the user's local data, with the stage's marker, named without "..".
    */
    void setupLifeCycle_data()
    {
        QTest::addColumn<QString>("notedStage"); // "client": the note the client wrote
        QTest::addColumn<bool>("removed");
        QTest::newRow("installed, started, updated, uninstalled") << u"client"_s << true;
        QTest::newRow("noted stage outside the user's local data") << u"C:/vellumix-tests/trap"_s << false;
        QTest::newRow("noted stage named with ..") << u"LOCAL/../Roaming/vellumix-trap"_s << false;
        QTest::newRow("noted folder without the stage's marker") << u"LOCAL/vellumix-trap-unmarked"_s << false;
    }

    void setupLifeCycle()
    {
        QFETCH(QString, notedStage);
        QFETCH(bool, removed);
        Installation installation;
        const e2e::AppVersion v1 = e2e::versionOf(u"1.0.0"_s, 1);
        const e2e::AppVersion v2 = e2e::versionOf(u"2.0.0"_s, 2);
        const QString setup = buildSetup(installation, v1);
        QVERIFY(!setup.isEmpty());
        const QString root = wine::localAppData() + u"/Programs/Vellumix"_s;
        const QString work = root + u"/.vellumix-update"_s;
        const QString shortcut = wine::startMenuPrograms() + u"/Vellumix.lnk"_s;
        removeDefaultInstallation(root);
        const bool cycle = notedStage == u"client";
        if (cycle)
            showState(u"before Setup"_s, root, u"Vellumix"_s);

        const RunResult installed = wine::run(setup, {u"/S"_s}, wine::environment(wine::display()));
        QCOMPARE(installed.exitCode, 0);
        if (cycle)
            showState(u"after the silent Setup"_s, root, u"Vellumix"_s);
        QCOMPARE(testsupport::describeDifference(installation.treeOf(v1),
                                                 testsupport::snapshotTree(root, {u".vellumix-update"_s, u"uninstall.exe"_s})),
                 QString());
        QCOMPARE(wine::listing(work), QStringList{u"installed.json"_s});
        QCOMPARE(testsupport::readFile(work + u"/installed.json"_s), recordOf(v1));
        QVERIFY(QFileInfo(shortcut).isFile());
        const QString windowsRoot = QString(wine::windowsPath(root)).replace(u'/', u'\\');
        qint64 bytes = 0;
        for (const auto &file : installation.filesOf(v1))
            bytes += file.content.size();
        const QMap<QString, QString> expected{
            {u"DisplayName"_s, u"REG_SZ:Vellumix"_s},
            {u"DisplayVersion"_s, u"REG_SZ:1.0.0"_s},
            {u"Publisher"_s, u"REG_SZ:Vellumix"_s},
            {u"DisplayIcon"_s, u"REG_SZ:"_s + windowsRoot + u"\\Vellumix.exe"_s},
            {u"InstallLocation"_s, u"REG_SZ:"_s + windowsRoot},
            {u"UninstallString"_s, u"REG_SZ:\""_s + windowsRoot + u"\\uninstall.exe\""_s},
            {u"QuietUninstallString"_s, u"REG_SZ:\""_s + windowsRoot + u"\\uninstall.exe\" /S"_s},
            {u"EstimatedSize"_s, u"REG_DWORD:%1"_s.arg((bytes + 1023) / 1024)},
            {u"NoModify"_s, u"REG_DWORD:1"_s},
            {u"NoRepair"_s, u"REG_DWORD:1"_s}};
        QCOMPARE(wine::registryValues(kUninstallKey + u"Vellumix"_s), expected);

        QString stageNote;
        if (cycle) {
            // The first start knows its release from the record; the update takes version 2
            // from the feed, the updater replaces the files, and uninstall.exe stays.
            const QString log = installation.home() + u"/installed-app.log"_s;
            const QProcessEnvironment environment = wine::environment(QString(), log);
            COMPARE_EXIT(wine::run(root + u"/Vellumix.exe"_s, {}, environment), 0);
            QVERIFY(testsupport::readFile(log).contains("version 1.0.0 started"));
            QTemporaryDir feed;
            const QString published = e2e::publishFeed(feed.path(), installation.filesOf(v2), v2);
            QVERIFY2(published.isEmpty(), qPrintable(published));
            testsupport::FeedServer server;
            QVERIFY2(server.start(feed.path()), qPrintable(server.errorText()));
            COMPARE_EXIT(wine::run(root + u"/Vellumix.exe"_s, {u"--check-update"_s, server.baseUrl()}, environment), 0);
            QVERIFY2(QTest::qWaitFor([&] { return testsupport::readFile(log).contains("version 2.0.0 confirmed its start"); }, 120000),
                     testsupport::readFile(log).constData());
            QVERIFY(QTest::qWaitFor([&] { return testsupport::readFile(work + u"/installed.json"_s) == recordOf(v2); }, 60000));
            QVERIFY(QTest::qWaitFor([&] { return !QFileInfo::exists(work + u"/installer.lock"_s); }, 60000));
            QCOMPARE(testsupport::describeDifference(installation.treeOf(v2),
                                                     testsupport::snapshotTree(root, {u".vellumix-update"_s, u"uninstall.exe"_s})),
                     QString());
            QVERIFY(QFileInfo(root + u"/uninstall.exe"_s).isFile());
            // The program removed its stage once version 2 confirmed; a script of the
            // administrator's downloads version 3 into a stage of its own and leaves it there.
            const e2e::AppVersion v3 = e2e::versionOf(u"3.0.0"_s, 3);
            const QString again = e2e::publishFeed(feed.path(), installation.filesOf(v3), v3);
            QVERIFY2(again.isEmpty(), qPrintable(again));
            const QString fetchStage =
                QString(wine::windowsPath(wine::localAppData() + u"/Vellumix/cache/update-stage/script/stable"_s)).replace(u'/', u'\\');
            COMPARE_EXIT(wine::run(wine::fetchProgram(), {u"download"_s, u"--feed"_s, server.baseUrl(), u"--root"_s,
                                                          windowsRoot, u"--stage"_s, fetchStage},
                                   wine::environment(wine::display())), 0);
            stageNote = QString::fromUtf8(testsupport::readFile(work + u"/stage-location.txt"_s));
            QCOMPARE(stageNote, fetchStage + u'\n');
            stageNote = stageNote.trimmed();
        } else {
            // A note that names another folder, with the stage's marker unless the row says not.
            QString folder = notedStage;
            folder.replace(u"LOCAL"_s, wine::windowsPath(wine::localAppData()));
            stageNote = folder.replace(u'/', u'\\');
        }
        const QString stage = QDir::cleanPath(wine::driveC() + QString(stageNote.mid(2)).replace(u'\\', u'/'));
        if (!cycle) {
            testsupport::writeFile(stage, u"files/keep.txt"_s, "kept");
            if (!notedStage.contains(u"unmarked"_s))
                testsupport::writeFile(stage, u".vellumix-stage"_s, "");
            testsupport::writeFile(work, u"stage-location.txt"_s, stageNote.toUtf8() + "\n");
        }
        QVERIFY2(QFileInfo(stage).isDir(), qPrintable(stage));
        // The user's own data, beside the program's folders.
        const QString settings = wine::roamingAppData() + u"/Vellumix/settings.ini"_s;
        const QString data = wine::localAppData() + u"/Vellumix/user-data.db"_s;
        testsupport::writeFile(QFileInfo(settings).path(), u"settings.ini"_s, "[user]\n");
        testsupport::writeFile(QFileInfo(data).path(), u"user-data.db"_s, "the user's");
        if (cycle)
            showState(u"after the update to 2.0.0 (stage: %1)"_s.arg(stageNote), root, u"Vellumix"_s);

        QVERIFY(uninstall(root));
        if (cycle)
            showState(u"after uninstall.exe /S"_s, root, u"Vellumix"_s);
        QVERIFY(!QFileInfo::exists(root));
        QVERIFY(!QFileInfo::exists(shortcut));
        QVERIFY(wine::registryValues(kUninstallKey + u"Vellumix"_s).isEmpty());
        QCOMPARE(QFileInfo::exists(stage), !removed);
        QCOMPARE(testsupport::readFile(settings), QByteArray("[user]\n"));
        QCOMPARE(testsupport::readFile(data), QByteArray("the user's"));
        QDir(QFileInfo(settings).path()).removeRecursively();
        QDir(QFileInfo(data).path()).removeRecursively();
        if (!cycle)
            QDir(stage).removeRecursively();
    }

    /*
        The pages of the Setup program and of its uninstaller, photographed on the suite's X
        server in the system's language: English and Chinese.
    */
    void setupPages_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("tag");
        QTest::newRow("English") << u"C.UTF-8"_s << u"en"_s;
        QTest::newRow("Chinese") << u"zh_CN.UTF-8"_s << u"zh"_s;
    }

    void setupPages()
    {
        QFETCH(QString, locale);
        QFETCH(QString, tag);
        Installation installation;
        const QString setup = buildSetup(installation, e2e::versionOf(u"1.0.0"_s, 1));
        QVERIFY(!setup.isEmpty());
        const QString root = wine::localAppData() + u"/Programs/Vellumix"_s;
        removeDefaultInstallation(root);
        const QString shots = QStringLiteral(VELLUMIX_SETUP_SHOTS);
        QDir().mkpath(shots);
        QProcessEnvironment environment = wine::environment(wine::display());
        environment.insert(u"LC_ALL"_s, locale);

        // The window whose title starts with `title`, once it is shown and `settleMs` later.
        const auto windowOf = [](const QString &title) {
            QByteArray found;
            QTest::qWaitFor([&] {
                found.clear();
                runTool(u"xdotool"_s, {u"search"_s, u"--onlyvisible"_s, u"--name"_s, title}, &found);
                return !found.trimmed().isEmpty();
            }, 60000);
            QTest::qWait(1500);
            return QString::fromLatin1(found.trimmed().split('\n').constLast());
        };
        const auto shoot = [&](const QString &window, const QString &page) {
            const QString file = shots + u"/setup-%1-%2.png"_s.arg(page, tag);
            QFile::remove(file);
            return runTool(u"import"_s, {u"-window"_s, window, file}) == 0 && QFileInfo(file).size() > 0;
        };
        const auto press = [](const QString &window, const QString &key) {
            runTool(u"xdotool"_s, {u"windowfocus"_s, u"--sync"_s, window});
            runTool(u"xdotool"_s, {u"key"_s, u"--clearmodifiers"_s, key});
        };

        QProcess running;
        wine::start(running, setup, {}, environment);
        QString window = windowOf(u"Vellumix"_s);
        if (window.isEmpty()) {
            QByteArray windows;
            runTool(u"xdotool"_s, {u"search"_s, u"--name"_s, u"."_s}, &windows);
            running.kill();
            const RunResult ended = wine::finish(running);
            QFAIL(qPrintable(u"Setup's window did not appear; windows: %1; Setup: %2"_s
                                 .arg(QString::fromLatin1(windows), e2e::describe(ended))));
        }
        QVERIFY(shoot(window, u"welcome"_s));
        press(window, u"Return"_s);
        QTest::qWait(1500);
        QVERIFY(shoot(window, u"folder"_s));
        press(window, u"Return"_s);
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(root + u"/uninstall.exe"_s); }, 60000));
        QTest::qWait(3000);
        QVERIFY(shoot(window, u"finished"_s));
        // The last page starts the program as it ends (the stand-in ends at once by itself).
        press(window, u"Return"_s);
        const RunResult run = wine::finish(running);
        COMPARE_EXIT(run, 0);
        QCOMPARE(testsupport::readFile(root + u"/.vellumix-update/installed.json"_s), recordOf(e2e::versionOf(u"1.0.0"_s, 1)));

        wine::start(running, root + u"/uninstall.exe"_s, {}, environment);
        window = windowOf(u"Vellumix"_s);
        QVERIFY2(!window.isEmpty(), "the uninstaller's window did not appear");
        QVERIFY(shoot(window, u"uninstall-confirm"_s));
        press(window, u"Return"_s);
        QVERIFY(QTest::qWaitFor([&] { return !QFileInfo::exists(root + u"/Vellumix.exe"_s); }, 60000));
        QTest::qWait(2000);
        QVERIFY(shoot(window, u"uninstall-done"_s));
        press(window, u"Return"_s);
        QVERIFY(QTest::qWaitFor([&] { return !QFileInfo::exists(root); }, 60000));
        running.waitForFinished(60000);
        // The uninstaller's window is gone before the next Setup is looked for.
        QVERIFY(QTest::qWaitFor([&] {
            QByteArray windows;
            runTool(u"xdotool"_s, {u"search"_s, u"--onlyvisible"_s, u"--name"_s, u"Vellumix"_s}, &windows);
            return windows.trimmed().isEmpty();
        }, 60000));
        removeDefaultInstallation(root);
    }

    // The smoke test reports on standard error itself; Qt's own warnings stay where a Windows
    // program without a console window sends them (Wine warns there that it cannot set the
    // per-monitor DPI awareness).
    void smokeTest_data()
    {
        QTest::addColumn<bool>("withX");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("platformVariable");
        QTest::addColumn<QString>("platform");
        QTest::newRow("windows under Xvfb") << true << QStringList{} << QString() << "windows";
        QTest::newRow("offscreen without X")
            << false << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen")} << QString()
            << "offscreen";
        QTest::newRow("minimal without X, from the environment")
            << false << QStringList{} << QStringLiteral("minimal") << "minimal";
    }

    void smokeTest()
    {
        QFETCH(bool, withX);
        QFETCH(QStringList, arguments);
        QFETCH(QString, platformVariable);
        QFETCH(QString, platform);
        QProcessEnvironment environment = wine::environment(withX ? wine::display() : QString());
        environment.remove(QStringLiteral("WINEQT_FORCE_STDERR_LOGGING"));
        if (!platformVariable.isEmpty())
            environment.insert(QStringLiteral("WINEQT_QPA_PLATFORM"), platformVariable);
        const RunResult run = wine::run(wine::smokeTestProgram(), arguments, environment);
        COMPARE_EXIT(run, 0);
        const QStringList lines = run.errorOutput.split(u'\n');
        QVERIFY2(lines.size() == 5, qPrintable(run.errorOutput));
        QVERIFY2(lines.at(0).startsWith(QStringLiteral("OS: Windows ")), qPrintable(lines.at(0)));
        QCOMPARE(lines.at(1), QStringLiteral("Qt runtime: 6.4.2; build: 6.4.2"));
        QVERIFY(lines.at(2).startsWith(QStringLiteral("Plugin paths: ")));
        QCOMPARE(lines.at(3), QStringLiteral("Platform initialized: ") + platform);
        QCOMPARE(lines.at(4), QStringLiteral(
            "PASS: local Windows platform plugin and its load-time dependencies initialized."));
        QCOMPARE(run.output, QString());
    }

    void smokeTestWithAMissingPlugin()
    {
        // Qt itself tells of a platform plug-in that cannot be loaded, in a box of its own on
        // Windows; the program ends with a failure once it is dismissed, without the last line.
        QProcessEnvironment environment = wine::environment(wine::display());
        environment.insert(QStringLiteral("WINEQT_QPA_PLATFORM"), QStringLiteral("nosuchplatform"));
        QProcess smokeTest;
        wine::start(smokeTest, wine::smokeTestProgram(), {}, environment);
        RunResult run;
        const QString box = readAndDismissBox(QStringLiteral("platform-smoke-test"), smokeTest, &run);
        QVERIFY2(box.contains(QStringLiteral("no Qt platform plugin could be initialized")),
                 qPrintable(box));
        QVERIFY2(box.contains(QStringLiteral("Available platform plugins are: windows, offscreen, minimal.")),
                 qPrintable(box));
        QVERIFY2(run.exitCode != 0, qPrintable(run.errorOutput));
        QVERIFY(run.errorOutput.contains(QStringLiteral("Could not find the Qt platform plugin \"nosuchplatform\"")));
        QVERIFY(!run.errorOutput.contains(QStringLiteral("PASS:")));
    }

    // A static program that links Qt Network gets the schannel TLS back end of the Windows Qt,
    // and no other; under Wine, schannel is served by GnuTLS (libgnutls30 on the Linux side).
    void tlsBackend()
    {
        const RunResult run = wine::run(wine::tlsProbe(), {}, wine::environment(wine::display()));
        COMPARE_EXIT(run, 0);
        QCOMPARE(run.output, QStringLiteral("available: schannel\nactive: schannel\nsupportsSsl: yes\n"));
    }

    /*
        A TLS handshake through schannel with a local `openssl s_server` whose certificate (for
        "localhost", self-signed) the probe trusts or not. Under Wine a certificate authority given
        to the client alone is of no use: Qt's schannel back end hands it to Windows as a PKCS #12
        without a key, which Wine cannot import, so the chain is checked against the system's
        store only (see docs/windows.md). A self-signed server certificate that the client trusts
        needs no chain.
    */
    void tlsHandshake_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<QString>("expected");
        QTest::newRow("trusted certificate") << "localhost" << true << "encrypted: TLSv1.";
        QTest::newRow("untrusted certificate")
            << "localhost" << false << "error: The root CA certificate is not trusted for this purpose";
        QTest::newRow("certificate for another host name")
            << "127.0.0.1" << true
            << "error: The host name did not match any of the valid hosts for this certificate";
    }

    void tlsHandshake()
    {
        QFETCH(QString, host);
        QFETCH(bool, trusted);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        for (const QString &name : {QStringLiteral("server"), QStringLiteral("other")}) {
            QProcess openssl;
            openssl.start(QStringLiteral("openssl"), {
                QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
                QStringLiteral("-addext"), QStringLiteral("subjectAltName=DNS:localhost"),
                QStringLiteral("-keyout"), dir.filePath(name + QStringLiteral(".key")),
                QStringLiteral("-out"), dir.filePath(name + QStringLiteral(".pem"))});
            QVERIFY(openssl.waitForFinished() && openssl.exitCode() == 0);
        }
        QProcess server;
        server.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        server.start(QStringLiteral("openssl"), {
            QStringLiteral("s_server"), QStringLiteral("-accept"), QStringLiteral("127.0.0.1:0"),
            QStringLiteral("-cert"), dir.filePath(QStringLiteral("server.pem")),
            QStringLiteral("-key"), dir.filePath(QStringLiteral("server.key")), QStringLiteral("-www")});
        QString port;
        while (port.isEmpty() && server.waitForReadyRead(10000)) {
            while (server.canReadLine()) {
                const QString line = QString::fromLatin1(server.readLine()).trimmed();
                if (line.startsWith(QStringLiteral("ACCEPT ")))
                    port = line.section(u':', -1);
            }
        }
        QVERIFY2(!port.isEmpty(), "openssl s_server did not start");
        const QString authority = dir.filePath(trusted ? QStringLiteral("server.pem") : QStringLiteral("other.pem"));
        const RunResult run = wine::run(wine::tlsProbe(), {host, port, wine::windowsPath(authority)},
                                        wine::environment(wine::display()));
        server.kill();
        server.waitForFinished();
        const QString last = run.output.trimmed().section(u'\n', -1);
        QVERIFY2(last.startsWith(expected), qPrintable(run.output + run.errorOutput));
        COMPARE_EXIT(run, trusted && host == u"localhost" ? 0 : 1);
    }
};

QTEST_GUILESS_MAIN(WineEndToEnd)
#include "tst_wine_updater.moc"
