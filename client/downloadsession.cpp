#include "downloadsession.h"
#include "updatehistory.h"

#include "updateprotocol.h"

#include <QLoggingCategory>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>

// QT_LOGGING_RULES="vellumix.client.debug=true" follows every transfer.
Q_LOGGING_CATEGORY(lcDownload, "vellumix.client", QtWarningMsg)

namespace vellumix {

namespace {

constexpr qint64 kPiece = 256 * 1024;
// Bytes received but not yet written by the worker. Above the high mark the replies are not read
// (Qt then stops reading their sockets once its small buffers are full), below the low mark they
// are read again: memory stays bounded whatever the file sizes and however slow the disk.
constexpr qint64 kQueuedHigh = 4 * 1024 * 1024;
constexpr qint64 kQueuedLow = 1024 * 1024;
constexpr qint64 kReplyBuffer = 512 * 1024;
constexpr int kDeadlineTickMs = 500;
/*
    Qt 6.4 gives an HTTP/2 stream its flow-control window back as soon as bytes arrive, not as they
    are read, so over HTTP/2 a reply's read buffer does not hold the server back: whatever a request
    brings may sit in memory. Requests are therefore opened only while what they may still bring
    stays within a budget, and a blob larger than a few megabytes travels on an HTTP/1.1 connection
    of its own, whose read buffer does hold the server back. Memory stays bounded by the budget, the
    read buffers and the worker's queue, however many requests are open.
*/
constexpr qint64 kInFlightBudget = 24 * 1024 * 1024;
constexpr qint64 kLargeBlob = 2 * 1024 * 1024;
// A closing HTTP/2 connection: how often one blob that went without an answer is sent again at
// once, and the bounds of how long requests made before the closing was seen may go without an
// answer before they are sent again.
constexpr int kMaxResends = 8;
constexpr qint64 kGoawaySettleMinMs = 250;
constexpr qint64 kGoawaySettleMaxMs = 2000;
// A body whose last expected byte has come is not waited on for longer than this to end.
constexpr int kBodyEndGraceMs = 2000;

// The size of the whole resource as the server gives it (Content-Length of a 200, the total of a
// 206's Content-Range), -1 when it does not say.
qint64 announcedSize(QNetworkReply *reply, int status)
{
    bool isNumber = false;
    qint64 size = -1;
    if (status == 200) {
        size = reply->rawHeader("Content-Length").trimmed().toLongLong(&isNumber);
    } else if (status == 206) {
        const QByteArray value = reply->rawHeader("Content-Range").trimmed();
        size = value.mid(value.lastIndexOf('/') + 1).toLongLong(&isNumber);
    }
    return isNumber && size >= 0 ? size : -1;
}

/*
    How a small request that ended without its answer fared on an HTTP/2 connection, from what
    Qt 6.4 reports (QHttp2ProtocolHandler; its texts are not translated unless noted):

    - Closing: ContentReSendError, "Server stopped accepting new streams before this stream was
      established". The server's GOAWAY named a last stream before this one: never processed.
    - HeldBack: ProtocolUnknownError, "GOAWAY received, cannot start a request" (a translatable
      text, so only the code counts; a redirect to another scheme has the same code, but with the
      redirect's status). Qt had not sent it yet: it keeps requests beyond the server's
      SETTINGS_MAX_CONCURRENT_STREAMS to itself, and fails those it holds at a GOAWAY.
    - Refused: RST_STREAM with REFUSED_STREAM, ProtocolFailure "Server refused a stream": the
      server had no room for one more stream and did not process it.
    - Reset: RST_STREAM with another code (ProtocolFailure for most, InternalServerError for
      INTERNAL_ERROR, UnknownServerError for ENHANCE_YOUR_CALM), before or during the body.
*/
enum class StreamEnd { Other, Closing, HeldBack, Refused, Reset };

StreamEnd streamEndOf(QNetworkReply *reply, bool overHttp2)
{
    const int status = httpStatusOf(reply);
    const bool unanswered = status == 0;
    const bool answering = unanswered || status == 200 || status == 206;
    switch (reply->error()) {
    case QNetworkReply::ContentReSendError:
        return unanswered ? StreamEnd::Closing : StreamEnd::Other;
    case QNetworkReply::ProtocolUnknownError:
        return unanswered ? StreamEnd::HeldBack : StreamEnd::Other;
    case QNetworkReply::ProtocolFailure:
        if (unanswered && reply->errorString() == QLatin1String("Server refused a stream"))
            return StreamEnd::Refused;
        return overHttp2 && answering ? StreamEnd::Reset : StreamEnd::Other;
    case QNetworkReply::InternalServerError:
    case QNetworkReply::UnknownServerError:
        return overHttp2 && answering ? StreamEnd::Reset : StreamEnd::Other;
    default:
        return StreamEnd::Other;
    }
}

qint64 contentRangeStart(QNetworkReply *reply)
{
    // "bytes 100-999/1000"
    const QByteArray value = reply->rawHeader("Content-Range").trimmed();
    if (!value.startsWith("bytes "))
        return -1;
    const qsizetype dash = value.indexOf('-');
    bool isNumber = false;
    const qint64 start = value.mid(6, dash - 6).toLongLong(&isNumber);
    return isNumber ? start : -1;
}

} // namespace

DownloadSession::DownloadSession(const UpdateClientSettings &settings,
                                 FeedConnection *connection, QObject *parent)
    : QObject(parent), m_settings(settings), m_connection(connection)
{
    const int lanes = qBound(1, qMin(settings.connections, QThread::idealThreadCount()), 4);
    for (int i = 0; i < lanes; ++i)
        m_lanes.push_back({std::make_unique<WorkerThread>(), nullptr});
    m_deadlines.setInterval(kDeadlineTickMs);
    connect(&m_deadlines, &QTimer::timeout, this, &DownloadSession::watchDeadlines);
}

DownloadSession::~DownloadSession()
{
    m_cancelled = true;
    ++m_generation;
    for (const auto &transfer : std::as_const(m_transfers))
        dropReply(transfer.get());
    // The lanes stop first: a call that is running still uses the members below.
    for (Lane &lane : m_lanes)
        lane.thread.reset();
}

template<typename Call>
void DownloadSession::onWorker(int lane, Call call)
{
    const quint64 generation = m_generation;
    m_lanes[std::size_t(lane)].thread->post([this, generation, call = std::move(call)]() mutable {
        if (generation == m_generation.load())
            call();
    });
}

template<typename Call>
void DownloadSession::backHere(Call call)
{
    const quint64 generation = m_generation;
    deliver(this, [this, generation, call = std::move(call)]() mutable {
        if (generation == m_generation.load() && m_running)
            call();
    });
}

void DownloadSession::start(const std::shared_ptr<const UpdatePlan> &plan,
                            const QString &stagingDirectory)
{
    ++m_generation;
    m_cancelled = false;
    m_paused = false;
    m_queuedBytes = 0;
    m_running = true;
    m_envelope = plan->manifest.envelope;
    m_stagingDirectory = stagingDirectory;
    m_pending.clear();
    m_transfers.clear();
    m_inFlight = 0;
    m_inFlightBytes = 0;
    m_largeInFlight = 0;
    m_deltasInFlight = 0;
    m_streamLimit = qMax(qMax(1, m_settings.connections), m_settings.http2Streams);
    m_waitingForRoom.clear();
    m_sentSinceReopen = 0;
    m_acceptedSinceReopen = 0;
    m_lastClosingAccepted = -1;
    m_requestsPerConnection = 0;
    m_closingOurs = false;
    m_sinceGoaway.invalidate();
    m_closingSince.invalidate();
    m_onClosingConnection.clear();
    m_waitingForConnection.clear();
    m_progress = DownloadProgress();
    m_progress.filesTotal = int(plan->filesToFetch.size());
    m_result = DownloadReport();
    m_sinceProgress.invalidate();
    m_deadlines.start();

    for (int lane = 0; lane < int(m_lanes.size()); ++lane) {
        onWorker(lane, [this, lane, stagingDirectory] {
            m_lanes[std::size_t(lane)].area = std::make_unique<StageArea>(
                stagingDirectory, m_settings.programRoot, &m_cancelled);
        });
    }
    const QList<ManifestFile> files = plan->filesToFetch;
    const QHash<QString, ReleaseDelta> deltas = plan->deltas;
    onWorker(0, [this, files, deltas] {
        const StagePlan plan = m_lanes[0].area->prepare(files, deltas);
        backHere([this, plan] { onPrepared(plan); });
    });
}

void DownloadSession::onPrepared(const StagePlan &plan)
{
    if (!plan.failure.ok())
        return end(plan.failure);
    m_result.filesAlreadyStaged = plan.filesAlreadyStaged;
    m_progress.filesDone = plan.filesAlreadyStaged;
    m_progress.bytesDone = plan.bytesAlreadyStaged;
    m_progress.bytesTotal = plan.bytesAlreadyStaged;
    // The deltas come after the whole blobs, one at a time (see mayStart).
    for (const bool deltas : {false, true}) {
        for (const BlobJob &job : plan.jobs) {
            if (job.isDelta() != deltas)
                continue;
            m_pending.push_back(job);
            m_progress.bytesTotal += job.packedSize;
            m_progress.bytesDone += job.heldBytes;
        }
    }
    emitProgress(true);
    pump();
}

/*
    How many requests are open at once. Over HTTP/1.1 each open request holds a connection, so as
    many as there are connections: one starts the moment another ends. Over HTTP/2 they share
    one connection and many stream at once, each round trip shared by all of them; whether the
    server speaks it is known from the first answers, which are asked for with the HTTP/1.1 number.
*/
bool DownloadSession::mayStart(const BlobJob &job) const
{
    // A delta being applied holds its decoder's window (up to 128 MiB): one at a time.
    if (job.isDelta() && m_deltasInFlight > 0)
        return false;
    return roomFor(job.packedSize - job.heldBytes);
}

// Whether one more request that would bring `remaining` bytes may be opened now.
bool DownloadSession::roomFor(qint64 remaining) const
{
    const int connections = qMax(1, m_settings.connections);
    if (m_connection->isLocal())
        return m_inFlight < connections;
    if (remaining > kLargeBlob)
        return m_largeInFlight < connections;
    const int small = m_inFlight - m_largeInFlight;
    if (small >= (m_multiplexed ? m_streamLimit : qMin(connections, m_streamLimit)))
        return false;
    return m_inFlightBytes == 0 || m_inFlightBytes + remaining <= kInFlightBudget;
}

// A request the server had no room for: from now on one fewer is opened at once. Lowered once
// for each such request, the limit ends at the number the server took, never below it.
void DownloadSession::lowerStreamLimit(const char *why)
{
    m_streamLimit = qMax(1, m_streamLimit - 1);
    qCDebug(lcDownload) << why << "- now up to" << m_streamLimit << "HTTP/2 requests at once";
}

void DownloadSession::requestEnded(Transfer *transfer)
{
    if (m_onClosingConnection.remove(transfer->job.packedSha256) && m_onClosingConnection.isEmpty())
        QTimer::singleShot(0, this, &DownloadSession::maybeReopen);
    --m_inFlight;
    m_inFlightBytes -= transfer->requestBytes;
    transfer->requestBytes = 0;
    if (transfer->large) {
        --m_largeInFlight;
        transfer->large = false;
    }
}

void DownloadSession::pump()
{
    while (m_running && !m_waitingForRoom.isEmpty()) {
        Transfer *t = m_transfers.value(m_waitingForRoom.first()).get();
        const qint64 remaining = t ? t->job.packedSize - t->offset : 0;
        if (t && (!roomFor(remaining) || waitsForClosing(remaining)))
            break;
        m_waitingForRoom.removeFirst();
        if (t)
            startTry(t);
    }
    while (m_running && m_waitingForRoom.isEmpty() && !m_pending.empty() && mayStart(m_pending.front())
           && !waitsForClosing(m_pending.front().packedSize - m_pending.front().heldBytes)) {
        auto transfer = std::make_shared<Transfer>();
        transfer->job = m_pending.front();
        transfer->offset = transfer->job.heldBytes;
        transfer->lane = m_nextLane++ % int(m_lanes.size());
        m_pending.pop_front();
        if (transfer->job.isDelta())
            ++m_deltasInFlight;
        m_transfers.insert(transfer->job.packedSha256, transfer);
        startTry(transfer.get());
    }
    if (m_running && m_pending.empty() && m_transfers.isEmpty()) {
        const QByteArray envelope = m_envelope;
        const QString stage = m_stagingDirectory;
        onWorker(0, [this, envelope, stage] {
            const UpdateFailure result = m_lanes[0].area->finish(envelope);
            // Where the release came from, for the record that the hand-over to the updater keeps.
            if (result.ok())
                writeStageOrigin(stage, m_settings.feed);
            backHere([this, result] { end(result); });
        });
    }
}

void DownloadSession::startTry(Transfer *transfer)
{
    if (waitsForClosing(transfer->job.packedSize - transfer->offset)) {
        m_waitingForConnection.append(transfer->job.packedSha256);
        return;
    }
    ++m_inFlight;
    transfer->refused = false;
    const quint64 attempt = ++transfer->attempt;
    transfer->headersSeen = false;
    transfer->sinceLastByte.invalidate();
    BlobJob job = transfer->job;
    job.heldBytes = transfer->restart ? 0 : transfer->offset;
    const bool restart = transfer->restart;
    transfer->restart = false;
    transfer->statusSeen = false;
    transfer->finishPending = false;
    transfer->offset = job.heldBytes;
    const QByteArray sha = job.packedSha256;
    const QString relative = protocol::feedBlobPath(QString::fromLatin1(sha));
    const int lane = transfer->lane;

    if (m_connection->isLocal()) {
        const QString source = m_connection->localPath(relative);
        onWorker(lane, [this, lane, job, restart, sha, source, attempt] {
            StageArea *area = m_lanes[std::size_t(lane)].area.get();
            UpdateFailure result = area->begin(job, restart);
            if (result.ok())
                result = area->copyFromLocalFeed(sha, source);
            if (!result.ok()) {
                area->suspend(sha);
                backHere([this, sha, attempt, result] {
                    --m_inFlight;
                    onCorrupt(sha, attempt, result);
                });
                return;
            }
            UpdateFailure failure;
            const BlobVerdict verdict = area->complete(sha, &failure);
            backHere([this, sha, attempt, verdict, failure] {
                --m_inFlight;
                onCompleted(sha, attempt, verdict, failure);
            });
        });
        return;
    }

    onWorker(lane, [this, lane, job, restart, sha, attempt] {
        const UpdateFailure result = m_lanes[std::size_t(lane)].area->begin(job, restart);
        if (!result.ok())
            backHere([this, sha, attempt, result] { onCorrupt(sha, attempt, result); });
    });
    if (job.heldBytes == job.packedSize) {
        // Everything arrived in an earlier try; only the checks are left.
        --m_inFlight;
        complete(transfer);
        return;
    }
    qCDebug(lcDownload) << "GET" << relative << "from" << job.heldBytes << "in flight" << m_inFlight;
    transfer->large = job.packedSize - job.heldBytes > kLargeBlob;
    if (transfer->large)
        ++m_largeInFlight;
    else
        m_inFlightBytes += transfer->requestBytes = job.packedSize - job.heldBytes;
    QNetworkReply *reply = m_connection->get(relative, job.heldBytes, {}, !transfer->large);
    reply->setReadBufferSize(kReplyBuffer);
    transfer->reply = reply;
    transfer->sinceRequest.start();
    if (!transfer->large && ++m_sentSinceReopen == m_requestsPerConnection
        && !m_closingSince.isValid()) {
        /*
            The server closes every connection after this many requests (nginx:
            keepalive_requests). When it takes the last of them, it answers the requests it has
            and closes, and a request made after Qt has seen its GOAWAY is lost without a word
            (see onReplyFinished), with nothing refused to show that it closed: this side treats
            the connection as closing now, so that nothing more is made on it.
        */
        m_closingOurs = true;
        connectionClosing(nullptr);
    }
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, sha, reply] {
        Transfer *t = m_transfers.value(sha).get();
        if (t && t->reply == reply && !t->headersSeen) {
            t->headersSeen = true;
            const qint64 waited = t->sinceRequest.elapsed();
            if (m_fastestAnswerMs < 0 || waited < m_fastestAnswerMs)
                m_fastestAnswerMs = waited;
            if (!t->large)
                ++m_acceptedSinceReopen;
            t->rateWindow.start();
            t->rateWindowStart = t->offset;
            if (!m_multiplexed && cameOverHttp2(reply)) {
                m_multiplexed = true;
                qCDebug(lcDownload) << "HTTP/2: up to" << m_settings.http2Streams << "requests at once";
                pump();
            }
        }
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, sha] {
        if (Transfer *t = m_transfers.value(sha).get())
            readBody(t);
    });
    connect(reply, &QNetworkReply::finished, this, [this, sha, reply] {
        Transfer *t = m_transfers.value(sha).get();
        if (t && t->reply == reply && m_running) {
            // Judged once its last bytes are read, which may wait while reading is paused.
            t->finishPending = true;
            readBody(t);
        } else {
            reply->deleteLater();
        }
    });
}

