// The application's side of an update: check a feed, download and verify what changed into a
// staging directory, then start the updater (see startup.h) and quit.
//
// UpdateClient is driven by the event loop of the thread it lives in: every operation returns at
// once and ends with one signal; progress comes as signals too. Nothing it does blocks that
// thread for longer than one piece of a transfer: the digests of whole files (the installed
// copies, files already staged) are computed on worker threads.
//
//     UpdateClient client(settings);
//     connect(&client, &UpdateClient::checkFinished, ...);   // AvailableUpdate
//     connect(&client, &UpdateClient::downloadProgress, ...); // DownloadProgress
//     connect(&client, &UpdateClient::downloadFinished, ...); // DownloadResult
//     client.check();  ...  client.download(update);  ...  startUpdater(...); quit
#pragma once

#include "manifest.h"
#include "updatefailure.h"

#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <atomic>
#include <memory>

namespace vellumix {

struct UpdateClientSettings
{
    // The feed: an http or https URL, or a local directory (a path or a file: URL), holding
    // "<channel>/manifest.json" and "blobs/<packedSha256>".
    QUrl feed;
    QString channel = QStringLiteral("stable");
    // The installed program: its root, and the sequence this build was released with, used when
    // the root has no installed record yet (a fresh installation).
    QString programRoot;
    qint32 builtInSequence = 0;
    // Where downloads are staged; empty: defaultStagingDirectory(channel).
    QString stagingDirectory;
    int connections = 4;                       // transfers at once
    QList<QSslCertificate> extraCaCertificates; // trusted besides the system's
    int transferTimeoutMs = 30000;             // a transfer that receives nothing this long fails
    int retries = 4;                           // further tries after a transient failure
    int retryDelayMs = 500;                    // first back-off; doubles with each retry
    int progressIntervalMs = 250;              // at most this often a progress signal
};

// A feed address as a user or a script gives it: an http(s) URL, a file: URL or a local path.
// Answers an invalid QUrl for anything else.
QUrl feedUrlFromUserInput(const QString &text);
bool isValidChannelName(const QString &channel);
// A per-user folder under the cache location; the program folder need not be writable.
QString defaultStagingDirectory(const QString &channel);

struct AvailableUpdate
{
    UpdateFailure failure;      // ok() when the check itself succeeded
    bool available = false;     // false: nothing newer than what is installed ("no update")
    qint32 installedSequence = 0;
    UpdateManifest manifest;    // the verified manifest of the feed (also when not available)
    QList<ManifestFile> filesToFetch; // the files whose installed copy differs
    qint64 fetchPackedBytes = 0;      // what travels
    qint64 fetchUnpackedBytes = 0;    // what it unpacks to
    qint64 releaseBytes = 0;          // the whole release, unpacked
    qint64 releasePackedBytes = 0;    // the whole release, packed
};

struct DownloadProgress
{
    qint64 bytesDone = 0;  // packed bytes received or found staged
    qint64 bytesTotal = 0;
    int filesDone = 0;
    int filesTotal = 0;
};

struct DownloadResult
{
    UpdateFailure failure;
    QString stagingDirectory;   // holds manifest.json and files/ when ok()
    qint64 bytesTransferred = 0; // packed bytes that came over the network this time
    int filesFetched = 0;        // files fetched this time
    int filesAlreadyStaged = 0;  // found verified in the stage and kept
};

class DownloadSession;
class FeedConnection;
class WorkerThread;

class UpdateClient : public QObject
{
    Q_OBJECT

public:
    explicit UpdateClient(UpdateClientSettings settings, QObject *parent = nullptr);
    ~UpdateClient() override;

    const UpdateClientSettings &settings() const { return m_settings; }
    QString stagingDirectory() const;
    bool isBusy() const;

public slots:
    // Fetches and verifies the channel's manifest and compares it with the installation.
    void check();
    // Fetches the files of `update` (from check()) into the staging directory. A second call after
    // any interruption fetches only what is missing.
    void download(const vellumix::AvailableUpdate &update);
    // Stops the running operation at once; what is complete in the stage stays.
    void cancel();

signals:
    void checkFinished(const vellumix::AvailableUpdate &result);
    void downloadProgress(const vellumix::DownloadProgress &progress);
    void downloadFinished(const vellumix::DownloadResult &result);

private:
    void fetchManifest(int retry);
    void evaluate(const QByteArray &envelope);
    void finishCheck(const AvailableUpdate &result);

    UpdateClientSettings m_settings;
    std::unique_ptr<FeedConnection> m_connection;
    std::unique_ptr<DownloadSession> m_session;
    std::unique_ptr<WorkerThread> m_worker; // stopped first: its calls use the members above
    // The running check; answers of a cancelled one are dropped.
    bool m_checking = false;
    quint64 m_checkGeneration = 0;
    std::shared_ptr<std::atomic<bool>> m_checkCancelled;
};

} // namespace vellumix

Q_DECLARE_METATYPE(vellumix::AvailableUpdate)
Q_DECLARE_METATYPE(vellumix::DownloadProgress)
Q_DECLARE_METATYPE(vellumix::DownloadResult)
