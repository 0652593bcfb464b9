// vellumix-fetch download killed just before each system call by which it changes its staging
// directory, against a feed made by vellumix-publish and served by nginx. One file comes as a
// delta against its installed copy.
//
// Rule, after every kill: each file under files/ is complete and verified (the manifest's size and
// digest for its path), and manifest.json is there only when every file is; the installed copy
// that the delta applies to is untouched. Then the next run ends with 0 and transfers exactly
// the packed bytes that were missing (the blobs of the files not staged, or the delta for the
// file that has one, less what their .part files already hold), still applies the delta when
// its file is missing, and leaves a complete stage.
//
// A kill can come at any moment, so looking after a kill at every call is the proof that files/
// never held an unverified file.
#include "faultrig.h"
#include "feed.h"
#include "feedserver.h"
#include "releaseinfo.h"
#include "stage.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

using vellumix::ManifestFile;
using testsupport::FileSpec;

namespace {

const QString kFetch = QStringLiteral(VELLUMIX_FETCH_PROGRAM);
const QString kPatched = QStringLiteral("data/patched.bin");

QByteArray noise(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// The installed copy of the file that comes as a delta; the new release changes a stretch of it
// too long for one piece, so the delta arrives, and is applied, in several.
const QByteArray kPatchedBase = noise(1024 * 1024, 11);

// The installed release, which the program root holds and the feed keeps as the delta's base.
QList<FileSpec> installedFiles()
{
    return {{QStringLiteral("Vellumix.exe"), "main program 1"},
            {QStringLiteral("VellumixUpdater.exe"), "updater 1"},
            {QStringLiteral("docs/readme.txt"), "unchanged"},
            {kPatched, kPatchedBase}};
}

// The release: the programs, two paths of one content (one blob, copied), a file of many
// pieces, an empty file, a new folder, a file that comes as a delta; docs/readme.txt is
// installed already and not fetched.
QList<FileSpec> releaseFiles()
{
    const QByteArray big = noise(700 * 1024, 7);
    const QByteArray patched =
        QByteArray(kPatchedBase).replace(256 * 1024, 600 * 1024, noise(600 * 1024, 12));
    return {{QStringLiteral("Vellumix.exe"), "main program 2"},
            {QStringLiteral("VellumixUpdater.exe"), "updater 2"},
            {QStringLiteral("lib/a.dll"), "the same library at two paths"},
            {QStringLiteral("lib/b.dll"), "the same library at two paths"},
            {QStringLiteral(u"插件/deep/x.dll"), "plug-in 2"},
            {QStringLiteral("data/big.bin"), big},
            {QStringLiteral("data/empty.dat"), QByteArray()},
            {kPatched, patched},
            {QStringLiteral("docs/readme.txt"), "unchanged"}};
}

struct TracedCall
{
    QString thread;
    QString name;
    QString line;
};

// The calls of an strace -f output file; a call that a thread resumes later counts where it began.
QList<TracedCall> readThreadedTrace(const QString &traceFile)
{
    static const QRegularExpression callStart(QStringLiteral("^(\\d+)\\s+([a-z_0-9]+)\\("));
    QList<TracedCall> calls;
    for (const QString &line : QString::fromUtf8(testsupport::readFile(traceFile)).split(u'\n')) {
        const QRegularExpressionMatch match = callStart.match(line);
        if (match.hasMatch())
            calls.append({match.captured(1), match.captured(2), line});
    }
    return calls;
}

struct FetchRun
{
    bool killed = false;
    int exitCode = -1;
    QJsonObject json;
    QString lastCall; // the last traced call: under a kill, the one it hit
};

} // namespace

class FetchCrash : public QObject
{
    Q_OBJECT

    fault::Scratch m_scratch; // before the folders below, which it places on a tmpfs
    QTemporaryDir m_dir;
    testsupport::FeedServer m_server;
    vellumix::UpdateManifest m_manifest;
    QList<ManifestFile> m_toFetch;
    vellumix::publish::DeltaEntry m_delta; // of kPatched, against its installed copy
    QString m_root = m_dir.filePath(QStringLiteral("program"));
    QString m_stage = m_dir.filePath(QStringLiteral("stage"));
    QStringList m_pathFilter;
    QStringList m_deltaPathFilter; // the delta's .part and .out, and the file it stages

