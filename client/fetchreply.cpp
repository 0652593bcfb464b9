#include "fetchreply.h"

#include "receivebudget.h"
#include "workerthread.h"

#include <QLoggingCategory>
#include <QTimer>
#include <QTimerEvent>

// QT_LOGGING_RULES="vellumix.client.debug=true" follows every fetch.
Q_LOGGING_CATEGORY(lcFetch, "vellumix.client", QtWarningMsg)

namespace vellumix {

namespace {

constexpr qint64 kPiece = 256 * 1024;
// The most a request holds before it is read: with the budget of received bytes, what bounds
// the memory of a download.
constexpr qint64 kReadBuffer = 512 * 1024;
/*
    A request on an HTTP/1.1 connection of its own (a large blob) holds less, and is read only
    once it holds that much: Qt 6.4's network thread hands a reply's body over in one block (and
    one queued call, and one more for the progress) for every 4 KiB that TLS decrypts, as long
    as the reply's read buffer has room. Full, the buffer stops it: the connection's socket
    gathers what comes meanwhile (up to its own 64 KiB), and once the reply is read Qt hands
    that over as one block. So a small buffer read when full crosses the threads in blocks of
    tens of KiB instead of 4 KiB, with a third of the wake-ups; a larger buffer, read before it
    fills, lets Qt go on in 4 KiB blocks.
*/
constexpr qint64 kOwnConnectionReadBuffer = 64 * 1024;
// Bytes that have arrived are left in the request until half its read buffer (all of it, on a
// connection of its own) has come, it has ended or holds the rest of the file, or this long
// has passed.
constexpr int kGatherMs = 10;
constexpr int kTickMs = 500;
// A body whose last expected byte has come is not waited on for longer than this to end.
constexpr int kBodyEndGraceMs = 2000;
constexpr int kMaxRetryDelayMs = 60000;

// The wait before try number `retry` (1 for the first retry): the server's own when it named
// one, otherwise doubling from the first.
int retryDelayMs(int firstMs, int retry, const ReplyVerdict &verdict)
{
    if (verdict.retryAfterMs >= 0)
        return qMin(verdict.retryAfterMs, kMaxRetryDelayMs);
    qint64 delay = firstMs;
    for (int i = 1; i < retry && delay < kMaxRetryDelayMs; ++i)
        delay *= 2;
    return int(qMin<qint64>(delay, kMaxRetryDelayMs));
}

FetchVerdict failedWith(const UpdateFailure &failure)
{
    FetchVerdict verdict;
    verdict.failure = failure;
    return verdict;
}

} // namespace

FetchReply::FetchReply(FeedSource *source, std::shared_ptr<FetchSink> sink, FetchLane lane,
                       FetchOptions options, QObject *parent)
    : QObject(parent),
      m_source(source),
      m_sink(std::move(sink)),
      m_lane(lane),
      m_options(std::move(options)),
      m_offset(m_sink->heldBytes())
{
}

FetchReply::~FetchReply()
{
    if (m_state != State::Finished) {
        const QSignalBlocker quiet(this);
        closeRequest();
        m_lane.worker->post([sink = m_sink] { sink->suspend(); });
        m_sink->stop();
    }
}

QString FetchReply::where() const
{
    return m_source->where(m_sink->resource());
}

qint64 FetchReply::remainingBytes() const
{
    return m_sink->sizeIsExact() ? m_sink->sizeLimit() - m_offset : -1;
}

void FetchReply::start()
{
    startTry();
}

void FetchReply::abort()
{
    if (m_state == State::Finished)
        return;
    closeRequest();
    m_lane.worker->post([sink = m_sink] { sink->suspend(); });
    m_sink->stop();
    m_state = State::Finished;
    m_verdict = FetchVerdict();
    m_verdict.failure = {UpdateFailureReason::Cancelled, QString()};
    QMetaObject::invokeMethod(this, &FetchReply::finished, Qt::QueuedConnection);
}

void FetchReply::startTry()
{
    if (m_state == State::Finished)
        return;
    ++m_attempt;
    m_answered = false;
    m_statusSeen = false;
    m_requestEnded = false;
    m_sinceLastByte.invalidate();
    // A sink that does not resume (memory) starts every try from nothing.
    const bool restart = std::exchange(m_restart, false) || !m_sink->resumes();
    if (restart && m_offset > 0) {
        emit discarded(m_offset);
        m_offset = 0;
    }
    /*
        The sink's try begins on the lane with the first bytes the request brings (or the
        checks), in the same call: one hand-over to the lane fewer per file, and no files are
        opened for a request that is answered with an error.
    */
    m_beginPending = true;
    m_beginRestart = m_beginRestart || restart;
    if (m_sink->sizeIsExact() && m_offset == m_sink->sizeLimit()) {
        // Everything arrived in an earlier try; only the checks are left.
        return verify();
    }
    const qint64 remaining = remainingBytes();
    m_ownConnection = m_options.ownConnectionAbove >= 0 && remaining > m_options.ownConnectionAbove;
    FeedRequestOptions options;
    options.rangeStart = m_offset;
    options.headers = m_options.conditionalHeaders;
    options.mayShareConnection = !m_ownConnection;
    options.readBufferSize = m_ownConnection ? kOwnConnectionReadBuffer : kReadBuffer;
    m_gatherBytes = m_ownConnection ? options.readBufferSize
                                    : qMin(kPiece, options.readBufferSize / 2);
    qCDebug(lcFetch) << "GET" << m_sink->resource() << "from" << m_offset;
    m_request = m_source->get(m_sink->resource(), options);
    m_state = State::Requesting;
    connect(m_request, &FeedRequest::sent, this, &FetchReply::onSent);
    connect(m_request, &FeedRequest::held, this, &FetchReply::onHeld);
    connect(m_request, &FeedRequest::answered, this, &FetchReply::onAnswered);
    connect(m_request, &FeedRequest::readyRead, this, [this] {
        m_sinceData.start();
        readBody(true);
    });
    connect(m_request, &FeedRequest::finished, this, [this] {
        // Judged once its last bytes are read, which may wait while reading is paused.
        m_requestEnded = true;
        m_idleDeadline.stop();
        readBody();
    });
    if (m_request->isSent())
        onSent();
    emit requestOpened(remaining, m_ownConnection);
}

// The request went to the server: its deadlines start (again).
void FetchReply::onSent()
{
    const FetchDeadlines &deadlines = m_options.deadlines;
    m_sinceRequest.start();
    m_sinceData.start();
    m_headerDeadline.start(deadlines.headerMs, this);
    if (deadlines.wholeMs >= 0)
        m_wholeDeadline.start(deadlines.wholeMs, this);
    if (deadlines.idleMs > 0)
        m_idleDeadline.start(deadlines.idleMs, this);
    if (deadlines.rateWindowMs > 0 || m_sink->sizeIsExact())
        m_tick.start(kTickMs, this);
}

// The source holds the request back to send it again: no deadline runs meanwhile.
void FetchReply::onHeld()
{
    m_headerDeadline.stop();
    m_wholeDeadline.stop();
    m_idleDeadline.stop();
    m_tick.stop();
}

void FetchReply::onAnswered()
{
    if (!m_request || std::exchange(m_answered, true))
        return;
    m_headerDeadline.stop();
    m_rateWindow.start();
    m_rateWindowStart = arrivedOffset();
}

void FetchReply::readBody(bool mayGather)
{
    if (!m_request || m_state != State::Requesting)
        return;
    const QPointer<FetchReply> alive(this);
    if (!m_statusSeen) {
        const int status = m_request->status();
        if (status != 200 && status != 206) {
            // An error answer (or none): its body is not read; it is judged once it has ended.
            if (m_requestEnded)
                endOfRequest({});
            return;
        }
        m_statusSeen = true;
        /*
            A digest names the bytes of one blob, so a resource of another size is not the blob
            named: it is refused before its body is read. Left to the byte count, a shorter one
            would look like a cut transfer, resumed and cut again until the retries ran out.
        */
        const qint64 size = m_request->announcedSize();
        const qint64 limit = m_sink->sizeLimit();
        if (size >= 0 && (m_sink->sizeIsExact() ? size != limit : size > limit)) {
            const QString where = m_request->where();
            closeRequest();
            return failFetch(m_sink->sizeIsExact()
                                 ? UpdateFailure{UpdateFailureReason::DownloadInvalid,
                                                 QStringLiteral("%1: %2 bytes instead of %3")
                                                     .arg(where)
                                                     .arg(size)
                                                     .arg(limit)}
                                 : m_sink->tooLong(where));
        }
        if (status == 200 && m_offset > 0) {
            // The server sent the whole resource instead of the rest: the sink starts over.
            emit discarded(std::exchange(m_offset, 0));
            if (!alive || m_state != State::Requesting)
                return;
            m_lane.worker->post([sink = m_sink, attempt = m_attempt, home = m_lane.home,
                                 self = QPointer<FetchReply>(this)] {
                if (sink->isStopped())
                    return;
                if (const UpdateFailure failure = sink->begin(true); !failure.ok())
                    deliver(home, [self, attempt, failure] {
                        if (self)
                            self->onSinkFailed(attempt, failure);
                    });
            });
        } else if (status == 206 && m_request->rangeStart() != m_offset) {
            // A range other than the one asked for: the next try fetches the whole resource.
            const QString where = m_request->where();
            m_restart = true;
            closeRequest();
            emit discarded(std::exchange(m_offset, 0));
            if (!alive || m_state == State::Finished)
                return;
            return retryLater({{UpdateFailureReason::ServerRefused,
                                QStringLiteral("%1: a wrong range").arg(where)},
                               true, -1});
        }
    }
    /*
        Each read of a request is a hand-over between threads: Qt's network thread is told that
        its read buffer has room, and the bytes read go on to the lane. The bytes of a request
        arrive in pieces of a TLS record or an HTTP/2 frame (8 to 21 KB), so they are gathered
        in the request first and read at once: a small blob when its answer has ended, with
        its checks in the same hand-over; a large one each time its read buffer is full. A slow
        answer is read within kGatherMs all the same, as its bytes come.
    */
    const qint64 available = m_request->bytesAvailable();
    if (mayGather && !m_requestEnded && available < m_gatherBytes
        && !(m_sink->sizeIsExact() && m_offset + available >= m_sink->sizeLimit())) {
        if (available > 0 && !m_gather.isActive())
            m_gather.start(kGatherMs, this);
        return;
    }
    m_gather.stop();
    QList<QByteArray> pieces;
    qint64 got = 0;
    bool paused = false;
    while (m_request->bytesAvailable() > 0) {
        if (m_budget && !m_budget->mayRead()) {
            paused = true;
            qCDebug(lcFetch) << "paused for the memory budget";
            break;
        }
        QByteArray piece = m_request->read(qMin<qint64>(m_request->bytesAvailable(), kPiece));
        if (m_offset + piece.size() > m_sink->sizeLimit()) {
            const UpdateFailure failure = m_sink->tooLong(m_request->where());
            postPieces(std::move(pieces), false);
            if (got > 0)
                emit received(got);
            if (alive && m_state == State::Requesting)
                onSinkFailed(m_attempt, failure);
            return;
        }
        m_offset += piece.size();
        got += piece.size();
        if (m_sink->sizeIsExact() && m_offset == m_sink->sizeLimit())
            m_sinceLastByte.start();
        if (m_budget)
            m_budget->queued(piece.size());
        pieces.append(std::move(piece));
    }
    if (paused || !m_requestEnded) {
        postPieces(std::move(pieces), false);
        if (got > 0)
            emit received(got);
        return;
    }
    // Every byte read and the request ended: its last pieces and, when it passes, the checks
    // go to the lane together.
    if (got > 0) {
        emit received(got);
        if (!alive || m_state != State::Requesting) {
            if (m_budget)
                m_budget->written(got); // not handed on any more
            return;
        }
    }
    endOfRequest(std::move(pieces));
}

// The request has ended and every byte it brought is read: judge it.
void FetchReply::endOfRequest(QList<QByteArray> pieces)
{
    FeedRequest *request = m_request;
    const bool complete = !m_sink->sizeIsExact() || m_offset == m_sink->sizeLimit();
    const ReplyVerdict verdict = request->verdict(complete);
    const int status = request->status();
    const QString where = request->where();
    m_verdict.etag = request->header("ETag");
    m_verdict.lastModified = request->header("Last-Modified");
    qCDebug(lcFetch) << "finished" << m_sink->resource() << status << m_offset << "bytes"
                     << verdict.failure.reasonName() << verdict.failure.detail;
    closeRequest();
    if (verdict.notModified) {
        if (m_options.conditionalHeaders.isEmpty())
            return failFetch({UpdateFailureReason::ServerRefused,
                              QStringLiteral("%1: 304 to a request that asked for no validation")
                                  .arg(where)});
        FetchVerdict notModified = m_verdict;
        notModified.notModified = true;
        return finish(notModified);
    }
    if (verdict.failure.ok())
        return postPieces(std::move(pieces), true);
    // The bytes of a failed try stay with the sink: the next try goes on from them.
    postPieces(std::move(pieces), false);
    m_lastTryFailure = verdict.failure;
    if (status == 416 && m_offset > 0 && !m_fromScratch) {
        // The server cannot serve the rest of what is held: start this resource over once.
        m_fromScratch = true;
        m_restart = true;
        emit discarded(std::exchange(m_offset, 0));
        if (m_state != State::Finished)
            retryLater({verdict.failure, true, 0});
        return;
    }
    if (!verdict.transient || !mayRetry(verdict.reset))
        return failFetch(verdict.failure);
    retryLater(verdict, verdict.reset);
}

void FetchReply::closeRequest()
{
    FeedRequest *request = std::exchange(m_request, nullptr);
    if (!request)
        return;
    request->disconnect(this);
    request->abort();
    request->deleteLater();
    m_headerDeadline.stop();
    m_wholeDeadline.stop();
    m_idleDeadline.stop();
    m_tick.stop();
    m_gather.stop();
    emit requestClosed();
}

// Hands pieces to the sink on the lane, and then, with `thenComplete`, has it check them all.
void FetchReply::postPieces(QList<QByteArray> pieces, bool thenComplete)
{
    if (thenComplete)
        m_state = State::Verifying;
    if (pieces.isEmpty() && !thenComplete)
        return;
    const bool begin = std::exchange(m_beginPending, false);
    const bool restart = std::exchange(m_beginRestart, false);
    m_lane.worker->post([sink = m_sink, budget = m_budget, pieces = std::move(pieces),
                         thenComplete, begin, restart, attempt = m_attempt, home = m_lane.home,
                         self = QPointer<FetchReply>(this)] {
        UpdateFailure failure;
        if (begin && !sink->isStopped())
            failure = sink->begin(restart);
        qint64 bytes = 0;
        for (const QByteArray &piece : pieces) {
            bytes += piece.size();
            if (failure.ok() && !sink->isStopped())
                failure = sink->write(piece.constData(), piece.size());
        }
        if (budget && bytes > 0)
            budget->written(bytes);
        if (!failure.ok()) {
            deliver(home, [self, attempt, failure] {
                if (self)
                    self->onSinkFailed(attempt, failure);
            });
            return;
        }
        if (!thenComplete || sink->isStopped())
            return;
        UpdateFailure why;
        const SinkVerdict verdict = sink->complete(&why);
        deliver(home, [self, attempt, verdict, why] {
            if (self)
                self->onVerified(attempt, verdict, why);
        });
    });
}

void FetchReply::verify()
{
    postPieces({}, true);
}

void FetchReply::onVerified(quint64 attempt, SinkVerdict verdict, const UpdateFailure &failure)
{
    qCDebug(lcFetch) << "checked" << m_sink->resource() << int(verdict) << failure.detail;
    if (attempt != m_attempt || m_state != State::Verifying)
        return;
    switch (verdict) {
    case SinkVerdict::Done: {
        FetchVerdict done = m_verdict;
        done.failure = {};
        return finish(done);
    }
    case SinkVerdict::Mismatch:
        /*
            A file that does not match may be an interrupted file resumed from a server that
            changed it, or a cache that served something else: it is fetched once more from
            nothing. A second mismatch is the feed's fault, and retrying again would not end.
        */
        if (m_sink->fallback())
            return fallBack(failure);
        return startOverOnce(failure);
    case SinkVerdict::Failed:
        return failFetch(failure);
    }
}

/*
    Bytes that fail a check while they stream in (a gzip stream that breaks, more bytes than the
    file has, a .part file that no longer replays) are the same fault as a digest that differs
    at the end: a resumed file whose first part came from another, or a server or cache that
    sent something else. The file starts over from nothing once; a second time it is the feed's.
    Any other failure of the sink (a disk that is full, a bound of memory) ends the fetch.
*/
void FetchReply::onSinkFailed(quint64 attempt, const UpdateFailure &failure)
{
    if (attempt != m_attempt || m_state == State::Finished)
        return;
    if (m_sink->fallback() || failure.reason != UpdateFailureReason::DownloadInvalid)
        return failFetch(failure);
    closeRequest();
    m_lane.worker->post([sink = m_sink] { sink->discard(); });
    startOverOnce(failure);
}

void FetchReply::startOverOnce(const UpdateFailure &failure)
{
    if (m_offset > 0)
        emit discarded(std::exchange(m_offset, 0));
    if (m_state == State::Finished)
        return;
    if (m_fromScratch)
        return finish(failedWith(failure));
    m_fromScratch = true;
    m_restart = true;
    startTry();
}

void FetchReply::failFetch(const UpdateFailure &failure)
{
    if (m_sink->fallback() && failure.reason != UpdateFailureReason::Cancelled)
        return fallBack(failure);
    finish(failedWith(failure));
}

// A delta that cannot be used gives way to the whole file (see StageSink::fallback): what it
// brought counts as transferred; the progress takes the whole file's size instead.
void FetchReply::fallBack(const UpdateFailure &failure)
{
    qCDebug(lcFetch) << "delta" << m_sink->resource() << "failed, the whole file instead:"
                     << failure.detail;
    closeRequest();
    const std::shared_ptr<FetchSink> delta = std::exchange(m_sink, m_sink->fallback());
    m_lane.worker->post([delta] { delta->discard(); });
    delta->stop();
    if (m_offset > 0)
        emit discarded(std::exchange(m_offset, 0));
    if (m_state == State::Finished)
        return;
    m_offset = m_sink->heldBytes();
    m_retries = 0;
    m_resets = 0;
    m_fromScratch = false;
    m_restart = true;
    emit fellBack(delta->sizeLimit(), m_sink->sizeLimit());
    if (m_state != State::Finished)
        startTry();
}

// A try that misses a deadline is given up and, like a cut connection, tried again after a wait.
void FetchReply::giveUpTry(const QString &why)
{
    const QString where = m_request ? m_request->where() : this->where();
    qCDebug(lcFetch) << "deadline" << where << why;
    closeRequest();
    const ReplyVerdict verdict{{UpdateFailureReason::FeedUnreachable, where + QStringLiteral(": ") + why},
                               true, -1};
    m_lastTryFailure = verdict.failure;
    if (!mayRetry(false))
        return failFetch(verdict.failure);
    retryLater(verdict);
}

/*
    How a file's tries are counted. Each file may be tried `retries` times more after a transient
    failure (a refused, cut or timed-out connection, 5xx, 429), with a wait that doubles each
    time, so a file the server never delivers fails in bounded time.

    A stream that the server resets (RST_STREAM) while the connection goes on is another matter:
    a busy server or a proxy in between may reset a fair share of streams at random, each file
    alike, and the next try of the same file most likely goes through. Counted as whole retries,
    resets of 30 % of the requests would fail about one file in 400 (0.3 to the 5th power) and so
    almost every download of a few thousand files. So a reset costs a quarter of a retry: with
    the default of 4 retries a file may be reset 16 times, so resets of 30 % of the requests at
    random fail a file about once in 800 million (0.3 to the 17th power), and a file that is
    reset every time still fails after 17 tries. A reset's try waits the current retry's wait
    without doubling it (a server that resets is answering), so that file fails after 16 such
    waits (8 s with the default 500 ms), while the others go on meanwhile. Resets and failures
    share the allowance: 8 resets use up two of the 4 retries.

    Not counted at all: a request that the server never processed (refused by a closing
    connection, or for want of room while the limit of open requests could still drop): its
    source sends it again itself (HttpFeedSource), and it is only slower to be answered. A
    closing connection that answered nothing at all ends its requests as failed tries.
*/
bool FetchReply::mayRetry(bool reset) const
{
    return 4 * m_retries + m_resets + (reset ? 1 : 4) <= 4 * m_options.retries;
}

void FetchReply::retryLater(const ReplyVerdict &verdict, bool reset)
{
    if (reset)
        ++m_resets;
    else
        ++m_retries;
    m_lane.worker->post([sink = m_sink] { sink->suspend(); });
    m_state = State::RetryWait;
    QTimer::singleShot(retryDelayMs(m_options.retryDelayMs, qMax(1, m_retries), verdict), this,
                       [this, attempt = m_attempt] {
                           if (m_state == State::RetryWait && attempt == m_attempt)
                               startTry();
                       });
}

void FetchReply::readMore()
{
    readBody();
}

void FetchReply::finish(const FetchVerdict &verdict)
{
    if (m_state == State::Finished)
        return;
    closeRequest();
    m_lane.worker->post([sink = m_sink] { sink->suspend(); });
    m_sink->stop();
    m_verdict = verdict;
    m_state = State::Finished;
    emit finished();
}

void FetchReply::timerEvent(QTimerEvent *event)
{
    const FetchDeadlines &deadlines = m_options.deadlines;
    if (event->timerId() == m_headerDeadline.timerId()) {
        m_headerDeadline.stop();
        if (m_request && !m_answered)
            giveUpTry(QStringLiteral("no answer within %1 ms").arg(deadlines.headerMs));
        return;
    }
    if (event->timerId() == m_wholeDeadline.timerId()) {
        // The whole request has a deadline: a server that sends a byte now and then does not
        // hold the fetch beyond it.
        m_wholeDeadline.stop();
        if (m_request)
            giveUpTry(QStringLiteral("%1 within %2 ms")
                          .arg(m_answered ? QStringLiteral("not whole") : QStringLiteral("no answer"))
                          .arg(deadlines.wholeMs));
        return;
    }
    if (event->timerId() == m_idleDeadline.timerId()) {
        // Reading held back by this side's own budget is no silence of the server's.
        if (m_budget && m_budget->isPaused())
            m_sinceData.start();
        const qint64 idle = m_sinceData.elapsed();
        if (idle < deadlines.idleMs)
            m_idleDeadline.start(int(deadlines.idleMs - idle), this);
        else if (m_request && !m_requestEnded)
            giveUpTry(QStringLiteral("no data in time"));
        return;
    }
    if (event->timerId() == m_gather.timerId()) {
        m_gather.stop();
        return readBody();
    }
    if (event->timerId() != m_tick.timerId())
        return QObject::timerEvent(event);
    if (!m_request)
        return m_tick.stop();
    if (!m_answered)
        return;
    if (m_sinceLastByte.isValid()) {
        // Everything arrived, and the server still has not ended the body: it is not waited
        // for. The bytes are judged as they are.
        if (m_sinceLastByte.elapsed() > kBodyEndGraceMs) {
            closeRequest();
            verify();
        }
        return;
    }
    // Reading held back by this side's own budget says nothing of the server's rate.
    if ((m_budget && m_budget->isPaused()) || m_requestEnded) {
        m_rateWindow.start();
        m_rateWindowStart = arrivedOffset();
        return;
    }
    if (deadlines.rateWindowMs <= 0)
        return;
    const qint64 elapsed = m_rateWindow.elapsed();
    if (elapsed < deadlines.rateWindowMs)
        return;
    const qint64 received = arrivedOffset() - m_rateWindowStart;
    if (received * 1000 < deadlines.minimumBytesPerSecond * elapsed) {
        giveUpTry(QStringLiteral("%1 bytes in %2 ms, slower than %3 bytes per second")
                      .arg(received)
                      .arg(elapsed)
                      .arg(deadlines.minimumBytesPerSecond));
        return;
    }
    m_rateWindow.start();
    m_rateWindowStart = arrivedOffset();
}

// Where the bytes that have arrived end, those still gathered in the request included.
qint64 FetchReply::arrivedOffset() const
{
    return m_offset + (m_request ? m_request->bytesAvailable() : 0);
}

} // namespace vellumix
