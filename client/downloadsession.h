// One download of an update into a staging directory: the plan from the stage, the transfers of
// the blobs (at most a few at once, resumed, retried), the checks on the worker thread, and the
// manifest last. Lives as long as its UpdateClient and is reused for each download.
#pragma once

#include "feedconnection.h"
#include "stagearea.h"
#include "updateplan.h"
#include "workerthread.h"

#include <vellumix/updateclient.h>

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

class QNetworkReply;

namespace vellumix {

class DownloadSession : public QObject
{
    Q_OBJECT

public:
    DownloadSession(const UpdateClientSettings &settings, FeedConnection *connection,
                    QObject *parent);
    ~DownloadSession() override;

    bool isRunning() const { return m_running; }
    void start(const std::shared_ptr<const UpdatePlan> &plan, const QString &stagingDirectory);
    void cancel();

signals:
    void progress(const vellumix::DownloadProgress &progress);
    void finished(const vellumix::DownloadReport &report);

private:
    struct Transfer
    {
        BlobJob job;
        int lane = 0;             // the worker that takes this blob's bytes, in order
        QPointer<QNetworkReply> reply;
        qint64 offset = 0;       // packed bytes of this try handed to the stage so far
        int retry = 0;           // failed tries so far, each a whole retry
        int resets = 0;          // streams the server reset, each a quarter of a retry
        bool refused = false;    // refused by a closing HTTP/2 connection, waits for the next
        bool fromScratch = false; // a mismatch already made it start over once
        bool restart = false;     // the next try empties the .part file first
        bool statusSeen = false;
        bool finishPending = false; // the reply ended while reading was paused
        quint64 attempt = 0;        // answers of the worker for an earlier try are dropped
        // Deadlines of the running request: its headers, its rate, the end of its body.
        QElapsedTimer sinceRequest;
        bool headersSeen = false;
        QElapsedTimer rateWindow;
        qint64 rateWindowStart = 0; // `offset` when the window began
        QElapsedTimer sinceLastByte; // valid once every byte has arrived
        qint64 requestBytes = 0;     // what the open request may still bring (0: none open)
        bool large = false;          // travels on an HTTP/1.1 connection of its own
        int resends = 0;             // sent again after a closing, never having been answered
    };

    void onPrepared(const StagePlan &plan);
    void pump();
    void startTry(Transfer *transfer);
    void readBody(Transfer *transfer);
    void onReplyFinished(Transfer *transfer);
    void retryLater(Transfer *transfer, const ReplyVerdict &verdict, bool reset = false);
    bool mayRetry(const Transfer *transfer, bool reset) const;
    void lowerStreamLimit(const char *why);
    void complete(Transfer *transfer);
    void onCompleted(const QByteArray &packedSha256, quint64 attempt, BlobVerdict verdict,
                     const UpdateFailure &failure);
    void onCorrupt(const QByteArray &packedSha256, quint64 attempt, const UpdateFailure &failure);
    void startOverOnce(Transfer *transfer, const UpdateFailure &failure);
    void failTransfer(Transfer *transfer, const UpdateFailure &failure);
    void fallBack(Transfer *transfer, const UpdateFailure &failure);
    void watchDeadlines();
    qint64 settleAfterGoawayMs() const;
    void giveUpTry(Transfer *transfer, const QString &why);
    void requestEnded(Transfer *transfer);
    void resendNow(Transfer *transfer);
    void connectionClosing(Transfer *refused);
    bool waitsForClosing(qint64 remaining) const;
    void watchSettling();
    void maybeReopen();
    bool mayStart(const BlobJob &job) const;
    bool roomFor(qint64 remaining) const;
    void resumeReading();
    void fail(const UpdateFailure &failure);
    void end(const UpdateFailure &failure);
    void emitProgress(bool force);
    void dropReply(Transfer *transfer);

    // Runs `call` on a lane's worker unless this download has ended (or a newer one began) by then.
    template<typename Call>
    void onWorker(int lane, Call call);
    template<typename Call>
    void backHere(Call call);

    const UpdateClientSettings &m_settings;
    FeedConnection *m_connection;

    /*
        The file work of a download (hashing, unpacking, writing) runs on a few worker threads,
        the lanes: each blob goes to one lane, which takes its bytes in the order they arrived,
        so the digests of several blobs are computed at once on as many cores.
    */
    struct Lane
    {
        std::unique_ptr<WorkerThread> thread;
        std::unique_ptr<StageArea> area; // used on the lane's thread only
    };
    std::vector<Lane> m_lanes;
    int m_nextLane = 0;

    // Shared with the worker thread.
    std::atomic<quint64> m_generation{0};
    std::atomic<bool> m_cancelled{false};
    std::atomic<qint64> m_queuedBytes{0};
    std::atomic<bool> m_paused{false};

    // This thread only.
    bool m_running = false;
    QByteArray m_envelope;
    QString m_stagingDirectory;
    std::deque<BlobJob> m_pending;
    QHash<QByteArray, std::shared_ptr<Transfer>> m_transfers;
    int m_inFlight = 0; // transfers whose bytes are still coming
    qint64 m_inFlightBytes = 0; // what the open requests of small blobs may still bring
    int m_largeInFlight = 0;
    int m_deltasInFlight = 0; // one delta is applied at a time: its decoder's window is the memory
    bool m_multiplexed = false; // a reply came over HTTP/2: many requests share a connection
    // The most small requests open at once over HTTP/2: http2Streams, lowered by one for each
    // request that the server had no room for (Qt 6.4 does not show the server's own number).
    int m_streamLimit = 0;
    QList<QByteArray> m_waitingForRoom; // refused for want of room: they go first once there is
    // A closing HTTP/2 connection (GOAWAY): the requests still open on it, and those that wait
    // for the next connection until it is gone.
    QElapsedTimer m_sinceGoaway; // valid from a request refused by a closing HTTP/2 connection
    QElapsedTimer m_closingSince; // valid while requests wait for a closing connection to end
    QSet<QByteArray> m_onClosingConnection;
    QList<QByteArray> m_waitingForConnection;
    quint64 m_closings = 0; // connections seen closing: a reopening meant for an earlier one is dropped
    // Small requests handed to the HTTP/2 connection of now, and those it took (answered or
    // reset); what the connections that closed took, and when two closed after the same number,
    // that number: a connection is then closed by this side once it has been handed as many.
    int m_sentSinceReopen = 0;
    int m_acceptedSinceReopen = 0;
    int m_lastClosingAccepted = -1;
    int m_requestsPerConnection = 0;
    bool m_closingOurs = false; // the closing of now is this side's, by that number
    qint64 m_fastestAnswerMs = -1; // the shortest time from a request to its headers so far
    DownloadProgress m_progress;
    DownloadReport m_result;
    QElapsedTimer m_sinceProgress;
    QTimer m_deadlines; // ticks while a download runs
};

} // namespace vellumix
