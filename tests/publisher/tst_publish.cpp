// vellumix-publish: key files, staging a release, checking a stage, publishing into a feed and
// pruning it, through the program and through its library; the feed served by nginx.
#include "deltas.h"
#include "feed.h"
#include "installer.h"
#include "feedserver.h"
#include "manifest.h"
#include "rollout.h"
#include "rolloutstatus.h"
#include "signing.h"
#include "stage.h"
#include "testsupport.h"
#include "verify.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QSysInfo>
#include <QtEndian>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include <zlib.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vellumix;
using namespace vellumix::publish;
using testsupport::failureOf;
using testsupport::kNoFailure;
using testsupport::writeFile;

using Files = QMap<QString, QByteArray>;

namespace {

const QString kProgram = QStringLiteral(VELLUMIX_PUBLISH_PROGRAM);

struct Run
{
    int exitCode = -1;
    QString output; // standard output and error together
};

Run runTool(const QStringList &arguments, int timeoutMs = 600000)
{
    QByteArray output;
    Run run;
    run.exitCode = testsupport::runProgram(kProgram, arguments, &output, timeoutMs);
    run.output = QString::fromUtf8(output);
    return run;
}

// The tool run with its standard output apart from its standard error (JSON goes to the one,
// messages to the other), `input` on its standard input.
struct RunApart
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
};

RunApart runToolApart(const QStringList &arguments, const QByteArray &input = QByteArray(),
                      int timeoutMs = 600000)
{
    QProcess process;
    process.start(kProgram, arguments);
    RunApart run;
    if (!process.waitForStarted())
        return run;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return run;
}

// The time of a log line `seconds` from now, in whole seconds (a step counts only the reports
// logged after the second it was signed in).
QDateTime secondsFromNow(int seconds)
{
    return QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() + seconds).toUTC();
}

// One line of nginx's "combined" access log: `report` sent from `address` at `time`.
QString combinedLine(const protocol::OutcomeReport &report, const QString &address = QStringLiteral("192.0.2.1"),
                     const QDateTime &time = secondsFromNow(2))
{
    const QUrl url = protocol::outcomeReportUrl(QUrl(QStringLiteral("https://updates.example.com/r")), report);
    return QStringLiteral("%1 - - [%2] \"GET %3 HTTP/1.1\" 204 0 \"-\" \"Vellumix\"")
        .arg(address, QLocale::c().toString(time.toUTC(), QStringLiteral("dd/MMM/yyyy:HH:mm:ss +0000")),
             url.toString(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::FullyEncoded));
}

// The installation id of number `n`.
QString installationNumber(int n)
{
    return QStringLiteral("%1").arg(n, 32, 16, QLatin1Char('0'));
}