    /*
        strace counts the occurrences of "when=" per thread, and vellumix-fetch runs several: the
        event loop, Qt's network thread and the client's worker. Only the calls on the stage's
        paths are traced (one -P for every path the stage can hold), and strace does not count the
        calls it does not trace; the worker is the only thread that touches the stage (the
        reference run checks it), so its count is the count of the whole process. Not seen: the
        writes and flushes of the unnamed temporary files (O_TMPFILE) behind QSaveFile and
        QFile::copy, which leave nothing when the process dies; their open on the folder and the
        link that names them are seen.

        One run of vellumix-fetch download: untraced, or traced with a kill just before
        occurrence `occurrence` of `call` when one is given. With `deltaOnly` only the calls on
        the delta's files are traced, and counted: how many writes the whole blobs before it take
        depends on how their bytes arrived, so only that count finds the delta's calls again.
    */
    FetchRun run(bool traced, const QString &call = QString(), int occurrence = 0,
                 bool deltaOnly = false) const
    {
        const QString traceFile = m_dir.filePath(QStringLiteral("trace.txt"));
        QStringList arguments{QStringLiteral("-f"), QStringLiteral("-q"), QStringLiteral("-y"),
                              QStringLiteral("-o"), traceFile, QStringLiteral("-e"),
                              QStringLiteral("trace=")
                                  + (call.isEmpty() ? fault::mutatingCalls().join(u',') : call)};
        if (!call.isEmpty())
            arguments << QStringLiteral("-e")
                      << QStringLiteral("inject=%1:signal=KILL:when=%2").arg(call).arg(occurrence);
        arguments += deltaOnly ? m_deltaPathFilter : m_pathFilter;
        arguments << kFetch << QStringLiteral("download") << QStringLiteral("--feed")
                  << m_server.baseUrl() << QStringLiteral("--root") << m_root
                  << QStringLiteral("--stage") << m_stage
                  /*
                      One connection makes one worker lane, so one thread changes the stage and
                      strace's per-thread count of a call is the process's count. The lanes of a
                      download with more connections run the same stage code, blob by blob.
                  */
                  << QStringLiteral("--connections") << QStringLiteral("1");
        if (!traced)
            arguments = arguments.mid(arguments.indexOf(kFetch) + 1);
        QProcess process;
        process.start(traced ? QStringLiteral("strace") : kFetch, arguments);
        FetchRun result;
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.killed = process.exitStatus() == QProcess::CrashExit;
        result.exitCode = result.killed ? -1 : process.exitCode();
        result.json = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        const QList<TracedCall> calls = traced ? readThreadedTrace(traceFile) : QList<TracedCall>();
        if (!calls.isEmpty())
            result.lastCall = calls.last().line;
        return result;
    }

    bool isStagedAndVerified(const ManifestFile &file) const
    {
        const QFileInfo info(m_stage + QStringLiteral("/files/") + file.path);
        return info.isFile() && !info.isSymLink() && info.size() == file.size
            && testsupport::sha256Hex(testsupport::readFile(info.filePath()))
                   == QString::fromLatin1(file.sha256);
    }

    // What breaks the rule in the stage as it is; empty when nothing.
    QString stageProblems() const
    {
        QStringList problems;
        const QDir files(m_stage + QStringLiteral("/files"));
        QDirIterator it(files.path(),
                        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        int verified = 0;
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            if (info.isDir() && !info.isSymLink())
                continue;
            const QString path = files.relativeFilePath(info.filePath());
            const auto file = std::find_if(m_toFetch.cbegin(), m_toFetch.cend(),
                                           [&](const ManifestFile &f) { return f.path == path; });
            if (file != m_toFetch.cend() && isStagedAndVerified(*file))
                ++verified;
            else
                problems << QStringLiteral("files/%1 is not a verified file").arg(path);
        }
        const QString manifest = m_stage + QStringLiteral("/manifest.json");
        if (QFileInfo::exists(manifest) && verified != m_toFetch.size())
            problems << QStringLiteral("manifest.json with %1 of %2 files")
                            .arg(verified)
                            .arg(m_toFetch.size());
        if (QFileInfo::exists(manifest) && testsupport::readFile(manifest) != m_manifest.envelope)
            problems << QStringLiteral("manifest.json is not the feed's");
        if (testsupport::readFile(m_root + u'/' + kPatched) != kPatchedBase)
            problems << QStringLiteral("the installed %1 changed").arg(kPatched);
        return problems.join(QStringLiteral("; "));
    }

