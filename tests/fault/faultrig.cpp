#include "faultrig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

namespace fault {

namespace {

using testsupport::FileSpec;

QByteArray patterned(const QByteArray &seed, int bytes)
{
    QByteArray data;
    data.reserve(bytes);
    while (data.size() < bytes)
        data += seed;
    data.truncate(bytes);
    return data;
}

e2e::AppVersion oldVersion()
{
    e2e::AppVersion version;
    version.version = QStringLiteral("1.0.0");
    version.sequence = 1;
    version.runMs = 0; // the old version started after a rollback ends at once
    return version;
}

e2e::AppVersion newVersion(NewVersion behaviour)
{
    e2e::AppVersion version;
    version.version = QStringLiteral("2.0.0");
    version.sequence = 2;
    version.behaviour = behaviour == NewVersion::Confirms ? QStringLiteral("confirm-exit")
                                                          : QStringLiteral("exit");
    version.runMs = 0;
    // Trailing bytes after the program image: the new main program differs from the old one.
    version.mainProgram = e2e::Installation::appBinary() + "\n# 2.0.0\n";
    return version;
}

// Files beside the stand-in's own: replaced, unchanged and new ones, in old and new directories.
QList<FileSpec> extraFiles(bool newer)
{
    const QByteArray v = newer ? "2" : "1";
    QList<FileSpec> files{
        {QStringLiteral("lib/net.dll"), "net library " + v},
        {QStringLiteral("lib/unchanged.dll"), "the same in both"},
        {QStringLiteral("lib/zero.dll"), newer ? QByteArray("no longer empty") : QByteArray()},
        {QStringLiteral(u"插件/deep/a.dll"), "deep plug-in " + v},
        {QStringLiteral("docs/guide.txt"), "guide, unchanged"},
        {QStringLiteral("data/big.bin"), patterned("big data " + v + ' ', 3 * 1024 * 1024 + 17)},
        {QStringLiteral("data/table.dat"), "table " + v},
        {QStringLiteral("bin/tool.dll"), "tool " + v},
        {QStringLiteral("res/icons/app.ico"), "icon, unchanged"},
    };
    if (newer) {
        files += {
            {QStringLiteral("lib/new.dll"), "new library"},
            {QStringLiteral("plugins/fresh/one.dll"), "fresh plug-in one"},
            {QStringLiteral("plugins/fresh/two.dll"), "fresh plug-in two"},
            {QStringLiteral("res/new.txt"), "new resource"},
            {QStringLiteral("data/empty.bin"), QByteArray()},
        };
    } else {
        // Not in the manifest: the update leaves them alone.
        files += {
            {QStringLiteral("bin/old-only.dll"), "only in the old version"},
            {QStringLiteral("user/settings.json"), "{\"theme\":\"dark\"}"},
        };
    }
    return files;
}

QByteArray contentOf(const QList<FileSpec> &files, const QString &path, bool *found = nullptr)
{
    for (const FileSpec &file : files) {
        if (file.path == path) {
            if (found)
                *found = true;
            return file.content;
        }
    }
    if (found)
        *found = false;
    return QByteArray();
}

} // namespace

const QStringList &mutatingCalls()
{
    static const QStringList calls{
        QStringLiteral("open"),      QStringLiteral("openat"),      QStringLiteral("creat"),
        QStringLiteral("write"),     QStringLiteral("pwrite64"),    QStringLiteral("writev"),
        QStringLiteral("pwritev"),   QStringLiteral("rename"),      QStringLiteral("renameat"),
        QStringLiteral("renameat2"), QStringLiteral("unlink"),      QStringLiteral("unlinkat"),
        QStringLiteral("rmdir"),     QStringLiteral("mkdir"),       QStringLiteral("mkdirat"),
        QStringLiteral("fsync"),     QStringLiteral("fdatasync"),   QStringLiteral("syncfs"),
        QStringLiteral("sync"),      QStringLiteral("copy_file_range"), QStringLiteral("sendfile"),
        QStringLiteral("linkat"),    QStringLiteral("link"),        QStringLiteral("symlink"),
        QStringLiteral("fchmod"),    QStringLiteral("chmod"),       QStringLiteral("fchmodat"),
        QStringLiteral("ftruncate"), QStringLiteral("truncate"),    QStringLiteral("fallocate"),
    };
    return calls;
}

bool isMutating(const TracedCall &call)
{
    if (call.name != u"open" && call.name != u"openat")
        return true;
    static const QRegularExpression writing(
        QStringLiteral("O_WRONLY|O_RDWR|O_CREAT|O_TMPFILE|O_TRUNC|O_APPEND"));
    return writing.match(call.line).hasMatch();
}

QList<TracedCall> readTrace(const QString &traceFile)
{
    static const QRegularExpression callStart(QStringLiteral("^([a-z_0-9]+)\\("));
    QList<TracedCall> calls;
    const QStringList lines = QString::fromUtf8(testsupport::readFile(traceFile)).split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (line.startsWith(QStringLiteral("+++ killed by SIGKILL")) && !calls.isEmpty()) {
            calls.last().injected = true;
            continue;
        }
        const QRegularExpressionMatch match = callStart.match(line);
        if (!match.hasMatch())
            continue;
        calls.append({match.captured(1), line, line.contains(QStringLiteral("(INJECTED)"))});
    }
    return calls;
}

