#include "updateclient.h"

#include "downloadsession.h"
#include "feedconnection.h"
#include "fileio.h"
#include "messages.h"
#include "startup.h"
#include "workerthread.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTimer>

namespace vellumix {

namespace {

const QString kManifestName = QStringLiteral("/manifest.json");

void registerTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<vellumix::UpdateFailure>();
        qRegisterMetaType<vellumix::AvailableUpdate>();
        qRegisterMetaType<vellumix::DownloadProgress>();
        qRegisterMetaType<vellumix::DownloadResult>();
        return true;
    }();
    Q_UNUSED(registered);
}

// Compares the verified manifest with the installation; runs on the worker thread.
AvailableUpdate compareWithInstallation(const QByteArray &envelope,
                                        const UpdateClientSettings &settings,
                                        const std::atomic<bool> &cancelled)
{
    AvailableUpdate result;
    try {
        result.manifest = loadUpdateManifest(envelope);
    } catch (const QString &refusal) {
        result.failure = {UpdateFailureReason::ManifestRejected, refusal};
        return result;
    }
    const std::optional<InstalledRelease> installed = installedRelease(settings.programRoot);
    result.installedSequence = installed ? installed->sequence : settings.builtInSequence;
    for (const ManifestFile &file : std::as_const(result.manifest.files)) {
        result.releaseBytes += file.size;
        result.releasePackedBytes += file.packedSize;
    }
    // Downgrades and re-installs are never offered: only a higher sequence is an update.
    result.available = result.manifest.sequence > result.installedSequence;
    if (!result.available)
        return result;
    const QDir root(settings.programRoot);
    QSet<QByteArray> blobsToFetch; // files of the same content share one blob, which travels once
    for (const ManifestFile &file : std::as_const(result.manifest.files)) {
        if (cancelled.load()) {
            result.failure = {UpdateFailureReason::Cancelled, QString()};
            return result;
        }
        const QString installedCopy = root.filePath(file.path);
        const QFileInfo info(installedCopy);
        // A size that differs settles it without reading the file.
        if (info.isFile() && info.size() == file.size && fileSha256Hex(installedCopy) == file.sha256)
            continue;
        result.filesToFetch.append(file);
        if (!blobsToFetch.contains(file.packedSha256)) {
            blobsToFetch.insert(file.packedSha256);
            result.fetchPackedBytes += file.packedSize;
        }
        result.fetchUnpackedBytes += file.size;
    }
    return result;
}

} // namespace

QUrl feedUrlFromUserInput(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (scheme == u"http" || scheme == u"https")
        return url.host().isEmpty() ? QUrl() : url;
    if (scheme == u"file")
        return url.isLocalFile() ? url : QUrl();
    // A drive letter reads as a one-letter scheme; anything else with a scheme is refused.
    if (scheme.size() > 1 || text.isEmpty())
        return QUrl();
    return QUrl::fromLocalFile(QFileInfo(text).absoluteFilePath());
}

bool isValidChannelName(const QString &channel)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-z0-9-]{1,32}$"));
    return pattern.match(channel).hasMatch() && !channel.contains(u'\n');
}

QString defaultStagingDirectory(const QString &channel)
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (base.isEmpty() || QCoreApplication::applicationName().isEmpty())
        base = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
            + QStringLiteral("/vellumix");
    return base + QStringLiteral("/update-stage/") + channel;
}

UpdateClient::UpdateClient(UpdateClientSettings settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings))
{
    registerTypes();
    if (m_settings.programRoot.isEmpty())
        m_settings.programRoot = QCoreApplication::applicationDirPath();
    m_settings.programRoot = QFileInfo(m_settings.programRoot).absoluteFilePath();
    m_connection = std::make_unique<FeedConnection>(m_settings);
    m_worker = std::make_unique<WorkerThread>();
    m_session = std::make_unique<DownloadSession>(m_settings, m_connection.get());
    connect(m_session.get(), &DownloadSession::progress, this, &UpdateClient::downloadProgress);
    connect(m_session.get(), &DownloadSession::finished, this, &UpdateClient::downloadFinished);
}

UpdateClient::~UpdateClient()
{
    if (m_checkCancelled)
        *m_checkCancelled = true;
    m_session->disconnect(this);
    m_session->cancel();
    m_worker.reset();
}

QString UpdateClient::stagingDirectory() const
{
    return m_settings.stagingDirectory.isEmpty() ? defaultStagingDirectory(m_settings.channel)
                                                 : m_settings.stagingDirectory;
}

bool UpdateClient::isBusy() const
{
    return m_checking || m_session->isRunning();
}

