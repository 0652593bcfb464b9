#include "installation.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

namespace e2e {

namespace {

QByteArray settingsOf(const AppVersion &version)
{
    const QJsonObject settings{{QStringLiteral("version"), version.version},
                               {QStringLiteral("sequence"), version.sequence},
                               {QStringLiteral("behaviour"), version.behaviour},
                               {QStringLiteral("runMs"), version.runMs},
                               {QStringLiteral("delayMs"), version.delayMs}};
    return QJsonDocument(settings).toJson(QJsonDocument::Compact);
}

// The programs keep their execute bits on Linux; Wine does not need them and does not mind them.
void makeExecutable(const QString &path)
{
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeGroup
                                    | QFile::ExeOther);
}

} // namespace

AbstractInstallation::AbstractInstallation(const QString &homeTemplate, bool stageElsewhere)
    : m_home(homeTemplate.isEmpty() ? QDir::tempPath() + QStringLiteral("/vellumix-e2e-XXXXXX") : homeTemplate),
      m_root(m_home.path() + QStringLiteral("/program")),
      m_log(m_home.path() + QStringLiteral("/app.log"))
{
    if (stageElsewhere)
        m_elsewhere.emplace();
    m_stage = (m_elsewhere ? m_elsewhere->path() : m_home.path()) + QStringLiteral("/stage");
    QDir().mkpath(m_root);
}

AbstractInstallation::~AbstractInstallation() = default;

bool ParentProcess::waitForEnd(int timeoutMs)
{
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(timeoutMs))
        return false;
    return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

void ParentProcess::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

QList<testsupport::FileSpec> AbstractInstallation::filesOf(const AppVersion &version) const
{
    const QByteArray tag = version.version.toUtf8() + version.tag;
    QList<testsupport::FileSpec> files = {
        {QStringLiteral("Vellumix.exe"), version.mainProgram.isEmpty() ? appImage() : version.mainProgram},
        {QStringLiteral("VellumixUpdater.exe"), updaterImage()},
        {QStringLiteral("vellumix-sample.json"), settingsOf(version)},
        {QStringLiteral("lib/core.dll"), "core library " + tag},
        {QStringLiteral(u"插件/extra.dll"), "extra library " + tag},
        {QStringLiteral("docs/readme.txt"), "unchanged in every version"},
    };
    for (const QString &path : m_extraFiles)
        files.append({path, "added file " + tag});
    return files;
}

void AbstractInstallation::install(const AppVersion &version)
{
    for (const auto &file : filesOf(version))
        testsupport::writeFile(m_root, file.path, file.content);
    makeExecutable(m_root + QStringLiteral("/Vellumix.exe"));
    makeExecutable(m_root + QStringLiteral("/VellumixUpdater.exe"));
    QDir().mkpath(m_root + QStringLiteral("/.vellumix-update"));
}

QByteArray AbstractInstallation::stageUpdate(const AppVersion &version)
{
    QDir(m_stage).removeRecursively();
    const QByteArray manifest =
        testsupport::writeStage(m_stage, filesOf(version), version.version, version.sequence);
    makeExecutable(m_stage + QStringLiteral("/files/Vellumix.exe"));
    makeExecutable(m_stage + QStringLiteral("/files/VellumixUpdater.exe"));
    return manifest;
}

testsupport::TreeSnapshot AbstractInstallation::programTree() const
{
    return testsupport::snapshotTree(m_root, {QStringLiteral(".vellumix-update")});
}

testsupport::TreeSnapshot AbstractInstallation::treeOf(const AppVersion &version) const
{
    QTemporaryDir scratch;
    for (const auto &file : filesOf(version))
        testsupport::writeFile(scratch.path(), file.path, file.content);
    return testsupport::snapshotTree(scratch.path());
}

QStringList AbstractInstallation::applyArguments() const
{
    return {QStringLiteral("--root"), programPath(m_root), QStringLiteral("--stage"),
            programPath(m_stage), QStringLiteral("--quiet")};
}

QStringList AbstractInstallation::recoverArguments() const
{
    return {QStringLiteral("--root"), programPath(m_root), QStringLiteral("--recover"),
            QStringLiteral("--quiet")};
}

RunResult AbstractInstallation::runUpdaterUnder(Launcher, const QStringList &) const
{
    RunResult result;
    result.errorOutput = QStringLiteral("<this runner has no such launcher>");
    return result;
}

RunResult AbstractInstallation::runFetch(const QStringList &arguments, const QProcessEnvironment &extra) const
{
    QProcess process;
    startFetch(process, arguments, extra);
    return finish(process, 120000);
}

bool AbstractInstallation::trustInSystemStore(const QString &, bool) const
{
    return false;
}

QStringList AbstractInstallation::appLog() const
{
    return testsupport::readLines(m_log);
}

bool AbstractInstallation::waitForAppLog(const QString &text, int timeoutMs) const
{
    return testsupport::waitForLine(m_log, text, timeoutMs);
}

QString AbstractInstallation::journalState() const
{
    return testsupport::journalStateAt(workPath(QStringLiteral("transaction.json")));
}

bool AbstractInstallation::waitForJournalState(const QString &state, int timeoutMs) const
{
    QElapsedTimer timer;
    timer.start();
    do {
        if (journalState() == state)
            return true;
        QThread::msleep(100);
    } while (timer.elapsed() < timeoutMs);
    return false;
}

} // namespace e2e