Scratch::Scratch() : m_oldTmpDir(qgetenv("TMPDIR"))
{
    if (!testsupport::isRoot())
        return;
    m_disk = std::make_unique<testsupport::SmallDisk>(qint64(1) << 30);
    if (m_disk->isMounted())
        qputenv("TMPDIR", m_disk->path().toLocal8Bit());
    else
        m_disk.reset();
}

Scratch::~Scratch()
{
    if (!m_disk)
        return;
    if (m_oldTmpDir.isEmpty())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", m_oldTmpDir);
}

ReferenceUpdate::ReferenceUpdate(NewVersion behaviour)
{
    const e2e::Installation lists;
    m_oldFiles = lists.filesOf(oldVersion()) + extraFiles(false);
    m_newFiles = lists.filesOf(newVersion(behaviour)) + extraFiles(true);
    for (FileSpec &file : m_newFiles) {
        if (file.path == u"VellumixUpdater.exe")
            file.content += "\n# 2.0.0\n"; // the updater replaces itself too
    }
    testsupport::writeStage(stage(), m_newFiles, QStringLiteral("2.0.0"), 2);
    for (const char *program : {"Vellumix.exe", "VellumixUpdater.exe"}) {
        const QString path = stage() + QStringLiteral("/files/") + QLatin1String(program);
        QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
    }

    QSet<QString> oldDirectories;
    for (const FileSpec &file : m_oldFiles) {
        for (QString dir = QFileInfo(file.path).path(); dir != u"."; dir = QFileInfo(dir).path())
            oldDirectories.insert(dir);
    }
    for (const FileSpec &file : m_newFiles) {
        bool existed = false;
        const QByteArray old = contentOf(m_oldFiles, file.path, &existed);
        if (existed && old != file.content)
            m_replaced << file.path;
        for (QString dir = QFileInfo(file.path).path(); dir != u"."; dir = QFileInfo(dir).path()) {
            if (!oldDirectories.contains(dir) && !m_createdDirectories.contains(dir))
                m_createdDirectories << dir;
        }
    }

    const auto installation = freshInstallation();
    m_oldTree = installation->programTree();
    for (const FileSpec &file : m_newFiles)
        testsupport::writeFile(installation->root(), file.path, file.content);
    m_newTree = installation->programTree();
}

std::unique_ptr<e2e::Installation> ReferenceUpdate::freshInstallation() const
{
    auto installation = std::make_unique<e2e::Installation>();
    installation->install(oldVersion());
    for (const FileSpec &file : extraFiles(false))
        testsupport::writeFile(installation->root(), file.path, file.content);
    // What an earlier, confirmed update left behind: its journal, its record and its backup,
    // hidden entries included. The install clears that backup first.
    const QString work = installation->workPath(QString());
    testsupport::writeFile(work, QStringLiteral("transaction.json"),
                           "{\"entries\":[{\"hadOld\":true,\"path\":\"lib/core.dll\"}],\"sequence\":1,"
                           "\"state\":\"healthy\",\"token\":\"0b7c0f5e-40a4-4f0c-9d0e-4f5a1e2d3c4b\","
                           "\"version\":\"1.0.0\"}");
    testsupport::writeFile(work, QStringLiteral("installed.json"),
                           "{\n    \"sequence\": 1,\n    \"version\": \"1.0.0\"\n}\n");
    testsupport::writeFile(work, QStringLiteral("backup/lib/core.dll"), "core library 0.9");
    testsupport::writeFile(work, QStringLiteral("backup/.hidden/kept.txt"), "hidden");
    return installation;
}

QStringList ReferenceUpdate::applyArguments(const e2e::Installation &installation) const
{
    return {QStringLiteral("--root"), installation.root(), QStringLiteral("--stage"), stage(),
            QStringLiteral("--quiet")};
}

QString differenceFromOld(const ReferenceUpdate &update, const e2e::Installation &installation)
{
    testsupport::TreeSnapshot actual = installation.programTree();
    for (const QString &dir : update.createdDirectories()) {
        if (actual.value(dir) == u"dir")
            actual.remove(dir);
    }
    return testsupport::describeDifference(update.oldTree(), actual);
}

QString differenceFromNew(const ReferenceUpdate &update, const e2e::Installation &installation)
{
    return testsupport::describeDifference(update.newTree(), installation.programTree());
}