void DownloadSession::readBody(Transfer *transfer)
{
    QNetworkReply *reply = transfer->reply;
    if (!reply || !m_running)
        return;
    // A slot of the progress signal may cancel the download, which drops every transfer.
    const std::shared_ptr<Transfer> keep = m_transfers.value(transfer->job.packedSha256);
    if (!transfer->statusSeen) {
        const int status = httpStatusOf(reply);
        if (status != 200 && status != 206) {
            // An error answer (or none): its body is not read; it is judged once it has ended.
            if (transfer->finishPending)
                onReplyFinished(transfer);
            return;
        }
        transfer->statusSeen = true;
        /*
            A digest names the bytes of one blob, so a resource of another size is not the blob
            named: it is refused before its body is read. Left to the byte count, a shorter one
            would look like a cut transfer, resumed and cut again until the retries ran out.
        */
        if (const qint64 size = announcedSize(reply, status);
            size >= 0 && size != transfer->job.packedSize) {
            return failTransfer(transfer, {UpdateFailureReason::DownloadInvalid,
                         QStringLiteral("%1: %2 bytes instead of %3")
                             .arg(reply->url().toString())
                             .arg(size)
                             .arg(transfer->job.packedSize)});
        }
        if (status == 200 && transfer->offset > 0) {
            // The server sent the whole blob instead of the rest: start the .part file over.
            m_progress.bytesDone -= transfer->offset;
            transfer->offset = 0;
            BlobJob job = transfer->job;
            job.heldBytes = 0;
            onWorker(transfer->lane, [this, lane = transfer->lane, job] {
                m_lanes[std::size_t(lane)].area->begin(job, true);
            });
        } else if (status == 206 && contentRangeStart(reply) != transfer->offset) {
            // A range other than the one asked for: the next try fetches the whole blob.
            transfer->restart = true;
            m_progress.bytesDone -= transfer->offset;
            transfer->offset = 0;
            dropReply(transfer);
            requestEnded(transfer);
            retryLater(transfer, {{UpdateFailureReason::ServerRefused,
                                   QStringLiteral("%1: a wrong range").arg(reply->url().toString())},
                                  true, -1});
            return;
        }
    }
    while (reply->bytesAvailable() > 0) {
        if (m_queuedBytes.load() > kQueuedHigh) {
            m_paused = true;
            // The worker may have drained everything just before the flag was set.
            if (m_queuedBytes.load() > kQueuedHigh || !m_paused.exchange(false)) {
                qCDebug(lcDownload) << "paused at" << m_queuedBytes.load() << "queued bytes";
                return;
            }
        }
        const QByteArray piece = reply->read(qMin<qint64>(reply->bytesAvailable(), kPiece));
        if (transfer->offset + piece.size() > transfer->job.packedSize) {
            return onCorrupt(transfer->job.packedSha256, transfer->attempt,
                             {UpdateFailureReason::DownloadInvalid,
                              QStringLiteral("%1: longer than its %2 bytes")
                                  .arg(reply->url().toString())
                                  .arg(transfer->job.packedSize)});
        }
        transfer->offset += piece.size();
        if (transfer->offset == transfer->job.packedSize)
            transfer->sinceLastByte.start();
        m_progress.bytesDone += piece.size();
        m_result.bytesTransferred += piece.size();
        m_queuedBytes += piece.size();
        const QByteArray sha = transfer->job.packedSha256;
        onWorker(transfer->lane, [this, lane = transfer->lane, sha, piece, attempt = transfer->attempt] {
            const UpdateFailure result =
                m_lanes[std::size_t(lane)].area->append(sha, piece.constData(), piece.size());
            const qint64 left = (m_queuedBytes -= piece.size());
            if (left <= kQueuedLow && m_paused.exchange(false))
                backHere([this] { resumeReading(); });
            if (!result.ok())
                backHere([this, sha, attempt, result] { onCorrupt(sha, attempt, result); });
        });
    }
    emitProgress(false);
    if (m_running && transfer->finishPending)
        onReplyFinished(transfer);
}

