#include "selfupdate.h"

#include <vellumix/startup.h>

namespace sampleapp {

using vellumix::UpdateCheck;
using vellumix::UpdateDownload;

SelfUpdate::SelfUpdate(const vellumix::UpdateClientSettings &settings,
                       std::function<void(QString)> log, QObject *parent)
    : QObject(parent), m_client(settings), m_log(std::move(log))
{
}

void SelfUpdate::start()
{
    UpdateCheck *check = m_client.check();
    connect(check, &UpdateCheck::finished, this, [this, check] { onChecked(check); });
}

void SelfUpdate::onChecked(UpdateCheck *check)
{
    check->deleteLater();
    if (!check->failure().ok()) {
        m_log(QStringLiteral("update check failed: %1 (%2)")
                  .arg(check->failure().userText(), check->failure().detail));
        return emit finished(1);
    }
    const vellumix::UpdateInfo update = check->update();
    if (update.hasFailedHere()) {
        // Not taken again by itself; a window would offer "try again" (download() and
        // startUpdater() with FailedReleasePolicy::Retry).
        m_log(QStringLiteral("update %1 (sequence %2) failed here before: %3 (%4); not taken again")
                  .arg(update.version())
                  .arg(update.sequence())
                  .arg(update.failedHere().userText(), update.failedHere().reasonName()));
        return emit finished(2);
    }
    if (!update.isAvailable()) {
        m_log(QStringLiteral("no update: the feed offers sequence %1, %2 is installed")
                  .arg(update.sequence())
                  .arg(update.installedSequence()));
        return emit finished(2);
    }
    m_log(QStringLiteral("update %1 (sequence %2) found: %3 of %4 files to fetch, %5 of %6 bytes "
                         "packed")
              .arg(update.version())
              .arg(update.sequence())
              .arg(update.filesToFetch())
              .arg(update.fileCount())
              .arg(update.downloadBytes())
              .arg(update.releasePackedBytes()));
    UpdateDownload *download = m_client.download(update);
    connect(download, &UpdateDownload::progressChanged, this, &SelfUpdate::onProgress);
    connect(download, &UpdateDownload::finished, this, [this, download] { onDownloaded(download); });
}

void SelfUpdate::onProgress(const vellumix::DownloadProgress &p)
{
    m_log(QStringLiteral("downloading: %1/%2 files, %3/%4 bytes")
              .arg(p.filesDone)
              .arg(p.filesTotal)
              .arg(p.bytesDone)
              .arg(p.bytesTotal));
}

void SelfUpdate::onDownloaded(UpdateDownload *download)
{
    download->deleteLater();
    if (!download->failure().ok()) {
        m_log(QStringLiteral("download failed: %1 (%2)")
                  .arg(download->failure().userText(), download->failure().detail));
        return emit finished(1);
    }
    m_log(QStringLiteral("downloaded %1 bytes (%2 files fetched, %3 already staged)")
              .arg(download->bytesTransferred())
              .arg(download->filesFetched())
              .arg(download->filesAlreadyStaged()));
    if (download->filesFromDeltas() > 0)
        m_log(QStringLiteral("%1 of the files fetched came as deltas against the installed copies")
                  .arg(download->filesFromDeltas()));
    // The updater waits for this process to end before it changes anything.
    const vellumix::UpdateClientSettings &settings = m_client.settings();
    const vellumix::UpdateFailure failure =
        vellumix::startUpdater(settings.programRoot, download->stagingDirectory(), false,
                               settings.channel, settings.builtInSequence);
    if (!failure.ok()) {
        m_log(QStringLiteral("cannot start the updater: %1 (%2)")
                  .arg(failure.userText(), failure.detail));
        return emit finished(1);
    }
    m_log(QStringLiteral("the updater was started; the application exits"));
    emit finished(0);
}

} // namespace sampleapp
