// The update client against a feed served by a fault-injecting HTTP server (and from a local
// folder): every bad input ends in its own reason, with files/ holding only complete verified
// files, no manifest.json and nothing written outside the staging directory; what was fetched
// once is not fetched again; and the start-up helpers.
#include "faultserver.h"
#include "feedserver.h"
#include "httpfeedsource.h"
#include "proxycache.h"
#include "journal.h"
#include "outcomereport.h"
#include "manifest.h"
#include "messages.h"
#include "probe.h"
#include "rolloutcohort.h"
#include "signing.h"
#include "updatehistory.h"
#include "coreerror.h"
#include <vellumix/startup.h>
#include <vellumix/translation.h>
#include "testsupport.h"
#include <vellumix/updateclient.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <QTranslator>
#include <QXmlStreamReader>
#include <QSignalSpy>
#include <QSslKey>
#include <QTcpServer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QRegularExpression>
#include <QRandomGenerator>

#include <functional>
#include <memory>
#include <optional>

#ifdef VELLUMIX_CLIENT_DELTAS
#include "zstddelta.h"
#endif

#include <sys/stat.h>
#include <unistd.h>

using namespace vellumix;
using namespace testsupport;
using namespace Qt::StringLiterals;
using R = UpdateFailureReason;

enum class ManifestFault { Oversized, Endless, BadSignature, OtherKey, Tampered, Malformed,
                           NoJson };
enum class BlobFault { Longer, Endless, Shorter, WrongDigest, TruncatedGzip, TrailingBytes,
                       GzipBomb, OtherContent };
enum class DeltaFault { None, Missing, WrongDigest, CorruptFrame, FarTooLong, OtherBase,
                        BaseChanged, BaseLinked, NotTheBase, Malformed, Cut, BaseCutMidway,
                        BaseOverwrittenMidway };
Q_DECLARE_METATYPE(vellumix::UpdateFailureReason)
Q_DECLARE_METATYPE(ManifestFault)
Q_DECLARE_METATYPE(BlobFault)
Q_DECLARE_METATYPE(DeltaFault)
Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(vellumix::StartupAction)
Q_DECLARE_METATYPE(vellumix::UpdateResult)
Q_DECLARE_METATYPE(vellumix::UpdateFailedBecause)

namespace {

const QString kManifestPath = QStringLiteral("/stable/manifest.json");
const QString kLarge = QStringLiteral("data/large.bin");
const QString kReadme = QStringLiteral("readme.txt");
constexpr qint64 kCut = 300000;           // where a cut or a stall interrupts the large blob
constexpr qint64 kEndless = 512LL << 20;  // a body that only a bounded reader survives
constexpr int kWaitMs = 30000;

// Bytes that do not compress, so that the large blob takes many pieces on the wire.
QByteArray noise(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        byte = char(seed);
    }
    return bytes;
}

// The two programs, a large file (the same in every release), a small one and one content at
// two paths.
QList<FileSpec> release(const QByteArray &tag)
{
    return requiredPrograms(tag)
        + QList<FileSpec>{{kLarge, noise(1536 * 1024, 7)},
                          {kReadme, "read me " + tag},
                          {QStringLiteral("same/a.txt"), "same content " + tag},
                          {QStringLiteral("same/b.txt"), "same content " + tag}};
}

QString blobPath(const FeedFile &file)
{
    return QStringLiteral("/blobs/") + file.entry.value(QStringLiteral("packedSha256")).toString();
}

FeedFile &fileNamed(QList<FeedFile> &files, const QString &path)
{
    for (FeedFile &file : files) {
        if (file.file.path == path)
            return file;
    }
    qFatal("no %s in the release", qPrintable(path));
}

qint64 rangeStart(const LoggedRequest &request) // "bytes=N-"
{
    return request.range.mid(6).chopped(1).toLongLong();
}

/*
    The client's tries at a resource. When a connection closes mid-body, Qt may send the same
    request once more on a new connection before it reports the cut; such a repeat (the same
    Range as the request before) is not a try of the client's.
*/
QList<LoggedRequest> triesOf(const QList<LoggedRequest> &requests)
{
    QList<LoggedRequest> tries;
    for (const LoggedRequest &request : requests) {
        if (tries.isEmpty() || tries.last().range != request.range)
            tries.append(request);
    }
    return tries;
}

struct Outcome
{
    UpdateFailure checkFailure;
    UpdateInfo check;
    UpdateFailure downloadFailure;
    qint64 bytesTransferred = 0;
    int filesFetched = 0;
    int filesAlreadyStaged = 0;
    int filesFromDeltas = 0;
    // The check's failure when it failed or found nothing, the download's otherwise.
    UpdateFailure failure() const
    {
        return checkFailure.ok() && check.isAvailable() ? downloadFailure : checkFailure;
    }
};

} // namespace

// The zh_CN translation's texts as translations/vellumix_zh_CN.ts holds them: source to Chinese.
QHash<QString, QString> zhCnTranslations()
{
    QHash<QString, QString> translations;
    QFile file(QStringLiteral(VELLUMIX_ZH_CN_TS));
    if (!file.open(QIODevice::ReadOnly))
        return translations;
    QXmlStreamReader xml(&file);
    QString source;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"source")
            source = xml.readElementText();
        else if (xml.name() == u"translation")
            translations.insert(source, xml.readElementText());
    }
    return translations;
}

