// One download of an update into a staging directory, as its scheduler: the plan from the stage,
// which fetch (one FetchReply per blob) may start and when (as many requests as its source takes
// at once, within a budget of what they may bring; large files on connections of their own; one
// delta at a time), the budget of received bytes, the progress, and the manifest last. Lives as long as its UpdateClient and is reused for each
// download.
#pragma once

#include "fetchreply.h"
#include "stagearea.h"
#include "updateplan.h"

#include <vellumix/updateclient.h>

#include <QElapsedTimer>
#include <QHash>
#include <QObject>

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

namespace vellumix {

class FeedSource;
class ReceiveBudget;
class WorkerThread;

class DownloadSession : public QObject
{
    Q_OBJECT

public:
    DownloadSession(const UpdateClientSettings &settings, FeedSource *source, QObject *parent);
    ~DownloadSession() override;

    bool isRunning() const { return m_running; }
    void start(const std::shared_ptr<const UpdatePlan> &plan, const QString &stagingDirectory);
    void cancel();

signals:
    void progress(const vellumix::DownloadProgress &progress);
    void finished(const vellumix::DownloadReport &report);

private:
    void onPrepared(const StagePlan &plan);
    void pump();
    void schedulePump();
    void startFetch(const BlobJob &job);
    void onFetchFinished(FetchReply *fetch);
    void requestOpened(FetchReply *fetch, qint64 bytes, bool ownConnection);
    void requestClosed(FetchReply *fetch);
    void resumeReading();
    bool mayStart(const BlobJob &job) const;
    void end(const UpdateFailure &failure);
    void emitProgress(bool force);

    const UpdateClientSettings &m_settings;
    FeedSource *m_source;

    /*
        The file work of a download (hashing, unpacking, writing) runs on a few worker threads,
        the lanes: each blob goes to one lane, which takes its bytes in the order they arrived,
        so the digests of several blobs are computed at once on as many cores.
    */
    std::vector<std::unique_ptr<WorkerThread>> m_lanes;
    int m_nextLane = 0;

    bool m_running = false;
    quint64 m_generation = 0; // answers of the lanes for an ended download are dropped
    std::shared_ptr<std::atomic<bool>> m_cancelled;
    std::shared_ptr<StageArea> m_area;
    std::shared_ptr<ReceiveBudget> m_budget;
    QByteArray m_envelope;
    QByteArray m_voucher; // a fallback's: the current release's envelope (see StageArea::finish)
    QString m_stagingDirectory;
    std::deque<BlobJob> m_pending;
    QList<FetchReply *> m_fetches; // started, not finished
    bool m_finishing = false;      // the manifest is being put in place
    bool m_pumpQueued = false;

    // What the open requests may still bring, by fetch (0 for one on a connection of its own).
    struct OpenRequest
    {
        qint64 bytes = 0;
        bool alone = false;
    };
    QHash<FetchReply *, OpenRequest> m_open;
    qint64 m_openBytes = 0;  // of requests on the shared connection
    int m_openAlone = 0;     // requests of large files, each on a connection of its own
    int m_deltasRunning = 0; // one delta is applied at a time: its decoder's window is the memory

    DownloadProgress m_progress;
    DownloadReport m_result;
    QElapsedTimer m_sinceProgress;
};

} // namespace vellumix
