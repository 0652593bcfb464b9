#include "selfupdate.h"

#include "startup.h"

namespace sampleapp {

SelfUpdate::SelfUpdate(const vellumix::UpdateClientSettings &settings,
                       std::function<void(QString)> log, QObject *parent)
    : QObject(parent), m_client(settings), m_log(std::move(log))
{
    connect(&m_client, &vellumix::UpdateClient::checkFinished, this, &SelfUpdate::onChecked);
    connect(&m_client, &vellumix::UpdateClient::downloadProgress, this, &SelfUpdate::onProgress);
    connect(&m_client, &vellumix::UpdateClient::downloadFinished, this, &SelfUpdate::onDownloaded);
}

void SelfUpdate::start()
{
    m_client.check();
}

void SelfUpdate::onChecked(const vellumix::AvailableUpdate &update)
{
    if (!update.failure.ok()) {
        m_log(QStringLiteral("update check failed: %1 (%2)")
                  .arg(update.failure.userText(), update.failure.detail));
        return emit finished(1);
    }
    if (!update.available) {
        m_log(QStringLiteral("no update: the feed offers sequence %1, %2 is installed")
                  .arg(update.manifest.sequence)
                  .arg(update.installedSequence));
        return emit finished(2);
    }
    m_log(QStringLiteral("update %1 (sequence %2) found: %3 of %4 files to fetch, %5 of %6 bytes "
                         "packed")
              .arg(update.manifest.version)
              .arg(update.manifest.sequence)
              .arg(update.filesToFetch.size())
              .arg(update.manifest.files.size())
              .arg(update.fetchPackedBytes)
              .arg(update.releasePackedBytes));
    m_client.download(update);
}

void SelfUpdate::onProgress(const vellumix::DownloadProgress &p)
{
    m_log(QStringLiteral("downloading: %1/%2 files, %3/%4 bytes")
              .arg(p.filesDone)
              .arg(p.filesTotal)
              .arg(p.bytesDone)
              .arg(p.bytesTotal));
}

void SelfUpdate::onDownloaded(const vellumix::DownloadResult &result)
{
    if (!result.failure.ok()) {
        m_log(QStringLiteral("download failed: %1 (%2)")
                  .arg(result.failure.userText(), result.failure.detail));
        return emit finished(1);
    }
    m_log(QStringLiteral("downloaded %1 bytes (%2 files fetched, %3 already staged)")
              .arg(result.bytesTransferred)
              .arg(result.filesFetched)
              .arg(result.filesAlreadyStaged));
    // The updater waits for this process to end before it changes anything.
    const vellumix::UpdateFailure failure = vellumix::startUpdater(
        m_client.settings().programRoot, result.stagingDirectory);
    if (!failure.ok()) {
        m_log(QStringLiteral("cannot start the updater: %1 (%2)")
                  .arg(failure.userText(), failure.detail));
        return emit finished(1);
    }
    m_log(QStringLiteral("the updater was started; the application exits"));
    emit finished(0);
}

} // namespace sampleapp