class tst_Client : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FaultServer> m_server;
    QString m_feed, m_root, m_stage;
    QList<FeedFile> m_published; // the release as packed, for every test
    QList<FeedFile> m_release;   // the release the test publishes, perhaps tampered
    TreeSnapshot m_outside;
    QStringList m_notCompared; // top-level names in the test folder that the snapshots leave out

    void publish() { writeFeed(m_feed, m_release); }
    QString pathOf(const QString &target) // "manifest" or a file whose blob is meant
    {
        return target == u"manifest" ? kManifestPath : blobPath(fileNamed(m_release, target));
    }

    UpdateClientSettings settings() const
    {
        UpdateClientSettings settings;
        settings.feed = QUrl(m_server->baseUrl());
        settings.programRoot = m_root;
        settings.builtInSequence = 1;
        settings.stagingDirectory = m_stage;
        settings.manifestCacheDirectory = m_dir->filePath(QStringLiteral("cache"));
        settings.transferTimeoutMs = 10000;
        settings.retries = 2;
        settings.retryDelayMs = 20;
        settings.progressIntervalMs = 0;
        return settings;
    }

    // Checks, and downloads what the check offers; false when a signal did not come in time.
    bool fetch(const UpdateClientSettings &settings, Outcome *outcome,
               const std::function<void()> &afterCheck = {})
    {
        m_outside = snapshotTree(m_dir->path(), m_notCompared);
        UpdateClient client(settings);
        UpdateCheck *check = client.check();
        QSignalSpy checked(check, &UpdateCheck::finished);
        if (!checked.wait(kWaitMs))
            return false;
        *outcome = Outcome();
        outcome->checkFailure = check->failure();
        outcome->check = check->update();
        if (!outcome->checkFailure.ok() || !outcome->check.isAvailable())
            return true;
        if (afterCheck)
            afterCheck();
        UpdateDownload *download = client.download(outcome->check);
        QSignalSpy downloaded(download, &UpdateDownload::finished);
        if (!downloaded.wait(kWaitMs))
            return false;
        outcome->downloadFailure = download->failure();
        outcome->bytesTransferred = download->bytesTransferred();
        outcome->filesFetched = download->filesFetched();
        outcome->filesAlreadyStaged = download->filesAlreadyStaged();
        outcome->filesFromDeltas = download->filesFromDeltas();
        QTest::qWait(0); // a second finished() would show here
        return downloaded.size() == 1;
    }

    void verifyNothingChangedOutside()
    {
        TreeSnapshot now = snapshotTree(m_dir->path(), m_notCompared);
        // The one thing a download adds outside its stage: the note of the stage in the program
        // root's work folder (made for it when missing), naming this stage.
        const QString note = QStringLiteral("root/.vellumix-update/stage-location.txt");
        if (now.remove(note) > 0) {
            QCOMPARE(readFile(m_root + QStringLiteral("/.vellumix-update/stage-location.txt")),
                     m_stage.toUtf8() + '\n');
            if (!m_outside.contains(QStringLiteral("root/.vellumix-update")))
                now.remove(QStringLiteral("root/.vellumix-update"));
        }
        m_outside.remove(note);
        const QString difference = describeDifference(m_outside, now);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

    // After a failure: no manifest.json, and files/ holds only complete verified files.
    void verifyIncompleteStage()
    {
        QVERIFY(!QFileInfo::exists(m_stage + QStringLiteral("/manifest.json")));
        QHash<QString, QString> digests;
        for (const FeedFile &file : std::as_const(m_release))
            digests.insert(file.file.path, sha256Hex(file.file.content));
        const QString files = m_stage + QStringLiteral("/files");
        // (A link planted there is no stage's: the snapshot shows that nothing changed.)
        QDirIterator it(files, QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (!QFileInfo(files).isSymLink() && it.hasNext()) {
            const QString relative = QDir(files).relativeFilePath(it.next());
            QVERIFY2(digests.contains(relative), qPrintable(relative));
            QCOMPARE(sha256Hex(readFile(it.filePath())), digests.value(relative));
        }
        verifyNothingChangedOutside();
    }

    void verifyCompleteStage(const Outcome &outcome)
    {
        QVERIFY2(outcome.failure().ok(), qPrintable(outcome.failure().detail));
        QCOMPARE(readFile(m_stage + QStringLiteral("/manifest.json")),
                 readFile(m_feed + kManifestPath));
        for (const QString &path : outcome.check.pathsToFetch()) {
            QCOMPARE(readFile(m_stage + QStringLiteral("/files/") + path),
                     fileNamed(m_release, path).file.content);
        }
        QVERIFY(!QFileInfo::exists(m_stage + QStringLiteral("/.download")));
        verifyNothingChangedOutside();
    }

private slots:
    void initTestCase()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        // The server is on 127.0.0.1; a proxy of the environment must not stand between.
        for (const char *name : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY",
                                 "HTTPS_PROXY", "ALL_PROXY"})
            qunsetenv(name);
        m_published = feedFiles(release("2"));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_feed = m_dir->filePath(QStringLiteral("feed"));
        m_root = m_dir->filePath(QStringLiteral("root"));
        m_stage = m_dir->filePath(QStringLiteral("stage"));
        m_notCompared = {QStringLiteral("stage"), QStringLiteral("cache")};
        QVERIFY(QDir().mkpath(m_root)); // a fresh installation: every file travels
        m_release = m_published;
        m_server = std::make_unique<FaultServer>(m_feed);
    }

    void cleanup()
    {
        m_server.reset();
        m_dir.reset();
    }

    void refusedManifest_data()
    {
        QTest::addColumn<ManifestFault>("fault");
        QTest::addColumn<bool>("local");
        QTest::addColumn<QString>("detail"); // the updater's refusal, in English and as it is
        const QString signature = u"the update's signature does not verify (\"更新签名验证失败，已停止更新\")"_s;
        const QList<std::tuple<const char *, ManifestFault, QString>> faults{
            {"oversized", ManifestFault::Oversized, QString()}, // bounded while it is read
            {"bad signature", ManifestFault::BadSignature, signature},
            {"signed by another key", ManifestFault::OtherKey, signature},
            {"tampered payload", ManifestFault::Tampered, signature},
            {"malformed JSON", ManifestFault::Malformed, signature},
            {"signed payload that is no JSON", ManifestFault::NoJson,
             u"the update's format version is not supported (\"不支持的更新版本\")"_s},
        };
        for (const auto &[name, fault, detail] : faults) {
            QTest::addRow("http: %s", name) << fault << false << detail;
            QTest::addRow("local: %s", name) << fault << true << detail;
        }
        QTest::newRow("http: endless body") << ManifestFault::Endless << false << QString();
    }

    void refusedManifest()
    {
        QFETCH(ManifestFault, fault);
        QFETCH(bool, local);
        QFETCH(QString, detail);
        publish();
        const QByteArray payload = feedPayload(m_release, QStringLiteral("2.0.0"), 2);
        QByteArray signature = signPayload(payload);
        QByteArray manifest = envelopeOf(payload, signature);
        const QString otherKey = m_dir->filePath(QStringLiteral("other.pem"));
        switch (fault) {
        case ManifestFault::Oversized: // valid JSON, signature and all, but too long
            manifest += QByteArray(kManifestMaxBytes, ' ');
            break;
        case ManifestFault::Endless:
            m_server->setFaults(kManifestPath, {Fault().appending(kEndless)});
            break;
        case ManifestFault::BadSignature:
            signature[100] = char(signature[100] ^ 1);
            manifest = envelopeOf(payload, signature);
            break;
        case ManifestFault::OtherKey:
            generateSigningKey(otherKey);
            signature = signPayload(payload, SignatureScheme::Pkcs1Sha256, otherKey);
            manifest = envelopeOf(payload, signature);
            break;
        case ManifestFault::Tampered:
            manifest = envelopeOf(feedPayload(m_release, QStringLiteral("2.0.0"), 3), signature);
            break;
        case ManifestFault::Malformed:
            manifest.chop(2);
            break;
        case ManifestFault::NoJson:
            manifest = signedEnvelope("sequence: 2");
            break;
        }
        writeFile(m_feed, kManifestPath, manifest);
        UpdateClientSettings settings = this->settings();
        if (local)
            settings.feed = QUrl::fromLocalFile(m_feed);

        Outcome outcome;
        QVERIFY(fetch(settings, &outcome));
        QCOMPARE(outcome.failure().reason, R::ManifestRejected);
        if (!detail.isEmpty())
            QCOMPARE(outcome.failure().detail, detail);
        QVERIFY(!QFileInfo::exists(m_stage));
        // Refused before a single blob was asked for, and not asked for again; a body without
        // end was read up to the bound only.
        QCOMPARE(m_server->log().size(), local ? 0 : 1);
        if (!local)
            QVERIFY(m_server->log().first().bodyBytes < 64 << 20);
        verifyNothingChangedOutside();
    }

    void sequenceNotGreater_data()
    {
        QTest::addColumn<int>("builtIn");
        QTest::addColumn<QByteArray>("record"); // installed.json, empty: none
        QTest::addColumn<int>("feedSequence");
        QTest::addColumn<int>("installedSequence");
        const QByteArray record7 = R"({"sequence":7,"version":"1.7"})";
        const QByteArray record4 = R"({"sequence":4,"version":"1.4"})";
        QTest::newRow("lower than built-in") << 5 << QByteArray() << 3 << 5;
        QTest::newRow("equal to built-in") << 5 << QByteArray() << 5 << 5;
        QTest::newRow("higher than built-in") << 5 << QByteArray() << 6 << 5;
        QTest::newRow("equal to the record") << 2 << record7 << 7 << 7;
        QTest::newRow("lower than the record") << 2 << record7 << 5 << 7;
        QTest::newRow("record before built-in") << 9 << record4 << 5 << 4;
        QTest::newRow("unreadable record") << 6 << QByteArray("{\"sequence\":") << 5 << 6;
    }

    void sequenceNotGreater()
    {
        QFETCH(int, builtIn);
        QFETCH(QByteArray, record);
        QFETCH(int, feedSequence);
        QFETCH(int, installedSequence);
        writeFeed(m_feed, m_release, QStringLiteral("2.0.0"), feedSequence);
        if (!record.isEmpty())
            writeFile(m_root, QStringLiteral(".vellumix-update/installed.json"), record);
        UpdateClientSettings settings = this->settings();
        settings.builtInSequence = builtIn;

        Outcome outcome;
        QVERIFY(fetch(settings, &outcome));
        QVERIFY(outcome.checkFailure.ok());
        QCOMPARE(outcome.check.installedSequence(), installedSequence);
        QCOMPARE(outcome.check.sequence(), feedSequence);
        QCOMPARE(outcome.check.isAvailable(), feedSequence > installedSequence);
        if (outcome.check.isAvailable())
            return verifyCompleteStage(outcome);
        QCOMPARE(m_server->log().size(), 1); // the manifest only
        // A download of "no update" stages nothing.
        UpdateClient client(settings);
        UpdateDownload *download = client.download(outcome.check);
        QSignalSpy downloaded(download, &UpdateDownload::finished);
        QVERIFY(downloaded.wait(kWaitMs));
        QCOMPARE(download->failure().reason, R::NotStaged);
        QVERIFY(!QFileInfo::exists(m_stage));
        verifyNothingChangedOutside();
    }

    void refusedBlob_data()
    {
        QTest::addColumn<BlobFault>("fault");
        QTest::addColumn<QString>("file");
        QTest::newRow("longer than packedSize") << BlobFault::Longer << kReadme;
        QTest::newRow("endless body") << BlobFault::Endless << kLarge;
        QTest::newRow("shorter than packedSize") << BlobFault::Shorter << kLarge;
        QTest::newRow("wrong digest") << BlobFault::WrongDigest << kLarge;
        QTest::newRow("truncated gzip") << BlobFault::TruncatedGzip << kLarge;
        QTest::newRow("bytes after the gzip member") << BlobFault::TrailingBytes << kReadme;
        QTest::newRow("gzip bomb") << BlobFault::GzipBomb << kReadme;
        QTest::newRow("valid gzip of other content") << BlobFault::OtherContent << kReadme;
    }

    void refusedBlob()
    {
        QFETCH(BlobFault, fault);
        QFETCH(QString, file);
        FeedFile &target = fileNamed(m_release, file);
        const QByteArray packed = target.blob;
        QByteArray other = target.file.content;
        other[0] = char(other[0] ^ 1);
        switch (fault) {
        case BlobFault::Longer:
            target.blob += "more bytes than the manifest allows";
            break;
        case BlobFault::Endless:
            m_server->setFaults(blobPath(target), {Fault().appending(kEndless)});
            break;
        case BlobFault::Shorter:
            target.blob.chop(1000);
            break;
        case BlobFault::WrongDigest:
            target.blob[packed.size() / 2] = char(packed[packed.size() / 2] ^ 0x40);
            break;
        // The rest name the digest and size of the bytes served: only unpacking can tell.
        case BlobFault::TruncatedGzip:
            target = feedFile(target.file, packed.chopped(8));
            break;
        case BlobFault::TrailingBytes:
            target = feedFile(target.file, packed + gzipPacked("another member"));
            break;
        case BlobFault::GzipBomb:
            target = feedFile(target.file, gzipPacked(QByteArray(16 << 20, '\0')));
            break;
        case BlobFault::OtherContent:
            target = feedFile(target.file, gzipPacked(other));
            break;
        }
        publish();

        Outcome outcome;
        QVERIFY(fetch(settings(), &outcome));
        QCOMPARE(outcome.failure().reason, R::DownloadInvalid);
        // A blob that does not match is fetched once more from nothing at most, and each read
        // stops at the bound.
        const QList<LoggedRequest> requests = m_server->requestsFor(blobPath(target));
        QVERIFY(!requests.isEmpty() && requests.size() <= 2);
        for (const LoggedRequest &request : requests)
            QVERIFY(request.bodyBytes < 64 << 20);
        verifyIncompleteStage();

        // Once the feed holds the right bytes, the next download completes: nothing of the bad
        // blob was kept to be replayed.
        m_server->setFaults(blobPath(target), {});
        m_release = m_published;
        publish();
        QVERIFY(fetch(settings(), &outcome));
        verifyCompleteStage(outcome);
    }

    void serverFault_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QList<Fault>>("faults"); // "{base}{path}": the target's URL
        QTest::addColumn<UpdateFailureReason>("reason");
        QTest::addColumn<int>("requests"); // -1: not tried again (Qt's own hops and repeats aside)
        const QString manifest = QStringLiteral("manifest");
        for (const QString &target : {manifest, kReadme}) {
            const QByteArray t = target.toUtf8();
            // Refusals are final; a server in trouble is asked again (here twice more).
            for (int status : {404, 403})
                QTest::addRow("%s: %d", t.data(), status)
                    << target << QList{Fault().answer(status)} << R::ServerRefused << 1;
            for (int status : {500, 503, 429})
                QTest::addRow("%s: %d", t.data(), status)
                    << target << QList{Fault().answer(status).withRetryAfter("0")}
                    << R::ServerUnavailable << 3;
            QTest::addRow("%s: 503, recovers", t.data())
                << target << QList{Fault().answer(503).forRequests(2)} << R::None << 3;
            // A recovering server asks for a second's patience, and is given it.
            QTest::addRow("%s: 429, recovers", t.data())
                << target << QList{Fault().answer(429).withRetryAfter("1").forRequests(1)}
                << R::None << 2;
            QTest::addRow("%s: stalls", t.data())
                << target << QList{Fault().cutAt(0).stalling()} << R::FeedUnreachable << 3;
            // Credentials missing or refused are not a passing trouble: asked once.
            QTest::addRow("%s: 401", t.data())
                << target << QList{Fault().answer(401)} << R::ServerRefused << 1;
            QTest::addRow("%s: 407", t.data())
                << target << QList{Fault().answer(407)} << R::FeedUnreachable << 1;
        }
        QTest::newRow("large blob: stalls midway")
            << kLarge << QList{Fault().cutAt(kCut).stalling()} << R::FeedUnreachable << 3;
        // Slow, but never silent as long as the transfer timeout: every byte restarts it.
        QTest::newRow("readme.txt: a byte every 60 ms")
            << kReadme << QList{Fault().dripping(60)} << R::None << 1;
        QTest::newRow("manifest: cut")
            << manifest << QList{Fault().cutAt(100).forRequests(1)} << R::None << -1;
        QTest::newRow("manifest: redirect loop")
            << manifest << QList{Fault().redirectTo("/stable/manifest.json")} << R::ServerRefused
            << -1;
        QTest::newRow("manifest: redirect to ftp")
            << manifest << QList{Fault().redirectTo("ftp://127.0.0.1/stable/manifest.json")}
            << R::ServerRefused << 1;
        QTest::newRow("manifest: redirect to file")
            << manifest << QList{Fault().redirectTo("file:///etc/passwd")} << R::ServerRefused << 1;
        for (const QString &target : {manifest, kLarge})
            QTest::addRow("%s: same-scheme redirect", target.toUtf8().data())
                << target << QList{Fault().redirectTo("{base}{path}?moved").forRequests(1)}
                << R::None << 2;
    }

    void serverFault()
    {
        QFETCH(QString, target);
        QFETCH(QList<Fault>, faults);
        QFETCH(UpdateFailureReason, reason);
        QFETCH(int, requests);
        publish();
        const QString path = pathOf(target);
        UpdateClientSettings settings = this->settings();
        for (Fault &fault : faults) {
            fault.location.replace("{base}", m_server->baseUrl().toUtf8())
                .replace("{path}", path.mid(1).toUtf8());
            if (fault.stall || fault.dripMs > 0)
                settings.transferTimeoutMs = 300;
        }
        m_server->setFaults(path, faults);

        QElapsedTimer elapsed;
        elapsed.start();
        Outcome outcome;
        QVERIFY(fetch(settings, &outcome));
        QCOMPARE(outcome.failure().reason, reason);
        if (requests >= 0)
            QCOMPARE(m_server->requestsFor(path).size(), requests);
        else // Qt follows ten hops; tried again, a loop would take 33 requests
            QVERIFY(m_server->requestsFor(path).size() < 22);
        if (faults.first().retryAfter == "1")
            QVERIFY(elapsed.elapsed() >= 900);
        if (reason == R::None)
            verifyCompleteStage(outcome);
        else
            verifyIncompleteStage();
    }

    // A private feed's credentials and headers go with every request to its origin, and across
    // a redirect only within it: one to another origin (here the same server by another name)
    // is followed without them, one to another kind of address not at all.
    void feedSecretsStayWithTheFeed_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QByteArray>("location"); // "{base}": the feed; "{other}": elsewhere
        QTest::addColumn<UpdateFailureReason>("reason");
        QTest::addColumn<QList<bool>>("carried"); // the target's requests, in order: secrets?
        const QString manifest = QStringLiteral("manifest");
        for (const QString &target : {manifest, kLarge}) {
            const QByteArray t = target.toUtf8();
            QTest::addRow("%s: no redirect", t.data())
                << target << QByteArray() << R::None << QList{true};
            QTest::addRow("%s: redirect within the feed", t.data())
                << target << QByteArray("{base}{path}?moved") << R::None << QList{true, true};
            QTest::addRow("%s: redirect elsewhere", t.data())
                << target << QByteArray("{other}{path}?moved") << R::None << QList{true, false};
        }
        QTest::newRow("manifest: redirect to file")
            << manifest << QByteArray("file:///etc/passwd") << R::ServerRefused << QList{true};
        QTest::newRow("manifest: redirect loop within the feed")
            << manifest << QByteArray("{base}{path}") << R::ServerRefused << QList<bool>();
        QTest::newRow("manifest: redirect loop elsewhere")
            << manifest << QByteArray("{other}{path}") << R::ServerRefused << QList<bool>();
    }

    void feedSecretsStayWithTheFeed()
    {
        QFETCH(QString, target);
        QFETCH(QByteArray, location);
        QFETCH(UpdateFailureReason, reason);
        QFETCH(QList<bool>, carried);
        publish();
        const QString path = pathOf(target);
        const QByteArray base = m_server->baseUrl().toUtf8();
        QByteArray other = base;
        other.replace("127.0.0.1", "localhost");
        location.replace("{base}", base).replace("{other}", other).replace("{path}", path.mid(1).toUtf8());
        const bool loop = location.endsWith(path.toUtf8());
        if (!location.isEmpty())
            m_server->setFaults(path, {Fault().redirectTo(location).forRequests(loop ? -1 : 1)});
        UpdateClientSettings settings = this->settings();
        settings.feedUser = QStringLiteral("reader");
        settings.feedPassword = QStringLiteral("pass:word");
        settings.feedHeaders = {{"X-Feed-Token", "t0ken"}};
        Outcome outcome;
        QVERIFY(fetch(settings, &outcome));
        QCOMPARE(outcome.failure().reason, reason);
        const QByteArray basic = "Basic " + QByteArray("reader:pass:word").toBase64();
        const QList<LoggedRequest> requests = m_server->requestsFor(path);
        if (loop)
            QVERIFY2(requests.size() > 2 && requests.size() < 22,
                     qPrintable(QString::number(requests.size()) + u' ' + outcome.failure().detail));
        else
            QCOMPARE(requests.size(), carried.size());
        for (qsizetype i = 0; i < requests.size(); ++i) {
            const bool withSecrets = loop ? requests.at(i).headers.value("host").startsWith("127.")
                                          : carried.at(i);
            QCOMPARE(requests.at(i).headers.value("authorization"), withSecrets ? basic : QByteArray());
            QCOMPARE(requests.at(i).headers.value("x-feed-token"),
                     withSecrets ? QByteArray("t0ken") : QByteArray());
        }
        if (reason == R::None)
            verifyCompleteStage(outcome);
    }

    // Headers the client cannot send refuse the check before anything travels.
    void invalidFeedHeadersRefused()
    {
        publish();
        const QList<QPair<QByteArray, QByteArray>> refused[] = {
            {{"Range", "bytes=0-"}}, {{"X-Token", "a\r\nX-Other: b"}}, {{"Bad Name", "x"}}};
        for (const auto &headers : refused) {
            UpdateClientSettings settings = this->settings();
            settings.feedHeaders = headers;
            Outcome outcome;
            QVERIFY(fetch(settings, &outcome));
            QCOMPARE(outcome.failure().reason, R::InvalidFeed);
        }
        QVERIFY(m_server->log().isEmpty());
    }

    void interruptedBlobResumes_data()
    {
        QTest::addColumn<int>("cuts");
        QTest::addColumn<bool>("ignoreRange");
        QTest::newRow("cut once") << 1 << false;
        QTest::newRow("cut twice") << 2 << false;
        QTest::newRow("cut, then the Range is ignored") << 1 << true;
    }

    void interruptedBlobResumes()
    {
        QFETCH(int, cuts);
        QFETCH(bool, ignoreRange);
        publish();
        const QString path = pathOf(kLarge);
        // Cut where the body reaches kCut, 2 kCut, ...; or once, and then the whole blob again.
        QList<Fault> faults;
        for (int i = 1; i <= cuts && !ignoreRange; ++i)
            faults << Fault().cutAtOffset(i * kCut);
        if (ignoreRange)
            faults << Fault().cutAt(kCut).ignoringRange().forRequests(1) << Fault().ignoringRange();
        m_server->setFaults(path, faults);

        Outcome outcome;
        QVERIFY(fetch(settings(), &outcome));
        verifyCompleteStage(outcome);
        // Each try asks for the rest of what the .part file holds; a server that answers with
        // the whole blob instead has it start over. No byte is counted twice.
        const QList<LoggedRequest> tries = triesOf(m_server->requestsFor(path));
        QVERIFY(tries.size() >= cuts + 1);
        QVERIFY(tries.first().range.isEmpty());
        qint64 held = 0;
        qint64 discarded = 0;
        for (const LoggedRequest &request : tries.mid(1)) {
            QVERIFY2(rangeStart(request) > (ignoreRange ? 0 : held), request.range.constData());
            QCOMPARE(request.status, ignoreRange ? 200 : 206);
            held = rangeStart(request);
            discarded += ignoreRange ? held : 0;
        }
        if (!ignoreRange)
            QCOMPARE(held, kCut * cuts); // the last try began at the last cut
        QCOMPARE(outcome.bytesTransferred, outcome.check.downloadBytes() + discarded);
    }

    /*
        A small blob keeps its bytes in memory while they arrive and has no .part file; cut
        short, its try writes them to one, and the next try (in the same download, or in the
        next once this one has failed) asks only for the rest.
    */
    void smallBlobCutShortKeepsItsBytes_data()
    {
        QTest::addColumn<bool>("nextDownload");
        QTest::newRow("resumed in the same download") << false;
        QTest::newRow("resumed by the next download") << true;
    }

    void smallBlobCutShortKeepsItsBytes()
    {
        QFETCH(bool, nextDownload);
        constexpr qint64 kSmallCut = 20000;
        fileNamed(m_release, kReadme) = feedFile({kReadme, noise(60 * 1024, 9)});
        publish();
        const QString path = pathOf(kReadme);
        QVERIFY(fileNamed(m_release, kReadme).blob.size() < 256 * 1024); // kept in memory
        const QString part = m_stage + QStringLiteral("/.download") + path.mid(6) + QStringLiteral(".part");
        QList<Fault> faults{Fault().cutAt(kSmallCut).forRequests(1)};
        if (nextDownload) // the second try hangs until the download is cancelled
            faults << Fault().cutAt(0).stalling().forRequests(1);
        m_server->setFaults(path, faults);
        UpdateClientSettings settings = this->settings();
        if (nextDownload) {
            m_outside = snapshotTree(m_dir->path(), m_notCompared);
            auto client = std::make_unique<UpdateClient>(settings);
            UpdateCheck *check = client->check();
            QSignalSpy checked(check, &UpdateCheck::finished);
            QVERIFY(checked.wait(kWaitMs));
            UpdateDownload *download = client->download(check->update());
            QSignalSpy downloaded(download, &UpdateDownload::finished);
            QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(part).size(), kSmallCut, kWaitMs);
            client->cancel();
            QVERIFY(downloaded.size() == 1 || downloaded.wait(kWaitMs));
            QCOMPARE(download->failure().reason, R::Cancelled);
            client.reset();
            QCOMPARE(QFileInfo(part).size(), kSmallCut);
            m_server = std::make_unique<FaultServer>(m_feed);
            settings.feed = QUrl(m_server->baseUrl());
        }
        Outcome outcome;
        QVERIFY(fetch(settings, &outcome));
        verifyCompleteStage(outcome);
        const QList<LoggedRequest> tries = triesOf(m_server->requestsFor(path));
        QCOMPARE(tries.size(), nextDownload ? 1 : 2);
        QCOMPARE(tries.last().range, "bytes=" + QByteArray::number(kSmallCut) + '-');
        QCOMPARE(tries.last().status, 206);
        QCOMPARE(tries.last().bodyBytes, fileNamed(m_release, kReadme).blob.size() - kSmallCut);
        if (!nextDownload) // each byte received once
            QCOMPARE(outcome.bytesTransferred, outcome.check.downloadBytes());
    }

    void onlyChangedFilesTravel()
    {
        for (const FileSpec &file : release("1"))
            writeFile(m_root, file.path, file.content);
        publish();
        Outcome outcome;
        QVERIFY(fetch(settings(), &outcome));
        verifyCompleteStage(outcome);
        // The large file is installed as it is in the release: it is neither listed nor fetched;
        // the content at two paths travels once and is staged at both.
        QStringList listed;
        listed = outcome.check.pathsToFetch();
        QCOMPARE(listed, QStringList({QStringLiteral("Vellumix.exe"),
                                      QStringLiteral("VellumixUpdater.exe"), kReadme,
                                      QStringLiteral("same/a.txt"), QStringLiteral("same/b.txt")}));
        QVERIFY(!QFileInfo::exists(m_stage + QStringLiteral("/files/") + kLarge));
        QStringList expected{kManifestPath};
        qint64 bytes = 0;
        for (const QString &path : listed.mid(0, 4)) { // same/b.txt is same/a.txt's blob
            expected << pathOf(path);
            bytes += fileNamed(m_release, path).blob.size();
        }
        QStringList served;
        for (const LoggedRequest &request : m_server->log())
            served << request.path;
        served.sort();
        expected.sort();
        QCOMPARE(served, expected);
        QCOMPARE(outcome.check.downloadBytes(), bytes);
        QCOMPARE(outcome.bytesTransferred, bytes);
        QCOMPARE(outcome.filesFetched, 5);
        // The program root's work folder names the stage, one line, for the uninstaller that
        // knows only the program root.
        QCOMPARE(readFile(m_root + QStringLiteral("/.vellumix-update/stage-location.txt")),
                 m_stage.toUtf8() + '\n');
    }