QString lostOldFiles(const ReferenceUpdate &update, const e2e::Installation &installation)
{
    QStringList lost;
    for (const QString &path : update.replacedPaths()) {
        const QString expected = update.oldTree().value(path);
        const QString inPlace = testsupport::snapshotTree(installation.root()).value(path);
        const QString inBackup =
            testsupport::snapshotTree(installation.workPath(QStringLiteral("backup"))).value(path);
        if (inPlace != expected && inBackup != expected)
            lost << path;
    }
    return lost.join(QStringLiteral(", "));
}

bool updateBecameHealthy(const e2e::Installation &installation)
{
    const QJsonObject journal = QJsonDocument::fromJson(testsupport::readFile(
        installation.workPath(QStringLiteral("transaction.json")))).object();
    return journal.value(QStringLiteral("state")).toString() == u"healthy"
        && journal.value(QStringLiteral("sequence")).toInt() == 2;
}

InjectedRun runInjected(const e2e::Installation &installation, const QStringList &arguments,
                        const QList<Injection> &injections)
{
    const QString traceFile = QFileInfo(installation.root()).absolutePath() + QStringLiteral("/trace.txt");
    QFile::remove(traceFile);
    // No -f: the fault and its counting concern the updater alone. The application that it
    // starts (and the child that starts it) must run undisturbed, as they would after a crash
    // of the updater; with -f they would be counted and hit by the same injection.
    QStringList calls;
    QStringList straceArguments{QStringLiteral("-q"), QStringLiteral("-y"), QStringLiteral("-o"), traceFile};
    for (const Injection &injection : injections) {
        calls << injection.call;
        const QString when = QString::number(injection.occurrence)
            + (injection.persistent ? QStringLiteral("+") : QString());
        straceArguments << QStringLiteral("-e")
                        << QStringLiteral("inject=%1:%2:when=%3").arg(injection.call, injection.action, when);
    }
    straceArguments << QStringLiteral("-e") << QStringLiteral("trace=") + calls.join(u',')
                    << QString::fromUtf8(VELLUMIX_UPDATER_BINARY);
    InjectedRun run;
    run.result = installation.runProgram(QStringLiteral("strace"), straceArguments + arguments);
    QSet<QString> hit;
    for (const TracedCall &traced : readTrace(traceFile)) {
        if (!traced.injected)
            continue;
        hit.insert(traced.name);
        if (run.injectedCall.isEmpty())
            run.injectedCall = traced.line;
    }
    run.reached = hit.size() == QSet<QString>(calls.cbegin(), calls.cend()).size();
    return run;
}

InjectedRun runInjected(const e2e::Installation &installation, const QStringList &arguments,
                        const QString &call, const QString &action, int occurrence, bool persistent)
{
    return runInjected(installation, arguments, {{call, action, occurrence, persistent}});
}

QMap<QString, QList<int>> mutatingOccurrences(const e2e::Installation &installation,
                                              const QStringList &arguments,
                                              const QList<Injection> &injections, bool afterInjection)
{
    const QString traceFile = QFileInfo(installation.root()).absolutePath() + QStringLiteral("/reference.txt");
    QStringList straceArguments{QStringLiteral("-q"), QStringLiteral("-o"), traceFile, QStringLiteral("-e"),
                                QStringLiteral("trace=") + mutatingCalls().join(u',')};
    for (const Injection &injection : injections) {
        straceArguments << QStringLiteral("-e")
                        << QStringLiteral("inject=%1:%2:when=%3%4")
                               .arg(injection.call, injection.action)
                               .arg(injection.occurrence)
                               .arg(injection.persistent ? QStringLiteral("+") : QString());
    }
    straceArguments << QString::fromUtf8(VELLUMIX_UPDATER_BINARY) << arguments;
    const e2e::RunResult run = installation.runProgram(QStringLiteral("strace"), straceArguments);
    QMap<QString, QList<int>> occurrences;
    if (run.exitCode < 0)
        return occurrences;
    QMap<QString, int> seen;
    bool listing = !afterInjection;
    for (const TracedCall &call : readTrace(traceFile)) {
        const int number = ++seen[call.name];
        if (listing && isMutating(call))
            occurrences[call.name].append(number);
        listing = listing || call.injected;
    }
    return occurrences;
}

QMap<QString, QList<int>> mutatingOccurrences(const ReferenceUpdate &update)
{
    const auto installation = update.freshInstallation();
    return mutatingOccurrences(*installation, update.applyArguments(*installation));
}

bool fullSweep()
{
    return qEnvironmentVariable("VELLUMIX_FAULT_SWEEP") == u"full";
}

QList<int> occurrencesToTry(const QList<int> &all)
{
    if (fullSweep() || all.size() <= 3)
        return all;
    QList<int> chosen{all.first(), all.at(1), all.at(all.size() / 2), all.last()};
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    return chosen;
}

bool haveStrace()
{
    return testsupport::runProgram(QStringLiteral("strace"), {QStringLiteral("-V")}) == 0;
}

} // namespace fault
