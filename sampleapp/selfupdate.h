// How the application updates itself with the client library: check the feed, download what
// changed, start the updater and quit. docs/integration.md shows this file and selfupdate.cpp
// whole, as the complete integration.
#pragma once

#include <vellumix/updateclient.h>

#include <QObject>

#include <functional>

namespace sampleapp {

class SelfUpdate : public QObject
{
    Q_OBJECT

public:
    // `log` receives one line per event (a real application shows them in its window).
    SelfUpdate(const vellumix::UpdateClientSettings &settings, std::function<void(QString)> log,
               QObject *parent = nullptr);

    // Starts the check; finished() follows once. On success the updater is running and
    // waiting for this process: the application quits now.
    void start();

signals:
    // 0: the updater was started; 1: the update failed; 2: there is no update.
    void finished(int outcome);

private:
    void onChecked(vellumix::UpdateCheck *check);
    void onProgress(const vellumix::DownloadProgress &progress);
    void onDownloaded(vellumix::UpdateDownload *download);

    vellumix::UpdateClient m_client;
    std::function<void(QString)> m_log;
};

} // namespace sampleapp