    // The packed bytes the next run has to transfer, the files it has to fetch, and whether the
    // delta is among them.
    qint64 missingBytes(int *filesMissing, bool *deltaMissing = nullptr) const
    {
        QHash<QByteArray, qint64> blobs; // what travels: digest -> size
        *filesMissing = 0;
        for (const ManifestFile &file : m_toFetch) {
            if (isStagedAndVerified(file))
                continue;
            ++*filesMissing;
            if (file.path == m_delta.path)
                blobs.insert(m_delta.packedSha256, m_delta.packedSize);
            else
                blobs.insert(file.packedSha256, file.packedSize);
        }
        if (deltaMissing)
            *deltaMissing = blobs.contains(m_delta.packedSha256);
        qint64 missing = 0;
        for (auto blob = blobs.cbegin(); blob != blobs.cend(); ++blob) {
            const QFileInfo part(m_stage + QStringLiteral("/.download/")
                                 + QString::fromLatin1(blob.key()) + QStringLiteral(".part"));
            const bool held = part.isFile() && part.size() <= blob.value();
            missing += blob.value() - (held ? part.size() : 0);
        }
        return missing;
    }

private slots:
    void initTestCase()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        if (!fault::haveStrace())
            QSKIP("strace is not installed");
        if (!testsupport::FeedServer::available())
            QSKIP("nginx is not installed");
        // The installed release is published first: the next one has deltas against it.
        const QString feed = m_dir.filePath(QStringLiteral("feed"));
        for (const FileSpec &file : installedFiles())
            testsupport::writeFile(m_root, file.path, file.content);
        const QString release = m_dir.filePath(QStringLiteral("release"));
        for (const FileSpec &file : releaseFiles())
            testsupport::writeFile(release, file.path, file.content);
        for (const int sequence : {1, 2}) {
            vellumix::publish::StageOptions stage;
            stage.releaseDir = sequence == 1 ? m_root : release;
            stage.version = QStringLiteral("%1.0.0").arg(sequence);
            stage.sequence = sequence;
            stage.keyPath = testsupport::devSigningKey();
            stage.outDir = m_dir.filePath(QStringLiteral("release-stage-%1").arg(sequence));
            if (sequence == 2 && vellumix::publish::deltasAvailable())
                stage.deltaBaseFeed = feed;
            vellumix::publish::PublishOptions publish;
            publish.stageDir = stage.outDir;
            publish.feedDir = feed;
            QCOMPARE(testsupport::failureOf([&] {
                         vellumix::publish::stageRelease(stage);
                         m_manifest = vellumix::publish::publishStage(publish).manifest;
                     }),
                     testsupport::kNoFailure);
        }
        const QList<vellumix::publish::DeltaEntry> deltas =
            vellumix::publish::readReleaseExtras(m_manifest).deltas;
        QCOMPARE(deltas.size(), vellumix::publish::deltasAvailable() ? 1 : 0);
        if (!deltas.isEmpty()) {
            QCOMPARE(deltas.first().path, kPatched);
            m_delta = deltas.first();
        }
        QVERIFY2(m_server.start(feed), qPrintable(m_server.errorText()));

        QSet<QString> paths{m_stage};
        for (const char *name : {"/files", "/.download", "/.vellumix-stage", "/manifest.json"})
            paths << m_stage + QLatin1String(name);
        for (const ManifestFile &file : m_manifest.files) {
            if (file.path == u"docs/readme.txt")
                continue;
            m_toFetch << file;
            for (QString path = file.path; path != u"."; path = QFileInfo(path).path())
                paths << m_stage + QStringLiteral("/files/") + path;
            for (const char *suffix : {".part", ".out"})
                paths << m_stage + QStringLiteral("/.download/")
                             + QString::fromLatin1(file.packedSha256) + QLatin1String(suffix);
        }
        const QString deltaBlob =
            m_stage + QStringLiteral("/.download/") + QString::fromLatin1(m_delta.packedSha256);
        for (const QString &path : {deltaBlob + QStringLiteral(".part"),
                                    deltaBlob + QStringLiteral(".out"),
                                    m_stage + QStringLiteral("/files/") + kPatched}) {
            paths << path;
            m_deltaPathFilter << QStringLiteral("-P") << path;
        }
        for (const QString &path : std::as_const(paths))
            m_pathFilter << QStringLiteral("-P") << path;
    }

    // Each run starts from an empty stage, or from the stage that a run killed half-way left
    // (files staged, a blob partly received), which the run first clears and checks. The delta
    // comes last and is sampled little among all the calls: one row kills at each of its own.
    void killedAtEveryChangeOfTheStage_data()
    {
        QTest::addColumn<bool>("resumed");
        QTest::addColumn<bool>("deltaOnly");
        QTest::newRow("empty stage") << false << false;
        QTest::newRow("stage of a killed run") << true << false;
        QTest::newRow("delta downloaded and applied") << false << true;
    }