#ifdef VELLUMIX_CLIENT_DELTAS
    /*
        Release 1 is installed and release 2 offers a delta for the readme against its installed
        content: the delta travels instead of the readme's blob. A delta that fails in any way
        gives way to the whole blob, and the stage is complete and verified all the same.
    */
    void deltas_data()
    {
        QTest::addColumn<DeltaFault>("fault");
        QTest::addColumn<bool>("local"); // the feed as a folder
        QTest::newRow("applied") << DeltaFault::None << false;
        QTest::newRow("applied from a folder") << DeltaFault::None << true;
        QTest::newRow("delta blob missing") << DeltaFault::Missing << false;
        QTest::newRow("delta blob missing from a folder") << DeltaFault::Missing << true;
        QTest::newRow("delta of a wrong digest") << DeltaFault::WrongDigest << false;
        QTest::newRow("corrupt frame") << DeltaFault::CorruptFrame << false;
        QTest::newRow("frame decodes to far more than the file") << DeltaFault::FarTooLong << false;
        QTest::newRow("frame made against another base") << DeltaFault::OtherBase << false;
        QTest::newRow("installed base changed after the check") << DeltaFault::BaseChanged << false;
        QTest::newRow("installed base made a link after the check") << DeltaFault::BaseLinked << false;
        QTest::newRow("delta cut and resumed") << DeltaFault::Cut << false;
        // The installed base changes while the delta streams in: applied all the same, to the
        // base as it was checked.
        QTest::newRow("installed base truncated while applied") << DeltaFault::BaseCutMidway << false;
        QTest::newRow("installed base overwritten while applied")
            << DeltaFault::BaseOverwrittenMidway << false;
        QTest::newRow("installed copy is no listed base") << DeltaFault::NotTheBase << false;
        QTest::newRow("entry with an upper-case digest") << DeltaFault::Malformed << false;
    }

    void deltas()
    {
        QFETCH(DeltaFault, fault);
        QFETCH(bool, local);
        const bool midway =
            fault == DeltaFault::BaseCutMidway || fault == DeltaFault::BaseOverwrittenMidway;
        // A readme large enough that its delta rests on the base. Changed while the delta is
        // applied, it changes in a stretch long enough that half the delta fills more than
        // the .part file's write buffer.
        const QByteArray base = noise(64 * 1024, 3);
        const QByteArray target = midway ? QByteArray(base).replace(1000, 40 * 1024, noise(40 * 1024, 5))
                                         : QByteArray(base).replace(1000, 5, "read me 2");
        fileNamed(m_release, kReadme) = feedFile({kReadme, target});
        for (const FileSpec &file : release("1"))
            writeFile(m_root, file.path, file.path == kReadme ? base : file.content);
        QByteArray frame = makeDelta(fault == DeltaFault::OtherBase ? QByteArray(target).replace(30000, 9, "elsewhere")
                                                                    : base,
                                     fault == DeltaFault::FarTooLong ? QByteArray(4 << 20, 'x')
                                                                     : target).frame;
        QVERIFY(!frame.isEmpty());
        if (fault == DeltaFault::CorruptFrame)
            frame = QByteArray(frame.size(), 'c');
        // A wrong digest: the entry names other bytes than the (sound) frame the feed serves.
        QByteArray named = frame;
        if (fault == DeltaFault::WrongDigest)
            named[0] = char(named[0] ^ 0x40);
        const QString deltaSha = fault == DeltaFault::Malformed ? sha256Hex(named).toUpper()
                                                                : sha256Hex(named);
        publish();
        if (fault != DeltaFault::Missing)
            writeFile(m_feed + QStringLiteral("/blobs"), deltaSha, frame);
        if (fault == DeltaFault::NotTheBase)
            writeFile(m_root, kReadme, "read me, changed here");
        const QString deltaPath = QStringLiteral("/blobs/") + deltaSha;
        const qint64 cut = frame.size() / 2;
        if (fault == DeltaFault::Cut)
            m_server->setFaults(deltaPath, {Fault().cutAtOffset(cut)});
        /*
            Half the delta, then a hold: once the client has written some of it to its .part
            file (so the try has begun with its base, and the decoder is under way), the
            installed base changes, and the rest of the delta follows.
        */
        QTimer changeBase;
        if (midway) {
            m_server->setFaults(deltaPath, {Fault().cutAt(cut).stalling()});
            const QString part = m_stage + QStringLiteral("/.download/") + deltaSha + QStringLiteral(".part");
            changeBase.setInterval(5);
            connect(&changeBase, &QTimer::timeout, this, [&, part] {
                if (QFileInfo(part).size() == 0)
                    return;
                changeBase.stop();
                QFile installed(m_root + u'/' + kReadme);
                QVERIFY(installed.open(QIODevice::ReadWrite));
                if (fault == DeltaFault::BaseCutMidway)
                    QVERIFY(installed.resize(0)); // as truncate -s 0 does
                else // as cp over it does: the same size, other bytes
                    QCOMPARE(installed.write(noise(base.size(), 4)), base.size());
                installed.close();
                m_outside = snapshotTree(m_dir->path(), m_notCompared);
                m_server->resume(deltaPath);
            });
        }
        QJsonObject payload =
            QJsonDocument::fromJson(feedPayload(m_release, QStringLiteral("2.0.0"), 2)).object();
        payload.insert(QStringLiteral("deltas"),
                       QJsonArray{QJsonObject{{QStringLiteral("path"), kReadme},
                                              {QStringLiteral("baseSha256"), sha256Hex(base)},
                                              {QStringLiteral("packedSha256"), deltaSha},
                                              {QStringLiteral("packedSize"), frame.size()}}});
        const QByteArray payloadJson = payloadBytes(payload);
        writeFile(m_feed, kManifestPath.mid(1), envelopeOf(payloadJson, signPayload(payloadJson)));

        UpdateClientSettings settings = this->settings();
        if (local)
            settings.feed = QUrl::fromLocalFile(m_feed);
        Outcome outcome;
        QVERIFY(fetch(settings, &outcome, [&] {
            if (midway)
                changeBase.start();
            if (fault == DeltaFault::BaseChanged) {
                // Where the frame takes nothing from the base: only the base's digest tells.
                writeFile(m_root, kReadme, QByteArray(base).replace(1000, 3, "new"));
                m_outside = snapshotTree(m_dir->path(), m_notCompared);
            }
            if (fault == DeltaFault::BaseLinked) {
                // The very base, but reached through a link: not read, as the updater reads none.
                writeFile(m_dir->path(), QStringLiteral("elsewhere/readme.txt"), base);
                QVERIFY(QFile::remove(m_root + u'/' + kReadme));
                QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("elsewhere/readme.txt")),
                                    m_root + u'/' + kReadme));
                m_outside = snapshotTree(m_dir->path(), m_notCompared);
            }
        }));
        verifyCompleteStage(outcome);
        const bool listed = fault != DeltaFault::NotTheBase && fault != DeltaFault::Malformed;
        const bool applied = fault == DeltaFault::None || fault == DeltaFault::Cut || midway;
        // The check counts what will travel: the delta in place of the readme's blob.
        qint64 bytes = 0;
        for (const QString &path : outcome.check.pathsToFetch().mid(0, 4))
            bytes += path == kReadme && listed ? frame.size() : fileNamed(m_release, path).blob.size();
        QCOMPARE(outcome.check.downloadBytes(), bytes);
        QCOMPARE(outcome.check.filesAsDeltas(), listed ? 1 : 0);
        QCOMPARE(outcome.filesFromDeltas, applied ? 1 : 0);
        if (local)
            return;
        // (A base found changed may stop the delta before its request is out.)
        if (fault != DeltaFault::BaseChanged && fault != DeltaFault::BaseLinked)
            QCOMPARE(m_server->requestsFor(deltaPath).isEmpty(), !listed);
        QCOMPARE(m_server->requestsFor(pathOf(kReadme)).isEmpty(), applied);
        // A delta cut short goes on from where its .part file ends, each byte received once.
        if (fault == DeltaFault::Cut) {
            const QList<LoggedRequest> tries = triesOf(m_server->requestsFor(deltaPath));
            QCOMPARE(tries.size(), 2);
            QCOMPARE(tries.last().range, "bytes=" + QByteArray::number(cut) + '-');
            QCOMPARE(tries.last().status, 206);
            QCOMPARE(outcome.bytesTransferred, outcome.check.downloadBytes());
        }
    }