void DownloadSession::resumeReading()
{
    const auto transfers = m_transfers.values();
    for (const auto &transfer : transfers) {
        if (!m_running || m_paused)
            return;
        if (transfer->reply)
            readBody(transfer.get());
    }
}

// The reply has ended and every byte it brought has been handed on: judge it.
void DownloadSession::onReplyFinished(Transfer *transfer)
{
    QNetworkReply *reply = transfer->reply;
    if (!reply || !m_running)
        return;
    transfer->finishPending = false;
    /*
        A server ends an HTTP/2 connection after so many requests (nginx: keepalive_requests,
        1,000 unless set) with GOAWAY; Qt fails the streams the server never took, and those it
        had not sent yet (see StreamEnd). They were never answered, so they go again on a new
        connection without a retry's wait or count. Qt hands a request made while the connection
        is closing to that connection, which drops it without a word: until the requests still
        open on it have ended, no new one is made (connectionClosing). A request that was dropped
        all the same fails nowhere: the deadline tick sends again, once the closing has settled,
        every request that has had no answer for as long (settleAfterGoawayMs). Those that Qt
        held back were beyond what the server allows at once: the limit drops by one for each.
    */
    const StreamEnd end = streamEndOf(reply, m_multiplexed && !transfer->large);
    if (end == StreamEnd::Closing || end == StreamEnd::HeldBack) {
        qCDebug(lcDownload) << "refused by a closing connection" << reply->url().path()
                            << reply->error() << reply->errorString();
        if (end == StreamEnd::HeldBack)
            lowerStreamLimit("held back by Qt at a GOAWAY");
        watchSettling();
        transfer->reply = nullptr;
        reply->deleteLater();
        requestEnded(transfer);
        connectionClosing(transfer);
        transfer->refused = true;
        startTry(transfer); // it waits for the next connection
        return;
    }
    // A stream the server had no room for goes again, without a retry, once one fewer is open.
    // With the limit down to one, room is not what it lacked: it counts as a reset.
    if (end == StreamEnd::Refused && m_streamLimit > 1) {
        qCDebug(lcDownload) << "refused stream" << reply->url().path();
        lowerStreamLimit("a stream refused");
        transfer->reply = nullptr;
        reply->deleteLater();
        requestEnded(transfer);
        m_waitingForRoom.append(transfer->job.packedSha256);
        pump();
        return;
    }
    const ReplyVerdict verdict =
        FeedConnection::judge(reply, transfer->offset == transfer->job.packedSize);
    qCDebug(lcDownload) << "finished" << reply->url().path() << reply->error() << transfer->offset << "bytes"
                        << verdict.failure.reasonName() << verdict.failure.detail;
    transfer->reply = nullptr;
    reply->deleteLater();
    requestEnded(transfer);
    if (verdict.failure.ok()) {
        complete(transfer);
        pump();
        return;
    }
    const int status = httpStatusOf(reply);
    if (status == 416 && transfer->offset > 0 && !transfer->fromScratch) {
        // The server cannot serve the rest of what is held: start this blob over once.
        transfer->fromScratch = true;
        transfer->restart = true;
        m_progress.bytesDone -= transfer->offset;
        transfer->offset = 0;
        retryLater(transfer, {verdict.failure, true, 0});
        return;
    }
    const bool reset = end == StreamEnd::Reset || end == StreamEnd::Refused;
    if (end == StreamEnd::Reset && !transfer->headersSeen)
        ++m_acceptedSinceReopen; // the server took it, as it counts requests
    if (!verdict.transient || !mayRetry(transfer, reset))
        return failTransfer(transfer, verdict.failure);
    retryLater(transfer, verdict, reset);
}

