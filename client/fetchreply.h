// One fetched file of a feed, as a QNetworkReply is one answer of its manager: the fetch owns its
// requests (a resource of a FeedSource), its retries and deadlines, its lane (the worker thread
// that takes its bytes, in order) and its sink (the stage's checks, or memory), and ends with
// exactly one finished(), whose verdict() is a typed value. Nothing is emitted from inside the
// call that started or aborted it.
//
// A fetch tells of each request it opens and closes (requestOpened, requestClosed), so that a
// download's scheduler can keep what the open requests may bring within its budget; when and on
// which connection a request travels is its source's.
#pragma once

#include "feedsource.h"
#include "fetchsink.h"

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <memory>

namespace vellumix {

class FetchReply;
class ReceiveBudget;
class WorkerThread;

// The thread a fetch's sink runs on, and the object on the fetch's own thread that outlives the
// lane's calls and receives their answers.
struct FetchLane
{
    WorkerThread *worker = nullptr;
    QObject *home = nullptr;
};

// Each counts only while a request is at the server (see FeedRequest::held).
struct FetchDeadlines
{
    int headerMs = 15000;  // from a request to its answer
    int idleMs = 0;        // a request that receives nothing this long fails; 0: none
    int wholeMs = -1;      // from a request to its last byte; -1: none
    int rateWindowMs = 0;  // a request slower than minimumBytesPerSecond over this long fails; 0: none
    qint64 minimumBytesPerSecond = 0;
};

struct FetchOptions
{
    FetchDeadlines deadlines;
    int retries = 4;       // further tries after a transient failure
    int retryDelayMs = 500; // the first wait; doubles with each retry
    // A request that may bring more than this travels on a connection of its own (see
    // FeedRequestOptions::mayShareConnection); -1: every request may share one.
    qint64 ownConnectionAbove = -1;
    // Sent with every request; a 304 answers only such a conditional request.
    QList<std::pair<QByteArray, QByteArray>> conditionalHeaders;
};

// How a fetch ended.
struct FetchVerdict
{
    UpdateFailure failure;    // None: the sink took the whole file and verified it
    bool notModified = false; // the answer to the conditional request was 304: nothing came
    QByteArray etag;          // the validators of the answer, for a later conditional request
    QByteArray lastModified;
};

class FetchReply : public QObject
{
    Q_OBJECT

public:
    FetchReply(FeedSource *source, std::shared_ptr<FetchSink> sink, FetchLane lane,
               FetchOptions options, QObject *parent);
    ~FetchReply() override;

    // A download's memory budget; before start().
    void setBudget(std::shared_ptr<ReceiveBudget> budget) { m_budget = std::move(budget); }

    void start();
    // Stops everything; finished() follows from the event loop, with Cancelled.
    void abort();

    bool isFinished() const { return m_state == State::Finished; }
    FetchVerdict verdict() const { return m_verdict; }
    // The failure of the last try that failed, also while the fetch goes on.
    UpdateFailure lastTryFailure() const { return m_lastTryFailure; }
    const std::shared_ptr<FetchSink> &sink() const { return m_sink; }
    QString where() const;

    // Reading was paused for the download's memory budget: it may go on.
    void readMore();

Q_SIGNALS:
    void received(qint64 bytes);  // new bytes of the resource arrived
    void discarded(qint64 bytes); // bytes counted before no longer count (the file starts over)
    // A delta's sink gave way to the whole file's: the size of what travels changed.
    void fellBack(qint64 oldSize, qint64 newSize);
    // A request opened that may bring `bytes` (-1: not known), on a connection of its own or
    // not; and the request closed again.
    void requestOpened(qint64 bytes, bool ownConnection);
    void requestClosed();
    void finished();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    enum class State { Ready, Requesting, Verifying, RetryWait, Finished };

    void startTry();
    qint64 remainingBytes() const; // what the next request may bring, -1 when not known
    void onSent();
    void onHeld();
    void onAnswered();
    // Reads what has arrived; `mayGather`: leaves a few bytes of an answer still coming for
    // later, to read them with more.
    void readBody(bool mayGather = false);
    qint64 arrivedOffset() const;
    void endOfRequest(QList<QByteArray> pieces);
    void closeRequest();
    void postPieces(QList<QByteArray> pieces, bool thenComplete);
    void verify();
    void onVerified(quint64 attempt, SinkVerdict verdict, const UpdateFailure &failure);
    void onSinkFailed(quint64 attempt, const UpdateFailure &failure);
    void startOverOnce(const UpdateFailure &failure);
    void giveUpTry(const QString &why);
    bool mayRetry(bool reset) const;
    void retryLater(const ReplyVerdict &verdict, bool reset = false);
    void failFetch(const UpdateFailure &failure);
    void fallBack(const UpdateFailure &failure);
    void finish(const FetchVerdict &verdict);

    FeedSource *m_source;
    std::shared_ptr<FetchSink> m_sink;
    FetchLane m_lane;
    FetchOptions m_options;
    std::shared_ptr<ReceiveBudget> m_budget;
    State m_state = State::Ready;
    FetchVerdict m_verdict;
    UpdateFailure m_lastTryFailure;

    // The request of the running try and what it has brought.
    FeedRequest *m_request = nullptr;
    quint64 m_attempt = 0;   // answers of the lane for an earlier try are dropped
    qint64 m_offset = 0;     // bytes of the resource handed to the sink in this and earlier tries
    bool m_restart = false;  // the next try drops what the sink holds first
    bool m_answered = false;
    bool m_statusSeen = false;
    bool m_requestEnded = false; // it ended while reading was paused: judged once read
    bool m_ownConnection = false;
    qint64 m_gatherBytes = 0;     // what is left in the request to read it with more
    bool m_beginPending = false;  // the sink's try begins with the next hand-over to the lane
    bool m_beginRestart = false;  // and drops what the sink holds first
    // Tries: each failed try counts as a retry, each stream the server reset as a quarter of one.
    int m_retries = 0;
    int m_resets = 0;
    bool m_fromScratch = false; // a mismatch already made it start over once
    // Deadlines of the running request.
    QElapsedTimer m_sinceRequest;
    QElapsedTimer m_rateWindow;
    qint64 m_rateWindowStart = 0;
    QElapsedTimer m_sinceLastByte; // valid once every expected byte has come
    QElapsedTimer m_sinceData;     // since the request went or its last bytes came
    QBasicTimer m_tick;
    QBasicTimer m_headerDeadline;
    QBasicTimer m_wholeDeadline;
    QBasicTimer m_idleDeadline;
    QBasicTimer m_gather; // reads the bytes gathered in the request when no more come
};

} // namespace vellumix
