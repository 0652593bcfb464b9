#include "feedscenarios.h"

#include "feedserver.h"
#include "messages.h"
#include "stallingproxy.h"
#include <vellumix/updateclient.h>

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QUrl>

#include <algorithm>

using namespace Qt::StringLiterals;
using testsupport::AccessLogEntry;
using testsupport::describeDifference;

namespace e2e {

namespace {

const AppVersion v1 = versionOf(u"1.0.0"_s, 1);
const AppVersion v2 = versionOf(u"2.0.0"_s, 2);
const QString kManifest = u"/stable/manifest.json"_s;

// The exit code of a run, with its output shown when it is not the one expected.
#define COMPARE_EXIT(run, expected)                                                               \
    QVERIFY2((run).exitCode == (expected),                                                        \
             qPrintable(u"exit code %1, expected %2; output: %3; standard error: %4"_s            \
                            .arg((run).exitCode).arg(expected).arg((run).output, (run).errorOutput)))

QJsonObject errorOf(const RunResult &run)
{
    return jsonOf(run).value(u"error"_s).toObject();
}

// The installed record as the updater writes it.
QByteArray installedRecord(const AppVersion &version)
{
    return u"{\n    \"sequence\": %1,\n    \"version\": \"%2\"\n}\n"_s.arg(version.sequence).arg(version.version).toUtf8();
}

bool lockExists(const AbstractInstallation &installation)
{
    return QFileInfo::exists(installation.workPath(u"installer.lock"_s));
}

// Whether a stage is left anywhere in the programs' per-user caches.
bool stageInCache(const AbstractInstallation &installation)
{
    return QDirIterator(installation.cacheFolder(), {u".vellumix-stage"_s}, QDir::Files | QDir::Hidden,
                        QDirIterator::Subdirectories)
        .hasNext();
}

QList<AccessLogEntry> requestsFor(const QList<AccessLogEntry> &log, const QString &uri)
{
    QList<AccessLogEntry> result;
    for (const AccessLogEntry &entry : log) {
        if (entry.uri == uri)
            result.append(entry);
    }
    return result;
}

// The list `list` ("files" or "deltas") of the channel "stable" of a feed.
QJsonArray releaseList(const QString &feedDir, const QString &list)
{
    const QJsonObject envelope =
        QJsonDocument::fromJson(testsupport::readFile(feedDir + u"/stable/manifest.json"_s)).object();
    const QByteArray payload = QByteArray::fromBase64(envelope.value(u"payload"_s).toString().toLatin1());
    return QJsonDocument::fromJson(payload).object().value(list).toArray();
}

QString blobOf(const QJsonObject &entry)
{
    return u"/blobs/"_s + entry.value(u"packedSha256"_s).toString();
}

// A feed in a folder of its own and the server that serves it.
struct ServedFeed
{
    QTemporaryDir dir;
    testsupport::FeedServer server;