/*
    How a blob's tries are counted. Each blob may be tried `retries` times more after a transient
    failure (a refused, cut or timed-out connection, 5xx, 429), with a wait that doubles each
    time, so a blob the server never delivers fails in bounded time.

    A stream that the server resets (RST_STREAM) while the connection goes on is another matter:
    a busy server or a proxy in between may reset a fair share of streams at random, each blob
    alike, and the next try of the same blob most likely goes through. Counted as whole retries,
    resets of 30 % of the requests would fail about one blob in 400 (0.3 to the 5th power) and so
    almost every download of a few thousand files. So a reset costs a quarter of a retry: with
    the default of 4 retries a blob may be reset 16 times, so resets of 30 % of the requests at
    random fail a blob about once in 800 million (0.3 to the 17th power), and a blob that is
    reset every time still fails after 17 tries. A reset's try waits the current retry's wait
    without doubling it (a server that resets is answering), so that blob fails after 16 such
    waits (8 s with the default 500 ms), while the others go on meanwhile. Resets and failures
    share the allowance: 8 resets use up two of the 4 retries.

    Not counted at all: a request refused by a closing connection (it was never processed; see
    StreamEnd), unless that connection answered nothing at all before it closed (then each request
    it refused counts as a failed try, so a server that refuses everything still ends the
    download), and a stream refused for want of room while the limit of open requests could still
    drop (see lowerStreamLimit), which happens once per request the limit drops by.
*/
bool DownloadSession::mayRetry(const Transfer *transfer, bool reset) const
{
    return 4 * transfer->retry + transfer->resets + (reset ? 1 : 4) <= 4 * m_connection->retries();
}