    void killedAtEveryChangeOfTheStage()
    {
        QFETCH(bool, resumed);
        QFETCH(bool, deltaOnly);
        if (deltaOnly && m_delta.path.isEmpty())
            QSKIP("this build makes no deltas");
        const QString base = m_dir.filePath(QStringLiteral("base"));
        auto startFrom = [&] {
            QDir(m_stage).removeRecursively();
            const QStringList copy{QStringLiteral("-a"), base, m_stage};
            return !resumed || testsupport::runProgram(QStringLiteral("cp"), copy) == 0;
        };
        QDir(base).removeRecursively();
        if (resumed) {
            // Killed half-way through the writes: some files staged, the large blob partly held.
            // Where that is depends on how the bytes arrived, so a few points are tried.
            bool halfWay = false;
            for (const int occurrence : {16, 12, 20, 8, 24}) {
                QDir(m_stage).removeRecursively();
                int filesMissing = 0;
                const bool killed = run(true, QStringLiteral("write"), occurrence).killed;
                missingBytes(&filesMissing);
                const QDir downloads(m_stage + QStringLiteral("/.download"));
                halfWay = killed && filesMissing > 0 && filesMissing < m_toFetch.size()
                    && !downloads.entryList({QStringLiteral("*.part")}).isEmpty();
                if (halfWay)
                    break;
            }
            QVERIFY2(halfWay, "no kill left some files staged and a blob partly held");
            QVERIFY(QDir().rename(m_stage, base));
        }
        QVERIFY(startFrom());

        // The reference: an undisturbed run, its changes to the stage counted as strace counts.
        int filesMissing = 0;
        bool deltaMissing = false;
        missingBytes(&filesMissing, &deltaMissing);
        const FetchRun reference = run(true, QString(), 0, deltaOnly);
        QVERIFY2(reference.exitCode == 0, QJsonDocument(reference.json).toJson().constData());
        QCOMPARE(stageProblems(), QString());
        QCOMPARE(reference.json.value(QStringLiteral("filesFromDeltas")).toInt(),
                 deltaMissing ? 1 : 0);
        QSet<QString> threads;
        QMap<QString, int> seen;
        QMap<QString, QList<int>> occurrences;
        for (const TracedCall &call : readThreadedTrace(m_dir.filePath(QStringLiteral("trace.txt")))) {
            threads << call.thread;
            const int number = ++seen[call.name];
            if (fault::isMutating(fault::TracedCall{call.name, call.line}))
                occurrences[call.name].append(number);
        }
        QVERIFY2(threads.size() == 1,
                 "the stage is changed by more than one thread: the count is no longer the process's");
        QVERIFY(occurrences.value(QStringLiteral("renameat2")).size() > (deltaOnly ? 0 : 1));

        QElapsedTimer clock;
        clock.start();
        QStringList failures;
        QStringList counts;
        int points = 0;
        int killed = 0;
        for (auto it = occurrences.cbegin(); it != occurrences.cend(); ++it) {
            counts << QStringLiteral("%1 %2").arg(it.key()).arg(it.value().size());
            const QList<int> tried = deltaOnly ? it.value() : fault::occurrencesToTry(it.value());
            for (const int occurrence : tried) {
                ++points;
                QVERIFY(startFrom());
                const FetchRun crashed = run(true, it.key(), occurrence, deltaOnly);
                const QString point =
                    QStringLiteral("%1 #%2 (%3)").arg(it.key()).arg(occurrence).arg(crashed.lastCall);
                if (!crashed.killed && crashed.exitCode != 0) {
                    failures << point + QStringLiteral(": the run ended with %1").arg(crashed.exitCode);
                    continue;
                }
                killed += crashed.killed ? 1 : 0;
                if (const QString problems = stageProblems(); !problems.isEmpty()) {
                    failures << point + QStringLiteral(": ") + problems;
                    continue;
                }
                const qint64 missing = missingBytes(&filesMissing, &deltaMissing);
                const FetchRun next = run(false);
                const qint64 transferred =
                    next.json.value(QStringLiteral("bytesTransferred")).toInteger(-1);
                const int fetched = next.json.value(QStringLiteral("filesFetched")).toInt(-1);
                const int fromDeltas = next.json.value(QStringLiteral("filesFromDeltas")).toInt(-1);
                if (next.exitCode != 0 || transferred != missing || fetched != filesMissing
                    || fromDeltas != (deltaMissing ? 1 : 0))
                    failures << point
                            + QStringLiteral(": the next run ended with %1, %2 bytes for %3 missing, "
                                             "%4 files for %5 missing, %6 from deltas")
                                  .arg(next.exitCode)
                                  .arg(transferred)
                                  .arg(missing)
                                  .arg(fetched)
                                  .arg(filesMissing)
                                  .arg(fromDeltas);
                else if (const QString problems = stageProblems(); !problems.isEmpty()
                         || !QFileInfo::exists(m_stage + QStringLiteral("/manifest.json")))
                    failures << point + QStringLiteral(": after the next run: ") + problems;
            }
        }
        qInfo("%s sweep: %d kill points (%d killed, %d ran to the end), %d failed, %.1f s; "
              "occurrences: %s",
              fault::fullSweep() ? "full" : "sampled", points, killed, points - killed,
              int(failures.size()), clock.elapsed() / 1000.0,
              qPrintable(counts.join(QStringLiteral(", "))));
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(FetchCrash)
#include "tst_fetch_crash.moc"
