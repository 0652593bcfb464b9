#include "installation.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace e2e {

namespace {

QByteArray readBinary(const char *path)
{
    const QByteArray contents = testsupport::readFile(QString::fromUtf8(path));
    if (contents.isEmpty())
        qFatal("test set-up: cannot read %s", path);
    return contents;
}

void makeExecutable(const QString &path)
{
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeGroup
                                    | QFile::ExeOther);
}

QByteArray settingsOf(const AppVersion &version)
{
    const QJsonObject settings{{QStringLiteral("version"), version.version},
                               {QStringLiteral("sequence"), version.sequence},
                               {QStringLiteral("behaviour"), version.behaviour},
                               {QStringLiteral("runMs"), version.runMs},
                               {QStringLiteral("delayMs"), version.delayMs}};
    return QJsonDocument(settings).toJson(QJsonDocument::Compact);
}

} // namespace

Installation::Installation()
    : m_root(m_tmp.path() + QStringLiteral("/program")),
      m_stage(m_tmp.path() + QStringLiteral("/stage")),
      m_log(m_tmp.path() + QStringLiteral("/app.log"))
{
    QDir().mkpath(m_root);
}

QByteArray Installation::updaterBinary()
{
    static const QByteArray binary = readBinary(VELLUMIX_UPDATER_BINARY);
    return binary;
}

QByteArray Installation::appBinary()
{
    static const QByteArray binary = readBinary(VELLUMIX_SAMPLE_APP_BINARY);
    return binary;
}

QList<testsupport::FileSpec> Installation::filesOf(const AppVersion &version) const
{
    return {
        {QStringLiteral("Vellumix.exe"), version.mainProgram.isEmpty() ? appBinary() : version.mainProgram},
        {QStringLiteral("VellumixUpdater.exe"), updaterBinary()},
        {QStringLiteral("vellumix-sample.json"), settingsOf(version)},
        {QStringLiteral("lib/core.dll"), "core library " + version.version.toUtf8() + version.tag},
        {QStringLiteral(u"插件/extra.dll"), "extra library " + version.version.toUtf8() + version.tag},
        {QStringLiteral("docs/readme.txt"), "unchanged in every version"},
    };
}

void Installation::install(const AppVersion &version)
{
    for (const auto &file : filesOf(version))
        testsupport::writeFile(m_root, file.path, file.content);
    makeExecutable(m_root + QStringLiteral("/Vellumix.exe"));
    makeExecutable(m_root + QStringLiteral("/VellumixUpdater.exe"));
    QDir().mkpath(m_root + QStringLiteral("/.vellumix-update"));
}

QByteArray Installation::stageUpdate(const AppVersion &version)
{
    QDir(m_stage).removeRecursively();
    const QByteArray manifest =
        testsupport::writeStage(m_stage, filesOf(version), version.version, version.sequence);
    makeExecutable(m_stage + QStringLiteral("/files/Vellumix.exe"));
    makeExecutable(m_stage + QStringLiteral("/files/VellumixUpdater.exe"));
    return manifest;
}

testsupport::TreeSnapshot Installation::programTree() const
{
    return testsupport::snapshotTree(m_root, {QStringLiteral(".vellumix-update")});
}

testsupport::TreeSnapshot Installation::treeOf(const AppVersion &version) const
{
    Installation scratch;
    scratch.install(version);
    return scratch.programTree();
}

RunResult Installation::runUpdater(const QStringList &arguments, int timeoutMs) const
{
    return runProgram(QString::fromUtf8(VELLUMIX_UPDATER_BINARY), arguments, timeoutMs);
}

RunResult Installation::runProgram(const QString &program, const QStringList &arguments,
                                   int timeoutMs) const
{
    QProcess updater;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VELLUMIX_SAMPLE_LOG"), m_log);
    // Under a tracer (strace), a build with AddressSanitizer cannot check for leaks: the leak
    // check needs ptrace itself and fails the run. Memory errors are still caught.
    if (program != QString::fromUtf8(VELLUMIX_UPDATER_BINARY))
        environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    updater.setProcessEnvironment(environment);
    updater.setWorkingDirectory(m_tmp.path());
    updater.start(program, arguments);
    RunResult result;
    if (!updater.waitForFinished(timeoutMs)) {
        updater.kill();
        updater.waitForFinished();
        result.errorOutput = QStringLiteral("<the updater did not end in time>");
        return result;
    }
    result.exitCode = updater.exitStatus() == QProcess::NormalExit ? updater.exitCode() : -1;
    result.errorOutput = QString::fromUtf8(updater.readAllStandardError());
    if (result.errorOutput.endsWith(u'\n'))
        result.errorOutput.chop(1);
    return result;
}

QStringList Installation::applyArguments() const
{
    return {QStringLiteral("--root"), m_root, QStringLiteral("--stage"), m_stage,
            QStringLiteral("--quiet")};
}

QStringList Installation::recoverArguments() const
{
    return {QStringLiteral("--root"), m_root, QStringLiteral("--recover"), QStringLiteral("--quiet")};
}

QStringList Installation::appLog() const
{
    return testsupport::readLines(m_log);
}

bool Installation::waitForAppLog(const QString &text, int timeoutMs) const
{
    return testsupport::waitForLine(m_log, text, timeoutMs);
}

QString Installation::journalState() const
{
    return testsupport::journalStateAt(workPath(QStringLiteral("transaction.json")));
}

Sleeper::Sleeper(int ms)
{
    m_process.start(QStringLiteral("sleep"), {QString::number(ms / 1000.0, 'f', 3)});
    m_process.waitForStarted();
}

Sleeper::~Sleeper()
{
    stop();
}

void Sleeper::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

} // namespace e2e