void DownloadSession::retryLater(Transfer *transfer, const ReplyVerdict &verdict, bool reset)
{
    if (reset)
        ++transfer->resets;
    else
        ++transfer->retry;
    const QByteArray sha = transfer->job.packedSha256;
    onWorker(transfer->lane,
             [this, lane = transfer->lane, sha] { m_lanes[std::size_t(lane)].area->suspend(sha); });
    const quint64 generation = m_generation;
    QTimer::singleShot(m_connection->retryDelayMs(qMax(1, transfer->retry), verdict), this,
                       [this, sha, generation] {
                           Transfer *t = m_transfers.value(sha).get();
                           if (generation == m_generation && m_running && t)
                               startTry(t);
                       });
    pump();
}

void DownloadSession::complete(Transfer *transfer)
{
    const QByteArray sha = transfer->job.packedSha256;
    onWorker(transfer->lane, [this, lane = transfer->lane, sha, attempt = transfer->attempt] {
        UpdateFailure failure;
        const BlobVerdict verdict = m_lanes[std::size_t(lane)].area->complete(sha, &failure);
        backHere([this, sha, attempt, verdict, failure] {
            onCompleted(sha, attempt, verdict, failure);
        });
    });
}

void DownloadSession::onCompleted(const QByteArray &packedSha256, quint64 attempt,
                                  BlobVerdict verdict, const UpdateFailure &failure)
{
    const std::shared_ptr<Transfer> transfer = m_transfers.value(packedSha256);
    qCDebug(lcDownload) << "checked" << packedSha256.left(12) << int(verdict) << failure.detail;
    if (!transfer || transfer->attempt != attempt)
        return;
    switch (verdict) {
    case BlobVerdict::Staged:
        m_transfers.remove(packedSha256);
        if (transfer->job.isDelta()) {
            --m_deltasInFlight;
            m_result.filesFromDeltas += int(transfer->job.files.size());
        }
        if (m_connection->isLocal()) {
            // A local feed's bytes are read on the worker in one go; they count once staged.
            m_progress.bytesDone += transfer->job.packedSize - transfer->job.heldBytes;
            m_result.bytesTransferred += transfer->job.packedSize - transfer->job.heldBytes;
        }
        m_progress.filesDone += int(transfer->job.files.size());
        m_result.filesFetched += int(transfer->job.files.size());
        emitProgress(m_transfers.isEmpty() && m_pending.empty());
        pump();
        return;
    case BlobVerdict::Mismatch:
        /*
            A blob that does not match may be an interrupted file resumed from a server that
            changed it, or a cache that served something else: it is fetched once more from
            nothing. A second mismatch is the feed's fault, and retrying again would not end.
        */
        if (transfer->job.isDelta())
            return fallBack(transfer.get(), failure);
        return startOverOnce(transfer.get(), failure);
    case BlobVerdict::Failed:
        return failTransfer(transfer.get(), failure);
    }
}