#endif

    void secondDownloadFetchesWhatIsMissing_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("after a failure") << false;
        QTest::newRow("after a cancel") << true;
    }

    void secondDownloadFetchesWhatIsMissing()
    {
        QFETCH(bool, cancel);
        publish();
        const QString large = pathOf(kLarge);
        const auto partOf = [&](const QString &blob) {
            return m_stage + QStringLiteral("/.download") + blob.mid(6) + QStringLiteral(".part");
        };
        Fault interruption = Fault().cutAt(kCut).forRequests(1);
        if (cancel)
            interruption.stalling();
        m_server->setFaults(large, {interruption});
        UpdateClientSettings settings = this->settings();
        settings.retries = 0;
        m_outside = snapshotTree(m_dir->path(), m_notCompared);

        auto client = std::make_unique<UpdateClient>(settings);
        UpdateCheck *check = client->check();
        QSignalSpy checked(check, &UpdateCheck::finished);
        QVERIFY(checked.wait(kWaitMs));
        UpdateDownload *download = client->download(check->update());
        QSignalSpy downloaded(download, &UpdateDownload::finished);
        if (cancel) { // once all but the large file are staged and part of it has arrived
            const QString last = m_stage + QStringLiteral("/files/same/b.txt");
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(last) && QFileInfo(partOf(large)).size() > 0,
                                     kWaitMs);
            client->cancel();
        }
        QVERIFY(downloaded.size() == 1 || downloaded.wait(kWaitMs));
        QCOMPARE(download->failure().reason,
                 cancel ? R::Cancelled : R::FeedUnreachable);
        client.reset(); // waits for its worker: the stage is as it stays
        verifyIncompleteStage();

        // The second download asks only for the blobs of files not staged, each from where its
        // .part file ends (a blob that arrived whole is only checked). A new server: the first
        // may still be answering a request that the ended download sent.
        QHash<QString, qint64> held; // blob -> bytes in its .part file
        int staged = 0;
        for (const FeedFile &file : std::as_const(m_release)) {
            if (QFileInfo::exists(m_stage + QStringLiteral("/files/") + file.file.path))
                ++staged;
            else
                held.insert(blobPath(file), QFileInfo(partOf(blobPath(file))).size());
        }
        QVERIFY(held.contains(large) && held.value(large) <= kCut);
        QVERIFY(!cancel || held.value(large) > 0);
        m_server = std::make_unique<FaultServer>(m_feed);
        settings.feed = QUrl(m_server->baseUrl());
        Outcome outcome;
        QVERIFY(fetch(settings, &outcome));
        verifyCompleteStage(outcome);
        QCOMPARE(outcome.filesAlreadyStaged, staged);
        qint64 bytes = 0;
        qsizetype requests = 1; // the manifest
        for (const FeedFile &file : std::as_const(m_release)) {
            if (!held.contains(blobPath(file)))
                continue;
            const qint64 part = held.take(blobPath(file));
            const QList<LoggedRequest> asked = m_server->requestsFor(blobPath(file));
            QCOMPARE(asked.size(), part == file.blob.size() ? 0 : 1);
            if (asked.isEmpty())
                continue;
            QCOMPARE(asked.first().range,
                     part > 0 ? "bytes=" + QByteArray::number(part) + '-' : QByteArray());
            bytes += file.blob.size() - part;
            ++requests;
        }
        QCOMPARE(m_server->log().size(), requests);
        QCOMPARE(outcome.bytesTransferred, bytes);
    }

    void unsafeStagingDirectory_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::newRow("the stage is a link") << QStringLiteral("stage link");
        QTest::newRow("files/ of a stage is a link") << QStringLiteral("files link");
        QTest::newRow("a folder that the client did not make") << QStringLiteral("foreign");
        QTest::newRow("a stage of another user") << QStringLiteral("other owner");
        QTest::newRow("a stage that others may write") << QStringLiteral("group writable");
    }

    void unsafeStagingDirectory()
    {
        QFETCH(QString, setup);
        publish();
        const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere"));
        writeFile(elsewhere, QStringLiteral("keep.txt"), "not the client's");
        if (setup == u"other owner" || setup == u"group writable") {
            writeFile(m_stage, QStringLiteral(".vellumix-stage"), QByteArray());
            if (setup == u"other owner")
                QCOMPARE(::chown(QFile::encodeName(m_stage).constData(), 65534, 65534), 0);
            else
                QCOMPARE(::chmod(QFile::encodeName(m_stage).constData(), 0770), 0);
        } else if (setup == u"stage link") {
            QVERIFY(QFile::link(elsewhere, m_stage));
        } else if (setup == u"files link") {
            writeFile(m_stage, QStringLiteral(".vellumix-stage"), QByteArray());
            QVERIFY(QFile::link(elsewhere, m_stage + QStringLiteral("/files")));
        } else {
            writeFile(m_stage, QStringLiteral("keep.txt"), "not the client's");
        }
        m_notCompared = {QStringLiteral("cache")}; // nothing else may change, the stage included

        Outcome outcome;
        QVERIFY(fetch(settings(), &outcome));
        QCOMPARE(outcome.failure().reason, R::StagingUnsafe);
        QCOMPARE(m_server->log().size(), 1); // no blob fetched
        verifyIncompleteStage();
    }

    // The members the client holds a release to, in the feed and in a stage about to be applied:
    // a manifest replayed from another channel or past its expiry is refused like a bad one.
    void releaseChannelAndExpiry_data()
    {
        QTest::addColumn<QString>("channel"); // signed into the payload; empty: none
        QTest::addColumn<QString>("expires"); // the same
        QTest::addColumn<qint32>("sequence");
        QTest::addColumn<UpdateFailureReason>("reason");
        const QString future = QDateTime::currentDateTimeUtc().addDays(30).toString(Qt::ISODate);
        const QString past = QDateTime::currentDateTimeUtc().addSecs(-60).toString(Qt::ISODate);
        QTest::newRow("its own channel, not expired") << "stable" << future << 2 << R::None;
        QTest::newRow("no channel, no expiry") << "" << "" << 2 << R::None;
        QTest::newRow("signed for beta") << "beta" << "" << 2 << R::ManifestRejected;
        QTest::newRow("expired") << "stable" << past << 2 << R::ManifestExpired;
        QTest::newRow("expiry no time") << "stable" << "next week" << 2 << R::ManifestRejected;
        QTest::newRow("not newer") << "stable" << future << 1 << R::NotNewer;
    }

    void releaseChannelAndExpiry()
    {
        QFETCH(QString, channel);
        QFETCH(QString, expires);
        QFETCH(qint32, sequence);
        QFETCH(UpdateFailureReason, reason);
        publish();
        // The stage of a proper download, then the same release signed with these members.
        Outcome outcome;
        QVERIFY(fetch(settings(), &outcome));
        verifyCompleteStage(outcome);
        QJsonObject payload =
            QJsonDocument::fromJson(feedPayload(m_release, QStringLiteral("2.0.0"), sequence)).object();
        if (!channel.isEmpty())
            payload.insert(QStringLiteral("channel"), channel);
        if (!expires.isEmpty())
            payload.insert(QStringLiteral("expires"), expires);
        const QByteArray bytes = QJsonDocument(payload).toJson(QJsonDocument::Compact);
        const QByteArray manifest = envelopeOf(bytes, signPayload(bytes));
        writeFile(m_stage, QStringLiteral("manifest.json"), manifest);
        // Right before the updater would start, the stage is checked as the feed is.
        QCOMPARE(vellumix::verifyStagedUpdate(m_root, m_stage, QStringLiteral("stable"), 1).reason,
                 reason);
        if (reason == R::NotNewer)
            return; // the check answers "no update" for it, no failure
        writeFile(m_feed + QStringLiteral("/stable"), QStringLiteral("manifest.json"), manifest);
        QVERIFY(fetch(settings(), &outcome));
        QCOMPARE(outcome.checkFailure.reason, reason);
    }

    // What an ended update owes to the address its release names: each final outcome of a start
    // once, and nothing for an update the updater refused or one still being probed.
    void owedOutcomeReport_data()
    {
        QTest::addColumn<UpdateResult>("result");
        QTest::addColumn<bool>("final");
        QTest::addColumn<bool>("reported");
        QTest::addColumn<QString>("reports");
        QTest::addColumn<QString>("expected"); // the report's query, "" for none
        const QString address = QStringLiteral("https://updates.example.com/reports");
        QTest::newRow("confirmed") << UpdateResult::Installed << true << false << address
                                   << "channel=beta&sequence=7&outcome=confirmed";
        QTest::newRow("rolled back") << UpdateResult::RolledBack << true << false << address
                                     << "channel=beta&sequence=7&outcome=rolled-back&reason=new-version-ended";
        QTest::newRow("recovered") << UpdateResult::Recovered << true << false << address
                                   << "channel=beta&sequence=7&outcome=recovered&reason=new-version-ended";
        QTest::newRow("refused by the updater") << UpdateResult::NotInstalled << true << false
                                                << address << "";
        QTest::newRow("still probed") << UpdateResult::Installed << false << false << address << "";
        QTest::newRow("reported before") << UpdateResult::RolledBack << true << true << address << "";
        QTest::newRow("no address") << UpdateResult::RolledBack << true << false << "" << "";
        QTest::newRow("plain http address") << UpdateResult::RolledBack << true << false
                                            << "http://updates.example.com/reports" << "";
    }

    void owedOutcomeReport()
    {
        QFETCH(UpdateResult, result);
        QFETCH(bool, final);
        QFETCH(bool, reported);
        QFETCH(QString, reports);
        QFETCH(QString, expected);
        UpdateHistory history;
        history.outcome.result = result;
        history.outcome.because = result == UpdateResult::Installed ? UpdateFailedBecause::Nothing
                                                                    : UpdateFailedBecause::NewVersionEnded;
        history.outcome.sequence = 7;
        history.outcome.channel = QStringLiteral("beta");
        history.outcomeFinal = final;
        history.outcomeReported = reported;
        history.outcomeReports = reports;
        const QString id(32, u'5');
        const auto report = owedReport(history, id);
        QCOMPARE(report.has_value(), !expected.isEmpty());
        if (!report)
            return;
        const QUrl url = protocol::outcomeReportUrl(QUrl(reports), *report);
        QCOMPARE(url.query(), expected + QStringLiteral("&installation=") + reportedInstallation(id));
    }

    // What of a report's answer counts: the status line alone, after any interim answers.
    void reportAnswerStatus_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<int>("status"); // 0: not complete yet; -1: no HTTP/1 answer
        QTest::newRow("no content") << QByteArray("HTTP/1.1 204 No Content\r\nServer: x\r\n") << 204;
        QTest::newRow("HTTP/1.0 without a reason") << QByteArray("HTTP/1.0 200\r\n") << 200;
        QTest::newRow("line feed alone") << QByteArray("HTTP/1.1 503 Busy\nX: y") << 503;
        QTest::newRow("interim") << QByteArray("HTTP/1.1 103 Early Hints\r\n") << 103;
        QTest::newRow("line not complete") << QByteArray("HTTP/1.1 200 O") << 0;
        QTest::newRow("nothing yet") << QByteArray() << 0;
        QTest::newRow("HTTP/2's words") << QByteArray("HTTP/2 200\r\n") << -1;
        QTest::newRow("two digits") << QByteArray("HTTP/1.1 20 OK\r\n") << -1;
        QTest::newRow("no reason's space") << QByteArray("HTTP/1.1 2000\r\n") << -1;
        QTest::newRow("another protocol") << QByteArray("SSH-2.0-OpenSSH_9.2\r\n") << -1;
        QTest::newRow("endless line") << QByteArray("HTTP/1.1 200 ") + QByteArray(9000, 'a') << -1;
    }

    void reportAnswerStatus()
    {
        QFETCH(QByteArray, head);
        QFETCH(int, status);
        QCOMPARE(answerStatus(head), status);
    }

    /*
        An ended update's report, sent by a check to a server of the test's own over TLS (or to an
        address where nobody answers). The request carries the documented query and nothing the
        client was not asked to send: its host, the client's own User-Agent and the connection's
        end, no Accept-Language, no cookie a server set, no browser's name. The status alone
        decides, so an answer of any size costs nothing. A report that does not arrive is kept with
        its reason (the record, UpdateClient::outcomeReportStatus()) and sent again at the next
        check, which clears the reason once it arrives; one that arrived is not sent again. An
        outcome still being probed owes nothing yet, and its report goes at the first check after
        it is final.
    */
    void outcomeReportDelivery_data()
    {
        QTest::addColumn<QString>("address"); // "server", "untrusted" (its CA not given), "down",
                                              // "silent" (takes the connection, never answers)
        QTest::addColumn<QList<Fault>>("faults"); // of the server's /reports
        QTest::addColumn<bool>("final");          // the outcome is final at the first check
        QTest::addColumn<int>("checkTimeoutMs");
        QTest::addColumn<bool>("sent");           // at the first check
        QTest::addColumn<QString>("detail");      // what the kept reason says ("" when sent)
        const QList<Fault> ok{Fault().answer(204)};
        QTest::newRow("answered 204") << "server" << ok << true << 60000 << true << "";
        QTest::newRow("answered 200 with a body of 512 MiB")
            << "server" << QList{Fault().answer(200).appending(kEndless)} << true << 60000 << true << "";
        QTest::newRow("answered 200, a header that never ends")
            << "server" << QList{Fault().withEndlessHeader()} << true << 60000 << true << "";
        QTest::newRow("an interim answer first")
            << "server" << QList{Fault().answer(204).afterInterimAnswer()} << true << 60000 << true << "";
        QTest::newRow("answered 503 with a cookie")
            << "server" << QList{Fault().answer(503).settingCookie("track=1; Path=/")} << true << 60000
            << false << "/reports: HTTP 503";
        QTest::newRow("redirected")
            << "server" << QList{Fault().redirectTo("https://127.0.0.1:1/elsewhere")} << true
            << 60000 << false << "/reports: HTTP 302";
        QTest::newRow("certificate not trusted") << "untrusted" << ok << true << 60000 << false
                                                 << "/reports: the TLS handshake failed: ";
        QTest::newRow("nobody listens") << "down" << ok << true << 60000 << false
                                        << "/reports: Connection refused";
        QTest::newRow("no answer in time") << "silent" << ok << true << 60000 << false
                                           << "/reports: no answer within 3000 ms";
        QTest::newRow("the check ends first") << "silent" << ok << true << 1500 << false
                                              << "/reports: the check ended after 1500 ms";
        QTest::newRow("still probed") << "server" << ok << false << 60000 << false << "";
    }

    void outcomeReportDelivery()
    {
        QFETCH(QString, address);
        QFETCH(QList<Fault>, faults);
        QFETCH(bool, final);
        QFETCH(int, checkTimeoutMs);
        QFETCH(bool, sent);
        QFETCH(QString, detail);
        QStandardPaths::setTestModeEnabled(true);
        const auto testMode = qScopeGuard([] { QStandardPaths::setTestModeEnabled(false); });
        const TlsFiles tls = makeTestCertificates(m_dir->filePath(QStringLiteral("tls")),
                                                  QStringLiteral("127.0.0.1"));
        QVERIFY(!tls.caFile.isEmpty());
        m_notCompared << QStringLiteral("tls");
        QFile keyFile(tls.keyFile);
        QVERIFY(keyFile.open(QIODevice::ReadOnly));
        FaultServer reports(m_dir->filePath(QStringLiteral("nothing")));
        reports.useTls(QSslCertificate::fromPath(tls.certFile).value(0),
                       QSslKey(keyFile.readAll(), QSsl::Ec));
        reports.setFaults(QStringLiteral("/reports"), faults);
        QTcpServer silent; // takes connections and never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        quint16 downPort = 0; // a port that was just free: nobody listens there
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            downPort = probe.serverPort();
        }
        const QString reportsUrl = address == u"down"
            ? QStringLiteral("https://127.0.0.1:%1/reports").arg(downPort)
            : address == u"silent" ? QStringLiteral("https://127.0.0.1:%1/reports").arg(silent.serverPort())
                                   : reports.baseUrl() + QStringLiteral("reports");
        // A release that was rolled back, as the start after it wrote it down.
        const auto owe = [&](const QString &url, bool isFinal) {
            return changeUpdateHistory(m_root, [&](UpdateHistory &history) {
                history.outcome.result = UpdateResult::RolledBack;
                history.outcome.because = UpdateFailedBecause::NewVersionEnded;
                history.outcome.sequence = 2;
                history.outcome.version = QStringLiteral("2.0.0");
                history.outcome.channel = QStringLiteral("stable");
                history.outcomeToken = QStringLiteral("00ff");
                history.outcomeFinal = isFinal;
                history.outcomeReports = url;
            });
        };
        QVERIFY(QDir().mkpath(m_root + QStringLiteral("/.vellumix-update")));
        QVERIFY(owe(reportsUrl, final).ok());
        publish();
        UpdateClientSettings settings = this->settings();
        settings.sendOutcomeReports = true;
        settings.headerTimeoutMs = 3000;
        settings.checkTimeoutMs = checkTimeoutMs;
        if (address != u"untrusted")
            settings.extraCaCertificates = QSslCertificate::fromPath(tls.caFile);
        const auto checkOnce = [&](OutcomeReportStatus *status) {
            UpdateClient client(settings);
            UpdateCheck *check = client.check();
            QSignalSpy checked(check, &UpdateCheck::finished);
            if (!checked.wait(kWaitMs))
                return false;
            *status = client.outcomeReportStatus();
            // The check answers as it would without a report (only its deadline may end it).
            return check->failure().ok() || checkTimeoutMs < 60000;
        };
        OutcomeReportStatus status;
        QVERIFY(checkOnce(&status));
        QCOMPARE(status.isValid(), final);
        QVERIFY2(status.sent == sent, qPrintable(status.detail));
        if (detail.isEmpty()) {
            QCOMPARE(status.detail, QString());
        } else {
            // The address without the report's query, then what went wrong.
            QVERIFY2(status.detail.startsWith(reportsUrl.chopped(8)) && status.detail.contains(detail),
                     qPrintable(status.detail));
        }
        // Kept in the record, for another process (vellumix-fetch --send-reports, the next start).
        const UpdateHistory kept = readUpdateHistory(m_root);
        QCOMPARE(kept.outcomeReported, sent);
        QCOMPARE(kept.outcomeReportFailure, status.detail);
        const int firstRequests = address == u"server" && final ? 1 : 0;
        QCOMPARE(reports.requestsFor(QStringLiteral("/reports")).size(), firstRequests);

        // The next check: the server answers now, at the report's own address; an outcome still
        // probed has meanwhile been made final by the next start.
        reports.setFaults(QStringLiteral("/reports"), {Fault().answer(204)});
        QVERIFY(owe(reports.baseUrl() + QStringLiteral("reports"), true).ok());
        settings.extraCaCertificates = QSslCertificate::fromPath(tls.caFile);
        settings.checkTimeoutMs = 60000;
        QVERIFY(checkOnce(&status));
        QVERIFY(status.isValid() && status.sent);
        QCOMPARE(status.detail, QString());
        QCOMPARE(readUpdateHistory(m_root).outcomeReportFailure, QString());
        const QList<LoggedRequest> requests = reports.requestsFor(QStringLiteral("/reports"));
        QCOMPARE(requests.size(), sent ? firstRequests : firstRequests + 1);
        // Every report as it arrived: what it says, and nothing else.
        const QString expectedAgent = QStringLiteral("Vellumix-Update/" VELLUMIX_PROJECT_VERSION);
        for (const LoggedRequest &request : requests) {
            QList<QByteArray> names = request.headers.keys();
            std::sort(names.begin(), names.end());
            QCOMPARE(names, (QList<QByteArray>{"connection", "host", "user-agent"}));
            QCOMPARE(request.headers.value("user-agent"), expectedAgent.toLatin1());
            QCOMPARE(request.headers.value("host"), QByteArray("127.0.0.1:") + QByteArray::number(reports.serverPort()));
            QVERIFY2(request.bodyBytes < (64 << 20), qPrintable(QString::number(request.bodyBytes)));
        }
        QVERIFY(reports.log().size() == requests.size()); // nothing else was asked of it
    }

    /*
        Whether a release being rolled out reaches this installation, and what an installation
        outside it is offered: sequence 3 is rolled out and names sequence 2 (its history file,
        perhaps expired, perhaps forged) as the fallback; the installation has 1. The
        installation's place is set by its id so that the percentage puts it inside or outside.
    */
    void rolloutOffer_data()
    {
        QTest::addColumn<QString>("place");    // "inside", "outside", "halted" (0 %), "": no rollout
        QTest::addColumn<QString>("extra");     // "critical", "ignore-rollout", "failed-here"
                                                // (sequence 3 failed here before), or ""
        QTest::addColumn<QString>("fallback");  // "", "kept", "expired", "forged", "installed"
        QTest::addColumn<qint32>("offered");    // the sequence offered; 0: none
        QTest::addColumn<UpdateFailureReason>("reason");
        const QString none;
        QTest::newRow("no rollout") << none << none << none << 3 << R::None;
        QTest::newRow("inside") << "inside" << none << none << 3 << R::None;
        QTest::newRow("outside") << "outside" << none << none << 0 << R::None;
        QTest::newRow("outside, critical") << "outside" << "critical" << none << 3 << R::None;
        QTest::newRow("outside, explicit check") << "outside" << "ignore-rollout" << none << 3
                                                 << R::None;
        QTest::newRow("halted, critical") << "halted" << "critical" << "kept" << 2 << R::None;
        QTest::newRow("halted, explicit check") << "halted" << "ignore-rollout" << none << 0
                                                << R::None;
        QTest::newRow("outside, fallback") << "outside" << none << "kept" << 2 << R::None;
        QTest::newRow("outside, fallback expired") << "outside" << none << "expired" << 2
                                                   << R::None;
        QTest::newRow("outside, fallback forged") << "outside" << none << "forged" << 0
                                                  << R::ManifestRejected;
        QTest::newRow("outside, fallback not newer") << "outside" << none << "installed" << 0
                                                     << R::None;
        QTest::newRow("inside, fallback unused") << "inside" << none << "forged" << 3 << R::None;
        // A release that failed here hides nothing: the installation is offered what it would be
        // offered without it.
        QTest::newRow("inside, failed here, fallback") << "inside" << "failed-here" << "kept" << 2
                                                       << R::None;
        QTest::newRow("failed here, fallback") << none << "failed-here" << "kept" << 2 << R::None;
        QTest::newRow("failed here, no fallback") << none << "failed-here" << none << 0 << R::None;
    }

    void rolloutOffer()
    {
        QFETCH(QString, place);
        QFETCH(QString, extra);
        QFETCH(QString, fallback);
        QFETCH(qint32, offered);
        QFETCH(UpdateFailureReason, reason);
        QStandardPaths::setTestModeEnabled(true);
        const auto testMode = qScopeGuard([] { QStandardPaths::setTestModeEnabled(false); });
        UpdateClientSettings settings = this->settings();
        settings.ignoreRollout = extra == u"ignore-rollout";
        if (fallback == u"installed")
            settings.builtInSequence = 2;
        // An id that places the installation between 5 and 95 for sequence 3.
        double position = 0;
        const QString idFile = installationIdFile(m_root);
        for (int draw = 0; position < 5 || position > 95; ++draw) {
            QVERIFY(draw < 1000);
            const QString id = QString::number(QRandomGenerator::global()->generate64() | 1ULL << 63, 16)
                + QString::number(QRandomGenerator::global()->generate64() | 1ULL << 63, 16);
            writeFile(QFileInfo(idFile).absolutePath(), QFileInfo(idFile).fileName(), id.toLatin1());
            position = rolloutPosition(id, feedIdentity(settings.feed), QStringLiteral("stable"), 3);
        }
        publish();
        const auto signedEnvelope = [&](const QString &version, qint32 sequence,
                                        const QJsonObject &members) {
            QJsonObject payload =
                QJsonDocument::fromJson(feedPayload(m_release, version, sequence)).object();
            for (auto member = members.begin(); member != members.end(); ++member)
                payload.insert(member.key(), member.value());
            const QByteArray bytes = QJsonDocument(payload).toJson(QJsonDocument::Compact);
            return envelopeOf(bytes, signPayload(bytes));
        };
        const QString expired = QDateTime::currentDateTimeUtc().addSecs(-60).toString(Qt::ISODate);
        const QByteArray history = signedEnvelope(
            QStringLiteral("2.0.0"), 2,
            fallback == u"expired" ? QJsonObject{{QStringLiteral("expires"), expired}} : QJsonObject());
        writeFile(m_feed, QStringLiteral("stable/releases/2.json"), history);
        QJsonObject members;
        if (!place.isEmpty()) {
            const int percent = place == u"inside" ? int(position) + 1
                : place == u"outside"              ? int(position)
                                                   : 0;
            members.insert(QStringLiteral("rollout"), QJsonObject{{QStringLiteral("percent"), percent}});
        }
        if (extra == u"critical")
            members.insert(QStringLiteral("critical"), true);
        if (!fallback.isEmpty()) {
            const QByteArray named = fallback == u"forged" ? QByteArray(64, 'a')
                : QCryptographicHash::hash(history, QCryptographicHash::Sha256).toHex();
            members.insert(QStringLiteral("fallback"),
                           QJsonObject{{QStringLiteral("sequence"), 2},
                                       {QStringLiteral("sha256"), QString::fromLatin1(named)}});
        }
        writeFile(m_feed, QStringLiteral("stable/manifest.json"),
                  signedEnvelope(QStringLiteral("3.0.0"), 3, members));
        if (extra == u"failed-here") {
            UpdateOutcome failed;
            failed.result = UpdateResult::RolledBack;
            failed.because = UpdateFailedBecause::NewVersionEnded;
            failed.sequence = 3;
            failed.version = QStringLiteral("3.0.0");
            failed.channel = QStringLiteral("stable");
            QVERIFY(changeUpdateHistory(m_root, [&](UpdateHistory &history) {
                        history.failed.append(failed);
                    }).ok());
        }

        Outcome outcome;
        QVERIFY(fetch(settings, &outcome));
        QCOMPARE(outcome.checkFailure.reason, reason);
        if (reason != R::None)
            return;
        const UpdateInfo &update = outcome.check;
        QCOMPARE(update.hasFailedHere(), extra == u"failed-here");
        QCOMPARE(update.failedHere().sequence, extra == u"failed-here" ? 3 : 0);
        QCOMPARE(update.isAvailable() ? update.sequence() : 0, offered);
        QCOMPARE(update.isFallback(), offered == 2);
        // (A release that failed here and has no fallback is still the one offered here.)
        QCOMPARE(update.isOfferedHere(),
                 offered == 3 || (offered == 0 && extra == u"failed-here"));
        QCOMPARE(update.currentSequence(), 3);
        QCOMPARE(update.rolloutPercent(), place.isEmpty() ? 100 : members.value(QStringLiteral("rollout"))
                                                                     .toObject().value(QStringLiteral("percent")).toInt());
        if (offered == 0)
            return;
        QCOMPARE(outcome.downloadFailure.reason, R::None);
        // The stage is checked again before the updater takes it: a fallback past its own expiry
        // passes on the word of the current release kept beside it, and only so.
        QCOMPARE(verifyStagedUpdate(m_root, m_stage, QStringLiteral("stable"), 1).reason, R::None);
        const QString voucher = m_stage + QStringLiteral("/.vellumix-fallback-of.json");
        QCOMPARE(QFileInfo::exists(voucher), offered == 2);
        if (fallback == u"expired") {
            QVERIFY(QFile::remove(voucher));
            QCOMPARE(verifyStagedUpdate(m_root, m_stage, QStringLiteral("stable"), 1).reason,
                     R::ManifestExpired);
        }
    }

    // A server that answers slowly or never stops cannot hold a check or a download beyond its
    // deadline, nor make the client hold more than its read buffers while it tries.
    void hostileServerClock_data()
    {
        QTest::addColumn<QString>("target"); // "manifest" or a file whose blob misbehaves
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<UpdateFailureReason>("reason");
        QTest::addColumn<int>("manifestMs"); // the manifest request's whole deadline
        QTest::addColumn<int>("retries");
        QTest::addColumn<QString>("detail"); // the deadline that the failure names
        const QString none;
        QTest::newRow("manifest a byte at a time") << "manifest" << Fault().dripping(100)
                                                   << R::FeedUnreachable << 2000 << 0
                                                   << "not whole within 2000 ms";
        // The header deadline holds for the manifest as for a blob, and every try together is
        // bounded by the check's own deadline (3 s here).
        QTest::newRow("manifest header never ends") << "manifest" << Fault().withEndlessHeader()
                                                    << R::FeedUnreachable << 60000 << 0
                                                    << "no answer within 2000 ms";
        QTest::newRow("manifest a byte at a time, every try")
            << "manifest" << Fault().dripping(100) << R::FeedUnreachable << 2000 << 4
            << "the check did not end within 3000 ms";
        QTest::newRow("blob a byte at a time") << kLarge << Fault().dripping(100)
                                               << R::FeedUnreachable << 2000 << 0 << none;
        QTest::newRow("blob header never ends") << kLarge << Fault().withEndlessHeader()
                                                << R::FeedUnreachable << 2000 << 0 << none;
        // Every byte sent, then the body is held open: it is taken as it is.
        QTest::newRow("blob body never ends") << kReadme << Fault().withoutLength().stalling()
                                              << R::None << 2000 << 0 << none;
    }

    void hostileServerClock()
    {
        QFETCH(QString, target);
        QFETCH(Fault, fault);
        QFETCH(UpdateFailureReason, reason);
        QFETCH(int, manifestMs);
        QFETCH(int, retries);
        QFETCH(QString, detail);
        publish();
        m_server->setFaults(pathOf(target), {fault});
        UpdateClientSettings settings = this->settings();
        // A password in the feed's address never reaches a failure's detail.
        settings.feed.setUserInfo(QStringLiteral("reader:s3cret"));
        settings.retries = retries;
        settings.manifestTimeoutMs = manifestMs;
        settings.headerTimeoutMs = 2000;
        settings.checkTimeoutMs = 3000;
        settings.rateWindowMs = 1000;
        settings.minimumBytesPerSecond = 1000;
        const auto residentBytes = [] {
            QFile statm(QStringLiteral("/proc/self/statm"));
            const QList<QByteArray> fields =
                statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ') : QList<QByteArray>();
            return fields.value(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
        };
        const qint64 before = residentBytes();
        qint64 peak = before;
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, this, [&] { peak = qMax(peak, residentBytes()); });
        sampler.start(50);
        QElapsedTimer clock;
        clock.start();
        Outcome outcome;
        QVERIFY(fetch(settings, &outcome));
        QCOMPARE(outcome.failure().reason, reason);
        QVERIFY2(outcome.failure().detail.contains(detail), qPrintable(outcome.failure().detail));
        // The address is named, without its password.
        QVERIFY2(outcome.failure().ok()
                     || (outcome.failure().detail.contains(QStringLiteral("http://127.0.0.1:"))
                         && !outcome.failure().detail.contains(QStringLiteral("s3cret"))),
                 qPrintable(outcome.failure().detail));
        // Each deadline is 2 s (the body's end is waited for 2 s); the check's test server
        // answers the rest at once.
        QVERIFY2(clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
        qInfo("%lld ms, resident memory grew by %lld bytes", clock.elapsed(), peak - before);
        QVERIFY2(peak - before < 64 * 1024 * 1024, qPrintable(QString::number(peak - before)));
    }

    // A resumed blob whose rest comes back as other bytes (the right range and length) breaks
    // while it streams in: it starts over from nothing once, like a digest that differs at the
    // end, and only a second failure is final.
    void corruptResumeStartsOver_data()
    {
        QTest::addColumn<int>("garbled"); // requests answered with other bytes after the cut one
        QTest::addColumn<UpdateFailureReason>("reason");
        QTest::newRow("the rest garbled once") << 1 << R::None;
        QTest::newRow("garbled again from nothing") << 2 << R::DownloadInvalid;
    }

    void corruptResumeStartsOver()
    {
        QFETCH(int, garbled);
        QFETCH(UpdateFailureReason, reason);
        publish();
        const QString large = pathOf(kLarge);
        m_server->setFaults(large, {Fault().cutAt(kCut).forRequests(1),
                                    Fault().garbling().forRequests(garbled)});
        Outcome outcome;
        QVERIFY(fetch(settings(), &outcome));
        QCOMPARE(outcome.failure().reason, reason);
        QList<QByteArray> ranges;
        for (const LoggedRequest &request : triesOf(m_server->requestsFor(large)))
            ranges << request.range;
        QCOMPARE(ranges, QList<QByteArray>({QByteArray(), "bytes=" + QByteArray::number(kCut) + '-',
                                            QByteArray()}));
        if (reason == R::None)
            verifyCompleteStage(outcome);
        else
            verifyIncompleteStage();
    }

    // A check of an unchanged feed asks with the kept manifest's validators and uses it on a 304,
    // verified again; a kept manifest that cannot be read or does not verify is dropped and the
    // manifest fetched in full. The cache saves bytes; it is never the reason a check fails.
    void conditionalCheck_data()
    {
        QTest::addColumn<QString>("cache"); // what becomes of the kept manifest before check 2
        QTest::addColumn<QList<int>>("statuses"); // of the second check's manifest requests
        QTest::newRow("unchanged feed") << "kept" << QList<int>{304};
        QTest::newRow("kept manifest tampered") << "tampered" << QList<int>{304, 200};
        QTest::newRow("cache file cut short") << "cut" << QList<int>{200};
        QTest::newRow("cache file replaced by a link") << "link" << QList<int>{200};
        QTest::newRow("server answers 304 unasked") << "none" << QList<int>{304};
        // Another's entry is never believed: an older release planted with the server's current
        // tag would be confirmed by its honest 304.
        QTest::newRow("older release kept with the current tag") << "older" << QList<int>{304, 200};
        QTest::newRow("entry of another user") << "foreign" << QList<int>{200};
        QTest::newRow("tampered entry in a folder others may write") << "shared" << QList<int>{200};
    }

    void conditionalCheck()
    {
        QFETCH(QString, cache);
        QFETCH(QList<int>, statuses);
        publish();
        Outcome first, second;
        const QString cacheDir = m_dir->filePath(QStringLiteral("cache"));
        if (cache == u"none") {
            m_server->setFaults(kManifestPath, {Fault().answer(304)});
        } else {
            QVERIFY(fetch(settings(), &first));
            QVERIFY(first.failure().ok());
        }
        const QStringList kept = QDir(cacheDir).entryList(QDir::Files);
        QCOMPARE(kept.size(), cache == u"none" ? 0 : 1);
        const QString file = cache == u"none" ? QString() : cacheDir + u'/' + kept.first();
        if (cache == u"tampered") {
            QJsonObject json = QJsonDocument::fromJson(readFile(file)).object();
            QByteArray envelope = QByteArray::fromBase64(json.value(QStringLiteral("envelope")).toString().toLatin1());
            QJsonObject opened = QJsonDocument::fromJson(envelope).object();
            const QByteArray payload = QByteArray::fromBase64(
                opened.value(QStringLiteral("payload")).toString().toLatin1());
            opened.insert(QStringLiteral("payload"),
                          QString::fromLatin1(QByteArray(payload).replace("2.0.0", "9.0.0").toBase64()));
            envelope = QJsonDocument(opened).toJson(QJsonDocument::Compact);
            json.insert(QStringLiteral("envelope"), QString::fromLatin1(envelope.toBase64()));
            writeFile(cacheDir, kept.first(), QJsonDocument(json).toJson());
        } else if (cache == u"cut") {
            QVERIFY(QFile::resize(file, QFileInfo(file).size() / 2));
        } else if (cache == u"link") {
            writeFile(m_dir->path(), QStringLiteral("other.json"), readFile(file));
            QVERIFY(QFile::remove(file) && QFile::link(m_dir->filePath(QStringLiteral("other.json")), file));
            m_notCompared << QStringLiteral("other.json");
        } else if (cache == u"older" || cache == u"shared") {
            const QByteArray payload = feedPayload(m_release, QStringLiteral("1.0.0"), 1);
            QJsonObject json = QJsonDocument::fromJson(readFile(file)).object();
            json.insert(QStringLiteral("envelope"),
                        QString::fromLatin1(envelopeOf(payload, signPayload(payload)).toBase64()));
            writeFile(cacheDir, kept.first(), QJsonDocument(json).toJson());
            if (cache == u"shared")
                QVERIFY(QFile::setPermissions(cacheDir, QFileDevice::Permissions(0x7777)));
        } else if (cache == u"foreign") {
            QCOMPARE(::chown(QFile::encodeName(file).constData(), 65534, 65534), 0);
        }
        const QByteArray planted = cache == u"none" ? QByteArray() : readFile(file);
        const qsizetype before = m_server->requestsFor(kManifestPath).size();
        QVERIFY(fetch(settings(), &second));
        QList<int> seen;
        for (const LoggedRequest &request : m_server->requestsFor(kManifestPath).mid(before))
            seen << request.status;
        QCOMPARE(seen, statuses);
        if (cache == u"none") {
            QCOMPARE(second.checkFailure.reason, R::ServerRefused);
            return;
        }
        QVERIFY2(second.checkFailure.ok(), qPrintable(second.checkFailure.detail));
        QCOMPARE(second.check.version(), QStringLiteral("2.0.0"));
        if (cache == u"shared") { // nothing read from it, nothing written to it
            QCOMPARE(readFile(file), planted);
            return;
        }
        // What is kept now is the verified manifest, as a plain file of the user's own.
        QVERIFY(!QFileInfo(file).isSymLink());
        QCOMPARE(QFileInfo(file).ownerId(), uint(::geteuid()));
        const QByteArray envelope = QByteArray::fromBase64(
            QJsonDocument::fromJson(readFile(file)).object().value(QStringLiteral("envelope")).toString().toLatin1());
        QCOMPARE(envelope, readFile(m_feed + kManifestPath));
    }

    // What a neighbour who can write into the stage plants there is removed, never written
    // through: a file elsewhere keeps its bytes, and the download completes.
    void hostileStageEntries_data()
    {
        QTest::addColumn<QString>("entry"); // below the stage
        QTest::addColumn<bool>("hardLink");
        const QString part = QStringLiteral(".download/%1.part");
        const QString out = QStringLiteral(".download/%1.out");
        QTest::newRow("linked .part") << part << false;
        QTest::newRow("hard-linked .part") << part << true;
        QTest::newRow("linked .out") << out << false;
        QTest::newRow("hard-linked .out") << out << true;
        QTest::newRow("linked staged file") << QStringLiteral("files/") + kReadme << false;
        QTest::newRow("hard-linked staged file") << QStringLiteral("files/") + kReadme << true;
    }

    void hostileStageEntries()
    {
        QFETCH(QString, entry);
        QFETCH(bool, hardLink);
        publish();
        const QString victim = m_dir->filePath(QStringLiteral("victim.bin"));
        const QByteArray precious = noise(5000000, 3); // longer than any blob
        writeFile(m_dir->path(), QStringLiteral("victim.bin"), precious);
        const QString blob = blobPath(fileNamed(m_release, kLarge)).mid(7);
        const QString planted = m_stage + u'/' + entry.arg(blob);
        writeFile(m_stage, QStringLiteral(".vellumix-stage"), QByteArray());
        QVERIFY(QDir().mkpath(QFileInfo(planted).path()));
        QVERIFY(hardLink ? ::link(QFile::encodeName(victim).constData(),
                                  QFile::encodeName(planted).constData()) == 0
                         : QFile::link(victim, planted));
        Outcome outcome;
        QVERIFY(fetch(settings(), &outcome));
        verifyCompleteStage(outcome);
        QVERIFY(readFile(victim) == precious);
    }

    // Links above the stage are the system's (a home folder reached through a link): allowed.
    void linkAboveTheStage()
    {
        publish();
        QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral("real"))));
        QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("real")), m_dir->filePath(QStringLiteral("link"))));
        m_stage = m_dir->filePath(QStringLiteral("link/stage"));
        m_notCompared << QStringLiteral("real");
        Outcome outcome;
        QVERIFY(fetch(settings(), &outcome));
        verifyCompleteStage(outcome);
        QCOMPARE(QFileInfo(m_stage).permissions() & 0x0777, QFileDevice::ReadUser
                 | QFileDevice::WriteUser | QFileDevice::ExeUser); // made private
    }

    // A second download into a stage that one is filling is refused at once and changes nothing.
    void secondDownloadIntoTheStageIsRefused()
    {
        publish();
        m_server->setFaults(pathOf(kLarge), {Fault().cutAt(kCut).stalling()});
        UpdateClient first(settings()), second(settings());
        UpdateCheck *check = first.check();
        QTRY_VERIFY_WITH_TIMEOUT(check->isFinished(), kWaitMs);
        UpdateDownload *running = first.download(check->update());
        const QString part = m_stage + QStringLiteral("/.download/")
            + blobPath(fileNamed(m_release, kLarge)).mid(7) + QStringLiteral(".part");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(part).size() > 0, kWaitMs);
        UpdateDownload *refused = second.download(check->update());
        QSignalSpy refusedDone(refused, &UpdateDownload::finished);
        QVERIFY(refusedDone.wait(kWaitMs));
        QCOMPARE(refused->failure().reason, R::Busy);
        QVERIFY(QFileInfo(part).size() > 0); // the running download's part file is still there
        QCOMPARE(running->state(), UpdateOperation::State::Running);
        running->cancel();
    }

    /*
        A lock file left by a process that died, between making it and naming itself in it or
        later, never blocks a download or the record of an update for good: it is taken over once
        it has settled. One that a live process holds still refuses.
    */
    void leftLocksAreTakenOver_data()
    {
        QTest::addColumn<QString>("lock");       // "stage" or "history"
        QTest::addColumn<QByteArray>("content"); // @ended: a process that has ended; @self: this one
        QTest::addColumn<bool>("taken");
        const QByteArray ended = "@ended\nVellumix.exe\n@host\n";
        const QByteArray live = "@self\ntst_client\n@host\n";
        QTest::newRow("stage, no owner") << "stage" << QByteArray() << true;
        QTest::newRow("stage, ended owner") << "stage" << ended << true;
        QTest::newRow("stage, live owner") << "stage" << live << false;
        QTest::newRow("history, no owner") << "history" << QByteArray() << true;
        QTest::newRow("history, ended owner") << "history" << ended << true;
    }

    void leftLocksAreTakenOver()
    {
        QFETCH(QString, lock);
        QFETCH(QByteArray, content);
        QFETCH(bool, taken);
        publish();
        QProcess process;
        process.start(QStringLiteral("true"), QStringList());
        QVERIFY(process.waitForFinished());
        content.replace("@ended", QByteArray::number(process.processId()))
            .replace("@self", QByteArray::number(QCoreApplication::applicationPid()))
            .replace("@host", QSysInfo::machineHostName().toUtf8());
        const QString work = m_root + QStringLiteral("/.vellumix-update");
        const QString folder = lock == u"stage" ? m_stage : work;
        const QString name = lock == u"stage" ? QStringLiteral(".vellumix-stage.lock")
                                              : QStringLiteral("update-history.lock");
        if (lock == u"stage")
            writeFile(m_stage, QStringLiteral(".vellumix-stage"), QByteArray());
        writeFile(folder, name, content);
        QFile file(folder + u'/' + name);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(-2),
                                 QFileDevice::FileModificationTime));
        file.close();

        Outcome outcome;
        QVERIFY(fetch(settings(), &outcome));
        if (!taken) {
            QCOMPARE(outcome.downloadFailure.reason, R::Busy);
            return;
        }
        verifyCompleteStage(outcome);
        UpdaterCommand updater = applyCommand(m_root, m_stage, 0, true);
        updater.program = QStringLiteral("/bin/true");
        updater.arguments.clear();
        const UpdateFailure handedOver = launchUpdater(updater, m_root);
        QVERIFY2(handedOver.ok(), qPrintable(handedOver.detail));
        QCOMPARE(readUpdateHistory(m_root).handedOver.sequence, 2);
    }

    void fullDisk()
    {
        SmallDisk disk(1 << 20); // less than the large file, packed and unpacked
        if (!disk.isMounted())
            QSKIP("a full disk needs a tmpfs mount (root)");
        publish();
        m_stage = disk.path() + QStringLiteral("/stage");
        Outcome outcome;
        QVERIFY(fetch(settings(), &outcome));
        QCOMPARE(outcome.failure().reason, R::StagingWriteFailed);
        // The system's own reason, as the log needs it.
        QVERIFY2(outcome.failure().detail.contains(QStringLiteral("No space left on device")),
                 qPrintable(outcome.failure().detail));
        verifyIncompleteStage();
    }

    // The system's proxy is asked once per scheme, host and port while its answer is kept, and
    // asked again for another origin or once the answer has aged.
    void proxyAskedOncePerOrigin()
    {
        const QNetworkProxy proxy(QNetworkProxy::HttpProxy, QStringLiteral("proxy.example"), 3128);
        int asked = 0;
        const auto lookup = [&](const QNetworkProxyQuery &) {
            ++asked;
            return QList<QNetworkProxy>{proxy};
        };
        const auto query = [](const char *url) {
            return QNetworkProxyQuery(QUrl(QString::fromLatin1(url)));
        };
        ProxyCache kept(lookup);
        const struct
        {
            const char *url;
            int asked; // system lookups so far
        } steps[] = {{"https://cdn.example/blobs/a", 1},
                     {"https://cdn.example/blobs/b", 1},
                     {"https://CDN.example/stable/manifest.json", 1},
                     {"http://cdn.example/blobs/a", 2},
                     {"https://cdn.example:8443/blobs/a", 3},
                     {"https://other.example/blobs/a", 4},
                     {"https://cdn.example/blobs/c", 4}};
        for (const auto &step : steps) {
            QCOMPARE(kept.queryProxy(query(step.url)), QList<QNetworkProxy>{proxy});
            QCOMPARE(asked, step.asked);
        }
        asked = 0;
        ProxyCache aged(lookup, 0); // an answer kept for no time is asked for every time
        for (int i = 1; i <= 3; ++i) {
            QCOMPARE(aged.queryProxy(query("https://cdn.example/blobs/a")), QList<QNetworkProxy>{proxy});
            QCOMPARE(asked, i);
        }
    }

    // Every request of a check and a download takes the route the settings choose: the proxy
    // the system names (here by the environment), the proxy given, or none. "dead" is a proxy
    // that nobody answers; a feed on feed.invalid only a proxy reaches.
    void proxySettingChoosesTheRoute_data()
    {
        QTest::addColumn<QString>("environment"); // http_proxy: "", "dead" or "server"
        QTest::addColumn<QString>("setting");     // "system", "none" or "server"
        QTest::addColumn<bool>("proxied");
        QTest::newRow("the system's") << "server" << "system" << true;
        QTest::newRow("the one given, none in the system") << "" << "server" << true;
        QTest::newRow("the one given, not the system's") << "dead" << "server" << true;
        QTest::newRow("none, not the system's") << "dead" << "none" << false;
    }

    void proxySettingChoosesTheRoute()
    {
        QFETCH(QString, environment);
        QFETCH(QString, setting);
        QFETCH(bool, proxied);
        publish();
        const QUrl server(m_server->baseUrl());
        if (!environment.isEmpty())
            qputenv("http_proxy", environment == u"dead" ? "http://127.0.0.1:9/"
                                                         : m_server->baseUrl().toLatin1());
        const auto unset = qScopeGuard([] { qunsetenv("http_proxy"); });
        UpdateClientSettings settings = this->settings();
        if (setting == u"none")
            settings.proxy = QNetworkProxy(QNetworkProxy::NoProxy);
        else if (setting == u"server")
            settings.proxy = QNetworkProxy(QNetworkProxy::HttpProxy, server.host(), quint16(server.port()));
        if (proxied)
            settings.feed = QUrl(QStringLiteral("http://feed.invalid/"));
        Outcome outcome;
        QVERIFY(fetch(settings, &outcome));
        verifyCompleteStage(outcome);
        QCOMPARE(m_server->log().size(), qsizetype(1 + 5)); // the manifest and the five blobs
        for (const LoggedRequest &request : m_server->log())
            QVERIFY2(request.proxied == proxied, qPrintable(request.path));
    }

    // The proxy credentials of the settings go to a proxy that carries none of its own.
    void proxyCredentialsFillTheGaps()
    {
        const QNetworkProxy bare(QNetworkProxy::HttpProxy, QStringLiteral("proxy.example"), 3128);
        QNetworkProxy own = bare;
        own.setUser(QStringLiteral("own"));
        own.setPassword(QStringLiteral("own-password"));
        const QNetworkProxyQuery query(QUrl(QStringLiteral("https://feed.example/")));
        const struct
        {
            QNetworkProxy chosen;
            QString user; // expected
        } cases[] = {{bare, QStringLiteral("given")},
                     {own, QStringLiteral("own")},
                     {QNetworkProxy(QNetworkProxy::NoProxy), QString()}};
        for (const auto &c : cases) {
            UpdateClientSettings settings;
            settings.proxy = c.chosen;
            settings.proxyUser = QStringLiteral("given");
            settings.proxyPassword = QStringLiteral("given-password");
            const QList<QNetworkProxy> proxies = proxyLookup(settings)(query);
            QCOMPARE(proxies.size(), 1);
            QCOMPARE(proxies.first().type(), c.chosen.type());
            QCOMPARE(proxies.first().user(), c.user);
            QCOMPARE(proxies.first().password(), c.user.isEmpty() ? QString() : c.user + QStringLiteral("-password"));
        }
    }

    void localFeed()
    {
        publish();
        UpdateClientSettings settings = this->settings();
        settings.feed = QUrl::fromLocalFile(m_feed);
        Outcome outcome;
        QVERIFY(fetch(settings, &outcome));
        verifyCompleteStage(outcome);
        QCOMPARE(outcome.filesFetched, int(m_release.size()));
        QCOMPARE(outcome.bytesTransferred, outcome.check.downloadBytes());
    }

    // A feed that is a folder is read through the same engine as one served over HTTP: what it
    // holds at a blob's name is judged like a server's answer, and a blob held in part goes on
    // from where its .part file ends.
    void localFeedBlob_data()
    {
        QTest::addColumn<QString>("blob"); // what stands at the large file's blob
        QTest::addColumn<UpdateFailureReason>("reason");
        QTest::newRow("a pipe") << "fifo" << R::FeedUnreachable;
        QTest::newRow("nothing") << "missing" << R::ServerRefused;
        QTest::newRow("fewer bytes than it is named by") << "shorter" << R::DownloadInvalid;
        QTest::newRow("more bytes than it is named by") << "longer" << R::DownloadInvalid;
        QTest::newRow("the blob, held in part in the stage") << "held" << R::None;
    }

    void localFeedBlob()
    {
        QFETCH(QString, blob);
        QFETCH(UpdateFailureReason, reason);
        FeedFile &large = fileNamed(m_release, kLarge);
        if (blob == u"shorter")
            large.blob.chop(1000);
        else if (blob == u"longer")
            large.blob += "more bytes than the manifest allows";
        publish();
        const QString path = m_feed + pathOf(kLarge);
        if (blob == u"fifo" || blob == u"missing")
            QVERIFY(QFile::remove(path));
        if (blob == u"fifo") {
            QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
            m_notCompared << QStringLiteral("feed"); // a snapshot would read the pipe
        }
        if (blob == u"held") {
            writeFile(m_stage, QStringLiteral(".vellumix-stage"), QByteArray());
            writeFile(m_stage + QStringLiteral("/.download"),
                      pathOf(kLarge).mid(7) + QStringLiteral(".part"), large.blob.left(kCut));
        }
        UpdateClientSettings settings = this->settings();
        settings.feed = QUrl::fromLocalFile(m_feed);
        Outcome outcome;
        QVERIFY(fetch(settings, &outcome)); // and not blocked on the pipe
        QCOMPARE(outcome.failure().reason, reason);
        QVERIFY(m_server->log().isEmpty());
        if (reason != R::None)
            return verifyIncompleteStage();
        verifyCompleteStage(outcome);
        QCOMPARE(outcome.bytesTransferred, outcome.check.downloadBytes() - kCut);
    }

    void confirmStartIfProbed()
    {
        const QString work = m_root + QStringLiteral("/.vellumix-update");
        UpdateFailure failure;
        QVERIFY(!vellumix::confirmStartIfProbed({QStringLiteral("app"), QStringLiteral("-v")},
                                                QStringLiteral("2.0.0"), m_root, &failure));
        QVERIFY(failure.ok());
        QVERIFY(!QFileInfo::exists(work));

        // The token exactly as given, and a version that looks like a number: JSON strings both,
        // replacing an earlier file whole, with nothing left beside it.
        const QString token = QStringLiteral("0f1e2d3c4b5a69788796a5b4c3d2e1f0");
        const QStringList arguments{QStringLiteral("app"),
                                    QStringLiteral("--vellumix-update-probe=") + token};
        writeFile(work, QStringLiteral("health.json"), "an earlier confirmation");
        TransactionJournal journal = newTransactionJournal(QStringLiteral("10"), 2, token);
        journal.insert(QStringLiteral("state"), JournalState::starting);
        orThrow(writeTransactionJournal(m_root, journal));
        QVERIFY(vellumix::confirmStartIfProbed(arguments, QStringLiteral("10"), m_root, &failure));
        QVERIFY2(failure.ok(), qPrintable(failure.detail));
        const QByteArray written = readFile(work + QStringLiteral("/health.json"));
        const QJsonObject health = QJsonDocument::fromJson(written).object();
        QCOMPARE(health.value(QStringLiteral("token")), QJsonValue(token));
        QCOMPARE(health.value(QStringLiteral("version")), QJsonValue(QStringLiteral("10")));
        QVERIFY(healthConfirmed(written, token, QStringLiteral("10"))); // as the updater reads it
        QCOMPARE(QDir(work).entryList(QDir::Files | QDir::Hidden),
                 QStringList({QStringLiteral("health.json"), QStringLiteral("transaction.json")}));

        // A work directory that is a link is not written through.
        const QString other = m_dir->filePath(QStringLiteral("other"));
        QVERIFY(QDir().mkpath(other));
        QVERIFY(QFile::rename(work + QStringLiteral("/transaction.json"),
                              other + QStringLiteral("/transaction.json")));
        QVERIFY(QDir(work).removeRecursively());
        QVERIFY(QFile::link(other, work));
        QVERIFY(vellumix::confirmStartIfProbed(arguments, QStringLiteral("10"), m_root, &failure));
        QCOMPARE(failure.reason, R::WorkDirectoryFailed);
        QCOMPARE(QDir(other).entryList(QDir::Files), QStringList{QStringLiteral("transaction.json")});
    }

    // Each request answers on its own object, never from inside the call that made or cancelled
    // it: a request refused as busy cannot be taken for the running one.
    void requestsAnswerOnTheirOwnObjects()
    {
        publish();
        m_server->setFaults(kManifestPath, {Fault().stalling()});
        UpdateClient client(settings());
        UpdateCheck *running = client.check();
        QSignalSpy runningDone(running, &UpdateCheck::finished);
        UpdateCheck *second = client.check();
        UpdateDownload *download = client.download(UpdateInfo());
        QSignalSpy secondDone(second, &UpdateCheck::finished);
        QSignalSpy downloadDone(download, &UpdateDownload::finished);
        QCOMPARE(second->failure().reason, R::Busy);
        QCOMPARE(download->failure().reason, R::Busy);
        QVERIFY(secondDone.isEmpty() && downloadDone.isEmpty()); // not from inside the calls
        QVERIFY(secondDone.wait(kWaitMs));
        QCOMPARE(downloadDone.size(), 1);
        QCOMPARE(running->state(), UpdateOperation::State::Running);
        QVERIFY(runningDone.isEmpty());

        running->cancel();
        QCOMPARE(running->state(), UpdateOperation::State::Failed);
        QCOMPARE(running->failure().reason, R::Cancelled);
        QVERIFY(runningDone.isEmpty()); // not from inside cancel()
        QVERIFY(runningDone.wait(kWaitMs));
        QVERIFY(!client.isBusy());
        QTest::qWait(50);
        QCOMPARE(runningDone.size(), 1);
        // An UpdateInfo that no check gave is no update to download.
        m_server->setFaults(kManifestPath, {});
        QCOMPARE(client.download(UpdateInfo())->failure().reason, R::NotStaged);
    }

    // The client and everything it owns move to another thread together and work there.
    void clientWorksAfterMoveToThread()
    {
        publish();
        QThread thread;
        thread.start();
        auto *client = new UpdateClient(settings());
        client->moveToThread(&thread);
        for (QObject *child : client->findChildren<QObject *>())
            QCOMPARE(child->thread(), &thread);
        UpdateCheck *check = nullptr;
        QMetaObject::invokeMethod(client, [&] { check = client->check(); },
                                  Qt::BlockingQueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(check->isFinished(), kWaitMs);
        QVERIFY2(check->failure().ok(), qPrintable(check->failure().detail));
        QVERIFY(check->update().isAvailable());
        QCOMPARE(check->update().fileCount(), int(m_release.size()));
        QMetaObject::invokeMethod(client, [client] { delete client; }, Qt::BlockingQueuedConnection);
        thread.quit();
        QVERIFY(thread.wait(kWaitMs));
    }

    void retryAfter_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<int>("waitMs");
        QTest::newRow("seconds") << QByteArray(" 3 ") << 3000;
        QTest::newRow("beyond a minute") << QByteArray("120") << 60000;
        QTest::newRow("seconds that overflow a 32-bit product") << QByteArray("2147484") << 60000;
        QTest::newRow("beyond 64 bits") << QByteArray("99999999999999999999") << -1;
        QTest::newRow("negative") << QByteArray("-5") << -1;
        QTest::newRow("a date") << QByteArray("Wed, 21 Oct 2026 07:28:00 GMT") << -1;
    }

    void retryAfter()
    {
        QFETCH(QByteArray, header);
        QFETCH(int, waitMs);
        QCOMPARE(vellumix::retryAfterMs(header), waitMs);
    }

    void handleStartup_data()
    {
        QTest::addColumn<QString>("probe"); // the probe option's token; empty: no option
        QTest::addColumn<QString>("state"); // of the journal; empty: none
        QTest::addColumn<QString>("lock");  // "live", "dead", "new" (no owner yet), "old", none
        QTest::addColumn<StartupAction>("action");
        QTest::addColumn<bool>("recoveryStarted");
        const StartupAction run = StartupAction::Continue;
        const StartupAction quit = StartupAction::Quit;
        const StartupAction confirmed = StartupAction::ContinueConfirmed;
        // The probed new version confirms and runs, although the journal says "starting" and
        // the probing updater holds the lock until it has seen the confirmation.
        const QString token = QStringLiteral("00ff");
        QTest::newRow("probed while starting") << token << JournalState::starting << "live"
                                                << confirmed << false;
        // Only the probing updater knows the token: the option with any other, or while no update
        // starts, is an ordinary start, which finds the unfinished update and hands it on.
        QTest::newRow("probe option, no journal") << token << QString() << "" << run << false;
        QTest::newRow("probe option after an update") << token << JournalState::healthy << ""
                                                      << run << false;
        QTest::newRow("probe option, another token") << QStringLiteral("anything")
                                                     << JournalState::starting << "" << quit
                                                     << true;
        QTest::newRow("plain start") << QString() << QString() << "" << run << false;
        QTest::newRow("after a healthy update") << QString() << JournalState::healthy << "" << run
                                                << false;
        QTest::newRow("interrupted") << QString() << JournalState::installing << "" << quit
                                     << true;
        QTest::newRow("unconfirmed start") << QString() << JournalState::rollbackNeeded << ""
                                           << quit << true;
        QTest::newRow("updater at work") << QString() << JournalState::installing << "live" << quit
                                         << false;
        QTest::newRow("updater just starting") << QString() << JournalState::starting << "new"
                                               << quit << false;
        QTest::newRow("lock of a dead updater") << QString() << JournalState::starting << "dead"
                                                << quit << true;
        // After a restart its id may name any process: what runs there decides, as for the
        // updater itself.
        QTest::newRow("lock naming a live process that is no updater")
            << QString() << JournalState::starting << "other" << quit << true;
        QTest::newRow("ownerless old lock") << QString() << JournalState::starting << "old" << quit
                                            << true;
    }

    void handleStartup()
    {
        QFETCH(QString, probe);
        QFETCH(QString, state);
        QFETCH(QString, lock);
        QFETCH(StartupAction, action);
        QFETCH(bool, recoveryStarted);
        if (!state.isEmpty()) {
            TransactionJournal journal =
                newTransactionJournal(QStringLiteral("2.0.0"), 2, QStringLiteral("00ff"));
            journal.insert(QStringLiteral("state"), state);
            orThrow(writeTransactionJournal(m_root, journal));
        }
        const QString work = m_root + QStringLiteral("/.vellumix-update");
        const QString lockPath = work + QStringLiteral("/installer.lock");
        QVERIFY(QDir().mkpath(work));
        // A lock counts as the updater's only while the process it names runs the updater: here
        // a program that waits, under the updater's name.
        QProcess updater;
        if (lock == u"live") {
            const QString program = m_dir->filePath(QStringLiteral("VellumixUpdater.exe"));
            QVERIFY(QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sleep")), program));
            updater.start(program, {QStringLiteral("60")});
            QVERIFY(updater.waitForStarted());
            writeFile(work, QStringLiteral("installer.lock"),
                      QByteArray::number(updater.processId()) + "\nVellumixUpdater.exe\n"
                          + QSysInfo::machineHostName().toUtf8() + '\n');
        } else if (lock == u"dead") {
            QProcess ended;
            ended.start(QStringLiteral("true"), QStringList());
            QVERIFY(ended.waitForStarted());
            const qint64 pid = ended.processId();
            QVERIFY(ended.waitForFinished());
            writeFile(work, QStringLiteral("installer.lock"),
                      QByteArray::number(pid) + "\nVellumixUpdater\n"
                          + QSysInfo::machineHostName().toUtf8() + '\n');
        } else if (lock == u"other") {
            writeFile(work, QStringLiteral("installer.lock"),
                      QByteArray::number(QCoreApplication::applicationPid()) + "\nVellumixUpdater\n"
                          + QSysInfo::machineHostName().toUtf8() + '\n');
        } else if (lock == u"new" || lock == u"old") {
            writeFile(work, QStringLiteral("installer.lock"), QByteArray());
            if (lock == u"old") {
                QFile file(lockPath);
                QVERIFY(file.open(QIODevice::ReadWrite));
                QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-5),
                                         QFileDevice::FileModificationTime));
            }
        }
        QStringList arguments{QStringLiteral("app")};
        if (!probe.isEmpty())
            arguments << QStringLiteral("--vellumix-update-probe=") + probe;
        // The root holds no updater: a recovery that is started fails to start, which shows it.
        const StartupDecision decision =
            vellumix::handleStartup(arguments, QStringLiteral("2.0.0"), m_root);
        QCOMPARE(decision.action, action);
        QCOMPARE(decision.failure.reason, recoveryStarted ? R::UpdaterNotStarted : R::None);
        QCOMPARE(QFileInfo::exists(work + QStringLiteral("/health.json")),
                 action == StartupAction::ContinueConfirmed);
    }

    // An installation's place in a rollout over 10,000 random ids: the share that is in matches
    // the percentage, an installation in at 10 % is in at 50 %, and the places of two releases
    // are independent; the id is kept per program root, and a report names it only by a hash.
    void rolloutPlacesInstallations()
    {
        const QString feed = QStringLiteral("https://updates.example.com/feed/");
        int inAt10 = 0, inAt50 = 0, inAt10ThenOut = 0, inBothReleases = 0;
        for (int i = 0; i < 10000; ++i) {
            const QString id = QString::number(QRandomGenerator::global()->generate64(), 16);
            const double first = rolloutPosition(id, feed, QStringLiteral("stable"), 7);
            const double second = rolloutPosition(id, feed, QStringLiteral("stable"), 8);
            QVERIFY(first >= 0.0 && first < 100.0);
            inAt10 += insideRollout(first, 10);
            inAt50 += insideRollout(first, 50);
            inAt10ThenOut += insideRollout(first, 10) && !insideRollout(first, 50);
            inBothReleases += insideRollout(first, 10) && insideRollout(second, 10);
            QVERIFY(!insideRollout(first, 0) && insideRollout(first, 100));
        }
        QVERIFY2(qAbs(inAt10 - 1000) < 120 && qAbs(inAt50 - 5000) < 250,
                 qPrintable(QStringLiteral("%1 in at 10 %, %2 at 50 %").arg(inAt10).arg(inAt50)));
        QCOMPARE(inAt10ThenOut, 0);
        // Independent releases: about 10 % of 10 % are in both.
        QVERIFY2(qAbs(inBothReleases - 100) < 50, qPrintable(QString::number(inBothReleases)));

        QTemporaryDir data;
        QStandardPaths::setTestModeEnabled(true);
        const QString rootA = data.filePath(QStringLiteral("a")), rootB = data.filePath(QStringLiteral("b"));
        const QString idA = installationId(rootA);
        QVERIFY(QRegularExpression(QStringLiteral("\\A[0-9a-f]{32}\\z")).match(idA).hasMatch());
        QCOMPARE(installationId(rootA), idA);
        QVERIFY(installationId(rootB) != idA);
        QCOMPARE(reportedInstallation(idA).size(), 32);
        QVERIFY(reportedInstallation(idA) != idA.left(32));
        // Each program root has its own default stage, as it has its own id.
        const QString stable = QStringLiteral("stable");
        QVERIFY(defaultStagingDirectory(stable, rootA) != defaultStagingDirectory(stable, rootB));
        QCOMPARE(defaultStagingDirectory(stable, rootA),
                 defaultStagingDirectory(stable, rootA + QStringLiteral("/")));
        QStandardPaths::setTestModeEnabled(false);
    }

    /*
        What the client learns of an update it handed to the updater, with a stand-in for the
        updater that leaves the journal, health file and exit code of each ending. The outcome is
        told once; a release that failed is not taken again (check, download, the stage's own
        check) unless a person asks for it; an installed release's stage is removed.
    */
    void updateOutcome_data()
    {
        QTest::addColumn<QString>("journal"); // the state the stand-in leaves; empty: none
        QTest::addColumn<QString>("health");  // the version it confirms with; empty: nothing
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("waited");     // the client waited for it (vellumix-fetch --wait)
        QTest::addColumn<bool>("waitNote");   // it leaves the note of a wait for the application
                                              // that ran out
        QTest::addColumn<int>("handOvers");   // the release is handed over so many times in a row
        QTest::addColumn<UpdateResult>("result");
        QTest::addColumn<UpdateFailedBecause>("because");
        using B = UpdateFailedBecause;
        const UpdateResult installed = UpdateResult::Installed;
        const UpdateResult rolledBack = UpdateResult::RolledBack;
        const UpdateResult recovered = UpdateResult::Recovered;
        const UpdateResult notInstalled = UpdateResult::NotInstalled;
        const UpdateResult none = UpdateResult::None;
        // journal, health, exit code, waited, note, hand-overs, result, reason
        QTest::newRow("installed, waited")
            << JournalState::healthy << "2.0.0" << 0 << true << false << 1 << installed << B::Nothing;
        QTest::newRow("installed")
            << JournalState::healthy << "2.0.0" << 0 << false << false << 1 << installed << B::Nothing;
        QTest::newRow("new version ended")
            << JournalState::rolledBack << "" << 4 << true << false << 1 << rolledBack
            << B::NewVersionEnded;
        QTest::newRow("install failed")
            << JournalState::rolledBack << "" << 1 << true << false << 1 << rolledBack
            << B::InstallFailed;
        QTest::newRow("rolled back, not waited")
            << JournalState::rolledBack << "" << 4 << false << false << 1 << rolledBack
            << B::NotConfirmed;
        QTest::newRow("version text mismatch")
            << JournalState::rolledBack << "2.0" << 4 << false << false << 1 << rolledBack
            << B::VersionMismatch;
        QTest::newRow("refused, waited")
            << "" << "" << 1 << true << false << 1 << notInstalled << B::NotInstalled;
        // Not waited for, the updater's word is not seen: a refusal and a transient ending look
        // alike, and the release is offered again, up to three hand-overs in a row.
        QTest::newRow("not taken, unseen, once")
            << "" << "" << 1 << false << false << 1 << none << B::Nothing;
        QTest::newRow("not taken, unseen, 3 times")
            << "" << "" << 1 << false << false << 3 << notInstalled << B::NotInstalled;
        // The updater's wait for the application ran out: transient, seen or not.
        QTest::newRow("application did not quit")
            << "" << "" << 1 << false << true << 3 << none << B::Nothing;
        QTest::newRow("application did not quit, waited")
            << "" << "" << 1 << true << true << 1 << none << B::Nothing;
        // Another updater held the lock: this one did not run, and the release stays offered.
        QTest::newRow("lock held") << "" << "" << 3 << true << false << 1 << none << B::Nothing;
        QTest::newRow("lock held, unseen") << "" << "" << 3 << false << false << 1 << none << B::Nothing;
        QTest::newRow("interrupted, recovered")
            << JournalState::installing << "" << 1 << false << false << 1 << recovered
            << B::Interrupted;
        QTest::newRow("unconfirmed, recovered")
            << JournalState::rollbackNeeded << "" << 5 << false << false << 1 << recovered
            << B::Unconfirmed;
    }

    void updateOutcome()
    {
        QFETCH(QString, journal);
        QFETCH(QString, health);
        QFETCH(int, exitCode);
        QFETCH(bool, waited);
        QFETCH(bool, waitNote);
        QFETCH(int, handOvers);
        QFETCH(UpdateResult, result);
        QFETCH(UpdateFailedBecause, because);
        publish();
        UpdateClientSettings settings = this->settings();
        settings.feed = QUrl::fromLocalFile(m_feed);
        Outcome fetched;
        QVERIFY(fetch(settings, &fetched));
        QVERIFY2(fetched.failure().ok(), qPrintable(fetched.failure().detail));

        const QString work = m_root + QStringLiteral("/.vellumix-update");
        const QString token = QStringLiteral("0a1b2c3d-0000-4000-8000-000000000001");
        QString script;
        if (!journal.isEmpty())
            script += QStringLiteral("printf '{\"state\":\"%1\",\"version\":\"2.0.0\","
                                     "\"sequence\":2,\"token\":\"%2\",\"entries\":[]}' > "
                                     "'%3/transaction.json'\n").arg(journal, token, work);
        if (!health.isEmpty())
            script += QStringLiteral("printf '{\"token\":\"%1\",\"version\":\"%2\"}' > "
                                     "'%3/health.json'\n").arg(token, health, work);
        if (journal == JournalState::healthy)
            script += QStringLiteral("printf '{\"sequence\":2,\"version\":\"2.0.0\"}' > "
                                     "'%1/installed.json'\n").arg(work);
        if (waitNote)
            script += QStringLiteral("printf '{\"stage\":\"%1\",\"time\":\"%s\"}' "
                                     "\"$(date -u +%Y-%m-%dT%H:%M:%S.999Z)\" > "
                                     "'%2/application-wait.json'\n").arg(m_stage, work);
        script += QStringLiteral("touch '%1/ran'; exit %2\n").arg(m_dir->path()).arg(exitCode);
        UpdaterCommand updater = applyCommand(m_root, m_stage, 0, true);
        updater.program = QStringLiteral("/bin/sh");
        updater.arguments = QStringList{QStringLiteral("-c"), script};
        const QStringList arguments{QStringLiteral("app")};
        for (int handOver = 1; handOver <= handOvers; ++handOver) {
            QFile::remove(m_dir->filePath(QStringLiteral("ran")));
            if (waited) {
                UpdateFailure failure;
                QCOMPARE(runUpdater(updater, m_root, &failure), exitCode);
                QVERIFY2(failure.ok(), qPrintable(failure.detail));
            } else {
                QVERIFY(launchUpdater(updater, m_root).ok());
                QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_dir->filePath(QStringLiteral("ran"))),
                                         kWaitMs);
            }
            if (handOver == handOvers)
                break;
            // Not the last: the start tells nothing and the release stays offered.
            QVERIFY(!vellumix::handleStartup(arguments, QStringLiteral("1.0.0"), m_root).outcome.isValid());
            QVERIFY(vellumix::failedReleases(m_root).isEmpty());
        }
        if (result == UpdateResult::Recovered) {
            // The next start hands the update to the recovery (this root has no updater to
            // start), which rolls it back.
            QCOMPARE(vellumix::handleStartup(arguments, QStringLiteral("1.0.0"), m_root).action,
                     StartupAction::Quit);
            QCOMPARE(vellumix::lastUpdateOutcome(m_root).result, UpdateResult::None);
            QByteArray rolledBack = readFile(work + QStringLiteral("/transaction.json"));
            rolledBack.replace(journal.toUtf8(), JournalState::rolledBack.toUtf8());
            writeFile(work, QStringLiteral("transaction.json"), rolledBack);
        }

        const StartupDecision first =
            vellumix::handleStartup(arguments, QStringLiteral("1.0.0"), m_root);
        QCOMPARE(first.action, StartupAction::Continue);
        QCOMPARE(first.outcome.result, result);
        QCOMPARE(first.outcome.because, because);
        if (result != UpdateResult::None) {
            QCOMPARE(first.outcome.sequence, 2);
            QCOMPARE(first.outcome.version, QStringLiteral("2.0.0"));
            QCOMPARE(first.outcome.channel, QStringLiteral("stable"));
            QCOMPARE(first.outcome.feed, QUrl::fromLocalFile(m_feed).toString());
            QVERIFY(!first.outcome.userText().isEmpty());
        }
        // Told once; read at any time.
        QVERIFY(!vellumix::handleStartup(arguments, QStringLiteral("1.0.0"), m_root).outcome.isValid());
        QCOMPARE(vellumix::lastUpdateOutcome(m_root).result, result);
        const bool failed = first.outcome.failed();
        QCOMPARE(vellumix::failedReleases(m_root).size(), failed ? 1 : 0);
        // The stage of an installed release is gone; a failed one keeps it for "try again".
        QCOMPARE(QFileInfo::exists(m_stage), result != UpdateResult::Installed);

        UpdateClient client(settings);
        UpdateCheck *check = client.check();
        QSignalSpy checked(check, &UpdateCheck::finished);
        QVERIFY(checked.wait(kWaitMs));
        const UpdateInfo update = check->update();
        QCOMPARE(update.hasFailedHere(), failed);
        QCOMPARE(update.isAvailable(), !failed && result != UpdateResult::Installed);
        if (!failed)
            return;
        QCOMPARE(update.failedHere().because, because);
        QCOMPARE(client.download(update)->failure().reason, R::FailedHere);
        QCOMPARE(vellumix::verifyStagedUpdate(m_root, m_stage, QStringLiteral("stable"), 1).reason,
                 R::FailedHere);
        QVERIFY(vellumix::verifyStagedUpdate(m_root, m_stage, QStringLiteral("stable"), 1,
                                             FailedReleasePolicy::Retry).ok());
        UpdateDownload *retried = client.download(update, FailedReleasePolicy::Retry);
        QSignalSpy downloaded(retried, &UpdateDownload::finished);
        QVERIFY(downloaded.wait(kWaitMs));
        QVERIFY2(retried->failure().ok(), qPrintable(retried->failure().detail));
    }

    void recoveryPending_data()
    {
        QTest::addColumn<QString>("state"); // empty: no journal
        QTest::addColumn<bool>("pending");
        QTest::newRow("installing") << JournalState::installing << true;
        QTest::newRow("starting") << JournalState::starting << true;
        QTest::newRow("rollback-needed") << JournalState::rollbackNeeded << true;
        QTest::newRow("healthy") << JournalState::healthy << false;
        QTest::newRow("rolled back") << JournalState::rolledBack << false;
        QTest::newRow("no journal") << QString() << false;
    }

    void recoveryPending()
    {
        QFETCH(QString, state);
        QFETCH(bool, pending);
        if (!state.isEmpty()) {
            TransactionJournal journal =
                newTransactionJournal(QStringLiteral("2.0.0"), 2, QStringLiteral("00ff"));
            appendJournalEntry(journal, QStringLiteral("Vellumix.exe"), true);
            journal.insert(QStringLiteral("state"), state);
            orThrow(writeTransactionJournal(m_root, journal));
        }
        QCOMPARE(vellumix::recoveryPending(m_root), pending);
    }

    /*
        The release in place: the record, or the release the journal names as soon as the new
        version has confirmed its start (the record follows a moment later), whichever is newer.
    */
    void installedRelease_data()
    {
        QTest::addColumn<QByteArray>("record"); // empty: none
        QTest::addColumn<QString>("journal");   // the state of a journal of 9 "2.1"; empty: none
        QTest::addColumn<bool>("confirmed");    // the health file confirms that journal's start
        QTest::addColumn<int>("sequence");      // 0: no release
        const QByteArray seven = R"({"sequence": 7, "version": "2.1"})";
        const QString none;
        QTest::newRow("record") << seven << none << false << 7;
        QTest::newRow("none") << QByteArray() << none << false << 0;
        QTest::newRow("damaged") << QByteArray(R"({"sequence": 7, )") << none << false << 0;
        QTest::newRow("sequence 0") << QByteArray(R"({"sequence": 0, "version": "2.1"})") << none
                                    << false << 0;
        QTest::newRow("sequence as text") << QByteArray(R"({"sequence": "7"})") << none << false << 0;
        QTest::newRow("confirmed, record not yet written")
            << seven << JournalState::starting << true << 9;
        QTest::newRow("confirmed, no record") << QByteArray() << JournalState::starting << true << 9;
        QTest::newRow("healthy, record not yet written") << seven << JournalState::healthy << false
                                                         << 9;
        QTest::newRow("starting, unconfirmed") << seven << JournalState::starting << false << 7;
        QTest::newRow("rolled back") << seven << JournalState::rolledBack << true << 7;
    }

    void installedRelease()
    {
        QFETCH(QByteArray, record);
        QFETCH(QString, journal);
        QFETCH(bool, confirmed);
        QFETCH(int, sequence);
        if (!record.isEmpty())
            writeFile(m_root, QStringLiteral(".vellumix-update/installed.json"), record);
        const QString token = QStringLiteral("0a1b2c3d-0000-4000-8000-000000000009");
        if (!journal.isEmpty()) {
            TransactionJournal written = newTransactionJournal(QStringLiteral("2.1"), 9, token);
            setJournalState(written, journal);
            orThrow(writeTransactionJournal(m_root, written));
        }
        if (confirmed)
            writeFile(m_root, QStringLiteral(".vellumix-update/health.json"),
                      HealthRecord(token, QStringLiteral("2.1")).toJson());
        const std::optional<InstalledRelease> installed = vellumix::installedRelease(m_root);
        QCOMPARE(installed ? installed->sequence : 0, sequence);
        if (installed)
            QCOMPARE(installed->version, QStringLiteral("2.1"));
    }

    // Every user text of the client, one row each: English without a translator, and with the
    // zh_CN translation the Chinese texts the client has always shown, as the .ts holds them.
    void userTexts_data()
    {
        QTest::addColumn<UpdateFailure>("failure"); // ok: the row is the outcome's
        QTest::addColumn<UpdateOutcome>("outcome");
        QTest::addColumn<QString>("chinese");
        const QHash<QString, QString> reasons{
            {u"cancelled"_s, u"更新已取消"_s},
            {u"busy"_s, u"另一项更新操作正在进行，请稍后再试"_s},
            {u"invalid-feed"_s, u"更新地址无效"_s},
            {u"feed-unreachable"_s, u"无法连接更新服务器，请检查网络后重试"_s},
            {u"server-refused"_s, u"更新服务器拒绝了请求，请稍后重试或联系管理员"_s},
            {u"server-unavailable"_s, u"更新服务器暂时无法使用，请稍后重试"_s},
            {u"secure-connection-failed"_s, u"无法与更新服务器建立安全连接，已停止更新"_s},
            {u"manifest-rejected"_s, u"更新信息未通过验证，已停止更新"_s},
            {u"manifest-expired"_s, u"更新信息已过期，已停止更新，请稍后重试"_s},
            {u"download-invalid"_s, u"下载的更新文件校验失败，已停止更新"_s},
            {u"staging-unsafe"_s, u"更新暂存目录不安全，已停止更新"_s},
            {u"staging-write-failed"_s, u"无法写入更新暂存目录，请检查磁盘空间和权限"_s},
            {u"not-staged"_s, u"更新尚未下载完成"_s},
            {u"not-newer"_s, u"待安装的更新不比当前版本新，已停止更新"_s},
            {u"work-directory-failed"_s, u"无法创建更新目录"_s},
            {u"updater-not-started"_s, u"无法启动更新程序"_s},
            {u"failed-here"_s, u"此更新曾在本机安装失败，除非选择重试，不会再次安装"_s},
        };
        // Every reason there is: one without a row here fails for want of its Chinese.
        for (int reason = 1; reason <= int(R::FailedHere); ++reason) {
            const UpdateFailure failure{R(reason), QString()};
            QTest::addRow("%s", qPrintable(failure.reasonName()))
                << failure << UpdateOutcome() << reasons.value(failure.reasonName());
        }
        using B = UpdateFailedBecause;
        const QList<std::tuple<UpdateResult, B, QString>> outcomes{
            {UpdateResult::Installed, B::Nothing, u"已更新到版本 2.1.0"_s},
            {UpdateResult::RolledBack, B::NewVersionEnded, u"版本 2.1.0 未能正常启动，已恢复上一版本"_s},
            {UpdateResult::RolledBack, B::VersionMismatch,
             u"版本 2.1.0 启动时报告的版本号与更新不符，已恢复上一版本"_s},
            {UpdateResult::RolledBack, B::NotConfirmed, u"版本 2.1.0 未能确认正常启动，已恢复上一版本"_s},
            {UpdateResult::RolledBack, B::InstallFailed, u"版本 2.1.0 未能安装，已恢复上一版本"_s},
            {UpdateResult::Recovered, B::Interrupted, u"更新到版本 2.1.0 时被中断，已恢复上一版本"_s},
            {UpdateResult::Recovered, B::Unconfirmed,
             u"版本 2.1.0 未在规定时间内确认启动，已恢复上一版本"_s},
            {UpdateResult::NotInstalled, B::NotInstalled, u"版本 2.1.0 未能安装，程序未作更改"_s},
        };
        for (const auto &[result, because, chinese] : outcomes) {
            UpdateOutcome outcome;
            outcome.result = result;
            outcome.because = because;
            outcome.version = u"2.1.0"_s;
            QTest::addRow("%s %s", qPrintable(outcome.resultName()), qPrintable(outcome.reasonName()))
                << UpdateFailure() << outcome << chinese;
        }
    }

    void userTexts()
    {
        QFETCH(UpdateFailure, failure);
        QFETCH(UpdateOutcome, outcome);
        QFETCH(QString, chinese);
        const auto text = [&] { return failure.ok() ? outcome.userText() : failure.userText(); };

        const QString english = text();
        QVERIFY(!english.isEmpty());
        QVERIFY2(std::all_of(english.begin(), english.end(), [](QChar c) { return c.unicode() < 0x80; }),
                 qPrintable(english));
        // The .ts holds the source text (with %1 for the version) and the Chinese.
        const QHash<QString, QString> translations = zhCnTranslations();
        const auto withVersion = [](const QString &s) {
            return s.contains(u"%1"_s) ? s.arg(u"2.1.0"_s) : s;
        };
        const auto source = std::find_if(translations.keyBegin(), translations.keyEnd(),
                                         [&](const QString &s) { return withVersion(s) == english; });
        QVERIFY2(source != translations.keyEnd(), qPrintable(english));
        QCOMPARE(withVersion(translations.value(*source)), chinese);

        QTranslator translator;
        QVERIFY(!vellumix::loadTranslation(translator, QLocale(QLocale::English, QLocale::UnitedStates)));
        QVERIFY(vellumix::loadTranslation(translator, QLocale(QLocale::Chinese, QLocale::China)));
        QVERIFY(QCoreApplication::installTranslator(&translator));
        const QString translated = text();
        QCoreApplication::removeTranslator(&translator);
        QCOMPARE(translated, chinese);
        QCOMPARE(text(), english);
        QCOMPARE(vellumix::translationLanguages(), QStringList{u"zh_CN"_s});
    }

    // A failure of the shared code as the tools word it: the English meaning, the file's name
    // where the updater's text has one, then the updater's own text; and the updater's own text,
    // one of messages.h for every code.
    void coreErrorsInEnglish_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected"); // empty: the meaning, whatever it is
        QTest::newRow("signature") << int(CoreError::SignatureRejected) << QString()
                                   << u"the update's signature does not verify (\"更新签名验证失败，已停止更新\")"_s;
        QTest::newRow("file name") << int(CoreError::CannotRead) << u"/tmp/stage/manifest.json"_s
                                   << u"cannot read the file manifest.json (\"无法读取文件：manifest.json\")"_s;
        QTest::newRow("a path the text does not name") << int(CoreError::LinkBelowBase) << u"/tmp/x/link"_s
                                                       << u"the update directory must not contain a link or junction "
                                                          u"(\"更新目录不能含链接或目录联接\")"_s;
        for (int code = CoreError::None + 1; code <= CoreError::JournalDamaged; ++code)
            QTest::addRow("code %d", code) << code << u"/tmp/f"_s << QString();
    }

    void coreErrorsInEnglish()
    {
        QFETCH(int, code);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        const CoreError error{CoreError::Code(code), path, {}};
        const QString english = error.describe();
        if (!expected.isEmpty()) {
            QCOMPARE(english, expected);
            return;
        }
        // The updater's text is one of its own, as messages.h writes it.
        QFile messages(QStringLiteral(VELLUMIX_MESSAGES_H));
        QVERIFY(messages.open(QIODevice::ReadOnly));
        const QString text = error.updaterText();
        const QString base = code == CoreError::CannotRead ? text.chopped(1) : text; // "f"
        QVERIFY2(QString::fromUtf8(messages.readAll()).contains(u"u\""_s + base + u'"'), qPrintable(text));
        QVERIFY2(english.endsWith(u" (\""_s + text + u"\")"_s), qPrintable(english));
        const QString meaning = english.left(english.size() - text.size() - 4);
        QVERIFY2(!meaning.isEmpty()
                     && std::all_of(meaning.begin(), meaning.end(), [](QChar c) { return c.unicode() < 0x80; }),
                 qPrintable(english));
        QVERIFY(CoreError{}.describe().isEmpty() && CoreError{}.updaterText().isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_Client)
#include "tst_client.moc"
