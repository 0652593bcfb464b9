// One fetched file of a feed, as a QNetworkReply is one answer of its manager: the fetch owns its
// requests (a resource of a FeedSource), its retries and deadlines, its lane (the worker thread
// that takes its bytes, in order) and its sink (the stage's checks, or memory), and ends with
// exactly one finished(), whose verdict() is a typed value. Nothing is emitted from inside the
// call that started or aborted it.
//
// A download's fetches share their connections: before each request a fetch asks its gate (the
// download's scheduler) whether it may go now, and tells it when a request opens, is answered and
// ends. A fetch without a gate (the manifest's) goes at once.
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

struct FetchDeadlines
{
    int headerMs = 15000;  // from a request to its answer
    int wholeMs = -1;      // from a request to its last byte; -1: none
    int rateWindowMs = 0;  // a request slower than minimumBytesPerSecond over this long fails; 0: none
    qint64 minimumBytesPerSecond = 0;
};

struct FetchOptions
{
    FetchDeadlines deadlines;
    int retries = 4;       // further tries after a transient failure
    int retryDelayMs = 500; // the first wait; doubles with each retry
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

// How a download's scheduler lets its fetches send their requests.
class RequestGate
{
public:
    enum class Admission { Later, Shared, OwnConnection };

    virtual ~RequestGate() = default;
    // Before each request: whether the fetch may send it now, and how. Later: the gate calls
    // send() once it may.
    virtual Admission admit(FetchReply *fetch) = 0;
    // True once answers have come over a multiplexed connection.
    virtual bool isMultiplexed() const = 0;
    virtual void requestOpened(FetchReply *fetch) = 0;
    virtual void requestAnswered(FetchReply *fetch, qint64 waitedMs) = 0;
    // `end`: how it ended on a multiplexed connection; `answered`: its answer had begun.
    virtual void requestEnded(FetchReply *fetch, StreamEnd end, bool answered) = 0;
    // A request the server did not process (Closing, HeldBack, Refused): true when the gate
    // takes the fetch back and sends it again itself (send()), without a retry.
    virtual bool takeBack(FetchReply *fetch, StreamEnd end) = 0;
};

class FetchReply : public QObject
{
    Q_OBJECT

public:
    enum class State { Ready, Waiting, Requesting, Verifying, RetryWait, Finished };

    FetchReply(FeedSource *source, std::shared_ptr<FetchSink> sink, FetchLane lane,
               FetchOptions options, QObject *parent);
    ~FetchReply() override;

    // A download's scheduler and its memory budget; before start().
    void setGate(RequestGate *gate) { m_gate = gate; }
    void setBudget(std::shared_ptr<ReceiveBudget> budget) { m_budget = std::move(budget); }

    void start();
    // Stops everything; finished() follows from the event loop, with Cancelled.
    void abort();

    State state() const { return m_state; }
    bool isFinished() const { return m_state == State::Finished; }
    FetchVerdict verdict() const { return m_verdict; }
    // The failure of the last try that failed, also while the fetch goes on.
    UpdateFailure lastTryFailure() const { return m_lastTryFailure; }
    const std::shared_ptr<FetchSink> &sink() const { return m_sink; }
    QString where() const;

    // For the gate.
    void send(RequestGate::Admission admission);
    qint64 remainingBytes() const; // what the next request may bring, -1 when not known
    bool hasOpenRequest() const { return m_request != nullptr; }
    bool travelsAlone() const { return m_ownConnection; }
    bool isAwaitingAnswer() const { return m_request && !m_answered; }
    bool cameMultiplexed() const { return m_request && m_request->cameMultiplexed(); }
    qint64 msSinceRequest() const { return m_sinceRequest.elapsed(); }
    int resends() const { return m_resends; }
    // Sends the open request again at once, without a retry: it most likely went to a
    // connection that was closing.
    void resend();
    // A request the gate took back (takeBack) was refused by a connection that closed without
    // answering anything: it counts as a failed try after all.
    void countRefusal();
    // Reading was paused for the download's memory budget: it may go on.
    void readMore();

Q_SIGNALS:
    void received(qint64 bytes);  // new bytes of the resource arrived
    void discarded(qint64 bytes); // bytes counted before no longer count (the file starts over)
    // A delta's sink gave way to the whole file's: the size of what travels changed.
    void fellBack(qint64 oldSize, qint64 newSize);
    void finished();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void startTry();
    void onAnswered();
    // Reads what has arrived; `mayGather`: leaves a few bytes of an answer still coming for
    // later, to read them with more.
    void readBody(bool mayGather = false);
    qint64 arrivedOffset() const;
    void endOfRequest(QList<QByteArray> pieces);
    void closeRequest(StreamEnd end = StreamEnd::Other);
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
    template<typename Call>
    void onLane(Call call);

    FeedSource *m_source;
    std::shared_ptr<FetchSink> m_sink;
    FetchLane m_lane;
    FetchOptions m_options;
    RequestGate *m_gate = nullptr;
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
    int m_resends = 0;
    bool m_fromScratch = false; // a mismatch already made it start over once
    // Deadlines of the running request.
    QElapsedTimer m_sinceRequest;
    QElapsedTimer m_rateWindow;
    qint64 m_rateWindowStart = 0;
    QElapsedTimer m_sinceLastByte; // valid once every expected byte has come
    QBasicTimer m_tick;
    QBasicTimer m_headerDeadline;
    QBasicTimer m_wholeDeadline;
    QBasicTimer m_gather; // reads the bytes gathered in the request when no more come
};

} // namespace vellumix