void DownloadSession::startOverOnce(Transfer *transfer, const UpdateFailure &failure)
{
    m_progress.bytesDone -= transfer->offset;
    if (transfer->fromScratch)
        return fail(failure);
    transfer->fromScratch = true;
    transfer->restart = true;
    transfer->offset = 0;
    startTry(transfer);
}

/*
    Bytes that fail a check while they stream in (a gzip stream that breaks, more bytes than the
    blob has, a .part file that no longer replays) are the same fault as a digest that differs
    at the end: a resumed blob whose first part came from another file, or a server or cache that
    sent something else. The blob starts over from nothing once; a second time it is the feed's.
*/
void DownloadSession::onCorrupt(const QByteArray &packedSha256, quint64 attempt,
                                const UpdateFailure &failure)
{
    const std::shared_ptr<Transfer> transfer = m_transfers.value(packedSha256);
    if (!m_running || !transfer || transfer->attempt != attempt)
        return;
    if (transfer->job.isDelta() || failure.reason != UpdateFailureReason::DownloadInvalid)
        return failTransfer(transfer.get(), failure);
    if (transfer->reply) {
        dropReply(transfer.get());
        requestEnded(transfer.get());
    }
    onWorker(transfer->lane, [this, lane = transfer->lane, packedSha256] {
        m_lanes[std::size_t(lane)].area->discard(packedSha256);
    });
    startOverOnce(transfer.get(), failure);
}

// A transfer that cannot go on: the download's failure, unless it was a delta's.
void DownloadSession::failTransfer(Transfer *transfer, const UpdateFailure &failure)
{
    if (transfer->job.isDelta() && failure.reason != UpdateFailureReason::Cancelled)
        return fallBack(transfer, failure);
    fail(failure);
}