    QString path() const { return dir.filePath(u"feed"_s); }
    // Publishes `files` as `version` (see publishFeed); what went wrong, empty when nothing.
    QString publish(const QList<testsupport::FileSpec> &files, const AppVersion &version, bool deltas = false)
    {
        return publishFeed(path(), files, version, deltas);
    }
    // Publishes them and serves the feed over plain http.
    QString serve(const QList<testsupport::FileSpec> &files, const AppVersion &version)
    {
        const QString published = publish(files, version);
        return !published.isEmpty() || server.start(path()) ? published : server.errorText();
    }
    // The requests for the manifest so far: 200, or 304 once one is kept.
    qsizetype manifestRequests() const { return requestsFor(server.accessLog(), kManifest).size(); }
};

// Waits until `version` is installed and its start confirmed: the journal healthy, the record
// written, the lock gone, the program root the version's; answers what is not so.
QString confirmedInstall(const AbstractInstallation &installation, const AppVersion &version)
{
    const QString record = installation.workPath(u"installed.json"_s);
    if (!installation.waitForJournalState(u"healthy"_s))
        return u"journal state "_s + installation.journalState();
    if (!QTest::qWaitFor([&] { return testsupport::readFile(record) == installedRecord(version); }, 30000))
        return u"installed record "_s + QString::fromUtf8(testsupport::readFile(record));
    if (!QTest::qWaitFor([&] { return !lockExists(installation); }, 30000))
        return u"the lock is still held"_s;
    return describeDifference(installation.treeOf(version), installation.programTree());
}

// Whether `output` holds every one of `texts`.
bool holdsAll(const QString &output, const QStringList &texts)
{
    return std::all_of(texts.begin(), texts.end(), [&](const QString &text) { return output.contains(text); });
}

// The feed that the guide's program checks (its setting, for the test's processes and theirs).
class FeedSetting
{
public:
    explicit FeedSetting(const QString &url) { qputenv("VELLUMIX_UPDATE_FEED", url.toUtf8()); }
    ~FeedSetting() { qunsetenv("VELLUMIX_UPDATE_FEED"); }
};

void guideProgramCycle(AbstractInstallation &installation)
{
    AppVersion first = v1, second = v2, third = versionOf(u"3.0.0"_s, 3);
    first.mainProgram = installation.guideProgram(1);
    second.mainProgram = installation.guideProgram(2);
    third.mainProgram = installation.guideProgram(3);
    installation.install(first);
    // Version 1 is in the feed, so the new program travels as its difference from the one
    // installed.
    ServedFeed feed;
    QCOMPARE(feed.publish(installation.filesOf(first), first), QString());
    QCOMPARE(feed.publish(installation.filesOf(second), second, true), QString());
    const QJsonArray deltas = releaseList(feed.path(), u"deltas"_s);
    QCOMPARE(deltas.size(), 1);
    const QJsonObject delta = deltas.first().toObject();
    QCOMPARE(delta.value(u"path"_s).toString(), u"Vellumix.exe"_s);
    const QJsonObject newProgram = feedEntry(feed.path(), u"Vellumix.exe"_s);
    QVERIFY2(delta.value(u"packedSize"_s).toInteger() * 10 < newProgram.value(u"packedSize"_s).toInteger(),
             QJsonDocument(delta).toJson().constData());
    QVERIFY2(feed.server.start(feed.path()), qPrintable(feed.server.errorText()));
    const FeedSetting setting(feed.server.baseUrl());
    const QStringList oneUpdate{u"Vellumix.exe"_s, u"VellumixUpdater.exe"_s, u"Vellumix.exe"_s};

    // Version 1 checks, downloads, starts the updater and quits; version 2 is probed, confirms
    // and carries on with its own check, which finds nothing newer: no second updater.
    AppCycle cycle = installation.runAppCycle();
    COMPARE_EXIT(cycle.run, 0);
    QCOMPARE(confirmedInstall(installation, second), QString());
    // (Under Wine, the probed version's own check is sometimes sent more than once.)
    QTRY_VERIFY_WITH_TIMEOUT(feed.manifestRequests() >= 2, 60000);
    if (cycle.followed) {
        QCOMPARE(cycle.started, oneUpdate);
        QVERIFY2(holdsAll(cycle.run.errorOutput, {u"version 2.0.0 confirmed its start"_s, u"(installed)"_s,
                              u"no update: the feed offers sequence 2, 2 is installed"_s,
                              u"1 of the files fetched came as deltas against the installed copies"_s}),
                 qPrintable(cycle.run.errorOutput));
    }
    QVERIFY2(!stageInCache(installation), "a stage is left after the update was confirmed");
    // What nginx served: the delta, never the new program whole; the other changed files (too
    // small for a delta to pay) whole.
    QStringList served;
    for (const AccessLogEntry &entry : feed.server.accessLog())
        served << entry.uri;
    QVERIFY2(served.contains(blobOf(delta)), qPrintable(served.join(u' ')));
    QVERIFY(!served.contains(blobOf(newProgram)));
    for (const QString &path : {u"vellumix-sample.json"_s, u"lib/core.dll"_s})
        QVERIFY(served.contains(blobOf(feedEntry(feed.path(), path))));

    // An update interrupted right after its journal was first written: the next start hands it
    // to the recovery, which rolls it back and starts the program again, which goes on to its
    // check.
    testsupport::writeFile(installation.workPath(QString()), u"transaction.json"_s,
                           "{\"entries\":[],\"sequence\":9,\"state\":\"installing\","
                           "\"token\":\"0123456789abcdef\",\"version\":\"9.0.0\"}");
    qsizetype asked = feed.manifestRequests();
    cycle = installation.runAppCycle();
    COMPARE_EXIT(cycle.run, 0);
    QVERIFY(installation.waitForJournalState(u"rolledback"_s));
    QTRY_VERIFY_WITH_TIMEOUT(feed.manifestRequests() > asked, 60000);
    QCOMPARE(describeDifference(installation.treeOf(second), installation.programTree()), QString());
    if (cycle.followed) {
        QCOMPARE(cycle.started, oneUpdate);
        // The start after the recovery tells what became of the update.
        QVERIFY2(holdsAll(cycle.run.errorOutput, {u"version 2.0.0 quits: the updater finishes an update first"_s,
                              u"(recovered, interrupted)"_s,
                              u"no update: the feed offers sequence 2, 2 is installed"_s}),
                 qPrintable(cycle.run.errorOutput));
    }

    // A second update in a row, on an installation that has an installed record now: version 3
    // confirms its start and checks at once, before the updater has written the record. It
    // takes neither its own release again nor an older one: one updater run, and the update is
    // told once.
    QCOMPARE(feed.publish(installation.filesOf(third), third), QString());
    cycle = installation.runAppCycle();
    COMPARE_EXIT(cycle.run, 0);
    QCOMPARE(confirmedInstall(installation, third), QString());
    if (cycle.followed) {
        QCOMPARE(cycle.started, oneUpdate);
        QCOMPARE(cycle.run.errorOutput.count(u"version 3.0.0 confirmed its start"_s), 1);
        QVERIFY2(holdsAll(cycle.run.errorOutput, {u"no update: the feed offers sequence 3, 3 is installed"_s}),
                 qPrintable(cycle.run.errorOutput));
    }
}

void failedRelease(AbstractInstallation &installation, const FeedScenario &scenario)
{
    AppVersion first = v1, second = versionOf(u"2.0.0"_s, 2, scenario.behaviour, 0);
    first.mainProgram = installation.guideProgram(1);
    if (scenario.guideRelease)
        second.mainProgram = installation.guideProgram(2);
    AppVersion release = second;
    release.version = scenario.releaseVersion;
    installation.install(first);
    ServedFeed feed;
    QCOMPARE(feed.serve(installation.filesOf(second), release), QString());
    const FeedSetting setting(feed.server.baseUrl());
    const auto updaterRuns = [](const AppCycle &cycle) { return cycle.started.count(u"VellumixUpdater.exe"_s); };
    const auto journalToken = [&] {
        return QJsonDocument::fromJson(testsupport::readFile(installation.workPath(u"transaction.json"_s)))
            .object()
            .value(u"token"_s)
            .toString();
    };
    const QString told = u"last update: "_s;
    const QString leftAlone = u"update %1 (sequence 2) failed here before"_s.arg(scenario.releaseVersion);

    // One updater run, which rolls the release back, starts 1.0.0 again and shows why, once.
    AppCycle cycle = installation.runAppCycle(1);
    COMPARE_EXIT(cycle.run, 0);
    QCOMPARE(cycle.shown, QStringList{Msg::newVersionFailedRestored});
    QVERIFY(installation.waitForJournalState(u"rolledback"_s));
    QCOMPARE(describeDifference(installation.treeOf(first), installation.programTree()), QString());
    // 1.0.0, started again by the updater, checks, writes the release down as failed, tells the
    // rollback and leaves the release alone.
    QTRY_VERIFY_WITH_TIMEOUT(feed.manifestRequests() >= 2, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(testsupport::readFile(installation.workPath(u"update-history.json"_s))
                                 .contains('"' + scenario.reason.toUtf8() + '"'),
                             60000);
    QTRY_VERIFY_WITH_TIMEOUT(!lockExists(installation), 30000);
    const QString token = journalToken();
    if (cycle.followed) {
        QCOMPARE(updaterRuns(cycle), 1);
        QVERIFY2(cycle.run.errorOutput.contains(u"(rolled-back, %1)"_s.arg(scenario.reason))
                     && cycle.run.errorOutput.contains(leftAlone),
                 qPrintable(cycle.run.errorOutput));
    }

    // Later starts check again: no updater, nothing shown or told again, the same journal.
    const qsizetype asked = feed.manifestRequests();
    cycle = installation.runAppCycle();
    COMPARE_EXIT(cycle.run, 0);
    QCOMPARE(cycle.shown, QStringList());
    QTRY_VERIFY_WITH_TIMEOUT(feed.manifestRequests() > asked, 60000);
    QCOMPARE(journalToken(), token);
    QCOMPARE(describeDifference(installation.treeOf(first), installation.programTree()), QString());
    if (cycle.followed) {
        QCOMPARE(updaterRuns(cycle), 0);
        QVERIFY2(cycle.run.errorOutput.contains(leftAlone) && !cycle.run.errorOutput.contains(told),
                 qPrintable(cycle.run.errorOutput));
    }

    // A newer release that works is installed at the next start.
    const AppVersion third = versionOf(u"3.0.0"_s, 3);
    QCOMPARE(feed.publish(installation.filesOf(third), third), QString());
    cycle = installation.runAppCycle();
    COMPARE_EXIT(cycle.run, 0);
    QCOMPARE(cycle.shown, QStringList());
    QCOMPARE(confirmedInstall(installation, third), QString());
    if (cycle.followed)
        QCOMPARE(updaterRuns(cycle), 1);
}

// One JSON object, exit 0 when the feed offers something newer than the installation, 10 when
// it does not; a check stages nothing.
void fetchCheck(AbstractInstallation &installation, const FeedScenario &scenario)
{
    ServedFeed feed;
    QCOMPARE(feed.serve(installation.filesOf(v2), v2), QString());
    installation.install(scenario.v2Installed ? v2 : v1);
    if (scenario.v2Installed)
        testsupport::writeFile(installation.workPath(QString()), u"installed.json"_s,
                               "{\"sequence\": 2, \"version\": \"2.0.0\"}");

    const RunResult run = installation.runFetch(
        {u"check"_s, u"--feed"_s, feed.server.baseUrl(), u"--root"_s, installation.programPath(installation.root())});
    QVERIFY2(run.exitCode == scenario.exitCode, qPrintable(describe(run)));
    const QJsonObject json = jsonOf(run);
    QCOMPARE(json.value(u"update"_s).toBool(), !scenario.v2Installed);
    QCOMPARE(json.value(u"installedSequence"_s).toInt(), scenario.v2Installed ? 2 : 0);
    QCOMPARE(json.value(u"sequence"_s).toInt(), 2);
    QCOMPARE(json.value(u"version"_s).toString(), u"2.0.0"_s);
    QCOMPARE(json.value(u"files"_s).toInt(), 6);
    if (!scenario.v2Installed)
        QCOMPARE(json.value(u"filesToFetch"_s).toInt(), 3);
    QCOMPARE(requestsFor(feed.server.accessLog(1), kManifest).size(), 1);
    QVERIFY(!stageInCache(installation));
}

// check, download and apply --wait in a row, as a script would: one JSON object each, the
// updater's exit code passed on, and "no update" once the release is installed.
void fetchCycle(AbstractInstallation &installation, const FeedScenario &scenario)
{
    const int updaterExitCode = scenario.exitCode;
    const AppVersion next = versionOf(u"2.0.0"_s, 2, scenario.behaviour, 0);
    installation.install(v1);
    ServedFeed feed;
    QCOMPARE(feed.serve(installation.filesOf(next), next), QString());
    const QString root = installation.programPath(installation.root());
    const QStringList target{u"--feed"_s, feed.server.baseUrl(), u"--root"_s, root, u"--sequence"_s, u"1"_s};
    const QStringList stage{u"--stage"_s, installation.programPath(installation.stage())};
    const auto fetch = [&](const QStringList &arguments) { return installation.runFetch(arguments); };

    const RunResult check = fetch(QStringList{u"check"_s} + target);
    QVERIFY2(check.exitCode == 0, qPrintable(describe(check)));
    QJsonObject json = jsonOf(check);
    QCOMPARE(json.value(u"update"_s).toBool(), true);
    QCOMPARE(json.value(u"sequence"_s).toInt(), 2);
    QCOMPARE(json.value(u"installedSequence"_s).toInt(), 1);
    QCOMPARE(json.value(u"filesToFetch"_s).toInt(), 3);
    const qint64 fetchBytes = json.value(u"fetchBytes"_s).toInteger();

    const RunResult download = fetch(QStringList{u"download"_s} + target + stage);
    QVERIFY2(download.exitCode == 0, qPrintable(describe(download)));
    json = jsonOf(download);
    QCOMPARE(json.value(u"bytesTransferred"_s).toInteger(), fetchBytes);
    QCOMPARE(json.value(u"filesFetched"_s).toInt(), 3);
    QVERIFY2(download.errorOutput.contains(u"download: 3/3 files"_s), qPrintable(download.errorOutput));

    // The stage is complete: apply fetches no blob again and runs the updater.
    feed.server.accessLog(5); // the check's manifest, the download's manifest and 3 blobs
    feed.server.clearAccessLog();
    const QStringList waiting{u"--wait"_s, u"--quiet"_s};
    const RunResult apply = fetch(QStringList{u"apply"_s} + target + stage + waiting);
    QVERIFY2(apply.exitCode == updaterExitCode, qPrintable(describe(apply)));
    json = jsonOf(apply);
    QCOMPARE(json.value(u"updaterExitCode"_s).toInt(), updaterExitCode);
    QCOMPARE(json.value(u"bytesTransferred"_s).toInteger(), 0);
    QCOMPARE(json.value(u"filesAlreadyStaged"_s).toInt(), 3);
    // The manifest is unchanged since the check: asked with its tag, answered 304.
    QStringList requests;
    for (const AccessLogEntry &entry : feed.server.accessLog(1))
        requests << u"%1 %2 %3 %4"_s.arg(entry.method, entry.uri).arg(entry.status).arg(entry.range);
    QCOMPARE(requests, QStringList{u"GET /stable/manifest.json 304 -"_s});

    const RunResult after = fetch(QStringList{u"check"_s} + target);
    QVERIFY2(after.exitCode == 10, qPrintable(describe(after)));
    json = jsonOf(after);
    QCOMPARE(json.value(u"update"_s).toBool(), false);
    if (updaterExitCode == 0) {
        QCOMPARE(confirmedInstall(installation, next), QString());
        QCOMPARE(json.value(u"installedSequence"_s).toInt(), 2);
    } else {
        QCOMPARE(describeDifference(installation.treeOf(v1), installation.programTree()), QString());
        QCOMPARE(installation.journalState(), u"rolledback"_s);
        // Still offered, but failed here: reported and left alone, until asked for again.
        const QJsonObject failedHere = json.value(u"failedHere"_s).toObject();
        QCOMPARE(failedHere.value(u"result"_s).toString(), u"rolled-back"_s);
        QCOMPARE(failedHere.value(u"reason"_s).toString(), u"new-version-ended"_s);
        const RunResult skipped = fetch(QStringList{u"apply"_s} + target + stage + waiting);
        QVERIFY2(skipped.exitCode == 10 && !jsonOf(skipped).contains(u"updater"_s), qPrintable(describe(skipped)));
        const RunResult retried =
            fetch(QStringList{u"apply"_s} + target + stage + waiting + QStringList{u"--retry-failed"_s});
        QVERIFY2(retried.exitCode == updaterExitCode, qPrintable(describe(retried)));
        QCOMPARE(jsonOf(retried).value(u"outcome"_s).toObject().value(u"reason"_s).toString(),
                 u"new-version-ended"_s);
    }
    // What became of the last update, for an administrator.
    const RunResult status = fetch({u"status"_s, u"--root"_s, root});
    QVERIFY2(status.exitCode == 0, qPrintable(describe(status)));
    json = jsonOf(status);
    const QJsonObject last = json.value(u"lastUpdate"_s).toObject();
    QCOMPARE(last.value(u"result"_s).toString(), updaterExitCode == 0 ? u"installed"_s : u"rolled-back"_s);
    QCOMPARE(last.value(u"sequence"_s).toInt(), 2);
    QCOMPARE(json.value(u"failedReleases"_s).toArray().size(), updaterExitCode == 0 ? 0 : 1);
    if (updaterExitCode != 0)
        return;

    // A fresh installation of that release (no record, no journal) checked without --sequence:
    // its files are the release's, and it is not offered again.
    QVERIFY(QDir(installation.workPath(QString())).removeRecursively());
    const RunResult fresh = fetch({u"check"_s, u"--feed"_s, feed.server.baseUrl(), u"--root"_s, root});
    QVERIFY2(fresh.exitCode == 10, qPrintable(describe(fresh)));
    QCOMPARE(jsonOf(fresh).value(u"update"_s).toBool(), false);
    QCOMPARE(jsonOf(fresh).value(u"installedSequence"_s).toInt(), 2);
}

// vellumix-fetch download over the network that the scenario sets up; once it has staged, a
// check of the unchanged feed.
void fetchDownload(AbstractInstallation &installation, const FeedScenario &scenario, Platform platform)
{
    if (scenario.privateFeed && !testsupport::ProxyServer::available())
        QSKIP("squid is not installed (Debian package squid)");
    installation.install(scenario.tamperedBlob ? v2 : v1);
    if (scenario.tamperedBlob) // only lib/core.dll differs from the release
        testsupport::writeFile(installation.root(), u"lib/core.dll"_s, "core library 1.0.0");
    ServedFeed feed;
    QCOMPARE(feed.publish(installation.filesOf(v2), v2), QString());
    const QString blob = blobOf(feedEntry(feed.path(), u"lib/core.dll"_s));
    const QByteArray good = testsupport::readFile(feed.path() + blob);
    if (scenario.tamperedBlob) {
        QByteArray tampered = good;
        tampered[tampered.size() / 2] = char(tampered.at(tampered.size() / 2) ^ 0x01);
        testsupport::writeFile(feed.path(), blob.mid(1), tampered);
    }

    testsupport::TlsFiles tls;
    testsupport::ServerOptions serving;
    serving.http2 = scenario.http2;
    serving.detailLog = true;
    QProcessEnvironment environment;
    if (scenario.https) {
        tls = testsupport::makeTestCertificates(feed.dir.filePath(u"tls"_s), scenario.certificateHost);
        QVERIFY(!tls.caFile.isEmpty());
        if (scenario.trust != Trust::CaFile) {
            testsupport::writeFile(feed.dir.filePath(u"tls"_s), u"chain.pem"_s,
                                   testsupport::readFile(tls.certFile) + testsupport::readFile(tls.caFile));
            tls.certFile = feed.dir.filePath(u"tls/chain.pem"_s);
        }
    }
    if (scenario.privateFeed) {
        serving.basicAuth = u"reader:pa:ss"_s;
        serving.requiredHeader = u"X-Feed-Token: t0ken-1"_s;
    }
    if (!scenario.feedCredentials.isEmpty())
        environment.insert(u"VELLUMIX_FEED_CREDENTIALS"_s, scenario.feedCredentials);
    QVERIFY2(feed.server.start(feed.path(), scenario.https ? &tls : nullptr, serving),
             qPrintable(feed.server.errorText()));
    QVERIFY(feed.server.baseUrl().startsWith(scenario.https ? u"https://"_s : u"http://"_s));
    // A private feed's scenarios all have the company's proxy at hand; not all use it.
    testsupport::ProxyServer squid;
    if (scenario.privateFeed)
        QVERIFY2(squid.start(u"alice"_s, u"s3cret"_s), qPrintable(squid.errorText()));
    const bool inStore = scenario.trust == Trust::SystemStore && scenario.https;
    if (inStore)
        QVERIFY2(installation.trustInSystemStore(tls.caFile, true), "this runner has no store of trusted roots");
    const auto distrust = qScopeGuard([&] {
        if (inStore)
            installation.trustInSystemStore(tls.caFile, false);
    });

    QStringList options{u"--cache-dir"_s, installation.programPath(installation.home() + u"/cache"_s)};
    if (scenario.https && (scenario.trust == Trust::CaFile || scenario.trust == Trust::CaFileChainSent))
        options << u"--ca-file"_s << installation.programPath(tls.caFile);
    if (scenario.privateFeed && scenario.token)
        options << u"--header"_s << u"X-Feed-Token: t0ken-1"_s;
    if (scenario.proxy == Proxy::PassedBy) {
        environment.insert(u"https_proxy"_s, u"http://127.0.0.1:9/"_s);
        options << u"--proxy"_s << u"none"_s;
    } else if (scenario.proxy == Proxy::Squid) {
        QUrl url(squid.url());
        if (!scenario.proxyCredentials.isEmpty())
            url.setUserInfo(scenario.proxyCredentials);
        options << u"--proxy"_s << url.toString();
    }
    const QStringList target{u"--feed"_s, feed.server.baseUrl(), u"--root"_s,
                             installation.programPath(installation.root())};
    const QStringList download = QStringList{u"download"_s} + target
        + QStringList{u"--stage"_s, installation.programPath(installation.stage())} + options;
    const QString stage = installation.stage();
    // No password of the private feed or of the proxy is ever printed.
    const auto keepsSecrets = [](const RunResult &run) {
        return !run.output.contains(u"s3cret"_s) && !run.errorOutput.contains(u"s3cret"_s)
            && !run.output.contains(u"pa:ss"_s) && !run.errorOutput.contains(u"pa:ss"_s);
    };

    const RunResult run = installation.runFetch(download, environment);
    QVERIFY2(run.exitCode == scenario.exitCode && errorOf(run).value(u"reason"_s).toString() == scenario.reason,
             qPrintable(describe(run)));
    if (scenario.privateFeed)
        QVERIFY2(keepsSecrets(run), qPrintable(describe(run)));
    if (const QString says = platform == Platform::Wine ? scenario.saysOnWine : scenario.says; !says.isEmpty())
        QVERIFY2(run.errorOutput.contains(says), qPrintable(run.errorOutput));
    const QString port = QString::number(feed.server.port());

    if (scenario.tamperedBlob) {
        // Nothing of it is staged and the stage is not complete; nor are its bytes kept to
        // resume from: they would fail every later try.
        QCOMPARE(testsupport::snapshotTree(stage + u"/files"_s), testsupport::TreeSnapshot());
        QVERIFY(!QFileInfo::exists(stage + u"/manifest.json"_s));
        QCOMPARE(testsupport::snapshotTree(stage + u"/.download"_s), testsupport::TreeSnapshot());
        // Once the server has it right again, the next download completes.
        testsupport::writeFile(feed.path(), blob.mid(1), good);
        const RunResult again = installation.runFetch(download, environment);
        COMPARE_EXIT(again, 0);
        QCOMPARE(testsupport::readFile(stage + u"/files/lib/core.dll"_s), QByteArray("core library 2.0.0"));
        return;
    }
    if (!scenario.reason.isEmpty()) {
        if (scenario.reason == u"secure-connection-failed") {
            // Refused before any request was sent, and said so on standard error too.
            QVERIFY2(run.errorOutput.contains(scenario.reason), qPrintable(run.errorOutput));
            QCOMPARE(feed.server.accessLog().size(), 0);
            QVERIFY(!QFileInfo::exists(stage));
        } else {
            const QString detail = errorOf(run).value(u"detail"_s).toString();
            QVERIFY2(detail.contains(u"credentials"_s) || detail.contains(u"HTTP 403"_s), qPrintable(detail));
        }
        // Asked once: credentials that are missing or refused are not tried again.
        if (scenario.privateFeed) {
            const QStringList expected = QStringList(scenario.proxyLog).replaceInStrings(u"PORT"_s, port);
            QCOMPARE(squid.accessLog(expected.size()), expected);
        }
        return;
    }
    QCOMPARE(jsonOf(run).value(u"filesFetched"_s).toInt(), 3);
    QCOMPARE(jsonOf(run).value(u"filesToFetch"_s).toInt(), 3);
    QCOMPARE(testsupport::readFile(stage + u"/files/lib/core.dll"_s), QByteArray("core library 2.0.0"));
    // The manifest and three blobs, all over the protocol that ALPN settled on, with the TLS
    // that this nginx offers.
    const QString protocol = scenario.http2 ? u"HTTP/2.0"_s : u"HTTP/1.1"_s;
    const QList<testsupport::DetailLogEntry> log = feed.server.detailLog(4);
    QCOMPARE(log.size(), 4);
    for (const testsupport::DetailLogEntry &entry : log) {
        QCOMPARE(entry.status, 200);
        QCOMPARE(entry.protocol, protocol);
        QCOMPARE(entry.tlsProtocol, u"TLSv1.2"_s);
    }
    // A check of the unchanged feed asks with the kept manifest's validators, and the answer is
    // a 304 of a few hundred bytes.
    feed.server.clearDetailLog();
    const RunResult check = installation.runFetch(QStringList{u"check"_s} + target + options, environment);
    COMPARE_EXIT(check, 0);
    if (scenario.privateFeed)
        QVERIFY2(keepsSecrets(check), qPrintable(describe(check)));
    QCOMPARE(jsonOf(check).value(u"sequence"_s).toInt(), 2);
    const QList<testsupport::DetailLogEntry> again = feed.server.detailLog(1);
    QCOMPARE(again.size(), 1);
    QCOMPARE(again.first().uri, kManifest);
    QCOMPARE(again.first().status, 304);
    QCOMPARE(again.first().protocol, protocol);
    const qint64 onTheWire = again.first().requestBytes + again.first().sentBytes;
    QVERIFY2(onTheWire < 2048, qPrintable(QString::number(onTheWire)));
    qInfo("unchanged check answered 304 over %s: %lld bytes of request, %lld of answer", qPrintable(protocol),
          again.first().requestBytes, again.first().sentBytes);
    if (scenario.proxy == Proxy::Squid) {
        // The tunnels of both runs, each asked for credentials once: Qt opens a tunnel without
        // them and gives them once the proxy asks. squid logs a tunnel when it closes, after the
        // refusal before it, and under load a moment later.
        const QString tunnel = u"CONNECT 127.0.0.1:%1 200 alice"_s.arg(port);
        QTRY_COMPARE_WITH_TIMEOUT(squid.accessLog().count(tunnel), 2, 10000);
        for (const QString &line : squid.accessLog())
            QVERIFY2(line == tunnel || line == u"CONNECT 127.0.0.1:%1 407 -"_s.arg(port), qPrintable(line));
    } else if (scenario.privateFeed) {
        QCOMPARE(squid.accessLog(), QStringList()); // reached directly
    }
}

// A download interrupted half-way through a large blob keeps the bytes it has; the next asks
// for the rest only, with a range request, and transfers only that.
void resumedDownload(AbstractInstallation &installation, const FeedScenario &scenario)
{
    installation.install(v1);
    QByteArray big(24 * 1024 * 1024, Qt::Uninitialized); // incompressible: packs to as much
    QRandomGenerator(13).fillRange(reinterpret_cast<quint32 *>(big.data()), big.size() / 4);
    QList<testsupport::FileSpec> files = installation.filesOf(v1);
    files.append({u"data/big.bin"_s, big});
    ServedFeed feed;
    QCOMPARE(feed.serve(files, versionOf(u"1.1.0"_s, 2)), QString());
    const QJsonObject entry = feedEntry(feed.path(), u"data/big.bin"_s);
    const QString blob = blobOf(entry);
    const qint64 packedSize = entry.value(u"packedSize"_s).toInteger();
    const QString stage = installation.stage();
    const QString part = stage + u"/.download"_s + blob.mid(6) + u".part"_s;
    const auto download = [&](const QString &url) {
        return QStringList{u"download"_s, u"--feed"_s, url, u"--root"_s, installation.programPath(installation.root()),
                           u"--stage"_s, installation.programPath(stage)};
    };

    if (scenario.cancelled) {
        // (The client's worker has made its last write once the client is gone.)
        vellumix::UpdateClientSettings settings;
        settings.feed = QUrl(feed.server.baseUrl());
        settings.programRoot = installation.root();
        settings.builtInSequence = 1;
        settings.stagingDirectory = stage;
        settings.progressIntervalMs = 0;
        vellumix::UpdateClient client(settings);
        vellumix::UpdateCheck *check = client.check();
        QTRY_VERIFY_WITH_TIMEOUT(check->isFinished(), 30000);
        QVERIFY2(check->failure().ok(), qPrintable(check->failure().detail));
        QCOMPARE(check->update().filesToFetch(), 1);
        vellumix::UpdateDownload *transfer = client.download(check->update());
        QObject::connect(transfer, &vellumix::UpdateDownload::progressChanged, transfer, [&] {
            if (QFileInfo(part).size() > 0)
                transfer->cancel();
        });
        QSignalSpy finished(transfer, &vellumix::UpdateDownload::finished);
        QVERIFY(finished.wait(60000));
        QCOMPARE(transfer->failure().reasonName(), u"cancelled"_s);
    } else {
        // Killed while the blob stalls behind a proxy with part of it received.
        testsupport::StallingProxy proxy(feed.server.port(), 256 * 1024);
        QVERIFY(proxy.listen());
        QProcess first;
        installation.startFetch(first, download(proxy.baseUrl()));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(part).size() > 0, 60000);
        first.kill();
        QVERIFY(first.waitForFinished());
        proxy.close();
    }
    const qint64 held = QFileInfo(part).size();
    QVERIFY2(held > 0 && held < packedSize, qPrintable(QString::number(held)));
    QVERIFY(!QFileInfo::exists(stage + u"/files/data/big.bin"_s));
    QVERIFY(!QFileInfo::exists(stage + u"/manifest.json"_s));
    // The interrupted request reaches the server's log once its connection is closed.
    QTRY_VERIFY_WITH_TIMEOUT(!requestsFor(feed.server.accessLog(), blob).isEmpty(), 20000);
    feed.server.clearAccessLog();

    const RunResult resumed = installation.runFetch(download(feed.server.baseUrl()));
    COMPARE_EXIT(resumed, 0);
    // The manifest, and the rest of the blob; the client counts exactly what was sent of it.
    const QList<AccessLogEntry> log = feed.server.accessLog(2);
    QCOMPARE(log.size(), 2);
    const QList<AccessLogEntry> rest = requestsFor(log, blob);
    QCOMPARE(rest.size(), 1);
    QCOMPARE(rest.first().range, u"bytes=%1-"_s.arg(held));
    QCOMPARE(rest.first().status, 206);
    QCOMPARE(rest.first().bytes, packedSize - held);
    QCOMPARE(jsonOf(resumed).value(u"bytesTransferred"_s).toInteger(), packedSize - held);
    QVERIFY(testsupport::readFile(stage + u"/files/data/big.bin"_s) == big);
    QVERIFY(!QFileInfo::exists(part));
    QVERIFY(QFileInfo::exists(stage + u"/manifest.json"_s));
}

QList<FeedScenario> makeTable()
{
    const QString selfUpdate = u"application updates itself"_s;
    const QString failed = u"failed release is tried once"_s;
    const QString fetch = u"vellumix-fetch"_s;
    const QString https = u"https"_s;
    const QString secureFailed = u"secure-connection-failed"_s;
    const QString privateFeed = u"private feed"_s;
    const QString feedLogin = u"reader:pa:ss"_s;
    const QString refused = u"server-refused"_s;
    const QString unreachable = u"feed-unreachable"_s;
    const QString transfer = u"transfer"_s;
    const QString systemStore = u"the store of trusted roots is Windows'"_s;
    return {
        // v1 -> v2: the application checks the feed, downloads through the library and starts
        // the updater; the new version confirms. Only the files that changed travel.
        {.group = selfUpdate, .name = u"whole files"_s, .run = FeedRun::StandInUpdates},
        {.group = selfUpdate, .name = u"with deltas"_s, .run = FeedRun::StandInUpdates, .deltas = true},
        // The guide's own program (sampleapp/minimal.cpp, built as three releases).
        {.group = u"guide program"_s, .name = u"updates, recovers and updates again"_s,
         .run = FeedRun::GuideProgramCycle},
        // The release does not stay: its program ends at start, or it reports another version
        // text than its release's.
        {.group = failed, .name = u"new version ends at start"_s, .run = FeedRun::FailedRelease,
         .behaviour = u"exit"_s, .reason = u"not-confirmed"_s},
        {.group = failed, .name = u"version text differs"_s, .run = FeedRun::FailedRelease, .guideRelease = true,
         .releaseVersion = u"2.0"_s, .reason = u"version-mismatch"_s},

        {.group = fetch, .name = u"check, version 1 installed without its record"_s, .run = FeedRun::FetchCheck},
        {.group = fetch, .name = u"check, version 2 installed"_s, .run = FeedRun::FetchCheck, .v2Installed = true,
         .exitCode = 10},
        {.group = fetch, .name = u"check, download, apply: new version confirms"_s, .run = FeedRun::FetchCycle},
        {.group = fetch, .name = u"check, download, apply: new version dies and is rolled back"_s,
         .run = FeedRun::FetchCycle, .behaviour = u"exit"_s, .exitCode = 4},

        // The server's certificate is checked, never ignored: trusted through its authority,
        // refused without it, and refused for another host even when its authority is trusted.
        {.group = https, .name = u"authority given, certificate sent alone"_s, .https = true, .trust = Trust::CaFile,
         .notOnWine = u"Qt's schannel back end hands an authority given to the client alone to Windows as a "
                      "PKCS #12 without a key, which Wine cannot import: left to Windows"_s},
        {.group = https, .name = u"authority given, chain sent"_s, .https = true},
        {.group = https, .name = u"authority in the system's store"_s, .https = true, .trust = Trust::SystemStore,
         .notNative = systemStore},
        {.group = https, .name = u"authority in the system's store, HTTP/2 offered"_s, .https = true,
         .trust = Trust::SystemStore, .http2 = true, .notNative = systemStore},
        {.group = https, .name = u"authority unknown"_s, .https = true, .trust = Trust::Unknown, .exitCode = 11,
         .reason = secureFailed},
        {.group = https, .name = u"certificate for another host"_s, .https = true,
         .certificateHost = u"updates.example.com"_s, .exitCode = 11, .reason = secureFailed},

        /*
            A private feed (nginx asks for Basic credentials and a token header) reached directly
            or through a company's proxy (squid, which asks for credentials of its own): the
            feed's credentials from the environment, the token by --header, the proxy by --proxy
            with its credentials in the URL. Missing or refused credentials are said plainly and
            not tried again; no password is ever printed.
        */
        {.group = privateFeed, .name = u"direct"_s, .https = true, .http2 = true, .privateFeed = true,
         .feedCredentials = feedLogin},
        {.group = privateFeed, .name = u"direct, no feed credentials"_s, .https = true, .http2 = true,
         .privateFeed = true, .exitCode = 11, .reason = refused},
        {.group = privateFeed, .name = u"direct, wrong feed credentials"_s, .https = true, .http2 = true,
         .privateFeed = true, .feedCredentials = u"reader:wrong"_s, .exitCode = 11, .reason = refused},
        {.group = privateFeed, .name = u"direct, no token"_s, .https = true, .http2 = true, .privateFeed = true,
         .feedCredentials = feedLogin, .token = false, .exitCode = 11, .reason = refused},
        {.group = privateFeed, .name = u"the system's proxy passed by"_s, .https = true, .http2 = true,
         .privateFeed = true, .feedCredentials = feedLogin, .proxy = Proxy::PassedBy,
         .notOnWine = u"the system's proxy of Windows is not an environment variable"_s},
        {.group = privateFeed, .name = u"through the proxy"_s, .https = true, .http2 = true, .privateFeed = true,
         .feedCredentials = feedLogin, .proxy = Proxy::Squid, .proxyCredentials = u"alice:s3cret"_s},
        {.group = privateFeed, .name = u"through the proxy, no proxy credentials"_s, .https = true, .http2 = true,
         .privateFeed = true, .feedCredentials = feedLogin, .proxy = Proxy::Squid, .exitCode = 11,
         .reason = unreachable, .proxyLog = {u"CONNECT 127.0.0.1:PORT 407 -"_s}},
        {.group = privateFeed, .name = u"through the proxy, wrong proxy credentials"_s, .https = true,
         .http2 = true, .privateFeed = true, .feedCredentials = feedLogin, .proxy = Proxy::Squid,
         .proxyCredentials = u"alice:wrong"_s, .exitCode = 11, .reason = unreachable,
         .proxyLog = {u"CONNECT 127.0.0.1:PORT 407 -"_s, u"CONNECT 127.0.0.1:PORT 407 alice"_s}},

        // A blob changed on the server is refused: nothing of it is staged, and the stage does
        // not become complete. The person at the console reads the reason in the system's
        // language (vellumix-fetch loads the client's translation for it; the Windows program
        // runs on a Chinese Windows, in its console's code page 936).
        {.group = transfer, .name = u"blob changed on the server"_s, .tamperedBlob = true, .exitCode = 11,
         .reason = u"download-invalid"_s,
         .says = u"vellumix-fetch: A downloaded update file failed verification; the update was stopped "
                 "(download-invalid: "_s,
         .saysOnWine = u"vellumix-fetch: 下载的更新文件校验失败，已停止更新 (download-invalid: "_s},
        {.group = transfer, .name = u"download killed while a blob stalls"_s, .run = FeedRun::ResumedDownload},
        {.group = transfer, .name = u"download cancelled in the application"_s, .run = FeedRun::ResumedDownload,
         .cancelled = true,
         .notOnWine = u"the client library that is cancelled runs in this test's own process, a Linux one"_s},
    };
}

} // namespace

QJsonObject jsonOf(const RunResult &run)
{
    return QJsonDocument::fromJson(run.output.toUtf8()).object();
}

QString describe(const RunResult &run)
{
    return u"exit %1, output %2, errors: %3"_s.arg(run.exitCode).arg(run.output, run.errorOutput);
}

const QList<FeedScenario> &feedScenarios()
{
    static const QList<FeedScenario> table = makeTable();
    return table;
}

void addFeedScenarioRows()
{
    QTest::addColumn<int>("scenario");
    const QList<FeedScenario> &table = feedScenarios();
    for (int i = 0; i < table.size(); ++i)
        QTest::addRow("%s: %s", qPrintable(table.at(i).group), qPrintable(table.at(i).name)) << i;
}

void runFeedScenario(AbstractInstallation &installation, const FeedScenario &scenario, Platform platform)
{
    // The native runner follows the application's cycle with strace.
    if ((scenario.run == FeedRun::GuideProgramCycle || scenario.run == FeedRun::FailedRelease)
        && platform == Platform::Native && QStandardPaths::findExecutable(u"strace"_s).isEmpty())
        QSKIP("strace is not installed");
    switch (scenario.run) {
    case FeedRun::StandInUpdates:
        return runSelfUpdateFromFeed(installation, scenario.deltas);
    case FeedRun::GuideProgramCycle:
        return guideProgramCycle(installation);
    case FeedRun::FailedRelease:
        return failedRelease(installation, scenario);
    case FeedRun::FetchCheck:
        return fetchCheck(installation, scenario);
    case FeedRun::FetchCycle:
        return fetchCycle(installation, scenario);
    case FeedRun::FetchDownload:
        return fetchDownload(installation, scenario, platform);
    case FeedRun::ResumedDownload:
        return resumedDownload(installation, scenario);
    }
}

} // namespace e2e