void UpdateClient::check()
{
    if (isBusy()) {
        AvailableUpdate busy;
        busy.failure = {UpdateFailureReason::Busy, QStringLiteral("check while busy")};
        QTimer::singleShot(0, this, [this, busy] { emit checkFinished(busy); });
        return;
    }
    m_checking = true;
    ++m_checkGeneration;
    m_checkCancelled = std::make_shared<std::atomic<bool>>(false);
    const QUrl &feed = m_settings.feed;
    if (!feed.isValid() || (!feed.isLocalFile() && feed.scheme() != u"http" && feed.scheme() != u"https")) {
        AvailableUpdate invalid;
        invalid.failure = {UpdateFailureReason::InvalidFeed, feed.toString()};
        QTimer::singleShot(0, this, [this, invalid] { finishCheck(invalid); });
        return;
    }
    if (!isValidChannelName(m_settings.channel)) {
        AvailableUpdate invalid;
        invalid.failure = {UpdateFailureReason::InvalidFeed,
                           QStringLiteral("channel \"%1\"").arg(m_settings.channel)};
        QTimer::singleShot(0, this, [this, invalid] { finishCheck(invalid); });
        return;
    }
    fetchManifest(0);
}

void UpdateClient::fetchManifest(int retry)
{
    const QString relative = m_settings.channel + kManifestName;
    const quint64 generation = m_checkGeneration;
    if (m_connection->isLocal()) {
        const QString path = m_connection->localPath(relative);
        m_worker->post([this, path, generation] {
            QByteArray envelope;
            UpdateFailure failure;
            try {
                if (!QFileInfo(path).isFile())
                    failure = {UpdateFailureReason::ServerRefused, path + QStringLiteral(" is missing")};
                else
                    envelope = readFileLimited(path, kManifestMaxBytes);
            } catch (const QString &text) {
                failure = {text == Msg::fileTooLarge ? UpdateFailureReason::ManifestRejected
                                                     : UpdateFailureReason::FeedUnreachable,
                           path + u' ' + text};
            }
            deliver(this, [this, envelope, failure, generation] {
                if (generation != m_checkGeneration || !m_checking)
                    return;
                if (!failure.ok()) {
                    AvailableUpdate result;
                    result.failure = failure;
                    return finishCheck(result);
                }
                evaluate(envelope);
            });
        });
        return;
    }

    QNetworkReply *reply = m_connection->get(relative);
    auto body = std::make_shared<QByteArray>();
    auto tooLarge = std::make_shared<bool>(false);
    // The manifest is read with the same bound as the updater's; a longer answer is cut off.
    connect(reply, &QNetworkReply::readyRead, this, [reply, body, tooLarge] {
        body->append(reply->read(kManifestMaxBytes + 1 - body->size()));
        if (body->size() > kManifestMaxBytes && !*tooLarge) {
            *tooLarge = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, body, tooLarge, retry, generation] {
        reply->deleteLater();
        if (generation != m_checkGeneration || !m_checking)
            return;
        AvailableUpdate result;
        if (*tooLarge) {
            result.failure = {UpdateFailureReason::ManifestRejected,
                              QStringLiteral("%1: more than %2 bytes")
                                  .arg(reply->url().toString())
                                  .arg(kManifestMaxBytes)};
            return finishCheck(result);
        }
        if (reply->isOpen())
            body->append(reply->readAll());
        const ReplyVerdict verdict = FeedConnection::judge(reply, true);
        if (verdict.failure.ok())
            return evaluate(*body);
        if (verdict.transient && retry < m_connection->retries()) {
            QTimer::singleShot(m_connection->retryDelayMs(retry + 1, verdict), this,
                               [this, retry, generation] {
                                   if (generation == m_checkGeneration && m_checking)
                                       fetchManifest(retry + 1);
                               });
            return;
        }
        result.failure = verdict.failure;
        finishCheck(result);
    });
}

void UpdateClient::evaluate(const QByteArray &envelope)
{
    const quint64 generation = m_checkGeneration;
    const UpdateClientSettings settings = m_settings;
    const std::shared_ptr<std::atomic<bool>> cancelled = m_checkCancelled;
    m_worker->post([this, envelope, settings, cancelled, generation] {
        const AvailableUpdate result = compareWithInstallation(envelope, settings, *cancelled);
        deliver(this, [this, result, generation] {
            if (generation == m_checkGeneration && m_checking)
                finishCheck(result);
        });
    });
}

void UpdateClient::finishCheck(const AvailableUpdate &result)
{
    m_checking = false;
    emit checkFinished(result);
}

void UpdateClient::download(const AvailableUpdate &update)
{
    if (isBusy()) {
        DownloadResult busy;
        busy.failure = {UpdateFailureReason::Busy, QStringLiteral("download while busy")};
        QTimer::singleShot(0, this, [this, busy] { emit downloadFinished(busy); });
        return;
    }
    if (!update.failure.ok() || !update.available) {
        DownloadResult nothing;
        nothing.failure = {UpdateFailureReason::NotStaged,
                           QStringLiteral("no update to download")};
        QTimer::singleShot(0, this, [this, nothing] { emit downloadFinished(nothing); });
        return;
    }
    m_session->start(update, stagingDirectory());
}

void UpdateClient::cancel()
{
    if (m_checking) {
        *m_checkCancelled = true;
        ++m_checkGeneration;
        AvailableUpdate cancelled;
        cancelled.failure = {UpdateFailureReason::Cancelled, QString()};
        finishCheck(cancelled);
    }
    m_session->cancel();
}

} // namespace vellumix