/*
    A delta only ever saves bytes: whatever goes wrong with one (its blob missing or unreachable,
    other bytes than it names, a frame that does not apply, a base that changed since the check)
    the job starts over as a job of the whole blob, and only a failure of that is the download's.
    The delta's bytes count as transferred; the progress total takes the whole blob instead.
*/
void DownloadSession::fallBack(Transfer *transfer, const UpdateFailure &failure)
{
    const std::shared_ptr<Transfer> keep = m_transfers.take(transfer->job.packedSha256);
    qCDebug(lcDownload) << "delta of" << transfer->job.files.first().path
                        << "failed, the whole blob instead:" << failure.detail;
    if (transfer->reply) {
        dropReply(transfer);
        requestEnded(transfer);
    }
    const QByteArray delta = transfer->job.packedSha256;
    onWorker(transfer->lane, [this, lane = transfer->lane, delta] {
        m_lanes[std::size_t(lane)].area->discard(delta);
    });
    --m_deltasInFlight;
    m_progress.bytesDone -= transfer->offset;
    m_progress.bytesTotal -= transfer->job.packedSize;
    transfer->job = transfer->job.wholeBlob();
    m_progress.bytesTotal += transfer->job.packedSize;
    transfer->offset = 0;
    transfer->retry = 0;
    transfer->resets = 0;
    transfer->fromScratch = false;
    transfer->restart = true;
    m_transfers.insert(transfer->job.packedSha256, keep);
    startTry(transfer);
    pump();
}

// A try that misses a deadline is given up and, like a cut connection, tried again after a wait.
void DownloadSession::giveUpTry(Transfer *transfer, const QString &why)
{
    const QString where = transfer->reply ? transfer->reply->url().toString() : QString();
    qCDebug(lcDownload) << "deadline" << where << why;
    dropReply(transfer);
    requestEnded(transfer);
    const ReplyVerdict verdict{{UpdateFailureReason::FeedUnreachable, where + QStringLiteral(": ") + why},
                               true, -1};
    if (!mayRetry(transfer, false))
        return failTransfer(transfer, verdict.failure);
    retryLater(transfer, verdict);
}

// A request that would bring `remaining` bytes over HTTP/2 waits while a connection closes; a
// large blob travels on an HTTP/1.1 connection of its own and does not.
bool DownloadSession::waitsForClosing(qint64 remaining) const
{
    return m_closingSince.isValid() && remaining <= kLargeBlob;
}

// From now, the deadline tick sends again, once the closing has settled, what has no answer.
void DownloadSession::watchSettling()
{
    m_sinceGoaway.start();
    QTimer::singleShot(settleAfterGoawayMs() + 10, this, &DownloadSession::watchDeadlines);
}

// The first request refused by a closing connection: every other small request open now is on
// that connection; new ones wait until they have all ended.
void DownloadSession::connectionClosing(Transfer *refused)
{
    if (m_closingSince.isValid())
        return;
    m_closingSince.start();
    ++m_closings;
    for (auto it = m_transfers.cbegin(); it != m_transfers.cend(); ++it) {
        const Transfer *t = it.value().get();
        if (t != refused && t->reply && !t->large)
            m_onClosingConnection.insert(it.key());
    }
    qCDebug(lcDownload) << "HTTP/2 connection closing with" << m_onClosingConnection.size()
                        << "requests open on it";
    if (m_onClosingConnection.isEmpty())
        QTimer::singleShot(0, this, &DownloadSession::maybeReopen);
}

/*
    The requests that waited go out once the closing connection's own requests have all ended (or
    after the header deadline at the latest), a round trip later: the server closes the connection
    right after its last answer, and a request sent before Qt has seen the close would go to it.
*/
void DownloadSession::maybeReopen()
{
    if (!m_running || !m_closingSince.isValid())
        return;
    if (!m_onClosingConnection.isEmpty() && m_closingSince.elapsed() < m_settings.headerTimeoutMs)
        return;
    const qint64 delay = std::max<qint64>(50, m_fastestAnswerMs);
    QTimer::singleShot(delay, this, [this, generation = m_generation.load(), closing = m_closings] {
        if (!m_running || !m_closingSince.isValid() || generation != m_generation
            || closing != m_closings)
            return;
        qCDebug(lcDownload) << "HTTP/2 connection closed after" << m_closingSince.elapsed() << "ms;"
                            << m_waitingForConnection.size() << "requests waited";
        m_closingSince.invalidate();
        m_onClosingConnection.clear();
        watchSettling(); // what goes now is watched like what went at the closing itself
        // A connection that closed without answering a single request: what it refused counts as
        // a failed try, so that a server that never answers still ends the download.
        const bool answeredNothing = m_acceptedSinceReopen == 0;
        // Two connections in a row that the server closed after taking the same number of
        // requests: it closes every connection after that many.
        if (!std::exchange(m_closingOurs, false)) {
            m_requestsPerConnection = m_acceptedSinceReopen > 0
                    && m_acceptedSinceReopen == m_lastClosingAccepted
                ? m_acceptedSinceReopen
                : 0;
            m_lastClosingAccepted = m_acceptedSinceReopen;
        }
        m_sentSinceReopen = 0;
        m_acceptedSinceReopen = 0;
        const QList<QByteArray> waiting = std::exchange(m_waitingForConnection, {});
        for (const QByteArray &sha : waiting) {
            Transfer *t = m_transfers.value(sha).get();
            if (!t || !m_running)
                continue;
            if (!std::exchange(t->refused, false) || !answeredNothing) {
                startTry(t);
                continue;
            }
            const ReplyVerdict verdict{{UpdateFailureReason::FeedUnreachable,
                                        m_connection->url(protocol::feedBlobPath(QString::fromLatin1(sha))).toString()
                                            + QStringLiteral(": the server closed the connection without answering")},
                                       true, -1};
            if (!mayRetry(t, false))
                failTransfer(t, verdict.failure);
            else
                retryLater(t, verdict);
        }
        pump();
    });
}