// `bytes` as one gzip member, as gzip and logrotate write a rotated log.
QByteArray gzipped(const QByteArray &bytes)
{
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray packed(int(deflateBound(&stream, uLong(bytes.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.constData()));
    stream.avail_in = uInt(bytes.size());
    stream.next_out = reinterpret_cast<Bytef *>(packed.data());
    stream.avail_out = uInt(packed.size());
    const int result = deflate(&stream, Z_FINISH);
    packed.resize(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return result == Z_STREAM_END ? packed : QByteArray();
}

// A release folder with subdirectories, non-ASCII names, an empty file and a file of several
// read chunks.
QMap<QString, QByteArray> sampleRelease()
{
    QByteArray large(3 * 1024 * 1024 + 17, '\0');
    for (qsizetype i = 0; i < large.size(); ++i)
        large[i] = char((i * 2654435761u) >> 13);
    return {
        {QStringLiteral("Vellumix.exe"), "main program 2.0"},
        {QStringLiteral("VellumixUpdater.exe"), "updater 2.0"},
        {QStringLiteral("plugins/platforms/qwindows.dll"), "platform plug-in"},
        {QStringLiteral(u"资源/更新说明.txt"), QStringLiteral(u"新版本").toUtf8()},
        {QStringLiteral(u"données/Ünïcode ñame.bin"), large},
        {QStringLiteral("empty.dat"), QByteArray()},
    };
}

Files requiredPrograms()
{
    return {{QStringLiteral("Vellumix.exe"), "main"}, {QStringLiteral("VellumixUpdater.exe"), "updater"}};
}

void writeRelease(const QString &dir, const QMap<QString, QByteArray> &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        writeFile(dir, it.key(), it.value());
}

// Every name below `dir`, without reading any file (a release may hold pipes or huge sparse files).
QStringList namesBelow(const QString &dir)
{
    QStringList names;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        names << it.next();
    names.sort();
    return names;
}

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

UpdateManifest manifestOf(const QString &stage)
{
    return orThrow(loadUpdateManifest(testsupport::readFile(stage + QStringLiteral("/manifest.json"))));
}

const ManifestFile &entryOf(const UpdateManifest &manifest, const QString &path)
{
    for (const ManifestFile &file : manifest.files) {
        if (file.path == path)
            return file;
    }
    qFatal("no %s in the manifest", qPrintable(path));
}

QString blobPath(const QString &feed, const ManifestFile &file)
{
    return feed + QStringLiteral("/blobs/") + QString::fromLatin1(file.packedSha256);
}

QJsonObject payloadObjectOf(const QString &stage)
{
    return QJsonDocument::fromJson(payloadBytesOf(manifestOf(stage))).object();
}

// The stage's payload changed by `change` and signed again with the development key.
void resign(const QString &stage, const std::function<void(QJsonObject &)> &change)
{
    QJsonObject payload = payloadObjectOf(stage);
    change(payload);
    writeFile(stage, QStringLiteral("manifest.json"),
              testsupport::signedEnvelope(QJsonDocument(payload).toJson(QJsonDocument::Compact)));
}

// The names a feed must hold under blobs/ for these stages: one per distinct packed digest of
// their files and deltas.
QStringList blobNamesOf(const QStringList &stages)
{
    QStringList names;
    for (const QString &stage : stages) {
        const UpdateManifest manifest = manifestOf(stage);
        for (const ManifestFile &file : manifest.files)
            names << QString::fromLatin1(file.packedSha256);
        for (const DeltaEntry &delta : readReleaseExtras(manifest).deltas)
            names << QString::fromLatin1(delta.packedSha256);
    }
    names.removeDuplicates();
    names.sort();
    return names;
}

PublishOptions publishing(const QString &stage, const QString &feed,
                          const QString &channel = QStringLiteral("stable"))
{
    PublishOptions options;
    options.stageDir = stage;
    options.feedDir = feed;
    options.channel = channel;
    return options;
}

QString channelManifest(const QString &feed, const QString &channel = QStringLiteral("stable"))
{
    return feed + u'/' + channel + QStringLiteral("/manifest.json");
}

// One response of the feed server, read with Qt's own HTTP client.
struct Fetched
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    QByteArray contentType;
    QByteArray cacheControl;
    QByteArray contentRange;
    bool encoded = false; // a Content-Encoding came with it
};

Fetched fetch(QNetworkAccessManager &manager, const QString &url, const QSslConfiguration &tls,
              const QByteArray &range = QByteArray())
{
    QNetworkRequest request{QUrl(url)};
    request.setSslConfiguration(tls);
    if (!range.isEmpty())
        request.setRawHeader("Range", range);
    const std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    Fetched fetched;
    fetched.error = reply->isFinished() ? reply->error() : QNetworkReply::TimeoutError;
    fetched.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    fetched.body = reply->readAll();
    fetched.contentType = reply->rawHeader("Content-Type");
    fetched.cacheControl = reply->rawHeader("Cache-Control");
    fetched.contentRange = reply->rawHeader("Content-Range");
    fetched.encoded = reply->hasRawHeader("Content-Encoding");
    return fetched;
}

} // namespace

class PublishTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

    QString path(const QString &name) const { return m_tmp.filePath(name); }

    QStringList stageArguments(const QString &release, const QString &out,
                               const QString &key = testsupport::devSigningKey()) const
    {
        return {QStringLiteral("stage"),  QStringLiteral("--release"), release,
                QStringLiteral("--version"), QStringLiteral("2.0.0-rc+1"),
                QStringLiteral("--sequence"), QStringLiteral("12"),
                QStringLiteral("--key"), key, QStringLiteral("--out"), out,
                QStringLiteral("--notes"), QStringLiteral(u"修复与改进")};
    }

    StageOptions optionsFor(const QString &release, const QString &out) const
    {
        StageOptions options;
        options.releaseDir = release;
        options.version = QStringLiteral("3.1");
        options.sequence = 3;
        options.keyPath = testsupport::devSigningKey();
        options.outDir = out;
        return options;
    }

    // Stages `files` as release `sequence` (against an installed folder when given, with the
    // options `adjust` sets) and returns the stage; the release folder is beside it, named
    // "<name>-release".
    QString makeStage(const QString &dir, const QString &name, const Files &files, int sequence,
                      const QString &installed = QString(),
                      const std::function<void(StageOptions &)> &adjust = {},
                      StageSummary *summary = nullptr) const
    {
        const QString release = dir + u'/' + name + QStringLiteral("-release");
        writeRelease(release, files);
        StageOptions options = optionsFor(release, dir + u'/' + name);
        options.sequence = sequence;
        options.version = QStringLiteral("%1.0").arg(sequence);
        options.installedDir = installed;
        if (adjust)
            adjust(options);
        const StageSummary made = stageRelease(options);
        if (summary)
            *summary = made;
        return options.outDir;
    }

    static std::function<void(StageOptions &)> inChannel(const QString &channel)
    {
        return [channel](StageOptions &options) { options.channel = channel; };
    }

private slots:
    void stageVerifyAndLoadRoundTrip()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        const QMap<QString, QByteArray> files = sampleRelease();
        const QString release = path(QStringLiteral("release"));
        const QString stage = path(QStringLiteral("round/stage"));
        writeRelease(release, files);
        QDir().mkpath(path(QStringLiteral("round")));

        const Run staged = runTool(stageArguments(release, stage));
        QVERIFY2(staged.exitCode == 0, qPrintable(staged.output));
        QCOMPARE(entriesOf(path(QStringLiteral("round"))), QStringList{QStringLiteral("stage")});

        const Run verified = runTool({QStringLiteral("verify"), stage});
        QVERIFY2(verified.exitCode == 0, qPrintable(verified.output));
        QVERIFY(verified.output.contains(QStringLiteral("version:  2.0.0-rc+1")));
        QVERIFY(verified.output.contains(QStringLiteral("sequence: 12")));
        QVERIFY(verified.output.contains(QStringLiteral("files:    6")));
        qint64 total = 0;
        for (const QByteArray &content : files)
            total += content.size();
        QVERIFY(verified.output.contains(QStringLiteral("size:     %1 bytes")
                                             .arg(QLocale(QLocale::English).toString(total))));

        // The updater's own loader accepts it and finds every file with its digest and size.
        const QByteArray envelope = testsupport::readFile(stage + QStringLiteral("/manifest.json"));
        const UpdateManifest manifest = orThrow(loadUpdateManifest(envelope));
        QCOMPARE(manifest.version, QStringLiteral("2.0.0-rc+1"));
        QCOMPARE(manifest.sequence, 12);
        QCOMPARE(manifest.notes, QStringLiteral(u"修复与改进"));
        QCOMPARE(manifest.files.size(), files.size());
        QCOMPARE(payloadObjectOf(stage).value(QStringLiteral("channel")), QJsonValue(QStringLiteral("stable")));
        QVERIFY(!payloadObjectOf(stage).contains(QStringLiteral("expires"))); // never expires
        for (const ManifestFile &file : manifest.files) {
            QVERIFY2(files.contains(file.path), qPrintable(file.path));
            QCOMPARE(file.sha256, testsupport::sha256Hex(files.value(file.path)).toLatin1());
            QCOMPARE(file.size, qint64(files.value(file.path).size()));
            QVERIFY(file.packedSize >= 4);
            QCOMPARE(file.packedSize, QFileInfo(stage + QStringLiteral("/packed/") + file.path).size());
        }
        QCOMPARE(testsupport::snapshotTree(stage + QStringLiteral("/files")),
                 testsupport::snapshotTree(release));

        // The same release staged again gives the same bytes: the manifest is reproducible.
        const QString again = path(QStringLiteral("round/again"));
        QCOMPARE(runTool(stageArguments(release, again)).exitCode, 0);
        QCOMPARE(testsupport::readFile(again + QStringLiteral("/manifest.json")), envelope);
    }

    void stageWithInstalledHoldsOnlyChangedFiles()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        const QMap<QString, QByteArray> files = sampleRelease();
        const QString release = path(QStringLiteral("delta/release"));
        const QString installed = path(QStringLiteral("delta/installed"));
        const QString stage = path(QStringLiteral("delta/stage"));
        writeRelease(release, files);
        writeRelease(installed, files);
        writeFile(installed, QStringLiteral("Vellumix.exe"), "main program 1.9");   // same size
        writeFile(installed, QStringLiteral("empty.dat"), "was not empty");         // other size
        QFile::remove(installed + QStringLiteral(u"/资源/更新说明.txt"));            // new file
        writeFile(installed, QStringLiteral("obsolete.dll"), "only installed");     // not released

        QStringList arguments = stageArguments(release, stage);
        arguments << QStringLiteral("--installed") << installed;
        const Run staged = runTool(arguments);
        QVERIFY2(staged.exitCode == 0, qPrintable(staged.output));

        const QStringList expected{QStringLiteral("Vellumix.exe"), QStringLiteral("empty.dat"),
                                   QStringLiteral(u"资源/更新说明.txt")};
        QCOMPARE(testsupport::snapshotTree(stage + QStringLiteral("/files")).keys(),
                 (QStringList{QStringLiteral("Vellumix.exe"), QStringLiteral("empty.dat"),
                              QStringLiteral(u"资源"), QStringLiteral(u"资源/更新说明.txt")}));
        const UpdateManifest manifest =
            orThrow(loadUpdateManifest(testsupport::readFile(stage + QStringLiteral("/manifest.json"))));
        QCOMPARE(manifest.files.size(), files.size());
        const Run verified = runTool({QStringLiteral("verify"), stage});
        QVERIFY2(verified.exitCode == 0, qPrintable(verified.output));
        QVERIFY2(verified.output.contains(QStringLiteral("staged:   3 under files/, 3 under packed/")),
                 qPrintable(verified.output));
    }

    void refusedReleases_data()
    {
        QTest::addColumn<Files>("extraFiles");
        QTest::addColumn<QStringList>("removed");
        QTest::addColumn<QString>("expected"); // a part of the refusal

        auto row = [](const char *name, const Files &extra, const QStringList &removed,
                      const QString &expected) {
            QTest::newRow(name) << extra << removed << expected;
        };
        row("ini file", {{QStringLiteral("config/app.ini"), "x"}}, {},
            QStringLiteral("config/app.ini: an update may not contain this path"));
        row("hidden folder", {{QStringLiteral("lib/.cache/a.bin"), "x"}}, {},
            QStringLiteral("lib/.cache/a.bin: an update may not"));
        row("device name", {{QStringLiteral("bin/con.txt"), "x"}}, {},
            QStringLiteral("bin/con.txt: an update may not"));
        row("build-manifest.json at the top", {{QStringLiteral("build-manifest.json"), "{}"}}, {},
            QStringLiteral("build-manifest.json: an update may not"));
        row("path of 241", {{QString(237, u'p') + QStringLiteral(".dll"), "x"}}, {},
            QString(237, u'p') + QStringLiteral(".dll: an update may not"));
        row("duplicate in letter case",
            {{QStringLiteral("Lib/A.dll"), "1"}, {QStringLiteral("lib/a.dll"), "2"}}, {},
            QStringLiteral("Lib/A.dll and lib/a.dll differ only in letter case"));
        // Windows upper-cases each unit: long s is S, while the Kelvin sign is not k (the row
        // without a refusal is staged).
        row("long s beside S", {{QStringLiteral(u"lib/ſ.dll"), "1"}, {QStringLiteral("lib/S.dll"), "2"}},
            {}, QStringLiteral(u"lib/S.dll and lib/ſ.dll differ only in letter case"));
        row("Kelvin sign beside k",
            {{QStringLiteral(u"lib/\u212a.dll"), "1"}, {QStringLiteral("lib/k.dll"), "2"}}, {}, QString());
        row("no main program", {}, {QStringLiteral("Vellumix.exe")},
            QStringLiteral("no Vellumix.exe at its top"));
        row("main program in lower case", {{QStringLiteral("vellumix.exe"), "x"}},
            {QStringLiteral("Vellumix.exe")}, QStringLiteral("no Vellumix.exe at its top"));
        row("main program below the top", {{QStringLiteral("bin/Vellumix.exe"), "x"}},
            {QStringLiteral("Vellumix.exe")}, QStringLiteral("no Vellumix.exe at its top"));
        row("no updater", {}, {QStringLiteral("VellumixUpdater.exe")},
            QStringLiteral("no VellumixUpdater.exe at its top"));
    }

    void refusedReleases()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QFETCH(Files, extraFiles);
        QFETCH(QStringList, removed);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString release = dir.filePath(QStringLiteral("release"));
        writeRelease(release, requiredPrograms());
        writeRelease(release, extraFiles);
        for (const QString &name : removed)
            QVERIFY(QFile::remove(release + u'/' + name));
        const Run run = runTool(stageArguments(release, dir.filePath(QStringLiteral("stage"))));
        if (expected.isEmpty()) {
            QVERIFY2(run.exitCode == 0, qPrintable(run.output));
            return;
        }
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.output.contains(expected), qPrintable(run.output));
        QCOMPARE(entriesOf(dir.path()), QStringList{QStringLiteral("release")});
    }

    // Refusals that need files or options the command line test cannot give cheaply; the
    // library refuses them before it writes anything.
    void refusedBeforeWriting_data()
    {
        QTest::addColumn<int>("refusal");
        QTest::addColumn<QString>("expected");
        const QStringList names{
            QStringLiteral("file of 512 MiB + 1"),   QStringLiteral("total over 4 GiB"),
            QStringLiteral("20,000 files"),          QStringLiteral("manifest over 8 MiB"),
            QStringLiteral("link to a file"),        QStringLiteral("link to a folder"),
            QStringLiteral("named pipe"),            QStringLiteral("version with a space"),
            QStringLiteral("version with a final LF"), QStringLiteral("sequence 0"),
            QStringLiteral("sequence 10,000,000"),   QStringLiteral("stage already there"),
            QStringLiteral("stage inside the release"), QStringLiteral("public key only"),
            QStringLiteral("name not valid UTF-8"),  QStringLiteral("delta base that does not exist"),
            QStringLiteral("delta base that is a file"),
        };
        const QStringList expected{
            QStringLiteral("big.bin has 536,870,913 bytes; a file of an update may have at most "
                           "536,870,912"),
            QStringLiteral("the files up to big8.bin add up to 4,294,967,307 bytes"),
            QStringLiteral("the release has 20,000 files; an update holds at most 19,999"),
            QStringLiteral("the manifest of this release would have up to"),
            QStringLiteral("lib/link.dll is a symbolic link"),
            QStringLiteral("plugins is a symbolic link"),
            QStringLiteral("pipe is not a regular file"),
            QStringLiteral("the version \"1.0 beta\" is not"),
            QStringLiteral("the version \"1.0\n\" is not"),
            QStringLiteral("the sequence 0 is outside 1 to 9,999,999"),
            QStringLiteral("the sequence 10000000 is outside"),
            QStringLiteral("stage already exists"),
            QStringLiteral("would lie inside the release folder"),
            QStringLiteral("holds only a public key"),
            QStringLiteral(u"lib/资源-\\xff\\xfe.dll: this file name is not valid Unicode text"),
            QStringLiteral("(--delta-base) does not exist; for a first release, create the feed folder first"),
            QStringLiteral("(--delta-base) does not exist"),
        };
        for (int i = 0; i < names.size(); ++i)
            QTest::newRow(qPrintable(names.at(i))) << i << expected.at(i);
    }

    void refusedBeforeWriting()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QFETCH(int, refusal);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QByteArray removeAtEnd;
        const auto removal = qScopeGuard([&] {
            if (!removeAtEnd.isEmpty())
                ::unlink(removeAtEnd.constData());
        });
        const QString release = dir.filePath(QStringLiteral("release"));
        writeRelease(release, requiredPrograms());
        StageOptions options = optionsFor(release, dir.filePath(QStringLiteral("stage")));
        auto sparse = [&](const QString &name, qint64 size) {
            QFile file(release + u'/' + name);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
        };
        switch (refusal) {
        case 0:
            sparse(QStringLiteral("big.bin"), kManifestMaxFileSize + 1);
            break;
        case 1:
            for (int i = 1; i <= 8; ++i)
                sparse(QStringLiteral("big%1.bin").arg(i), kManifestMaxFileSize);
            break;
        case 2:
            for (int i = 2; i < 20000; ++i)
                writeFile(release, QStringLiteral("d%1/f%2").arg(i % 50).arg(i), QByteArray());
            break;
        case 3:
            options.notes = QString(8 * 1024 * 1024, u'n');
            break;
        case 4:
            QVERIFY(QDir().mkpath(release + QStringLiteral("/lib")));
            QVERIFY(QFile::link(release + QStringLiteral("/Vellumix.exe"),
                                release + QStringLiteral("/lib/link.dll")));
            break;
        case 5:
            QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("elsewhere"))));
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("elsewhere")),
                                release + QStringLiteral("/plugins")));
            break;
        case 6:
            QCOMPARE(::mkfifo(QFile::encodeName(release + QStringLiteral("/pipe")).constData(), 0600), 0);
            break;
        case 7:
            options.version = QStringLiteral("1.0 beta");
            break;
        case 8:
            options.version = QStringLiteral("1.0\n");
            break;
        case 9:
            options.sequence = 0;
            break;
        case 10:
            options.sequence = 10000000;
            break;
        case 11:
            QVERIFY(QDir().mkpath(options.outDir));
            break;
        case 12:
            options.outDir = release + QStringLiteral("/stage");
            break;
        case 13: {
            const QString publicKey = dir.filePath(QStringLiteral("public.pem"));
            QByteArray pem;
            QCOMPARE(testsupport::runProgram(QStringLiteral("openssl"),
                                             {QStringLiteral("rsa"), QStringLiteral("-in"),
                                              options.keyPath, QStringLiteral("-pubout"),
                                              QStringLiteral("-out"), publicKey}),
                     0);
            options.keyPath = publicKey;
            break;
        }
        case 14: {
            // QDir leaves such an entry out of its listings: the release looks one file short.
            QVERIFY(QDir().mkpath(release + QStringLiteral("/lib")));
            const QByteArray name = QFile::encodeName(release) + "/lib/" + QStringLiteral(u"资源-").toUtf8() + "\xff\xfe.dll";
            const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            QVERIFY(fd >= 0 && ::close(fd) == 0);
            // ...and out of its removal too: the test removes it itself.
            removeAtEnd = name;
            break;
        }
        case 15: // a mistyped feed is not taken for a new one
            options.deltaBaseFeed = dir.filePath(QStringLiteral("fed"));
            break;
        case 16:
            writeFile(dir.path(), QStringLiteral("feed"), "not a folder");
            options.deltaBaseFeed = dir.filePath(QStringLiteral("feed"));
            break;
        }
        const QStringList before = namesBelow(dir.path());
        const QString failure = failureOf([&] { stageRelease(options); });
        QVERIFY2(failure.contains(expected), qPrintable(failure));
        QCOMPARE(namesBelow(dir.path()), before);
    }

    // What stage says beside its result: "more" are its options besides the release's, "said"
    // a part of its messages, "warned" whether they hold a warning about the rollout.
    void stageSaysWhatItMeans_data()
    {
        QTest::addColumn<QStringList>("more");
        QTest::addColumn<QString>("said");
        QTest::addColumn<bool>("warned");
        const QString feed = QStringLiteral("@feed"); // an empty folder
        const QString reports = QStringLiteral("https://updates.example.com/reports");
        QTest::newRow("a first release into an empty feed")
            << QStringList{QStringLiteral("--delta-base"), feed}
            << QStringLiteral("holds no release of the channel \"stable\" yet (a first release)") << false;
        QTest::newRow("a rollout without reports")
            << QStringList{QStringLiteral("--rollout"), QStringLiteral("10")}
            << QStringLiteral("--rollout 10 without --reports: no installation reports how the release fares, "
                              "so \"rollout --advance\" will never move it on")
            << true;
        QTest::newRow("a rollout with reports")
            << QStringList{QStringLiteral("--rollout"), QStringLiteral("10"), QStringLiteral("--reports"), reports}
            << QStringLiteral("rollout:  10%") << false;
        QTest::newRow("every installation, without reports")
            << QStringList{QStringLiteral("--rollout"), QStringLiteral("100")} << QStringLiteral("rollout:  100%") << false;
    }

    void stageSaysWhatItMeans()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QFETCH(QStringList, more);
        QFETCH(QString, said);
        QFETCH(bool, warned);
        QTemporaryDir dir;
        const QString release = dir.filePath(QStringLiteral("release"));
        writeRelease(release, requiredPrograms());
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("feed"))));
        more.replaceInStrings(QStringLiteral("@feed"), dir.filePath(QStringLiteral("feed")));
        const Run run = runTool(stageArguments(release, dir.filePath(QStringLiteral("stage"))) + more);
        QVERIFY2(run.exitCode == 0 && run.output.contains(said), qPrintable(run.output));
        QCOMPARE(run.output.contains(QStringLiteral("warning: --rollout")), warned);
    }

    // A stage stopped by a signal while it packs removes its partial folder, as a failed one does,
    // and ends with 128 + the signal.
    void stageStoppedBySignalLeavesNothing_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void stageStoppedBySignalLeavesNothing()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QFETCH(int, signal);
        QTemporaryDir dir;
        const QString release = dir.filePath(QStringLiteral("release"));
        Files files = requiredPrograms();
        QByteArray noise(96 * 1024 * 1024, Qt::Uninitialized); // packing it takes seconds
        QRandomGenerator(signal).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        files.insert(QStringLiteral("data/noise.bin"), noise);
        writeRelease(release, files);
        noise.clear();
        QProcess process;
        process.start(kProgram, stageArguments(release, dir.filePath(QStringLiteral("stage"))));
        QVERIFY(process.waitForStarted());
        QDeadlineTimer deadline(60000);
        auto partial = [&] {
            return QDir(dir.path()).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)
                .filter(QStringLiteral(".stage.partial-"));
        };
        while (partial().isEmpty() && !deadline.hasExpired() && process.state() == QProcess::Running)
            QTest::qSleep(10);
        QVERIFY2(!partial().isEmpty(), "the stage never began");
        QTest::qSleep(100);
        QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 128 + signal);
        QCOMPARE(entriesOf(dir.path()), QStringList{QStringLiteral("release")});
    }

    void fullDiskLeavesNoStage()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        testsupport::SmallDisk disk(2 * 1024 * 1024);
        if (!disk.isMounted())
            QSKIP("needs root to mount a tmpfs");
        const QString release = path(QStringLiteral("full/release"));
        writeRelease(release, sampleRelease()); // more than the disk holds
        const QString failure = failureOf([&] {
            stageRelease(optionsFor(release, disk.path() + QStringLiteral("/stage")));
        });
        QVERIFY2(failure.startsWith(QStringLiteral("cannot write")), qPrintable(failure));
        QCOMPARE(entriesOf(disk.path()), QStringList());
    }

    void progressCoversEveryFileAndByte()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        const QMap<QString, QByteArray> files = sampleRelease();
        const QString release = path(QStringLiteral("progress/release"));
        writeRelease(release, files);
        QList<StageProgress> reports;
        const StageSummary summary = stageRelease(
            optionsFor(release, path(QStringLiteral("progress/stage"))),
            [&](const StageProgress &progress) { reports.append(progress); });
        QVERIFY(reports.size() > files.size());
        QCOMPARE(reports.last().filesDone, int(files.size()));
        QCOMPARE(reports.last().filesTotal, int(files.size()));
        QCOMPARE(reports.last().bytesDone, summary.totalSize);
        QCOMPARE(reports.last().bytesTotal, summary.totalSize);
        for (qsizetype i = 1; i < reports.size(); ++i)
            QVERIFY(reports.at(i).bytesDone >= reports.at(i - 1).bytesDone);
    }

    void verifyFindsDamagedStages_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("expected");
        QTest::newRow("staged file changed") << QStringLiteral("files/plugins/platforms/qwindows.dll")
                                             << QStringLiteral("files/plugins/platforms/qwindows.dll: 5 bytes");
        QTest::newRow("file not in the manifest") << QStringLiteral("files/extra.dll")
                                                  << QStringLiteral("files/extra.dll: not in the manifest");
        QTest::newRow("packed form changed") << QStringLiteral("packed/Vellumix.exe")
                                             << QStringLiteral("packed/Vellumix.exe: 5 bytes");
        QTest::newRow("manifest changed") << QStringLiteral("manifest.json")
                                          << QStringLiteral(u"refused: the update's signature does not verify "
                                                            u"(\"更新签名验证失败，已停止更新\")");
    }

    void verifyFindsDamagedStages()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QFETCH(QString, damage);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString release = dir.filePath(QStringLiteral("release"));
        const QString stage = dir.filePath(QStringLiteral("stage"));
        writeRelease(release, sampleRelease());
        QCOMPARE(runTool(stageArguments(release, stage)).exitCode, 0);
        writeFile(stage, damage, "xxxxx");
        const Run run = runTool({QStringLiteral("verify"), stage});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.output.contains(expected), qPrintable(run.output));
    }

    void verifyWithAnotherKey()
    {
        const QString key = path(QStringLiteral("other/release.pem"));
        QDir().mkpath(path(QStringLiteral("other")));
        QCOMPARE(runTool({QStringLiteral("keygen"), QStringLiteral("--out"), key}).exitCode, 0);
        const QString release = path(QStringLiteral("other/release"));
        const QString stage = path(QStringLiteral("other/stage"));
        writeRelease(release, requiredPrograms());
        const Run staged = runTool(stageArguments(release, stage, key));
        QCOMPARE(staged.exitCode, 0);
        QVERIFY(staged.output.contains(QStringLiteral("not the one compiled into this build")));

        const Run compiledIn = runTool({QStringLiteral("verify"), stage});
        QCOMPARE(compiledIn.exitCode, 1);
        QVERIFY(compiledIn.output.contains(QStringLiteral(u"refused: the update's signature does not verify "
                                                          u"(\"更新签名验证失败，已停止更新\")")));
        const Run withKey = runTool({QStringLiteral("verify"), stage, QStringLiteral("--key"),
                                     path(QStringLiteral("other/release.pub.pem"))});
        QVERIFY2(withKey.exitCode == 0, qPrintable(withKey.output));
        QVERIFY(withKey.output.contains(QStringLiteral("files:    2")));
    }

    void keygenMakesAnOwnerOnlyKeyAndNeverOverwrites()
    {
        const QString dir = path(QStringLiteral("keys"));
        QDir().mkpath(dir);
        const QString key = dir + QStringLiteral("/update.pem");
        const Run made = runTool({QStringLiteral("keygen"), QStringLiteral("--out"), key});
        QVERIFY2(made.exitCode == 0, qPrintable(made.output));

        struct stat info = {};
        QCOMPARE(::stat(QFile::encodeName(key).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0600));
        QCOMPARE(::stat(QFile::encodeName(dir + QStringLiteral("/update.pub.pem")).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0077, mode_t(0044));

        const QRegularExpression configure(QStringLiteral("-DVELLUMIX_UPDATE_KEY_MODULUS=([0-9a-f]{768})\n"));
        const QString modulus = configure.match(made.output).captured(1);
        QVERIFY2(!modulus.isEmpty(), qPrintable(made.output));
        QCOMPARE(runTool({QStringLiteral("modulus"), key}).output, modulus + u'\n');
        QCOMPARE(runTool({QStringLiteral("modulus"), dir + QStringLiteral("/update.pub.pem")}).output,
                 modulus + u'\n');
        QCOMPARE(modulus.toLatin1(), testsupport::modulusHexOf(key));

        // Neither an existing key, nor a link standing where the key would go, is replaced.
        const auto before = testsupport::snapshotTree(dir);
        const Run again = runTool({QStringLiteral("keygen"), QStringLiteral("--out"), key});
        QCOMPARE(again.exitCode, 1);
        QVERIFY(again.output.contains(QStringLiteral("already exists")));
        QVERIFY(QFile::link(dir + QStringLiteral("/target.pem"), dir + QStringLiteral("/dangling.pem")));
        const auto withLink = testsupport::snapshotTree(dir);
        QCOMPARE(runTool({QStringLiteral("keygen"), QStringLiteral("--out"),
                          dir + QStringLiteral("/dangling.pem")}).exitCode,
                 1);
        QCOMPARE(testsupport::snapshotTree(dir), withLink);
        QCOMPARE(testsupport::describeDifference(before, withLink),
                 QStringLiteral("extra: dangling.pem (link -> %1/target.pem)").arg(dir));
    }

    void publishCopiesBlobsThenManifest()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QTemporaryDir dir;
        const QString feed = dir.filePath(QStringLiteral("feed"));
        Files v1 = requiredPrograms();
        v1.insert(QStringLiteral("lib/a.dll"), "shared");
        v1.insert(QStringLiteral("lib/b.dll"), "shared"); // same bytes: one blob for both
        const QString stage1 = makeStage(dir.path(), QStringLiteral("v1"), v1, 1);

        // Into a feed that does not exist yet: every blob, then the manifest, byte for byte.
        const Run first = runTool({QStringLiteral("publish"), stage1, QStringLiteral("--feed"), feed});
        QVERIFY2(first.exitCode == 0, qPrintable(first.output));
        QVERIFY2(first.output.contains(QStringLiteral("blobs:    3 copied, 0 replaced")),
                 qPrintable(first.output));
        QCOMPARE(entriesOf(feed), (QStringList{QStringLiteral("blobs"), QStringLiteral("stable")}));
        QCOMPARE(entriesOf(feed + QStringLiteral("/blobs")), blobNamesOf({stage1}));
        for (const ManifestFile &file : manifestOf(stage1).files)
            QCOMPARE(testsupport::readFile(blobPath(feed, file)),
                     testsupport::readFile(stage1 + QStringLiteral("/packed/") + file.path));
        QCOMPARE(testsupport::readFile(channelManifest(feed)),
                 testsupport::readFile(stage1 + QStringLiteral("/manifest.json")));

        // A release staged against v1 packs only the changed program; the blobs it shares with
        // v1 are kept as they are, not written again.
        Files v2 = v1;
        v2.insert(QStringLiteral("Vellumix.exe"), "main 2");
        const QString stage2 = makeStage(dir.path(), QStringLiteral("v2"), v2, 2,
                                         dir.filePath(QStringLiteral("v1-release")));
        QCOMPARE(testsupport::snapshotTree(stage2 + QStringLiteral("/packed")).keys(),
                 (QStringList{QStringLiteral("Vellumix.exe"), QStringLiteral("lib")}));
        const qint64 longAgo = 978307200; // 2001-01-01
        for (const QString &name : entriesOf(feed + QStringLiteral("/blobs"))) {
            QFile blob(feed + QStringLiteral("/blobs/") + name);
            QVERIFY(blob.open(QIODevice::ReadWrite) && blob.setFileTime(QDateTime::fromSecsSinceEpoch(longAgo),
                                                                   QFileDevice::FileModificationTime));
        }
        PublishOptions options = publishing(stage2, feed);
        const PublishSummary second = publishStage(options);
        QCOMPARE(second.blobsCopied, 1);
        QCOMPARE(second.blobsKept, 2);
        QCOMPARE(second.blobsReplaced, 0);
        QCOMPARE(second.previousSequence, std::optional<qint32>(1));
        const UpdateManifest manifest2 = manifestOf(stage2);
        for (const QString &path : {QStringLiteral("VellumixUpdater.exe"), QStringLiteral("lib/a.dll")})
            QCOMPARE(QFileInfo(blobPath(feed, entryOf(manifest2, path))).lastModified().toSecsSinceEpoch(),
                     longAgo);
        QCOMPARE(testsupport::readFile(channelManifest(feed)), manifest2.envelope);

        // A blob of the feed with the wrong bytes: a stage that lacks its packed form is refused
        // with the feed untouched; one that has it replaces the blob.
        const QString updaterBlob = blobPath(feed, entryOf(manifest2, QStringLiteral("VellumixUpdater.exe")));
        writeFile(feed, QStringLiteral("blobs/") + QFileInfo(updaterBlob).fileName(), "damaged");
        Files v3 = v2;
        v3.insert(QStringLiteral("Vellumix.exe"), "main 3");
        options.stageDir = makeStage(dir.path(), QStringLiteral("v3-delta"), v3, 3,
                                     dir.filePath(QStringLiteral("v2-release")));
        const auto damaged = testsupport::snapshotTree(feed);
        const QString failure = failureOf([&] { publishStage(options); });
        QVERIFY2(failure.contains(QStringLiteral("the stage has no packed form of "
                                                 "VellumixUpdater.exe and the feed holds no blob")),
                 qPrintable(failure));
        QCOMPARE(testsupport::snapshotTree(feed), damaged);

        options.stageDir = makeStage(dir.path(), QStringLiteral("v3"), v3, 3);
        const PublishSummary third = publishStage(options);
        QCOMPARE(third.blobsCopied, 1);
        QCOMPARE(third.blobsReplaced, 1);
        QCOMPARE(third.blobsKept, 1);
        QCOMPARE(testsupport::readFile(updaterBlob),
                 testsupport::readFile(options.stageDir + QStringLiteral("/packed/VellumixUpdater.exe")));
        QCOMPARE(entriesOf(feed + QStringLiteral("/blobs")),
                 blobNamesOf({stage1, stage2, options.stageDir}));
    }

    void publishKeepsTheChannelsSequence()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QTemporaryDir dir;
        const QString feed = dir.filePath(QStringLiteral("feed"));
        Files files = requiredPrograms();
        const QString stage1 = makeStage(dir.path(), QStringLiteral("v1"), files, 1);
        const QString beta1 = makeStage(dir.path(), QStringLiteral("b1"), files, 1, {},
                                        inChannel(QStringLiteral("beta-2")));
        files.insert(QStringLiteral("Vellumix.exe"), "main 2");
        const QString stage2 = makeStage(dir.path(), QStringLiteral("v2"), files, 2);
        auto publish = [&](const QString &stage, const QStringList &more = {}) {
            return runTool(QStringList{QStringLiteral("publish"), stage, QStringLiteral("--feed"), feed}
                           + more);
        };
        QCOMPARE(publish(stage2).exitCode, 0);

        // The same stage again (a retried job) succeeds and changes nothing, not even a time.
        const auto atTwo = testsupport::snapshotTree(feed);
        const QByteArray manifestTime = QFileInfo(channelManifest(feed)).lastModified().toString(Qt::ISODateWithMs).toLatin1();
        const Run same = publish(stage2, {QStringLiteral("--json")});
        QVERIFY2(same.exitCode == 0, qPrintable(same.output));
        const QJsonObject sameJson = QJsonDocument::fromJson(same.output.toUtf8()).object();
        QCOMPARE(sameJson.value(QStringLiteral("unchanged")), QJsonValue(true));
        QCOMPARE(sameJson.value(QStringLiteral("blobsKept")), QJsonValue(2));
        QCOMPARE(QFileInfo(channelManifest(feed)).lastModified().toString(Qt::ISODateWithMs).toLatin1(), manifestTime);
        const Run lower = publish(stage1);
        QCOMPARE(lower.exitCode, 1);
        QVERIFY2(lower.output.contains(QStringLiteral("is at sequence 2; a release with sequence 1")),
                 qPrintable(lower.output));
        QCOMPARE(testsupport::snapshotTree(feed), atTwo);

        // A deliberate rollback; another channel has its own sequence.
        QCOMPARE(publish(stage1, {QStringLiteral("--allow-same-or-lower")}).exitCode, 0);
        QCOMPARE(testsupport::readFile(channelManifest(feed)), manifestOf(stage1).envelope);
        // The stage names its channel: publish goes there without being told.
        const Run beta = publish(beta1, {QStringLiteral("--json")});
        QVERIFY2(beta.exitCode == 0, qPrintable(beta.output));
        QCOMPARE(QJsonDocument::fromJson(beta.output.toUtf8()).object().value(QStringLiteral("channel")),
                 QJsonValue(QStringLiteral("beta-2")));
        QCOMPARE(publish(beta1, {QStringLiteral("--channel"), QStringLiteral("beta-2")}).exitCode, 0);
        QCOMPARE(testsupport::readFile(channelManifest(feed, QStringLiteral("beta-2"))),
                 manifestOf(beta1).envelope);

        // The history keeps each published manifest once, byte for byte; another release under a
        // sequence it already holds is refused, also with the rollback option.
        auto history = [&](int sequence) {
            return testsupport::readFile(feed + QStringLiteral("/stable/releases/%1.json").arg(sequence));
        };
        QCOMPARE(history(1), manifestOf(stage1).envelope);
        QCOMPARE(history(2), manifestOf(stage2).envelope);
        files.insert(QStringLiteral("Vellumix.exe"), "main 2, built again");
        const QString other2 = makeStage(dir.path(), QStringLiteral("other2"), files, 2);
        const auto beforeOther = testsupport::snapshotTree(feed);
        const Run other = publish(other2, {QStringLiteral("--allow-same-or-lower")});
        QCOMPARE(other.exitCode, 1);
        QVERIFY2(other.output.contains(QStringLiteral("releases/2.json already holds another release "
                                                      "with sequence 2")),
                 qPrintable(other.output));
        QCOMPARE(testsupport::snapshotTree(feed), beforeOther);

        // A current manifest that cannot be verified leaves its sequence unknown: refused, unless
        // the rollback option says to replace it anyway.
        writeFile(feed, QStringLiteral("stable/manifest.json"), "{\"payload\":\"\",\"signature\":\"\"}");
        const Run unreadable = publish(stage2);
        QCOMPARE(unreadable.exitCode, 1);
        QVERIFY2(unreadable.output.contains(QStringLiteral("cannot be read or verified")),
                 qPrintable(unreadable.output));
        const Run replaced = publish(stage2, {QStringLiteral("--allow-same-or-lower")});
        QVERIFY2(replaced.exitCode == 0, qPrintable(replaced.output));
        QVERIFY(replaced.output.contains(QStringLiteral("an unreadable manifest, replaced")));
        QVERIFY(replaced.output.contains(QStringLiteral("releases/2.json (already there)")));
        QCOMPARE(testsupport::readFile(channelManifest(feed)), manifestOf(stage2).envelope);
        QCOMPARE(history(2), manifestOf(stage2).envelope);
    }

    // A channel whose release 2 (staged at 10 %) was signed again after it was published, then
    // published again as a retried job would: "steps" are what happened in between
    // ("percent:N", "refresh", "rollback" to release 1 with --allow-same-or-lower, "other": the
    // publish is of another release staged under sequence 2), "more" the publish's options.
    void publishAgainKeepsTheSignedState_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("more");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("unchanged"); // the feed as it was, byte for byte
        QTest::addColumn<int>("percent");    // of the channel's manifest afterwards, sequence 2
        const QStringList none;
        const QStringList rollback{QStringLiteral("--allow-same-or-lower")};
        const QString halt = QStringLiteral("percent:0");
        QTest::newRow("as staged") << none << none << 0 << true << 10;
        QTest::newRow("halted") << QStringList{halt} << none << 0 << true << 0;
        QTest::newRow("halted, with the rollback option") << QStringList{halt} << rollback << 0 << true << 0;
        QTest::newRow("at a new share") << QStringList{QStringLiteral("percent:25")} << none << 0 << true << 25;
        QTest::newRow("refreshed") << QStringList{QStringLiteral("refresh")} << none << 0 << true << 10;
        QTest::newRow("halted, rolled back from, published again")
            << QStringList{halt, QStringLiteral("rollback")} << none << 0 << false << 0;
        QTest::newRow("at a new share, rolled back from, published again")
            << QStringList{QStringLiteral("percent:50"), QStringLiteral("rollback")} << none << 0 << false << 50;
        QTest::newRow("another release under the current sequence")
            << QStringList{halt, QStringLiteral("other")} << rollback << 1 << true << 0;
    }

    void publishAgainKeepsTheSignedState()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QFETCH(QStringList, steps);
        QFETCH(QStringList, more);
        QFETCH(int, exitCode);
        QFETCH(bool, unchanged);
        QFETCH(int, percent);
        QTemporaryDir dir;
        const QString feed = dir.filePath(QStringLiteral("feed"));
        const QString key = testsupport::devSigningKey();
        Files files = requiredPrograms();
        const QString stage1 = makeStage(dir.path(), QStringLiteral("v1"), files, 1);
        publishStage(publishing(stage1, feed));
        files.insert(QStringLiteral("Vellumix.exe"), "main 2");
        QString stage2 = makeStage(dir.path(), QStringLiteral("v2"), files, 2, {},
                                   [](StageOptions &options) { options.rolloutPercent = 10; });
        publishStage(publishing(stage2, feed));
        for (const QString &step : std::as_const(steps)) {
            if (step.startsWith(QStringLiteral("percent:"))) {
                RolloutOptions rollout;
                rollout.feedDir = feed;
                rollout.keyPath = key;
                rollout.percent = step.mid(8).toInt();
                setRollout(rollout);
            } else if (step == u"refresh") {
                refreshChannel({feed, QStringLiteral("stable"), key, 30});
            } else if (step == u"rollback") {
                PublishOptions options = publishing(stage1, feed);
                options.allowSameOrLower = true;
                publishStage(options);
            } else if (step == u"other") {
                files.insert(QStringLiteral("Vellumix.exe"), "main 2, built again");
                stage2 = makeStage(dir.path(), QStringLiteral("other2"), files, 2);
            }
        }
        const auto before = testsupport::snapshotTree(feed);
        const RunApart run = runToolApart(QStringList{QStringLiteral("publish"), stage2, QStringLiteral("--feed"),
                                                      feed, QStringLiteral("--json")} + more);
        QVERIFY2(run.exitCode == exitCode, run.err.constData());
        if (exitCode == 0)
            QCOMPARE(run.json().value(QStringLiteral("unchanged")), QJsonValue(unchanged));
        else
            QVERIFY2(run.json().value(QStringLiteral("error")).toString().contains(
                         QStringLiteral("offers another release under sequence 2")), run.out.constData());
        if (unchanged)
            QCOMPARE(testsupport::describeDifference(before, testsupport::snapshotTree(feed)), QString());
        const UpdateManifest current = orThrow(loadUpdateManifest(testsupport::readFile(channelManifest(feed))));
        QCOMPARE(current.sequence, 2);
        QCOMPARE(readReleaseExtras(current).percent(), percent);
        // The history keeps the release as it was published, whatever was signed since.
        QCOMPARE(testsupport::readFile(feed + QStringLiteral("/stable/releases/2.json")),
                 manifestOf(dir.filePath(QStringLiteral("v2"))).envelope);
    }

    void publishRefusedWithTheFeedUntouched_data()
    {
        QTest::addColumn<QString>("channel");
        QTest::addColumn<QString>("damage"); // a file of the stage overwritten, or see below
        QTest::addColumn<QString>("key");    // "other": --key of another key pair; "signed":
                                             // the stage signed with that key, and --key it
        QTest::addColumn<QStringList>("more"); // further arguments
        QTest::addColumn<QString>("expected"); // empty: published, and the lock gone
        const QString badName = QStringLiteral("the channel name");
        const QString signatureRefused = QStringLiteral(
            u"is refused: the update's signature does not verify (\"更新签名验证失败，已停止更新\")");
        const QString stable = QStringLiteral("stable");
        const QStringList none;
        const QStringList rollback{QStringLiteral("--allow-same-or-lower")};
        QTest::newRow("upper case") << QStringLiteral("Stable") << QString() << QString() << none << badName;
        QTest::newRow("underscore") << QStringLiteral("a_b") << QString() << QString() << none << badName;
        QTest::newRow("33 characters") << QString(33, u'a') << QString() << QString() << none << badName;
        QTest::newRow("empty") << QString() << QString() << QString() << none << badName;
        QTest::newRow("blobs") << QStringLiteral("blobs") << QString() << QString() << none << badName;
        QTest::newRow("a path") << QStringLiteral("../x") << QString() << QString() << none << badName;
        QTest::newRow("packed file changed") << stable << QStringLiteral("packed/lib/a.dll") << QString() << none
                                             << QStringLiteral("packed/lib/a.dll: 5 bytes");
        QTest::newRow("staged file changed") << stable << QStringLiteral("files/Vellumix.exe") << QString() << none
                                             << QStringLiteral("files/Vellumix.exe: 5 bytes");
        QTest::newRow("manifest changed") << stable << QStringLiteral("manifest.json") << QString() << none
                                          << signatureRefused;
        QTest::newRow("another key") << stable << QString() << QStringLiteral("other") << none
                                     << signatureRefused;
        // The channel's clients trust the key of its current manifest: a stage of another key is
        // never published over it, also not as a rollback.
        const QString anotherKeys = QStringLiteral("is signed by another key than this stage");
        QTest::newRow("signed by another key than the channel's")
            << stable << QString() << QStringLiteral("signed") << none << anotherKeys;
        QTest::newRow("signed by another key, as a rollback")
            << stable << QString() << QStringLiteral("signed") << rollback << anotherKeys;
        // "payload:NAME=VALUE": the member set (removed when VALUE is empty) and signed again.
        QTest::newRow("signed for another channel") << QStringLiteral("beta") << QString() << QString() << none
                                                    << QStringLiteral("signed for the channel \"stable\"");
        QTest::newRow("no channel, not stable") << QStringLiteral("beta") << QStringLiteral("payload:channel=")
                                                << QString() << none << QStringLiteral("names no channel");
        QTest::newRow("expired") << stable << QStringLiteral("payload:expires=2020-01-01T00:00:00Z") << QString()
                                 << none << QStringLiteral("expired at 2020-01-01T00:00:00Z");
        QTest::newRow("expiry malformed") << stable << QStringLiteral("payload:expires=2099-01-01") << QString()
                                          << none << QStringLiteral("is not a time of the form");
        // "lock:BYTES": FEED/.feed.lock holds them, a minute old, with @live for this test's
        // process (alive, and no vellumix-publish) and @host, @hostId, @bootId for this
        // machine's; "lock:@fifo" is a pipe in its place.
        QTest::newRow("the empty lock of a publish killed at its first write")
            << stable << QStringLiteral("lock:") << QString() << none << QString();
        QTest::newRow("the lock of a live process that is not vellumix-publish")
            << stable << QStringLiteral("lock:@live\ntst_publish\n@host\n@hostId\n@bootId\n") << QString()
            << none << QString();
        QTest::newRow("the lock of another machine")
            << stable << QStringLiteral("lock:4242\nvellumix-publish\nbuild-2\n0123abcd\n") << QString() << none
            << QStringLiteral("in use by process 4242 on build-2 (a publish, refresh or prune on that "
                              "machine, which cannot be checked from here); remove %1 once no publish");
        QTest::newRow("a pipe in the lock's place") << stable << QStringLiteral("lock:@fifo") << QString() << none
                                                   << QStringLiteral(".feed.lock is not a lock file");
    }

    void publishRefusedWithTheFeedUntouched()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QFETCH(QString, channel);
        QFETCH(QString, damage);
        QFETCH(QString, key);
        QFETCH(QStringList, more);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        Files files = requiredPrograms();
        files.insert(QStringLiteral("lib/a.dll"), "library");
        const QString feed = dir.filePath(QStringLiteral("feed"));
        QCOMPARE(publishStage(publishing(makeStage(dir.path(), QStringLiteral("v1"), files, 1), feed))
                     .blobsCopied,
                 3);
        files.insert(QStringLiteral("lib/a.dll"), "library 2");
        const QString stage = makeStage(dir.path(), QStringLiteral("v2"), files, 2);
        const QString otherKey = dir.filePath(QStringLiteral("other.pem"));
        const QString lock = feed + QStringLiteral("/.feed.lock");
        if (!key.isEmpty())
            testsupport::generateSigningKey(otherKey);
        if (key == u"signed") {
            const QByteArray payload = payloadBytesOf(manifestOf(stage));
            writeFile(stage, QStringLiteral("manifest.json"),
                      testsupport::envelopeOf(payload, testsupport::signPayload(
                          payload, testsupport::SignatureScheme::Pkcs1Sha256, otherKey)));
        }
        if (damage == u"lock:@fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(lock).constData(), 0600), 0);
        } else if (damage.startsWith(QStringLiteral("lock:"))) {
            writeFile(feed, QStringLiteral(".feed.lock"),
                      damage.mid(5).toUtf8()
                          .replace("@live", QByteArray::number(QCoreApplication::applicationPid()))
                          .replace("@hostId", QSysInfo::machineUniqueId())
                          .replace("@host", QSysInfo::machineHostName().toUtf8())
                          .replace("@bootId", QSysInfo::bootUniqueId()));
            QFile file(lock);
            QVERIFY(file.open(QIODevice::ReadWrite)
                    && file.setFileTime(QDateTime::currentDateTime().addSecs(-60),
                                        QFileDevice::FileModificationTime));
        } else if (damage.startsWith(QStringLiteral("payload:"))) {
            const QStringList member = damage.mid(8).split(u'=');
            resign(stage, [&](QJsonObject &payload) {
                if (member.at(1).isEmpty())
                    payload.remove(member.at(0));
                else
                    payload.insert(member.at(0), member.at(1));
            });
        } else if (!damage.isEmpty()) {
            writeFile(stage, damage, "xxxxx");
        }
        QStringList arguments{QStringLiteral("publish"), stage, QStringLiteral("--feed"), feed,
                              QStringLiteral("--channel"), channel};
        if (!key.isEmpty())
            arguments << QStringLiteral("--key") << otherKey;
        const auto before = testsupport::snapshotTree(feed);
        const Run run = runTool(arguments + more, 60000);
        if (expected.isEmpty()) {
            QVERIFY2(run.exitCode == 0, qPrintable(run.output));
            QCOMPARE(testsupport::readFile(channelManifest(feed)), manifestOf(stage).envelope);
            QVERIFY(!QFileInfo::exists(lock));
            return;
        }
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.output.contains(expected.contains(u"%1") ? expected.arg(lock) : expected),
                 qPrintable(run.output));
        QCOMPARE(testsupport::describeDifference(before, testsupport::snapshotTree(feed)), QString());
    }

    void pruneRemovesOnlyWhatNoChannelNames()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QTemporaryDir dir;
        const QString feed = dir.filePath(QStringLiteral("feed"));
        Files files = requiredPrograms();
        const QString stage1 = makeStage(dir.path(), QStringLiteral("v1"), files, 1, {},
                                         inChannel(QStringLiteral("beta")));
        files.insert(QStringLiteral("Vellumix.exe"), "main 2");
        const QString stage2 = makeStage(dir.path(), QStringLiteral("v2"), files, 2);
        const QString beta2 = makeStage(dir.path(), QStringLiteral("b2"), files, 2, {},
                                        inChannel(QStringLiteral("beta")));
        publishStage(publishing(stage1, feed, QStringLiteral("beta")));
        publishStage(publishing(stage2, feed));
        // Only what the current manifests name (pruneKeepsTheLastReleases covers the history).
        auto prune = [&] {
            return runTool({QStringLiteral("prune"), QStringLiteral("--feed"), feed,
                            QStringLiteral("--keep"), QStringLiteral("0")});
        };

        const QString stray = testsupport::sha256Hex("stray");
        writeFile(feed, QStringLiteral("blobs/") + stray, "stray");
        writeFile(feed, QStringLiteral("blobs/.publishing-") + stray + QStringLiteral("-1f"), "left over");
        writeFile(feed, QStringLiteral("blobs/notes.txt"), "not a blob");
        // A dry run names what would go and removes nothing.
        const auto beforeDryRun = testsupport::snapshotTree(feed);
        const Run dry = runTool({QStringLiteral("prune"), QStringLiteral("--feed"), feed, QStringLiteral("--keep"),
                                 QStringLiteral("0"), QStringLiteral("--dry-run"), QStringLiteral("--json")});
        QVERIFY2(dry.exitCode == 0, qPrintable(dry.output));
        const QJsonObject dryJson = QJsonDocument::fromJson(dry.output.toUtf8()).object();
        QCOMPARE(dryJson.value(QStringLiteral("removed")).toArray(), QJsonArray{stray});
        QCOMPARE(dryJson.value(QStringLiteral("dryRun")), QJsonValue(true));
        QCOMPARE(testsupport::snapshotTree(feed), beforeDryRun);
        const Run pruned = prune();
        QVERIFY2(pruned.exitCode == 0, qPrintable(pruned.output));
        QVERIFY2(pruned.output.contains(QStringLiteral("pruned:   1 blobs (5 bytes) and 1 files left "
                                                       "by interrupted publishes")),
                 qPrintable(pruned.output));
        QVERIFY(pruned.output.contains(QStringLiteral("left alone: blobs/notes.txt")));
        QCOMPARE(entriesOf(feed + QStringLiteral("/blobs")),
                 blobNamesOf({stage1, stage2}) << QStringLiteral("notes.txt"));

        // Once beta moves on as well, v1's program is named by no channel.
        publishStage(publishing(beta2, feed, QStringLiteral("beta")));
        QCOMPARE(prune().exitCode, 0);
        QCOMPARE(entriesOf(feed + QStringLiteral("/blobs")),
                 blobNamesOf({stage2}) << QStringLiteral("notes.txt"));

        // In doubt, nothing is removed: a manifest that does not verify, a publish or prune
        // running (the lock held), a feed without any manifest.
        writeFile(feed, QStringLiteral("blobs/") + stray, "stray");
        const QByteArray beta = testsupport::readFile(channelManifest(feed, QStringLiteral("beta")));
        writeFile(feed, QStringLiteral("beta/manifest.json"), QByteArray(beta).replace("\"payload\":\"ey", "\"payload\":\"EY"));
        const auto before = testsupport::snapshotTree(feed);
        const Run tampered = prune();
        QCOMPARE(tampered.exitCode, 1);
        QVERIFY2(tampered.output.contains(QStringLiteral("beta/manifest.json cannot be read or verified")),
                 qPrintable(tampered.output));
        QCOMPARE(testsupport::snapshotTree(feed), before);

        writeFile(feed, QStringLiteral("beta/manifest.json"), beta);
        {
            QLockFile lock(feed + QStringLiteral("/.feed.lock"));
            QVERIFY(lock.tryLock());
            const Run locked = prune();
            QCOMPARE(locked.exitCode, 1);
            QVERIFY2(locked.output.contains(QStringLiteral("is in use by process %1").arg(::getpid())),
                     qPrintable(locked.output));
        }
        QVERIFY(QFileInfo::exists(feed + QStringLiteral("/blobs/") + stray));

        QDir(feed + QStringLiteral("/beta")).removeRecursively();
        QDir(feed + QStringLiteral("/stable")).removeRecursively();
        const Run empty = prune();
        QCOMPARE(empty.exitCode, 1);
        QVERIFY2(empty.output.contains(QStringLiteral("has no channel manifest")), qPrintable(empty.output));
        QVERIFY(QFileInfo::exists(feed + QStringLiteral("/blobs/") + stray));
    }

    void refreshSignsTheSameReleaseWithANewExpiry()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QTemporaryDir dir;
        const QString feed = dir.filePath(QStringLiteral("feed"));
        const QString release = dir.filePath(QStringLiteral("release"));
        const QString stage = dir.filePath(QStringLiteral("stage"));
        writeRelease(release, requiredPrograms());
        const QString key = testsupport::devSigningKey();
        auto daysAhead = [](const QJsonObject &payload, int days) {
            const QDateTime expires = QDateTime::fromString(payload.value(QStringLiteral("expires")).toString(), Qt::ISODate);
            return qAbs(QDateTime::currentDateTimeUtc().addDays(days).secsTo(expires)) < 60;
        };
        QCOMPARE(runTool(stageArguments(release, stage) + QStringList{QStringLiteral("--channel"), QStringLiteral("beta"),
                         QStringLiteral("--expires-in"), QStringLiteral("30")}).exitCode, 0);
        QJsonObject before = payloadObjectOf(stage);
        QCOMPARE(before.value(QStringLiteral("channel")).toString(), QStringLiteral("beta"));
        QVERIFY(daysAhead(before, 30));
        QCOMPARE(publishStage(publishing(stage, feed, QStringLiteral("beta"))).historyWritten, true);

        const Run refreshed = runTool({QStringLiteral("refresh"), QStringLiteral("--feed"), feed, QStringLiteral("--channel"),
                                       QStringLiteral("beta"), QStringLiteral("--key"), key,
                                       QStringLiteral("--expires-in"), QStringLiteral("60")});
        QVERIFY2(refreshed.exitCode == 0, qPrintable(refreshed.output));
        const QString manifest = channelManifest(feed, QStringLiteral("beta"));
        const UpdateManifest after = orThrow(loadUpdateManifest(testsupport::readFile(manifest)));
        QJsonObject payload = QJsonDocument::fromJson(payloadBytesOf(after)).object();
        QVERIFY(daysAhead(payload, 60));
        payload.remove(QStringLiteral("expires"));
        before.remove(QStringLiteral("expires"));
        QCOMPARE(payload, before); // the same files, sequence and everything else
        QVERIFY(after.envelope != manifestOf(stage).envelope);
        QCOMPARE(testsupport::readFile(feed + QStringLiteral("/beta/releases/12.json")), manifestOf(stage).envelope);

        /*
            Only the release last published into a channel is signed again. In "old" an older
            release's manifest was copied over the channel's; "back" was rolled back to 11 with
            --allow-same-or-lower, and then 12's manifest put back in its place.
        */
        for (const QString &channel : {QStringLiteral("old"), QStringLiteral("back")}) {
            QString stage11, stage12;
            for (const int sequence : {11, 12}) {
                (sequence == 11 ? stage11 : stage12) = makeStage(
                    dir.path(), channel + QString::number(sequence),
                    Files{{QStringLiteral("Vellumix.exe"), "main " + QByteArray::number(sequence)},
                          {QStringLiteral("VellumixUpdater.exe"), "updater"}},
                    sequence, {}, inChannel(channel));
            }
            publishStage(publishing(stage11, feed, channel));
            publishStage(publishing(stage12, feed, channel));
            QString copied = stage11;
            if (channel == u"back") {
                PublishOptions rollback = publishing(stage11, feed, channel);
                rollback.allowSameOrLower = true;
                publishStage(rollback);
                copied = stage12;
            }
            writeFile(feed, channel + QStringLiteral("/manifest.json"), manifestOf(copied).envelope);
        }

        // Refused with the feed untouched: a channel without a manifest, a manifest the key does
        // not verify, another release than the one last published, and the release's first
        // manifest over its refreshed one.
        const QString otherKey = dir.filePath(QStringLiteral("other.pem"));
        testsupport::generateSigningKey(otherKey);
        const auto snapshot = testsupport::snapshotTree(feed);
        for (const auto &[channel, signer, expected] :
             {std::tuple{QStringLiteral("gamma"), key, QStringLiteral("has no manifest")},
              std::tuple{QStringLiteral("beta"), otherKey, QStringLiteral("cannot be read or verified")},
              std::tuple{QStringLiteral("old"), key,
                         QStringLiteral("holds sequence 11, but the release last published into the "
                                        "channel \"old\" is sequence 12")},
              std::tuple{QStringLiteral("back"), key,
                         QStringLiteral("holds sequence 12, but the release last published into the "
                                        "channel \"back\" is sequence 11")}}) {
            const Run run = runTool({QStringLiteral("refresh"), QStringLiteral("--feed"), feed, QStringLiteral("--channel"),
                                     channel, QStringLiteral("--key"), signer, QStringLiteral("--expires-in"), QStringLiteral("9")});
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.output.contains(expected), qPrintable(run.output));
        }
        // The refreshed release published again (a retried job) is the channel's current one:
        // nothing changes, its new expiry included.
        QVERIFY(publishStage(publishing(stage, feed, QStringLiteral("beta"))).unchanged);
        QCOMPARE(testsupport::snapshotTree(feed), snapshot);

        // A manifest an older tool made without a channel is published to "stable" only, and
        // gains the channel when it is refreshed.
        const QString old = makeStage(dir.path(), QStringLiteral("old"), requiredPrograms(), 1);
        resign(old, [](QJsonObject &p) { p.remove(QStringLiteral("channel")); });
        publishStage(publishing(old, feed));
        RefreshOptions options{feed, QStringLiteral("stable"), key, 7};
        QCOMPARE(readReleaseExtras(refreshChannel(options).manifest).channel, QStringLiteral("stable"));
    }

    // A feed whose stable channel has had releases 1 to 3, each staged with deltas against the
    // ones before and published; `releases` gets their files (index 1 to 3) and those of the
    // unpublished release 4. big.bin changes a little each time, reverted.bin goes back to its
    // first content in release 3, same.bin never changes, noise.bin is new noise each time, the
    // programs change by a few bytes, new.bin comes in release 4.
    QStringList deltaFeed(const QString &dir, QList<Files> &releases) const
    {
        auto noise = [](quint32 seed, int size) {
            QByteArray bytes(size, Qt::Uninitialized);
            QRandomGenerator generator(seed);
            for (char &byte : bytes)
                byte = char(generator.generate());
            return bytes;
        };
        releases = {Files()};
        QStringList stages{QString()};
        for (int n = 1; n <= 4; ++n) {
            Files files{{QStringLiteral("Vellumix.exe"), "main " + QByteArray::number(n)},
                        {QStringLiteral("VellumixUpdater.exe"), "updater " + QByteArray::number(n)},
                        {QStringLiteral("big.bin"), noise(1, 200000).replace(n * 1000, 8, "release" + QByteArray::number(n))},
                        {QStringLiteral("reverted.bin"), noise(2, 100000).replace(0, 1, n % 2 ? "A" : "B")},
                        {QStringLiteral("same.bin"), noise(3, 50000)},
                        {QStringLiteral("noise.bin"), noise(10 + n, 50000)}};
            if (n == 4) {
                files.insert(QStringLiteral("reverted.bin"), noise(2, 100000).replace(0, 1, "C"));
                files.insert(QStringLiteral("new.bin"), noise(4, 50000));
                releases.append(files);
                break;
            }
            releases.append(files);
            stages << makeStage(dir, QStringLiteral("v%1").arg(n), files, n, {}, [&](StageOptions &options) {
                if (n > 1)
                    options.deltaBaseFeed = dir + QStringLiteral("/feed");
            });
            publishStage(publishing(stages.last(), dir + QStringLiteral("/feed")));
        }
        return stages;
    }

    void deltasMadeAtStaging_data()
    {
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("windowLog");
        QTest::addColumn<QStringList>("expected"); // path@sequence of the release of its base
        QTest::addColumn<int>("overWindow");
        const QString big = QStringLiteral("big.bin@");
        const QString reverted = QStringLiteral("reverted.bin@");
        QTest::newRow("depth 3") << 3 << 27 << QStringList{big + u'1', big + u'2', big + u'3', reverted + u'2', reverted + u'3'} << 0;
        QTest::newRow("depth 1") << 1 << 27 << QStringList{big + u'3', reverted + u'3'} << 0;
        QTest::newRow("window 128 KiB") << 3 << 17 << QStringList{reverted + u'2', reverted + u'3'} << 3;
        QTest::newRow("window 64 KiB") << 3 << 16 << QStringList() << 5;
    }

    void deltasMadeAtStaging()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        if (!deltasAvailable())
            QSKIP("built without libzstd");
        QFETCH(int, depth);
        QFETCH(int, windowLog);
        QFETCH(QStringList, expected);
        QFETCH(int, overWindow);
        QTemporaryDir dir;
        QList<Files> releases;
        deltaFeed(dir.path(), releases);
        StageSummary summary;
        const QString stage = makeStage(dir.path(), QStringLiteral("v4"), releases.at(4), 4, {}, [&](StageOptions &options) {
            options.deltaBaseFeed = dir.filePath(QStringLiteral("feed"));
            options.deltaDepth = depth;
            options.deltaWindowLog = windowLog;
        }, &summary);

        const UpdateManifest manifest = manifestOf(stage);
        QStringList made;
        for (const DeltaEntry &delta : readReleaseExtras(manifest).deltas) {
            for (int n = 3; n >= 1; --n) {
                if (testsupport::sha256Hex(releases.at(n).value(delta.path)).toLatin1() == delta.baseSha256) {
                    made << QStringLiteral("%1@%2").arg(delta.path).arg(n);
                    break;
                }
            }
            QVERIFY(delta.packedSize * 10 <= entryOf(manifest, delta.path).packedSize * 9);
        }
        made.sort();
        QCOMPARE(made, expected);
        QCOMPARE(summary.deltasMade, int(expected.size()));
        QCOMPARE(summary.deltasOverWindow, overWindow);
        QVERIFY(summary.deltasNotSmaller >= 3 * depth); // noise.bin and the two programs, per base release

        // Each delta, applied to its base in the feed, gives its file.
        const StageReport report = verifyStage(stage, {}, dir.filePath(QStringLiteral("feed")));
        QCOMPARE(report.problems, QStringList());
        QCOMPARE(report.deltasChecked, int(expected.size()));
    }

    void wrongDeltasAreRefused()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        if (!deltasAvailable())
            QSKIP("built without libzstd");
        QTemporaryDir dir;
        QList<Files> releases;
        deltaFeed(dir.path(), releases);
        const QString feed = dir.filePath(QStringLiteral("feed"));
        const QString stage = makeStage(dir.path(), QStringLiteral("v4"), releases.at(4), 4, {},
                                        [&](StageOptions &options) { options.deltaBaseFeed = feed; });
        // Two deltas of big.bin swap their blobs: each blob still has the digest and size listed,
        // but applied to the base named it gives something else.
        resign(stage, [](QJsonObject &payload) {
            QJsonArray deltas = payload.value(QStringLiteral("deltas")).toArray();
            QJsonObject first = deltas.at(0).toObject();
            QJsonObject second = deltas.at(1).toObject();
            QCOMPARE(first.value(QStringLiteral("path")), second.value(QStringLiteral("path")));
            const QJsonValue base = first.value(QStringLiteral("baseSha256"));
            first.insert(QStringLiteral("baseSha256"), second.value(QStringLiteral("baseSha256")));
            second.insert(QStringLiteral("baseSha256"), base);
            deltas[0] = first;
            deltas[1] = second;
            payload.insert(QStringLiteral("deltas"), deltas);
        });
        QCOMPARE(runTool({QStringLiteral("verify"), stage}).exitCode, 0); // no base at hand
        const Run checked = runTool({QStringLiteral("verify"), stage, QStringLiteral("--feed"), feed});
        QCOMPARE(checked.exitCode, 1);
        QVERIFY2(checked.output.contains(QStringLiteral("(the delta of big.bin) does not give the file from its base")),
                 qPrintable(checked.output));
        const auto before = testsupport::snapshotTree(feed);
        QVERIFY(failureOf([&] { publishStage(publishing(stage, feed)); }).contains(QStringLiteral("does not give the file")));
        QCOMPARE(testsupport::snapshotTree(feed), before);

        const QString blob = QDir(stage + QStringLiteral("/deltas")).entryList(QDir::Files).first();
        writeFile(stage, QStringLiteral("deltas/") + blob, "xxxxx");
        const Run damaged = runTool({QStringLiteral("verify"), stage});
        QCOMPARE(damaged.exitCode, 1);
        QVERIFY2(damaged.output.contains(QStringLiteral("deltas/%1 (the delta of").arg(blob)), qPrintable(damaged.output));
    }

    void pruneKeepsTheLastReleases()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        if (!deltasAvailable())
            QSKIP("built without libzstd");
        QTemporaryDir dir;
        QList<Files> releases;
        QStringList stages = deltaFeed(dir.path(), releases);
        const QString feed = dir.filePath(QStringLiteral("feed"));
        stages << makeStage(dir.path(), QStringLiteral("v4"), releases.at(4), 4, {},
                            [&](StageOptions &options) { options.deltaBaseFeed = feed; });
        QVERIFY(publishStage(publishing(stages.at(4), feed)).deltaBlobs > 0);
        const QStringList history = entriesOf(feed + QStringLiteral("/stable/releases"));
        // Release 4 names release 3 as its fallback, whose blobs stay however few are kept.
        QCOMPARE(readReleaseExtras(manifestOf(stages.at(4))).fallback->sequence, 3);
        for (const int keep : {3, 2, 1}) {
            const PruneSummary pruned = pruneFeed(feed, {}, keep);
            QCOMPARE(pruned.releasesKept, keep);
            QCOMPARE(entriesOf(feed + QStringLiteral("/blobs")),
                     blobNamesOf(stages.mid(qMin(5 - keep, 3))));
        }
        QCOMPARE(entriesOf(feed + QStringLiteral("/stable/releases")), history); // the history stays
    }

    // The advance rule on the outcome reports of an access log: one row per situation, each with
    // the log's lines as "<installation>:<outcome>@<network>" for sequence 7 of "stable".
    void rolloutStepFollowsTheReports_data()
    {
        QTest::addColumn<int>("percent");
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<int>("move");
        QTest::addColumn<int>("after");
        // `count` reports from installations `from` on, each from a network of its own, or spread
        // over `networks` networks.
        auto many = [](int count, const QString &outcome, int from = 0, int networks = 0) {
            QStringList reports;
            for (int i = from; i < from + count; ++i)
                reports << QStringLiteral("%1:%2@%3")
                               .arg(installationNumber(i), outcome)
                               .arg(networks > 0 ? 60000 + i % networks : i);
            return reports;
        };
        const QString confirmed = QStringLiteral("confirmed");
        const QString rolledBack = QStringLiteral("rolled-back");
        const int hold = int(RolloutMove::Hold), advance = int(RolloutMove::Advance),
                  halt = int(RolloutMove::Halt);
        QTest::newRow("enough good reports") << 1 << many(40, confirmed) << advance << 5;
        QTest::newRow("too few reports") << 5 << many(10, confirmed) << hold << 5;
        // One installation reporting again and again is one report.
        QTest::newRow("one installation, many lines")
            << 5 << QStringList(40, many(1, confirmed).first()) << hold << 5;
        QTest::newRow("failures above the limit")
            << 25 << many(5, confirmed) + many(3, rolledBack, 5) + many(2, QStringLiteral("recovered"), 8)
            << halt << 0;
        QTest::newRow("a failure after a confirmation counts as a failure")
            << 25 << many(5, confirmed) + many(5, rolledBack) << halt << 0;
        QTest::newRow("undecided") << 5 << many(37, confirmed) + many(3, QStringLiteral("recovered"), 37)
                                   << hold << 5;
        QTest::newRow("halted stays halted") << 0 << many(100, confirmed) << hold << 0;
        QTest::newRow("the last step") << 100 << many(100, confirmed) << hold << 100;
        QTest::newRow("between steps") << 30 << many(40, confirmed) << advance << 50;
        // One sender, one network: however many installations it makes up, five count.
        QTest::newRow("200 made-up installations from one network")
            << 5 << many(200, confirmed, 0, 1) << hold << 5;
        QTest::newRow("forty from four networks: twenty count") << 5 << many(40, confirmed, 0, 4) << hold << 5;
        QTest::newRow("forty from eight networks") << 5 << many(40, confirmed, 0, 8) << advance << 25;
        // A halt needs three failed installations from two networks at least.
        QTest::newRow("one forged failure") << 5 << many(1, rolledBack) << hold << 5;
        QTest::newRow("three failures from one network") << 5 << many(3, rolledBack, 0, 1) << hold << 5;
        QTest::newRow("two failures from two networks") << 5 << many(2, rolledBack, 0, 2) << hold << 5;
        QTest::newRow("three failures from two networks") << 5 << many(3, rolledBack, 0, 2) << halt << 0;
    }

    void rolloutStepFollowsTheReports()
    {
        QFETCH(int, percent);
        QFETCH(QStringList, reports);
        QFETCH(int, move);
        QFETCH(int, after);
        ReportTally tally(QStringLiteral("stable"));
        for (const QString &entry : std::as_const(reports)) {
            protocol::OutcomeReport report;
            report.channel = QStringLiteral("stable");
            report.sequence = 7;
            report.installation = entry.section(u':', 0, 0);
            const QString outcome = entry.section(u':', 1).section(u'@', 0, 0);
            const int network = entry.section(u'@', 1).toInt();
            const QString address = QStringLiteral("10.%1.%2.1").arg(network / 256).arg(network % 256);
            report.outcome = outcome == u"confirmed" ? protocol::ReportedOutcome::Confirmed
                : outcome == u"recovered"            ? protocol::ReportedOutcome::Recovered
                                                     : protocol::ReportedOutcome::RolledBack;
            report.reason = report.failed() ? QStringLiteral("not-confirmed") : QString();
            tally.addLogLine(combinedLine(report, address));
            // Reports of another channel or release, and lines that are no reports, count nowhere.
            report.channel = QStringLiteral("beta");
            tally.addLogLine(combinedLine(report, address));
        }
        for (const QString &other :
             {QStringLiteral("192.0.2.1 - - [09/Dec/2026:10:00:00 +0000] \"GET /stable/manifest.json HTTP/2.0\" 200 9 \"-\" \"-\""),
              QStringLiteral("192.0.2.1 - - [09/Dec/2026:10:00:00 +0000] \"POST /r?channel=stable&sequence=7&outcome=rolled-back&installation=00000000000000000000000000000abc HTTP/1.1\" 204 0 \"-\" \"-\""),
              QStringLiteral("192.0.2.1 - - [09/Dec/2026:10:00:00 +0000] \"GET /r?channel=stable&sequence=7&outcome=rolled-back&installation=XYZ HTTP/1.1\" 204 0 \"-\" \"-\""),
              QStringLiteral("192.0.2.1 - - [09/Dec/2026:10:00:00 +0000] \"GET /r?channel=stable&sequence=7&sequence=8&outcome=recovered&installation=00000000000000000000000000000abc HTTP/1.1\" 204 0 \"-\" \"-\""),
              // A sender whose network is unknown is not weighed.
              QStringLiteral("- - - [09/Dec/2026:10:00:00 +0000] \"GET /r?channel=stable&sequence=7&outcome=rolled-back&installation=00000000000000000000000000000abd HTTP/1.1\" 204 0 \"-\" \"-\""),
              QStringLiteral("garbage")})
            tally.addLogLine(other);
        const ReleaseReports counted = tally.release(7);
        QCOMPARE(tally.releases().size(), reports.isEmpty() ? 0 : 1);
        const RolloutDecision decision =
            decideRolloutStep(percent, {1, 5, 25, 50, 100}, counted, 0.1, 20);
        QVERIFY2(int(decision.move) == move && decision.percent == after, qPrintable(decision.why));

        // The interval against figures worked out by hand.
        const RateInterval twoOfHundred = wilsonInterval(2, 100);
        QVERIFY(qAbs(twoOfHundred.lower - 0.0055) < 0.0005 && qAbs(twoOfHundred.upper - 0.0700) < 0.0005);
        const RateInterval oneOfOne = wilsonInterval(1, 1);
        QVERIFY(qAbs(oneOfOne.lower - 0.2065) < 0.0005 && oneOfOne.upper == 1.0);
    }

    /*
        rollout --advance run again and again on one growing log, each run deciding on the reports
        logged since the current percentage was signed. Each entry of "runs" is what happens
        before one run: "<confirmed>+<failed>" reports from new installations, each from a network
        of its own, logged after the current step began (the first run's, as staged, before
        anything was signed again), or "percent:N", a person's rollout --percent. "after" is the
        percentage after each run, "codes" its exit code.
    */
    void rolloutStepsDecideOnFreshReports_data()
    {
        QTest::addColumn<QStringList>("runs");
        QTest::addColumn<QList<int>>("after");
        QTest::addColumn<QList<int>>("codes");
        QTest::newRow("the same five reports, run four times")
            << QStringList{QStringLiteral("5+0"), QStringLiteral("0+0"), QStringLiteral("0+0"), QStringLiteral("0+0")}
            << QList<int>{25, 25, 25, 25} << QList<int>{0, 0, 0, 0};
        QTest::newRow("five new reports before each run")
            << QStringList{QStringLiteral("5+0"), QStringLiteral("5+0"), QStringLiteral("5+0"), QStringLiteral("5+0")}
            << QList<int>{25, 50, 100, 100} << QList<int>{0, 0, 0, 0};
        QTest::newRow("halted, resumed by hand: the old failures do not halt it again")
            << QStringList{QStringLiteral("0+5"), QStringLiteral("percent:10"), QStringLiteral("5+0")}
            << QList<int>{0, 10, 25} << QList<int>{3, 0, 0};
        // 2 of 7 failed holds; with the 2 of 14 before it, 4 of 21 would advance.
        QTest::newRow("a step decides on its own reports, not on those before it")
            << QStringList{QStringLiteral("12+2"), QStringLiteral("5+2")}
            << QList<int>{25, 25} << QList<int>{0, 0};
    }

    void rolloutStepsDecideOnFreshReports()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QFETCH(QStringList, runs);
        QFETCH(QList<int>, after);
        QFETCH(QList<int>, codes);
        QTemporaryDir dir;
        const QString feed = dir.filePath(QStringLiteral("feed"));
        const QString key = testsupport::devSigningKey();
        Files files = requiredPrograms();
        publishStage(publishing(makeStage(dir.path(), QStringLiteral("v1"), files, 1), feed));
        files.insert(QStringLiteral("Vellumix.exe"), "main 2");
        publishStage(publishing(makeStage(dir.path(), QStringLiteral("v2"), files, 2, {}, [](StageOptions &options) {
                                    options.rolloutPercent = 10;
                                    options.reportsUrl = QStringLiteral("https://updates.example.com/r");
                                }), feed));
        const QString log = dir.filePath(QStringLiteral("access.log"));
        QString lines;
        int installation = 0;
        for (qsizetype run = 0; run < runs.size(); ++run) {
            const QString &what = runs.at(run);
            QStringList arguments{QStringLiteral("rollout"), QStringLiteral("--feed"), feed, QStringLiteral("--key"), key};
            if (what.startsWith(QStringLiteral("percent:"))) {
                arguments << QStringLiteral("--percent") << what.mid(8);
            } else {
                // Logged after the current step began: a second after its signing, or a minute
                // ago for the release as staged.
                const std::optional<QDateTime> since =
                    readReleaseExtras(orThrow(loadUpdateManifest(testsupport::readFile(channelManifest(feed))))).rolloutSince;
                const QDateTime time = since ? since->addSecs(1) : secondsFromNow(-60);
                const int confirmed = what.section(u'+', 0, 0).toInt();
                const int failed = what.section(u'+', 1).toInt();
                for (int i = 0; i < confirmed + failed; ++i, ++installation) {
                    const bool good = i < confirmed;
                    const protocol::OutcomeReport report{
                        QStringLiteral("stable"), 2,
                        good ? protocol::ReportedOutcome::Confirmed : protocol::ReportedOutcome::RolledBack,
                        good ? QString() : QStringLiteral("not-confirmed"), installationNumber(installation)};
                    lines += combinedLine(report, QStringLiteral("10.%1.%2.7").arg(installation / 250).arg(installation % 250),
                                          time) + u'\n';
                }
                writeFile(dir.path(), QStringLiteral("access.log"), lines.toUtf8());
                arguments << QStringLiteral("--advance") << QStringLiteral("--schedule") << QStringLiteral("10,25,50,100")
                          << QStringLiteral("--min-reports") << QStringLiteral("5") << QStringLiteral("--max-failure-rate")
                          << QStringLiteral("50%") << QStringLiteral("--access-log") << log;
            }
            const Run ran = runTool(arguments);
            QVERIFY2(ran.exitCode == codes.at(run), qPrintable(QStringLiteral("run %1: %2").arg(run + 1).arg(ran.output)));
            const ReleaseExtras extras = readReleaseExtras(orThrow(loadUpdateManifest(testsupport::readFile(channelManifest(feed)))));
            QVERIFY2(extras.percent() == after.at(run), qPrintable(QStringLiteral("run %1: %2").arg(run + 1).arg(ran.output)));
        }
    }

    /*
        The access logs a fleet leaves: "combined" as nginx writes it, rotated and compressed with
        gzip (found by content), concatenated members (zcat of several), the W3C extended format
        of a CDN (a "#Fields:" header, tabs or spaces), standard input. "form" says how the three
        reports below (two installations of sequence 7, one of them twice, from two networks)
        are written; the tool reads them with --json.
    */
    void accessLogsInEveryForm_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("logLines");
        QTest::addColumn<int>("reportLines");
        QTest::addColumn<int>("installations");
        QTest::newRow("combined") << QStringLiteral("combined") << 0 << 3 << 3 << 2;
        QTest::newRow("combined, CR LF, no final line end") << QStringLiteral("crlf") << 0 << 3 << 3 << 2;
        QTest::newRow("combined on standard input") << QStringLiteral("stdin") << 0 << 3 << 3 << 2;
        QTest::newRow("gzip, named .log") << QStringLiteral("gzip") << 0 << 3 << 3 << 2;
        QTest::newRow("gzip on standard input") << QStringLiteral("stdin-gzip") << 0 << 3 << 3 << 2;
        QTest::newRow("two gzip members") << QStringLiteral("gzip-members") << 0 << 3 << 3 << 2;
        QTest::newRow("gzip cut short") << QStringLiteral("gzip-cut") << 1 << 0 << 0 << 0;
        QTest::newRow("W3C, tabs") << QStringLiteral("w3c-tabs") << 0 << 5 << 3 << 2;
        QTest::newRow("W3C, spaces") << QStringLiteral("w3c-spaces") << 0 << 5 << 3 << 2;
        QTest::newRow("W3C without c-ip") << QStringLiteral("w3c-no-address") << 0 << 5 << 3 << 0;
        QTest::newRow("a line of 100,000 bytes among them") << QStringLiteral("overlong") << 0 << 4 << 3 << 2;
        QTest::newRow("empty") << QStringLiteral("empty") << 0 << 0 << 0 << 0;
    }

    void accessLogsInEveryForm()
    {
        QFETCH(QString, form);
        QFETCH(int, exitCode);
        QFETCH(int, logLines);
        QFETCH(int, reportLines);
        QFETCH(int, installations);
        QTemporaryDir dir;
        const QString query1 = QStringLiteral("channel=stable&sequence=7&outcome=confirmed&installation=%1").arg(installationNumber(1));
        const QString query2 = QStringLiteral("channel=stable&sequence=7&outcome=rolled-back&reason=not-confirmed&installation=%1")
                                   .arg(installationNumber(2));
        const QList<std::pair<QString, QString>> sent{{QStringLiteral("192.0.2.10"), query1},
                                                      {QStringLiteral("2001:db8:5::1"), query2},
                                                      {QStringLiteral("192.0.2.10"), query1}};
        QByteArray log;
        if (form.startsWith(QStringLiteral("w3c"))) {
            const bool tabs = form == u"w3c-tabs";
            const QString separator = tabs ? QStringLiteral("\t") : QStringLiteral(" ");
            log = "#Version: 1.0\n";
            log += form == u"w3c-no-address"
                ? "#Fields: date time x-edge-location cs-method cs-uri-stem sc-status cs-uri-query\n"
                : "#Fields: date time x-edge-location c-ip cs-method cs-uri-stem sc-status cs-uri-query\n";
            for (const auto &[address, query] : sent) {
                QStringList fields{QStringLiteral("2026-12-09"), QStringLiteral("10:00:00"), QStringLiteral("FRA56-C1")};
                if (form != u"w3c-no-address")
                    fields << address;
                fields << QStringLiteral("GET") << QStringLiteral("/reports") << QStringLiteral("204") << query;
                log += fields.join(separator).toUtf8() + '\n';
            }
        } else if (form != u"empty") {
            for (const auto &[address, query] : sent) {
                log += QStringLiteral("%1 - - [09/Dec/2026:10:00:00 +0000] \"GET /reports?%2 HTTP/1.1\" 204 0 \"-\" \"-\"\n")
                           .arg(address, query).toUtf8();
                if (form == u"overlong" && log.count('\n') == 1)
                    log += "192.0.2.9 - - [09/Dec/2026:10:00:00 +0000] \"GET /reports?" + QByteArray(100000, 'x') + " HTTP/1.1\"\n";
            }
        }
        if (form == u"crlf")
            log = log.replace("\n", "\r\n").chopped(2);
        QByteArray written = log;
        if (form.contains(QStringLiteral("gzip")))
            written = gzipped(log);
        if (form == u"gzip-members") {
            const qsizetype half = log.indexOf('\n') + 1;
            written = gzipped(log.left(half)) + gzipped(log.mid(half));
        }
        if (form == u"gzip-cut")
            written.chop(12);
        writeFile(dir.path(), QStringLiteral("reports.log"), written);
        const bool input = form.startsWith(QStringLiteral("stdin"));
        const RunApart run = runToolApart({QStringLiteral("rollout-status"), QStringLiteral("--access-log"),
                                           input ? QStringLiteral("-") : dir.filePath(QStringLiteral("reports.log")),
                                           QStringLiteral("--json")},
                                          input ? written : QByteArray());
        QVERIFY2(run.exitCode == exitCode, run.err.constData());
        const QJsonObject json = run.json();
        if (exitCode != 0) {
            QVERIFY2(json.value(QStringLiteral("error")).toString().contains(QStringLiteral("cannot read the access log")),
                     run.out.constData());
            return;
        }
        QCOMPARE(json.value(QStringLiteral("logLines")).toInt(), logLines);
        QCOMPARE(json.value(QStringLiteral("reportLines")).toInt(), reportLines);
        const QJsonArray releases = json.value(QStringLiteral("releases")).toArray();
        QCOMPARE(releases.isEmpty() ? 0 : releases.first().toObject().value(QStringLiteral("installations")).toInt(),
                 installations);
        if (installations == 2) {
            QCOMPARE(releases.first().toObject().value(QStringLiteral("networks")).toInt(), 2);
            QCOMPARE(releases.first().toObject().value(QStringLiteral("rolledBack")).toInt(), 1);
        }
    }

    // The reports of a query as clients send it are read without Qt's URL classes; every query
    // must read as protocol::parseOutcomeReport reads it.
    void reportQueriesReadAsTheProtocolReadsThem_data()
    {
        QTest::addColumn<QString>("query");
        const QString id = installationNumber(0xabc);
        auto row = [](const QString &name, const QString &query) { QTest::newRow(qPrintable(name)) << query; };
        const QString plain = QStringLiteral("channel=stable&sequence=7&outcome=confirmed&installation=") + id;
        row(QStringLiteral("plain"), plain);
        row(QStringLiteral("keys in another order"), QStringLiteral("installation=%1&outcome=recovered&sequence=7&channel=beta-2").arg(id));
        row(QStringLiteral("with a reason"), QStringLiteral("channel=stable&sequence=7&outcome=rolled-back&reason=not-confirmed&installation=") + id);
        row(QStringLiteral("a reason on a confirmation"), QStringLiteral("channel=stable&sequence=7&outcome=confirmed&reason=x&installation=") + id);
        row(QStringLiteral("an empty reason"), QStringLiteral("channel=stable&sequence=7&outcome=rolled-back&reason=&installation=") + id);
        row(QStringLiteral("a reason of 41"), QStringLiteral("channel=stable&sequence=7&outcome=rolled-back&reason=%1&installation=%2").arg(QString(41, u'a'), id));
        row(QStringLiteral("a reason in capitals"), QStringLiteral("channel=stable&sequence=7&outcome=rolled-back&reason=Crash&installation=") + id);
        row(QStringLiteral("the reports address's own query"), QStringLiteral("key=Ab1_.~&") + plain);
        row(QStringLiteral("its own query twice"), QStringLiteral("key=1&key=2&") + plain);
        row(QStringLiteral("a key twice"), plain + QStringLiteral("&sequence=8"));
        row(QStringLiteral("escaped"), QStringLiteral("channel=st%61ble&sequence=7&outcome=confirmed&installation=") + id);
        row(QStringLiteral("an escaped key twice"), plain + QStringLiteral("&s%65quence=8"));
        row(QStringLiteral("a plus"), QStringLiteral("channel=stable+&sequence=7&outcome=confirmed&installation=") + id);
        row(QStringLiteral("an empty item"), QStringLiteral("channel=stable&&sequence=7&outcome=confirmed&installation=") + id);
        row(QStringLiteral("an item without ="), QStringLiteral("flag&") + plain);
        row(QStringLiteral("an = in a value"), plain + QStringLiteral("&x=a=b"));
        row(QStringLiteral("sequence 0"), QStringLiteral("channel=stable&sequence=0&outcome=confirmed&installation=") + id);
        row(QStringLiteral("sequence 07"), QStringLiteral("channel=stable&sequence=07&outcome=confirmed&installation=") + id);
        row(QStringLiteral("sequence 2147483647"), QStringLiteral("channel=stable&sequence=2147483647&outcome=confirmed&installation=") + id);
        row(QStringLiteral("sequence 2147483648"), QStringLiteral("channel=stable&sequence=2147483648&outcome=confirmed&installation=") + id);
        row(QStringLiteral("channel blobs"), QStringLiteral("channel=blobs&sequence=7&outcome=confirmed&installation=") + id);
        row(QStringLiteral("channel of 33"), QStringLiteral("channel=%1&sequence=7&outcome=confirmed&installation=%2").arg(QString(33, u'a'), id));
        row(QStringLiteral("channel in capitals"), QStringLiteral("channel=Stable&sequence=7&outcome=confirmed&installation=") + id);
        row(QStringLiteral("an unknown outcome"), QStringLiteral("channel=stable&sequence=7&outcome=crashed&installation=") + id);
        row(QStringLiteral("installation in capitals"), QStringLiteral("channel=stable&sequence=7&outcome=confirmed&installation=") + id.toUpper() + u'F');
        row(QStringLiteral("installation of 31"), QStringLiteral("channel=stable&sequence=7&outcome=confirmed&installation=") + id.mid(1));
        row(QStringLiteral("no installation"), QStringLiteral("channel=stable&sequence=7&outcome=confirmed"));
        row(QStringLiteral("empty"), QString());
    }

    void reportQueriesReadAsTheProtocolReadsThem()
    {
        QFETCH(QString, query);
        const QByteArray bytes = query.toUtf8();
        const std::optional<protocol::OutcomeReport> fast = parseReportQuery(bytes.constData(), bytes.size());
        const std::optional<protocol::OutcomeReport> slow = protocol::parseOutcomeReport(QStringLiteral("/r?") + query);
        QCOMPARE(fast.has_value(), slow.has_value());
        if (!fast)
            return;
        QCOMPARE(fast->channel, slow->channel);
        QCOMPARE(fast->sequence, slow->sequence);
        QCOMPARE(int(fast->outcome), int(slow->outcome));
        QCOMPARE(fast->reason, slow->reason);
        QCOMPARE(fast->installation, slow->installation);
    }

    // A step counts the reports logged after the second it began, in whatever zone the log
    // writes its time: `line`'s time against a start of 2026-12-09T10:00:00Z.
    void reportTimesAgainstAStepsStart_data()
    {
        QTest::addColumn<QString>("time"); // "[...]" of a combined line, or W3C's "date time"
        QTest::addColumn<bool>("counts");
        QTest::newRow("a second after") << QStringLiteral("[09/Dec/2026:10:00:01 +0000]") << true;
        QTest::newRow("the same second") << QStringLiteral("[09/Dec/2026:10:00:00 +0000]") << false;
        QTest::newRow("a second after, east of UTC") << QStringLiteral("[09/Dec/2026:11:00:01 +0100]") << true;
        QTest::newRow("a second before, east of UTC") << QStringLiteral("[09/Dec/2026:10:59:59 +0100]") << false;
        QTest::newRow("west of UTC") << QStringLiteral("[09/Dec/2026:05:00:01 -0500]") << true;
        QTest::newRow("half an hour east") << QStringLiteral("[09/Dec/2026:15:29:59 +0530]") << false;
        QTest::newRow("the next day") << QStringLiteral("[10/Dec/2026:00:00:00 +0000]") << true;
        QTest::newRow("a year before") << QStringLiteral("[09/Dec/2025:10:00:01 +0000]") << false;
        QTest::newRow("no such day") << QStringLiteral("[31/Nov/2026:10:00:01 +0000]") << false;
        QTest::newRow("no time") << QStringLiteral("-") << false;
        QTest::newRow("W3C, a second after") << QStringLiteral("2026-12-09 10:00:01") << true;
        QTest::newRow("W3C, within the same second") << QStringLiteral("2026-12-09 10:00:00.900") << false;
        QTest::newRow("W3C, 29 February of a leap year") << QStringLiteral("2028-02-29 00:00:00") << true;
        QTest::newRow("W3C, 29 February of another") << QStringLiteral("2027-02-29 00:00:00") << false;
    }

    void reportTimesAgainstAStepsStart()
    {
        QFETCH(QString, time);
        QFETCH(bool, counts);
        ReportTally tally(QStringLiteral("stable"));
        tally.countAfter(7, QDateTime::fromString(QStringLiteral("2026-12-09T10:00:00Z"), Qt::ISODate));
        const QString query = QStringLiteral("channel=stable&sequence=7&outcome=confirmed&installation=") + installationNumber(5);
        if (time.startsWith(u'[') || time == u"-") {
            tally.addLogLine(QStringLiteral("192.0.2.1 - - %1 \"GET /r?%2 HTTP/1.1\" 204 0 \"-\" \"-\"").arg(time, query));
        } else {
            tally.addLogLine(QStringLiteral("#Fields: date time c-ip cs-method cs-uri-query"));
            tally.addLogLine(QStringLiteral("%1\t192.0.2.1\tGET\t%2").arg(QString(time).replace(u' ', u'\t'), query));
        }
        QCOMPARE(tally.reportLines(), 1);
        QCOMPARE(tally.release(7).reports(), counts ? 1 : 0);
    }

    // Installations are counted per client network: the networks of two addresses as a log
    // writes them, "same", "other", or "none" when the first is no address.
    void clientNetworks_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<QString>("relation");
        auto row = [](const char *first, const char *second, const char *relation) {
            QTest::addRow("%s %s", first, second) << QString::fromLatin1(first) << QString::fromLatin1(second)
                                                  << QString::fromLatin1(relation);
        };
        row("192.0.2.7", "192.0.2.200", "same");
        row("192.0.2.7", "192.0.3.7", "other");
        row("10.0.0.1", "11.0.0.1", "other");
        row("2001:db8:1::1", "2001:db8:1:ffff::2", "same");
        row("2001:db8:1::1", "2001:db8:2::1", "other");
        row("2001:0db8:0001:0000:0000:0000:0000:0001", "2001:DB8:1::", "same");
        row("::ffff:192.0.2.7", "192.0.2.9", "same");
        row("::1", "::2", "same");
        row("fe80::1", "::1", "other");
        row("256.1.1.1", "1.1.1.1", "none");
        row("1.2.3", "1.2.3.4", "none");
        row("1.2.3.4.5", "1.2.3.4", "none");
        row("updates.example.com", "1.2.3.4", "none");
        row("1:2:3:4:5:6:7:8:9", "1::", "none");
        row("1::2::3", "1::", "none");
        row("1:2:3:4:5:6:7", "1::", "none");
        row("12345::1", "1::", "none");
        row("fe80::1%eth0", "fe80::1", "none");
        row("-", "1.2.3.4", "none");
        row("", "1.2.3.4", "none");
    }

    void clientNetworks()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(QString, relation);
        const QByteArray a = first.toLatin1(), b = second.toLatin1();
        const std::optional<quint64> x = clientNetworkOf(a.constData(), a.size());
        const std::optional<quint64> y = clientNetworkOf(b.constData(), b.size());
        QVERIFY(y.has_value());
        if (relation == u"none")
            QVERIFY(!x.has_value());
        else
            QVERIFY(x.has_value() && (*x == *y) == (relation == u"same"));
    }

    /*
        The fallback a new release names: the newest release that every installation takes. Each
        entry of "before" is a release published in turn ("<percent>" or "<percent>:critical",
        sequence 1, 2, ...) or what was done to the channel's current release then
        ("rollout:<options>", the command line of rollout). "fallback" is the sequence the next
        release names (0: none).
    */
    void fallbackIsTheNewestReleaseEveryoneTakes_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<int>("fallback");
        QTest::newRow("after a full release") << QStringList{QStringLiteral("100")} << 1;
        QTest::newRow("after a partial release, what it fell back to")
            << QStringList{QStringLiteral("100"), QStringLiteral("10")} << 1;
        QTest::newRow("after a critical release at 10%")
            << QStringList{QStringLiteral("100"), QStringLiteral("10:critical")} << 2;
        QTest::newRow("after a release whose fallback is a critical one")
            << QStringList{QStringLiteral("100"), QStringLiteral("5:critical"), QStringLiteral("10")} << 2;
        QTest::newRow("after a release marked critical once published")
            << QStringList{QStringLiteral("100"), QStringLiteral("10"), QStringLiteral("rollout:--critical")} << 2;
        QTest::newRow("after a critical release that was halted")
            << QStringList{QStringLiteral("100"), QStringLiteral("10:critical"), QStringLiteral("rollout:--percent 0")} << 1;
        QTest::newRow("after a full release that was halted")
            << QStringList{QStringLiteral("100"), QStringLiteral("100"), QStringLiteral("rollout:--percent 0")} << 1;
        QTest::newRow("after a partial release that reached everyone")
            << QStringList{QStringLiteral("100"), QStringLiteral("10"), QStringLiteral("rollout:--percent 100")} << 2;
        QTest::newRow("after a halted release marked critical")
            << QStringList{QStringLiteral("100"), QStringLiteral("10"), QStringLiteral("rollout:--percent 0 --critical")} << 1;
    }

    void fallbackIsTheNewestReleaseEveryoneTakes()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QFETCH(QStringList, before);
        QFETCH(int, fallback);
        QTemporaryDir dir;
        const QString feed = dir.filePath(QStringLiteral("feed"));
        const QString key = testsupport::devSigningKey();
        auto files = [](int n) {
            return Files{{QStringLiteral("Vellumix.exe"), "main " + QByteArray::number(n)},
                         {QStringLiteral("VellumixUpdater.exe"), "updater"}};
        };
        int sequence = 0;
        for (const QString &step : std::as_const(before)) {
            if (step.startsWith(QStringLiteral("rollout:"))) {
                const Run run = runTool(QStringList{QStringLiteral("rollout"), QStringLiteral("--feed"), feed,
                                                    QStringLiteral("--key"), key}
                                        + step.mid(8).split(u' '));
                QVERIFY2(run.exitCode == 0, qPrintable(run.output));
                continue;
            }
            ++sequence;
            publishStage(publishing(makeStage(dir.path(), QStringLiteral("v%1").arg(sequence), files(sequence), sequence,
                                              {}, [&](StageOptions &options) {
                                                  if (sequence > 1)
                                                      options.deltaBaseFeed = feed;
                                                  options.rolloutPercent = step.section(u':', 0, 0).toInt();
                                                  options.critical = step.endsWith(QStringLiteral(":critical"));
                                              }),
                                    feed));
        }
        StageSummary summary;
        const QString next = makeStage(dir.path(), QStringLiteral("next"), files(sequence + 1), sequence + 1, {},
                                       [&](StageOptions &options) {
                                           options.deltaBaseFeed = feed;
                                           options.rolloutPercent = 10;
                                       }, &summary);
        QCOMPARE(summary.fallback ? summary.fallback->sequence : 0, fallback);
        // The client takes the fallback the signed manifest names, by the digest of its history
        // file: that file is the release meant, also while the new release is halted.
        const QByteArray history = testsupport::readFile(feed + QStringLiteral("/stable/releases/%1.json").arg(fallback));
        const FallbackRelease named{fallback, QCryptographicHash::hash(history, QCryptographicHash::Sha256).toHex()};
        QCOMPARE(readReleaseExtras(manifestOf(next)).fallback, std::optional<FallbackRelease>(named));
        publishStage(publishing(next, feed));
        RolloutOptions halt;
        halt.feedDir = feed;
        halt.keyPath = key;
        halt.percent = 0;
        setRollout(halt);
        const ReleaseExtras halted = readReleaseExtras(orThrow(loadUpdateManifest(testsupport::readFile(channelManifest(feed)))));
        QCOMPARE(halted.percent(), 0);
        QCOMPARE(halted.fallback, std::optional<FallbackRelease>(named));
    }

    // How many more installations, all confirming, the advance rule needs: the figures
    // docs/releasing.md gives for the limits of its cron job and the defaults.
    void installationsToAdvanceUnderLimits_data()
    {
        QTest::addColumn<int>("confirmed");
        QTest::addColumn<int>("failed");
        QTest::addColumn<double>("maxFailureRate");
        QTest::addColumn<int>("minReports");
        QTest::addColumn<int>("needed");
        QTest::newRow("none yet, 2% and 50") << 0 << 0 << 0.02 << 50 << 189;
        QTest::newRow("40 in, 2% and 50") << 40 << 0 << 0.02 << 50 << 149;
        QTest::newRow("one failure, 2% and 50") << 0 << 1 << 0.02 << 50 << 279;
        QTest::newRow("enough already") << 300 << 0 << 0.02 << 50 << 0;
        QTest::newRow("none yet, 10% and 50: the minimum decides") << 0 << 0 << 0.10 << 50 << 50;
        QTest::newRow("none yet, 10% and 20") << 0 << 0 << 0.10 << 20 << 35;
        QTest::newRow("none yet, 5% and 20") << 0 << 0 << 0.05 << 20 << 73;
        QTest::newRow("none yet, 1% and 20") << 0 << 0 << 0.01 << 20 << 381;
    }

    void installationsToAdvanceUnderLimits()
    {
        QFETCH(int, confirmed);
        QFETCH(int, failed);
        QFETCH(double, maxFailureRate);
        QFETCH(int, minReports);
        QFETCH(int, needed);
        ReleaseReports reports;
        reports.confirmed = confirmed;
        reports.rolledBack = failed;
        QCOMPARE(installationsToAdvance(reports, maxFailureRate, minReports), needed);
        // The count it gives is the one the rule advances on, and one fewer is not.
        reports.confirmed += needed;
        QCOMPARE(decideRolloutStep(5, {1, 5, 25}, reports, maxFailureRate, minReports).move, RolloutMove::Advance);
        if (needed > 0) {
            reports.confirmed -= 1;
            QCOMPARE(decideRolloutStep(5, {1, 5, 25}, reports, maxFailureRate, minReports).move, RolloutMove::Hold);
        }
    }

    /*
        rollout-status --feed: per release its version, its rollout as signed last, what was
        counted for it and, for the current release, what its next step needs. Release 1 went
        out whole; release 2 was staged at 10 % and moved to 25 %, then "what" happened. The log
        holds 10 confirmations of release 2 logged before it moved to 25 % (another step's), 40
        after, 3 of release 1 and 2 of a sequence the feed never published.
    */
    void rolloutStatusAtAGlance_data()
    {
        QTest::addColumn<QString>("what");   // "" or "halted" or "failures" (3 failed, 3 networks)
        QTest::addColumn<QStringList>("more"); // options of rollout-status
        QTest::addColumn<QString>("percent"); // of release 2: "25%" or "halted"
        QTest::addColumn<int>("installations"); // of release 2
        QTest::addColumn<int>("failures");
        QTest::addColumn<int>("next");   // the next step's percentage, 0: none
        QTest::addColumn<int>("needed"); // -1: not known without a limit
        QTest::addColumn<QString>("said"); // in the text output
        const QStringList limits{QStringLiteral("--max-failure-rate"), QStringLiteral("2%"),
                                 QStringLiteral("--min-reports"), QStringLiteral("50")};
        QTest::newRow("under the cron job's limits") << QString() << limits << QStringLiteral("25%") << 40 << 0
                                                     << 50 << 149 << QStringLiteral("50% after 149 more installations");
        QTest::newRow("without a limit") << QString() << QStringList() << QStringLiteral("25%") << 40 << 0 << 50 << -1
                                         << QStringLiteral("50% (give --max-failure-rate");
        QTest::newRow("one per network") << QString() << (limits + QStringList{QStringLiteral("--per-network"), QStringLiteral("1")})
                                         << QStringLiteral("25%") << 20 << 0 << 50 << 169
                                         << QStringLiteral("20 (20)");
        QTest::newRow("halted") << QStringLiteral("halted") << limits << QStringLiteral("halted") << 40 << 0 << 0 << -1
                                << QStringLiteral("sequence 2, 2.0, halted");
        QTest::newRow("failing") << QStringLiteral("failures") << limits << QStringLiteral("25%") << 43 << 3 << 50 << 394
                                 << QStringLiteral("halts now");
    }

    void rolloutStatusAtAGlance()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QFETCH(QString, what);
        QFETCH(QStringList, more);
        QFETCH(QString, percent);
        QFETCH(int, installations);
        QFETCH(int, failures);
        QFETCH(int, next);
        QFETCH(int, needed);
        QFETCH(QString, said);
        QTemporaryDir dir;
        const QString feed = dir.filePath(QStringLiteral("feed"));
        Files files = requiredPrograms();
        publishStage(publishing(makeStage(dir.path(), QStringLiteral("v1"), files, 1), feed));
        files.insert(QStringLiteral("Vellumix.exe"), "main 2");
        publishStage(publishing(makeStage(dir.path(), QStringLiteral("v2"), files, 2, {},
                                          [](StageOptions &options) { options.rolloutPercent = 10; }),
                                feed));
        RolloutOptions rollout;
        rollout.feedDir = feed;
        rollout.keyPath = testsupport::devSigningKey();
        rollout.percent = 25;
        const QDateTime since = *setRollout(rollout).since;
        if (what == u"halted") {
            rollout.percent = 0;
            setRollout(rollout);
        }
        QString log;
        int n = 0;
        // Two installations in each network, or one with `step` 2.
        auto send = [&](qint32 sequence, protocol::ReportedOutcome outcome, const QDateTime &time, int count,
                        int step = 1) {
            for (int i = 0; i < count; ++i, n += step)
                log += combinedLine({QStringLiteral("stable"), sequence, outcome,
                                     outcome == protocol::ReportedOutcome::Confirmed ? QString() : QStringLiteral("not-confirmed"),
                                     installationNumber(n)},
                                    QStringLiteral("10.%1.%2.1").arg(n / 512).arg(n / 2 % 256), time) + u'\n';
        };
        send(2, protocol::ReportedOutcome::Confirmed, since.addSecs(-5), 10);
        send(2, protocol::ReportedOutcome::Confirmed, since.addSecs(5), 40);
        send(1, protocol::ReportedOutcome::Confirmed, since.addSecs(5), 3, 2);
        send(9, protocol::ReportedOutcome::Confirmed, since.addSecs(5), 2, 2);
        if (what == u"failures")
            send(2, protocol::ReportedOutcome::RolledBack, since.addSecs(5), 3, 2);
        writeFile(dir.path(), QStringLiteral("reports.log"), log.toUtf8());
        const QStringList arguments = QStringList{QStringLiteral("rollout-status"), QStringLiteral("--feed"), feed,
                                                  QStringLiteral("--access-log"), dir.filePath(QStringLiteral("reports.log"))}
            + more;
        const RunApart run = runToolApart(arguments + QStringList{QStringLiteral("--json")});
        QVERIFY2(run.exitCode == 0, run.err.constData());
        const QJsonObject json = run.json();
        QCOMPARE(json.value(QStringLiteral("current")).toInt(), 2);
        QCOMPARE(json.value(QStringLiteral("reportLines")).toInt(), 55 + (what == u"failures" ? 3 : 0));
        const QJsonArray releases = json.value(QStringLiteral("releases")).toArray();
        QCOMPARE(releases.size(), 2); // sequence 9 is no release of the feed
        const QJsonObject first = releases.at(0).toObject();
        QCOMPARE(first.value(QStringLiteral("version")).toString(), QStringLiteral("1.0"));
        QCOMPARE(first.value(QStringLiteral("percent")).toInt(), 100);
        QCOMPARE(first.value(QStringLiteral("installations")).toInt(), 3);
        QCOMPARE(first.value(QStringLiteral("next")), QJsonValue());
        const QJsonObject second = releases.at(1).toObject();
        QCOMPARE(second.value(QStringLiteral("version")).toString(), QStringLiteral("2.0"));
        QCOMPARE(second.value(QStringLiteral("halted")).toBool(), percent == u"halted");
        QCOMPARE(second.value(QStringLiteral("installations")).toInt(), installations);
        QCOMPARE(second.value(QStringLiteral("failures")).toInt(), failures);
        QCOMPARE(second.value(QStringLiteral("next")).toObject().value(QStringLiteral("percent")).toInt(), next);
        const QJsonValue installationsNeeded =
            second.value(QStringLiteral("next")).toObject().value(QStringLiteral("installationsNeeded"));
        QCOMPARE(installationsNeeded.isDouble() ? installationsNeeded.toInt() : -1, needed);

        const Run text = runTool(arguments);
        QVERIFY2(text.exitCode == 0 && text.output.contains(QRegularExpression(
                     QStringLiteral("\\n +2  2\\.0 +%1 ").arg(QRegularExpression::escape(percent)))),
                 qPrintable(text.output));
        QVERIFY2(text.output.contains(said), qPrintable(text.output));
    }

    // A release rolled out to a share of the installations: staged with a percentage, a reports
    // address and the channel's last full release as its fallback; its share changed, kept on record
    // and advanced by a log; the fallback's blobs kept by prune and checked by publish.
    void rolloutSignsSharesAndFallbacks()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QTemporaryDir dir;
        const QString feed = dir.filePath(QStringLiteral("feed"));
        const QString key = testsupport::devSigningKey();
        auto files = [](int n) {
            return Files{{QStringLiteral("Vellumix.exe"), "main " + QByteArray::number(n)},
                         {QStringLiteral("VellumixUpdater.exe"), "updater"}};
        };
        publishStage(publishing(makeStage(dir.path(), QStringLiteral("v1"), files(1), 1), feed));
        const QString release2 = dir.filePath(QStringLiteral("r2"));
        writeRelease(release2, files(2));
        const QString stage2 = dir.filePath(QStringLiteral("v2"));
        const Run staged = runTool({QStringLiteral("stage"), QStringLiteral("--release"), release2,
                                    QStringLiteral("--version"), QStringLiteral("2.0"), QStringLiteral("--sequence"),
                                    QStringLiteral("2"), QStringLiteral("--key"), key, QStringLiteral("--out"), stage2,
                                    QStringLiteral("--delta-base"), feed, QStringLiteral("--rollout"), QStringLiteral("10"),
                                    QStringLiteral("--reports"), QStringLiteral("https://updates.example.com/r")});
        QVERIFY2(staged.exitCode == 0, qPrintable(staged.output));
        const QByteArray history1 = testsupport::readFile(feed + QStringLiteral("/stable/releases/1.json"));
        ReleaseExtras extras = readReleaseExtras(manifestOf(stage2));
        QCOMPARE(extras.percent(), 10);
        QCOMPARE(extras.reports, QStringLiteral("https://updates.example.com/r"));
        QCOMPARE(extras.fallback, (FallbackRelease{1, QCryptographicHash::hash(history1, QCryptographicHash::Sha256).toHex()}));

        // Publish refuses a fallback that the feed's history does not hold as named.
        const QString forged = dir.filePath(QStringLiteral("forged"));
        QVERIFY(QDir().rename(stage2, forged));
        resign(forged, [](QJsonObject &p) {
            p.insert(QStringLiteral("fallback"), QJsonObject{{QStringLiteral("sequence"), 1},
                                                             {QStringLiteral("sha256"), QString(64, u'0')}});
        });
        QVERIFY(failureOf([&] { publishStage(publishing(forged, feed)); }).contains(QStringLiteral("holds other bytes")));
        resign(forged, [&](QJsonObject &p) { p.insert(QStringLiteral("fallback"), QJsonObject{
            {QStringLiteral("sequence"), 1}, {QStringLiteral("sha256"), QString::fromLatin1(extras.fallback->historySha256)}}); });
        publishStage(publishing(forged, feed));

        // A new share is signed, kept beside the history, and the same share again changes nothing.
        const QString manifest = channelManifest(feed);
        const auto rollout = [&](const QStringList &more) {
            return runTool(QStringList{QStringLiteral("rollout"), QStringLiteral("--feed"), feed,
                                       QStringLiteral("--key"), key} + more);
        };
        Run run = rollout({QStringLiteral("--percent"), QStringLiteral("50")});
        QVERIFY2(run.exitCode == 0 && run.output.contains(QStringLiteral("50% (before: 10%)")), qPrintable(run.output));
        QCOMPARE(readReleaseExtras(orThrow(loadUpdateManifest(testsupport::readFile(manifest)))).percent(), 50);
        QCOMPARE(testsupport::readFile(feed + QStringLiteral("/stable/releases/2.signed-1.json")), testsupport::readFile(manifest));
        QCOMPARE(testsupport::readFile(feed + QStringLiteral("/stable/releases/2.json")), manifestOf(forged).envelope);
        const auto snapshot = testsupport::snapshotTree(feed);
        run = rollout({QStringLiteral("--percent"), QStringLiteral("50")});
        QVERIFY2(run.exitCode == 0 && run.output.contains(QStringLiteral("(unchanged)")), qPrintable(run.output));
        QCOMPARE(testsupport::snapshotTree(feed), snapshot);

        // A release staged while 2 is still rolling out falls back to what 2 fell back to.
        StageSummary summary3;
        makeStage(dir.path(), QStringLiteral("v3"), files(3), 3, {},
                  [&](StageOptions &options) { options.deltaBaseFeed = feed; }, &summary3);
        QCOMPARE(summary3.fallback, extras.fallback);

        // The advance over a log: 30 confirmations of sequence 2, each from a network of its own,
        // move it from 50% to 100%.
        QString log;
        auto report = [&](int n, protocol::ReportedOutcome outcome, int seconds) {
            const protocol::OutcomeReport sent{QStringLiteral("stable"), 2, outcome,
                                               outcome == protocol::ReportedOutcome::Confirmed
                                                   ? QString() : QStringLiteral("not-confirmed"),
                                               installationNumber(n)};
            log += combinedLine(sent, QStringLiteral("10.%1.%2.9").arg(n / 256).arg(n % 256),
                                secondsFromNow(seconds)) + u'\n';
        };
        for (int i = 0; i < 30; ++i)
            report(i, protocol::ReportedOutcome::Confirmed, 2);
        const QString accessLog = dir.filePath(QStringLiteral("access.log"));
        writeFile(dir.path(), QStringLiteral("access.log"), log.toUtf8());
        const QStringList advance{QStringLiteral("--advance"), QStringLiteral("--schedule"), QStringLiteral("10,50,100"),
                                  QStringLiteral("--max-failure-rate"), QStringLiteral("15%"),
                                  QStringLiteral("--access-log"), accessLog};
        run = rollout(advance);
        QVERIFY2(run.exitCode == 0 && run.output.contains(QStringLiteral("advanced from 50% to 100%")), qPrintable(run.output));
        QVERIFY(QFileInfo::exists(feed + QStringLiteral("/stable/releases/2.signed-2.json")));
        run = runTool({QStringLiteral("rollout-status"), QStringLiteral("--access-log"), accessLog});
        QVERIFY2(run.exitCode == 0 && run.output.contains(QRegularExpression(QStringLiteral("\\n +2 +30 +30 +0 +0 +0.0% "))),
                 qPrintable(run.output));

        // Failures halt it: that run exits 3, for the job to alert someone; the next finds it
        // halted and exits 0.
        for (int i = 100; i < 130; ++i)
            report(i, protocol::ReportedOutcome::RolledBack, 3);
        writeFile(dir.path(), QStringLiteral("access.log"), log.toUtf8());
        RunApart halted = runToolApart(QStringList{QStringLiteral("rollout"), QStringLiteral("--feed"), feed,
                                                   QStringLiteral("--key"), key, QStringLiteral("--json")} + advance);
        QCOMPARE(halted.exitCode, 3);
        QCOMPARE(halted.json().value(QStringLiteral("decision")).toObject().value(QStringLiteral("move")),
                 QJsonValue(QStringLiteral("halt")));
        QCOMPARE(halted.json().value(QStringLiteral("percent")), QJsonValue(0));
        QCOMPARE(readReleaseExtras(orThrow(loadUpdateManifest(testsupport::readFile(manifest)))).percent(), 0);
        run = rollout(advance);
        QVERIFY2(run.exitCode == 0 && run.output.contains(QStringLiteral("halted")), qPrintable(run.output));

        // prune keeps the fallback's blobs even when it keeps no history.
        pruneFeed(feed, {}, 0);
        QCOMPARE(entriesOf(feed + QStringLiteral("/blobs")),
                 blobNamesOf({dir.filePath(QStringLiteral("v1")), forged}));
    }

    void trimDropsTheOldestBasesFirst_data()
    {
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<QString>("kept");
        // Deltas a to e against releases 3, 1, 2, 1, 3; the envelope is 1,000 + 100 per delta.
        QTest::newRow("all fit") << qint64(1500) << QStringLiteral("abcde");
        QTest::newRow("release 1 goes") << qint64(1300) << QStringLiteral("ace");
        QTest::newRow("then release 2") << qint64(1200) << QStringLiteral("ae");
        QTest::newRow("then the later of 3") << qint64(1100) << QStringLiteral("a");
        QTest::newRow("none fit") << qint64(999) << QString();
    }

    void trimDropsTheOldestBasesFirst()
    {
        QFETCH(qint64, limit);
        QFETCH(QString, kept);
        QList<DeltaRecord> deltas;
        const QList<int> sequences{3, 1, 2, 1, 3};
        for (int i = 0; i < sequences.size(); ++i)
            deltas.append({{QString(QChar(u'a' + i)), {}, {}, 1}, sequences.at(i), 1});
        const int dropped = trimDeltasToFit(deltas, limit, [](const QList<DeltaRecord> &list) {
            return 1000 + 100 * qint64(list.size());
        });
        QString paths;
        for (const DeltaRecord &delta : deltas)
            paths += delta.entry.path;
        QCOMPARE(paths, kept);
        QCOMPARE(dropped, 5 - int(kept.size()));
    }

    void feedServedByNginx_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("http") << false;
        QTest::newRow("https") << true;
    }

    void feedServedByNginx()
    {
        QFETCH(bool, tls);
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        if (!testsupport::FeedServer::available())
            QSKIP("nginx is not installed");
        QTemporaryDir dir;
        Files files = requiredPrograms();
        files.insert(QStringLiteral("data/big.bin"), sampleRelease().value(QStringLiteral(u"données/Ünïcode ñame.bin")));
        const QString stage = makeStage(dir.path(), QStringLiteral("v1"), files, 1);
        const QString feed = dir.filePath(QStringLiteral("feed"));
        publishStage(publishing(stage, feed));
        writeFile(feed, QStringLiteral("blobs/.publishing-unfinished"), "not served");
        const ManifestFile big = entryOf(manifestOf(stage), QStringLiteral("data/big.bin"));
        const QByteArray blob = testsupport::readFile(blobPath(feed, big));

        testsupport::TlsFiles certificates;
        QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
        if (tls) {
            certificates = testsupport::makeTestCertificates(dir.filePath(QStringLiteral("tls")),
                                                             QStringLiteral("127.0.0.1"));
            QVERIFY(!certificates.caFile.isEmpty());
            QVERIFY(trusting.addCaCertificates(certificates.caFile));
        }
        testsupport::FeedServer server;
        QVERIFY2(server.start(feed, tls ? &certificates : nullptr), qPrintable(server.errorText()));
        QCOMPARE(server.baseUrl(), QStringLiteral("%1://127.0.0.1:%2")
                                       .arg(tls ? QStringLiteral("https") : QStringLiteral("http"))
                                       .arg(server.port()));
        QNetworkAccessManager manager;
        manager.setProxy(QNetworkProxy::NoProxy);
        const QString base = server.baseUrl();
        const QString blobUri = QStringLiteral("/blobs/") + QString::fromLatin1(big.packedSha256);

        const Fetched manifest = fetch(manager, base + QStringLiteral("/stable/manifest.json"), trusting);
        QCOMPARE(manifest.status, 200);
        QCOMPARE(manifest.body, manifestOf(stage).envelope);
        QCOMPARE(manifest.cacheControl, QByteArray("no-cache"));
        QCOMPARE(manifest.contentType, QByteArray("application/json"));
        // A release of the history, as a rollout's fallback is fetched: it never changes.
        const Fetched history = fetch(manager, base + QStringLiteral("/stable/releases/1.json"), trusting);
        QCOMPARE(history.status, 200);
        QCOMPARE(history.body, manifestOf(stage).envelope);
        QCOMPARE(history.cacheControl, QByteArray("public, max-age=31536000, immutable"));

        const Fetched whole = fetch(manager, base + blobUri, trusting);
        QCOMPARE(whole.status, 200);
        QVERIFY(whole.body == blob);
        QCOMPARE(whole.cacheControl, QByteArray("public, max-age=31536000, immutable"));
        QCOMPARE(whole.contentType, QByteArray("application/octet-stream"));
        QVERIFY(!whole.encoded);

        const Fetched resumed = fetch(manager, base + blobUri, trusting, "bytes=1000-");
        QCOMPARE(resumed.status, 206);
        QVERIFY(resumed.body == blob.mid(1000));
        QCOMPARE(resumed.contentRange,
                 QStringLiteral("bytes 1000-%1/%2").arg(blob.size() - 1).arg(blob.size()).toLatin1());

        const QString missingUri = QStringLiteral("/blobs/") + QString(64, u'0');
        QCOMPARE(fetch(manager, base + missingUri, trusting).status, 404);
        QCOMPARE(fetch(manager, base + QStringLiteral("/blobs/.publishing-unfinished"), trusting).status, 404);
        QCOMPARE(fetch(manager, base + QStringLiteral("/blobs/"), trusting).status, 404);

        const QList<testsupport::AccessLogEntry> log = server.accessLog(7);
        QStringList lines;
        for (const testsupport::AccessLogEntry &entry : log)
            lines << QStringLiteral("%1 %2 %3 %4 %5").arg(entry.method, entry.uri).arg(entry.status)
                         .arg(entry.range).arg(entry.bytes);
        QCOMPARE(lines, (QStringList{
            QStringLiteral("GET /stable/manifest.json 200 - %1").arg(manifest.body.size()),
            QStringLiteral("GET /stable/releases/1.json 200 - %1").arg(history.body.size()),
            QStringLiteral("GET %1 200 - %2").arg(blobUri).arg(blob.size()),
            QStringLiteral("GET %1 206 bytes=1000- %2").arg(blobUri).arg(blob.size() - 1000),
            QStringLiteral("GET %1 404 - 153").arg(missingUri),
            QStringLiteral("GET /blobs/.publishing-unfinished 404 - 153"),
            QStringLiteral("GET /blobs/ 404 - 153")}));
        server.clearAccessLog();
        QCOMPARE(server.accessLog().size(), 0);
        if (!tls)
            return;

        // The client side of TLS: a server whose CA is not trusted, and a certificate for
        // another host, are both refused (each on a new manager, which shares no connection).
        QNetworkAccessManager fresh;
        fresh.setProxy(QNetworkProxy::NoProxy);
        const Fetched untrusted = fetch(fresh, base + QStringLiteral("/stable/manifest.json"),
                                        QSslConfiguration::defaultConfiguration());
        QCOMPARE(untrusted.error, QNetworkReply::SslHandshakeFailedError);
        const testsupport::TlsFiles otherHost = testsupport::makeTestCertificates(
            dir.filePath(QStringLiteral("other")), QStringLiteral("updates.example.com"));
        QVERIFY(!otherHost.caFile.isEmpty());
        testsupport::FeedServer other;
        QVERIFY2(other.start(feed, &otherHost), qPrintable(other.errorText()));
        QSslConfiguration trustingOther = QSslConfiguration::defaultConfiguration();
        QVERIFY(trustingOther.addCaCertificates(otherHost.caFile));
        QNetworkAccessManager another;
        another.setProxy(QNetworkProxy::NoProxy);
        const Fetched wrongHost = fetch(another, other.baseUrl() + QStringLiteral("/stable/manifest.json"),
                                        trustingOther);
        QCOMPARE(wrongHost.error, QNetworkReply::SslHandshakeFailedError);
        QCOMPARE(wrongHost.body, QByteArray());
    }

    // The site configuration that docs/hosting.md shows is the one the server above runs with.
    void hostingGuideShowsTheTestedConfiguration()
    {
        const QString docs = QStringLiteral(VELLUMIX_SOURCE_DIR "/docs/");
        const QByteArray site = testsupport::readFile(docs + QStringLiteral("nginx-feed.conf"));
        QVERIFY(site.contains("location"));
        QVERIFY2(testsupport::readFile(docs + QStringLiteral("hosting.md")).contains(site),
                 "docs/hosting.md does not show docs/nginx-feed.conf as it is");
    }

    /*
        The Setup program of a stage: a 64-bit Windows program, made only from a whole release
        that verifies, with the values of the command line checked before anything is read;
        nothing is written when it is refused. What it installs is the Wine suite's to show.
    */
    void installer_data()
    {
        QTest::addColumn<QString>("stage");       // whole, changed-only, tampered, with-uninstaller
        QTest::addColumn<QStringList>("options"); // beside the stage; "ICON" and "BADICON" name files made here
        QTest::addColumn<bool>("makensisFound");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        const QString whole = QStringLiteral("whole");
        const QString name = QStringLiteral("--name");
        const QString publisher = QStringLiteral("--publisher");
        QTest::newRow("whole release") << whole << QStringList() << true << 0
                                       << QStringLiteral("release:  12.0 (sequence 12), 3 files, 16 bytes");
        QTest::newRow("a name in Chinese, a publisher with quotes and braces")
            << whole << QStringList{name, QStringLiteral(u"维拉 Tools (x64)"), publisher,
                                    QStringLiteral(u"ACME \"Q\" 'x' {y} %1 \\n 公司")}
            << true << 0 << QStringLiteral(u"name:     维拉 Tools (x64)");
        QTest::newRow("with an icon") << whole << QStringList{QStringLiteral("--icon"), QStringLiteral("ICON")}
                                      << true << 0 << QStringLiteral("setup:");
        QTest::newRow("an icon that is none")
            << whole << QStringList{QStringLiteral("--icon"), QStringLiteral("BADICON")} << true << 1
            << QStringLiteral("is not a Windows icon (.ico)");
        QTest::newRow("only the files that differ") << QStringLiteral("changed-only") << QStringList() << true << 1
            << QStringLiteral("a Setup program needs every file");
        QTest::newRow("a staged file changed") << QStringLiteral("tampered") << QStringList() << true << 1
            << QStringLiteral("the stage does not verify: files/lib/a.dll");
        QTest::newRow("an uninstall.exe of its own") << QStringLiteral("with-uninstaller") << QStringList() << true
            << 1 << QStringLiteral("the release holds Uninstall.exe, which Setup writes itself");
        QTest::newRow("makensis missing") << whole << QStringList() << false << 1
            << QStringLiteral("makensis is not installed");
        QTest::newRow("a name with a separator") << whole << QStringList{name, QStringLiteral("..\\Startup")}
            << true << 64 << QStringLiteral("it may hold letters, digits, spaces");
        QTest::newRow("a name with a quote") << whole << QStringList{name, QStringLiteral("A\"B")} << true << 64
            << QStringLiteral("it may hold letters");
        QTest::newRow("a name with a variable") << whole << QStringList{name, QStringLiteral("$INSTDIR")} << true
            << 64 << QStringLiteral("it may hold letters");
        QTest::newRow("a device's name") << whole << QStringList{name, QStringLiteral("com1")} << true << 64
            << QStringLiteral("reserved by Windows for a device");
        QTest::newRow("a name ending with a dot") << whole << QStringList{name, QStringLiteral("Vellumix.")} << true
            << 64 << QStringLiteral("begins or ends with a space or a dot");
        QTest::newRow("an empty name") << whole << QStringList{name, QString()} << true << 64
            << QStringLiteral("the name must have 1 to 64 characters");
        QTest::newRow("a publisher with a variable") << whole << QStringList{publisher, QStringLiteral("$INSTDIR")}
            << true << 64 << QStringLiteral("the publisher may not hold \"$\"");
        QTest::newRow("a publisher with a backquote") << whole << QStringList{publisher, QStringLiteral("a`b")}
            << true << 64 << QStringLiteral("the publisher may not hold \"`\"");
        QTest::newRow("a publisher over two lines") << whole << QStringList{publisher, QStringLiteral("a\nb")}
            << true << 64 << QStringLiteral("control characters");
        QTest::newRow("--out not a program") << whole << QStringList{QStringLiteral("--out"), QStringLiteral("setup.msi")}
            << true << 64 << QStringLiteral("--out must name a .exe file");
    }

    void installer()
    {
        QFETCH(QString, stage);
        QFETCH(QStringList, options);
        QFETCH(bool, makensisFound);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        if (makensisFound && QStandardPaths::findExecutable(QStringLiteral("makensis")).isEmpty())
            QSKIP("makensis is not installed (Debian: nsis)");
        QTemporaryDir dir;
        Files files = requiredPrograms();
        files.insert(QStringLiteral("lib/a.dll"), "aaaaa");
        if (stage == u"with-uninstaller")
            files.insert(QStringLiteral("Uninstall.exe"), "mine");
        QString installed;
        if (stage == u"changed-only") {
            installed = dir.filePath(QStringLiteral("installed"));
            writeRelease(installed, requiredPrograms());
        }
        const QString stageDir = makeStage(dir.path(), QStringLiteral("stage"), files, 12, installed);
        if (stage == u"tampered")
            writeFile(stageDir, QStringLiteral("files/lib/a.dll"), "bbbbb");
        const QString setup = dir.filePath(QStringLiteral("Vellumix Setup.exe"));
        QStringList arguments{QStringLiteral("installer"), stageDir};
        if (!options.contains(QStringLiteral("--out")))
            arguments << QStringLiteral("--out") << setup;
        for (QString option : std::as_const(options)) {
            if (option == u"ICON" || option == u"BADICON") {
                // An icon directory with one 16x16 image (its bitmap need not be drawn).
                QByteArray icon = option == u"ICON" ? QByteArray::fromHex("000001000100") : QByteArray("not an icon");
                if (option == u"ICON") {
                    QByteArray image = QByteArray::fromHex("28000000100000002000000001002000000000000004000000000000000000000000000000000000");
                    image += QByteArray(16 * 16 * 4 + 16 * 4, '\0');
                    icon += QByteArray::fromHex("1010000001002000");
                    const quint32 size = quint32(image.size()), offset = 6 + 16;
                    icon.append(reinterpret_cast<const char *>(&size), 4);
                    icon.append(reinterpret_cast<const char *>(&offset), 4);
                    icon += image;
                }
                writeFile(dir.path(), QStringLiteral("setup.ico"), icon);
                option = dir.filePath(QStringLiteral("setup.ico"));
            }
            arguments << option;
        }
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!makensisFound)
            environment.insert(QStringLiteral("PATH"), dir.filePath(QStringLiteral("nothing-here")));
        tool.setProcessEnvironment(environment);
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(kProgram, arguments);
        QVERIFY(tool.waitForFinished(120000));
        const QString output = QString::fromUtf8(tool.readAll());
        QVERIFY2(tool.exitCode() == exitCode, qPrintable(output));
        QVERIFY2(output.contains(said), qPrintable(output));
        if (exitCode != 0) {
            QVERIFY(!QFileInfo::exists(setup));
            QCOMPARE(entriesOf(dir.path()).filter(QStringLiteral("Setup")), QStringList());
            return;
        }
        // A 64-bit Windows program (PE32+, AMD64), and never written over.
        QFile program(setup);
        QVERIFY(program.open(QIODevice::ReadOnly));
        const QByteArray head = program.read(4096);
        QVERIFY(head.startsWith("MZ"));
        const qint32 peOffset = qFromLittleEndian<qint32>(head.constData() + 0x3c);
        QVERIFY(peOffset > 0 && peOffset + 26 < head.size());
        QCOMPARE(head.mid(peOffset, 4), QByteArray("PE\0\0", 4));
        QCOMPARE(qFromLittleEndian<quint16>(head.constData() + peOffset + 4), quint16(0x8664));
        QCOMPARE(qFromLittleEndian<quint16>(head.constData() + peOffset + 24), quint16(0x20b));
        const QByteArray before = testsupport::readFile(setup);
        const Run again = runTool(arguments);
        QCOMPARE(again.exitCode, 1);
        QVERIFY2(again.output.contains(QStringLiteral("already exists; it is never overwritten")),
                 qPrintable(again.output));
        QCOMPARE(testsupport::readFile(setup), before);
    }

    // The values the script takes, quoted so that nothing in them is the script's own syntax;
    // the publisher defaults to the name.
    void installerValuesAreQuoted()
    {
        UpdateManifest manifest;
        manifest.version = QStringLiteral("2.0.0-rc+1");
        manifest.sequence = 12;
        InstallerOptions options;
        options.name = QStringLiteral(u"维拉 (x64)");
        QCOMPARE(installerValues(options, manifest, 1025, false),
                 QByteArray("; Written by vellumix-publish installer: the values of this Setup program.\n"
                            "!define VX_NAME `") + QStringLiteral(u"维拉 (x64)").toUtf8() + "`\n"
                 "!define VX_PUBLISHER `" + QStringLiteral(u"维拉 (x64)").toUtf8() + "`\n"
                 "!define VX_VERSION `2.0.0-rc+1`\n"
                 "!define VX_SEQUENCE 12\n"
                 "!define VX_SIZE_KB 2\n"
                 "!define VX_OUT `built.exe`\n");
        options.publisher = QStringLiteral("A \"B\" {c}");
        QVERIFY(installerValues(options, manifest, 0, true)
                    .contains("!define VX_PUBLISHER `A \"B\" {c}`\n!define VX_VERSION"));
        QVERIFY(installerValues(options, manifest, 0, true).endsWith("!define VX_ICON `setup.ico`\n"));
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said"); // a part of what it says; with --json, of its "error"
        QTest::newRow("no command") << QStringList() << 64 << QString();
        QTest::newRow("unknown command") << QStringList{QStringLiteral("sign")} << 64 << QString();
        QTest::newRow("stage without --key")
            << QStringList{QStringLiteral("stage"), QStringLiteral("--release"), QStringLiteral("r"),
                           QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--sequence"),
                           QStringLiteral("1"), QStringLiteral("--out"), QStringLiteral("o")}
            << 64 << QString();
        QTest::newRow("sequence not a number")
            << QStringList{QStringLiteral("stage"), QStringLiteral("--release"), QStringLiteral("r"),
                           QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--sequence"),
                           QStringLiteral("x"), QStringLiteral("--key"), QStringLiteral("k"),
                           QStringLiteral("--out"), QStringLiteral("o")}
            << 64 << QString();
        QTest::newRow("verify without a stage") << QStringList{QStringLiteral("verify")} << 64 << QString();
        QTest::newRow("unknown option") << QStringList{QStringLiteral("modulus"), QStringLiteral("--x"),
                                                      QStringLiteral("k.pem")} << 64 << QString();
        QTest::newRow("modulus of a missing file")
            << QStringList{QStringLiteral("modulus"), QStringLiteral("/nonexistent.pem")} << 1 << QString();
        QTest::newRow("help of a command") << QStringList{QStringLiteral("stage"), QStringLiteral("--help")} << 0 << QString();
        QTest::newRow("version") << QStringList{QStringLiteral("--version")} << 0 << QString();
        QTest::newRow("an option given twice")
            << QStringList{QStringLiteral("prune"), QStringLiteral("--feed"), QStringLiteral("f"),
                           QStringLiteral("--feed"), QStringLiteral("g")} << 64 << QString();
        QTest::newRow("a failure with --json") << QStringList{QStringLiteral("prune"), QStringLiteral("--feed"),
                                                              QStringLiteral("/nonexistent"), QStringLiteral("--json")}
            << 1 << QStringLiteral("the feed /nonexistent does not exist");
        QTest::newRow("publish without --feed") << QStringList{QStringLiteral("publish"), QStringLiteral("s")} << 64 << QString();
        QTest::newRow("prune without --feed") << QStringList{QStringLiteral("prune")} << 64 << QString();
        QTest::newRow("prune --keep -1") << QStringList{QStringLiteral("prune"), QStringLiteral("--feed"), QStringLiteral("f"),
                                                        QStringLiteral("--keep"), QStringLiteral("-1")} << 64 << QString();
        QTest::newRow("rollout without --percent or --advance")
            << QStringList{QStringLiteral("rollout"), QStringLiteral("--feed"), QStringLiteral("f"),
                           QStringLiteral("--key"), QStringLiteral("k")} << 64 << QString();
        QTest::newRow("rollout --percent 101")
            << QStringList{QStringLiteral("rollout"), QStringLiteral("--feed"), QStringLiteral("f"),
                           QStringLiteral("--key"), QStringLiteral("k"), QStringLiteral("--percent"),
                           QStringLiteral("101")} << 64 << QString();
        QTest::newRow("rollout --advance with a rate of 2")
            << QStringList{QStringLiteral("rollout"), QStringLiteral("--feed"), QStringLiteral("f"),
                           QStringLiteral("--key"), QStringLiteral("k"), QStringLiteral("--advance"),
                           QStringLiteral("--access-log"), QStringLiteral("a"),
                           QStringLiteral("--max-failure-rate"), QStringLiteral("2")} << 64 << QString();
        QTest::newRow("rollout --per-network 0")
            << QStringList{QStringLiteral("rollout"), QStringLiteral("--feed"), QStringLiteral("f"),
                           QStringLiteral("--key"), QStringLiteral("k"), QStringLiteral("--advance"),
                           QStringLiteral("--access-log"), QStringLiteral("a"), QStringLiteral("--max-failure-rate"),
                           QStringLiteral("2%"), QStringLiteral("--per-network"), QStringLiteral("0")}
            << 64 << QStringLiteral("--per-network needs a whole number from 1");
        QTest::newRow("rollout-status without --access-log")
            << QStringList{QStringLiteral("rollout-status")} << 64 << QString();
        QTest::newRow("refresh without --expires-in")
            << QStringList{QStringLiteral("refresh"), QStringLiteral("--feed"), QStringLiteral("f"),
                           QStringLiteral("--key"), QStringLiteral("k")} << 64 << QString();
        // A script that asked for JSON gets {"error": text} on standard output for every failure,
        // wrong usage included.
        const QString json = QStringLiteral("--json");
        QTest::newRow("a usage error with --json")
            << QStringList{QStringLiteral("stage"), QStringLiteral("--release"), QStringLiteral("r"), json}
            << 64 << QStringLiteral("the option --version is required");
        QTest::newRow("an unknown option with --json")
            << QStringList{QStringLiteral("publish"), QStringLiteral("s"), QStringLiteral("--feed"),
                           QStringLiteral("f"), QStringLiteral("--x"), json} << 64 << QStringLiteral("Unknown option");
        QTest::newRow("a wrong number with --json")
            << QStringList{QStringLiteral("prune"), QStringLiteral("--feed"), QStringLiteral("f"),
                           QStringLiteral("--keep"), QStringLiteral("x"), json} << 64 << QStringLiteral("--keep needs");
        QTest::newRow("rollout-status without --access-log, with --json")
            << QStringList{QStringLiteral("rollout-status"), json} << 64 << QStringLiteral("--access-log");
        QTest::newRow("--json of a command without it")
            << QStringList{QStringLiteral("keygen"), QStringLiteral("--out"), QStringLiteral("k.pem"), json}
            << 64 << QStringLiteral("Unknown option");
        QTest::newRow("an unknown command with --json")
            << QStringList{QStringLiteral("sign"), json} << 64 << QStringLiteral("unknown command");
        QTest::newRow("verify refused with --json")
            << QStringList{QStringLiteral("verify"), QStringLiteral("/nonexistent"), json} << 1
            << QStringLiteral("cannot read the file manifest.json");
        QTest::newRow("rollout --percent and --advance")
            << QStringList{QStringLiteral("rollout"), QStringLiteral("--feed"), QStringLiteral("f"),
                           QStringLiteral("--key"), QStringLiteral("k"), QStringLiteral("--percent"),
                           QStringLiteral("5"), QStringLiteral("--advance"), json}
            << 64 << QStringLiteral("not both");
    }

    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        const Run run = runTool(arguments);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY(!run.output.isEmpty());
        QVERIFY2(run.output.contains(said), qPrintable(run.output));
        if (arguments.value(0) == QStringLiteral("--version"))
            QVERIFY2(run.output.startsWith(QStringLiteral("vellumix-publish ") + QStringLiteral(VELLUMIX_PROJECT_VERSION)),
                     qPrintable(run.output));
        if (arguments.contains(QStringLiteral("--json"))) {
            const RunApart apart = runToolApart(arguments);
            QCOMPARE(apart.exitCode, exitCode);
            const QString error = apart.json().value(QStringLiteral("error")).toString();
            QVERIFY2(!error.isEmpty() && error.contains(said), apart.out.constData());
        }
    }
};

QTEST_GUILESS_MAIN(PublishTest)
#include "tst_publish.moc"