void DownloadSession::resendNow(Transfer *transfer)
{
    qCDebug(lcDownload) << "sent again after a closing connection" << transfer->job.packedSha256.left(12);
    dropReply(transfer);
    requestEnded(transfer);
    ++transfer->resends;
    startTry(transfer);
}

/*
    How long a closing HTTP/2 connection is given to settle: four times the fastest answer seen
    (a round trip and the server's turn-around) plus a tenth of a second, within 250 ms and 2 s.
    A request that goes that long without an answer after the closing was most likely sent to the
    connection that closed; one that was merely slow is asked again, which may cost the bytes it
    had begun to bring, never its result. Without an answer yet to go by, the longest.
*/
qint64 DownloadSession::settleAfterGoawayMs() const
{
    if (m_fastestAnswerMs < 0)
        return kGoawaySettleMaxMs;
    return std::clamp(4 * m_fastestAnswerMs + 100, kGoawaySettleMinMs, kGoawaySettleMaxMs);
}

void DownloadSession::watchDeadlines()
{
    if (!m_running)
        return m_deadlines.stop();
    const auto transfers = m_transfers.values();
    if (m_closingSince.isValid())
        maybeReopen();
    const qint64 settle = settleAfterGoawayMs();
    if (m_sinceGoaway.isValid() && m_sinceGoaway.elapsed() > settle) {
        // Those sent again at the closing itself may have gone to the closing connection too:
        // every request without an answer for as long as the closing has had to settle goes again.
        m_sinceGoaway.invalidate();
        for (const auto &transfer : transfers) {
            Transfer *t = transfer.get();
            if (m_running && t->reply && !t->headersSeen
                && t->sinceRequest.elapsed() > settle && t->resends < kMaxResends)
                resendNow(t);
        }
    }
    for (const auto &transfer : transfers) {
        if (!m_running)
            return;
        Transfer *t = transfer.get();
        if (!t->reply)
            continue;
        if (!t->headersSeen) {
            if (t->sinceRequest.elapsed() > m_settings.headerTimeoutMs)
                giveUpTry(t, QStringLiteral("no answer within %1 ms").arg(m_settings.headerTimeoutMs));
            continue;
        }
        if (t->sinceLastByte.isValid()) {
            // Everything arrived, and the server still has not ended the body: it is not waited
            // for. The bytes are judged as they are.
            if (t->sinceLastByte.elapsed() > kBodyEndGraceMs) {
                dropReply(t);
                requestEnded(t);
                complete(t);
                pump();
            }
            continue;
        }
        // Reading held back by this side's own queue says nothing of the server's rate.
        if (m_paused || t->finishPending) {
            t->rateWindow.start();
            t->rateWindowStart = t->offset;
            continue;
        }
        const qint64 elapsed = t->rateWindow.elapsed();
        if (elapsed < m_settings.rateWindowMs)
            continue;
        const qint64 received = t->offset - t->rateWindowStart;
        if (received * 1000 < m_settings.minimumBytesPerSecond * elapsed) {
            giveUpTry(t, QStringLiteral("%1 bytes in %2 ms, slower than %3 bytes per second")
                             .arg(received)
                             .arg(elapsed)
                             .arg(m_settings.minimumBytesPerSecond));
            continue;
        }
        t->rateWindow.start();
        t->rateWindowStart = t->offset;
    }
}

void DownloadSession::dropReply(Transfer *transfer)
{
    if (QNetworkReply *reply = transfer->reply) {
        transfer->reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void DownloadSession::fail(const UpdateFailure &failure)
{
    if (!m_running)
        return;
    end(failure);
}

void DownloadSession::cancel()
{
    if (!m_running)
        return;
    m_cancelled = true;
    end({UpdateFailureReason::Cancelled, QString()});
}

void DownloadSession::end(const UpdateFailure &failure)
{
    if (!m_running)
        return;
    m_running = false;
    m_deadlines.stop();
    m_cancelled = !failure.ok() || m_cancelled;
    for (const auto &transfer : std::as_const(m_transfers))
        dropReply(transfer.get());
    m_transfers.clear();
    m_pending.clear();
    m_waitingForRoom.clear();
    m_waitingForConnection.clear();
    // Whatever is still queued for the lanes is dropped; the stage's open files are closed there.
    ++m_generation;
    for (Lane &lane : m_lanes)
        lane.thread->post([&lane] { lane.area.reset(); });
    if (failure.ok() && m_progress.filesDone == 0)
        emitProgress(true); // everything was staged already: the one progress report
    m_result.failure = failure;
    emit finished(m_result);
}

void DownloadSession::emitProgress(bool force)
{
    if (!force && m_sinceProgress.isValid()
        && m_sinceProgress.elapsed() < m_settings.progressIntervalMs)
        return;
    m_sinceProgress.start();
    emit progress(m_progress);
}

} // namespace vellumix
