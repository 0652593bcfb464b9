#include "downloadsession.h"

#include "closingconnectionwatch.h"
#include "feedsource.h"
#include "receivebudget.h"
#include "stagesink.h"
#include "updatehistory.h"
#include "workerthread.h"

#include <QLoggingCategory>

#include <algorithm>

Q_DECLARE_LOGGING_CATEGORY(lcFetch)

namespace vellumix {

namespace {

/*
    Qt 6.4 gives an HTTP/2 stream its flow-control window back as soon as bytes arrive, not as they
    are read, so over HTTP/2 a reply's read buffer does not hold the server back: whatever a request
    brings may sit in memory. Requests are therefore opened only while what they may still bring
    stays within a budget, and a blob larger than a few megabytes travels on an HTTP/1.1 connection
    of its own, whose read buffer does hold the server back. Memory stays bounded by the budget, the
    read buffers and the budget of received bytes (ReceiveBudget), however many requests are open.
*/
constexpr qint64 kInFlightBudget = 24 * 1024 * 1024;
constexpr qint64 kLargeBlob = 2 * 1024 * 1024;
// How often one blob that went without an answer after a closing connection is sent again at once.
constexpr int kMaxResends = 8;

} // namespace

DownloadSession::DownloadSession(const UpdateClientSettings &settings, FeedSource *source,
                                 QObject *parent)
    : QObject(parent), m_settings(settings), m_source(source)
{
    // A lane per connection, also beyond the cores: the large blobs arrive on as many network
    // threads (HttpFeedSource), and a lane that took two of them would still be at work on the
    // second when the others were done.
    const int lanes = qBound(1, settings.connections, 4);
    for (int i = 0; i < lanes; ++i)
        m_lanes.push_back(std::make_unique<WorkerThread>());
    m_watch = new ClosingConnectionWatch(settings.headerTimeoutMs,
                                         [this] { return openSharedRequests(); }, this);
    connect(m_watch, &ClosingConnectionWatch::reopened, this, &DownloadSession::onReopened);
    connect(m_watch, &ClosingConnectionWatch::settled, this, &DownloadSession::onSettled);
}

DownloadSession::~DownloadSession()
{
    if (m_cancelled)
        *m_cancelled = true;
    for (FetchReply *fetch : std::as_const(m_fetches)) {
        fetch->disconnect(this);
        delete fetch;
    }
    m_fetches.clear();
    // The lanes stop before the rest goes: a call that is running still uses the stage.
    m_lanes.clear();
}

void DownloadSession::start(const std::shared_ptr<const UpdatePlan> &plan,
                            const QString &stagingDirectory)
{
    ++m_generation;
    m_running = true;
    m_cancelled = std::make_shared<std::atomic<bool>>(false);
    m_budget = std::make_shared<ReceiveBudget>(this, [this] { resumeReading(); });
    m_area = std::make_shared<StageArea>(stagingDirectory, m_settings.programRoot, m_cancelled.get());
    m_envelope = plan->manifest.envelope;
    m_voucher = plan->voucherEnvelope;
    m_stagingDirectory = stagingDirectory;
    m_pending.clear();
    m_fetches.clear();
    m_finishing = false;
    m_open.clear();
    m_openBytes = 0;
    m_openAlone = 0;
    m_deltasRunning = 0;
    m_streamLimit = qMax(qMax(1, m_settings.connections), m_settings.http2Streams);
    m_waitingForRoom.clear();
    m_watch->reset();
    m_progress = DownloadProgress();
    m_progress.filesTotal = int(plan->filesToFetch.size());
    m_result = DownloadReport();
    m_sinceProgress.invalidate();

    m_lanes.front()->post([this, area = m_area, cancelled = m_cancelled, generation = m_generation,
                           files = plan->filesToFetch, deltas = plan->deltas] {
        const StagePlan plan = area->prepare(files, deltas);
        deliver(this, [this, plan, generation] {
            if (generation == m_generation && m_running)
                onPrepared(plan);
        });
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
    if (job.isDelta() && m_deltasRunning > 0)
        return false;
    return roomFor(job.packedSize - job.heldBytes);
}

// Whether one more request that would bring `remaining` bytes may be opened now.
bool DownloadSession::roomFor(qint64 remaining) const
{
    const int connections = qMax(1, m_settings.connections);
    if (remaining > kLargeBlob)
        return m_openAlone < connections;
    const int shared = int(m_open.size()) - m_openAlone;
    if (shared >= (m_multiplexed ? m_streamLimit : qMin(connections, m_streamLimit)))
        return false;
    return m_openBytes == 0 || m_openBytes + remaining <= kInFlightBudget;
}

// A request that would bring `remaining` bytes over the shared connection waits while it closes;
// a large blob travels on a connection of its own and does not.
bool DownloadSession::waitsForClosing(qint64 remaining) const
{
    return m_watch->isClosing() && remaining <= kLargeBlob;
}

// A request the server had no room for: from now on one fewer is opened at once. Lowered once
// for each such request, the limit ends at the number the server took, never below it.
void DownloadSession::lowerStreamLimit(const char *why)
{
    m_streamLimit = qMax(1, m_streamLimit - 1);
    qCDebug(lcFetch) << why << "- now up to" << m_streamLimit << "HTTP/2 requests at once";
}

QList<FetchReply *> DownloadSession::openSharedRequests() const
{
    QList<FetchReply *> open;
    for (auto it = m_open.cbegin(); it != m_open.cend(); ++it) {
        if (!it->alone)
            open.append(it.key());
    }
    return open;
}

RequestGate::Admission DownloadSession::admit(FetchReply *fetch)
{
    const qint64 remaining = fetch->remainingBytes();
    if (waitsForClosing(remaining)) {
        m_watch->waitForNextConnection(fetch);
        return Admission::Later;
    }
    return remaining > kLargeBlob ? Admission::OwnConnection : Admission::Shared;
}

void DownloadSession::requestOpened(FetchReply *fetch)
{
    OpenRequest request;
    request.alone = fetch->travelsAlone();
    request.bytes = request.alone ? 0 : fetch->remainingBytes();
    m_open.insert(fetch, request);
    m_openBytes += request.bytes;
    m_openAlone += request.alone ? 1 : 0;
    if (!request.alone)
        m_watch->requestSent();
}

void DownloadSession::requestAnswered(FetchReply *fetch, qint64 waitedMs)
{
    if (!fetch->travelsAlone())
        m_watch->requestTaken(waitedMs);
    if (!m_multiplexed && fetch->cameMultiplexed()) {
        m_multiplexed = true;
        qCDebug(lcFetch) << "HTTP/2: up to" << m_settings.http2Streams << "requests at once";
        schedulePump();
    }
}

void DownloadSession::requestEnded(FetchReply *fetch, StreamEnd end, bool answered)
{
    const OpenRequest request = m_open.take(fetch);
    m_openBytes -= request.bytes;
    m_openAlone -= request.alone ? 1 : 0;
    m_watch->requestEnded(fetch);
    if (end == StreamEnd::Reset && !answered)
        m_watch->requestTaken(-1); // the server took it, as it counts requests
    schedulePump();
}

/*
    Requests a server did not process go again without a retry: those that a closing connection
    refused, or that Qt held back at its GOAWAY (beyond what the server allows at once: the limit
    drops by one for each), once the next connection is open; a stream the server had no room
    for, once one fewer is open. With the limit down to one, room is not what it lacked: it
    counts as a reset.
*/
bool DownloadSession::takeBack(FetchReply *fetch, StreamEnd end)
{
    if (!m_running)
        return false;
    if (end == StreamEnd::Closing || end == StreamEnd::HeldBack) {
        qCDebug(lcFetch) << "refused by a closing connection" << fetch->where();
        if (end == StreamEnd::HeldBack)
            lowerStreamLimit("held back by Qt at a GOAWAY");
        m_watch->refused(fetch);
        return true;
    }
    if (end == StreamEnd::Refused && m_streamLimit > 1) {
        lowerStreamLimit("a stream refused");
        m_waitingForRoom.append(fetch);
        schedulePump();
        return true;
    }
    return false;
}

void DownloadSession::onReopened(const QList<ClosingConnectionWatch::Waiting> &waiting,
                                 bool answeredNothing)
{
    for (const ClosingConnectionWatch::Waiting &entry : waiting) {
        FetchReply *fetch = entry.fetch;
        if (!m_running)
            return;
        if (!fetch || fetch->isFinished())
            continue;
        // A connection that closed without answering a single request: what it refused counts
        // as a failed try, so that a server that never answers still ends the download.
        if (entry.refused && answeredNothing) {
            fetch->countRefusal();
            continue;
        }
        if (const Admission admission = admit(fetch); admission != Admission::Later)
            fetch->send(admission);
    }
    pump();
}

// Those sent again at the closing itself may have gone to the closing connection too: every
// request without an answer for as long as the closing has had to settle goes again.
void DownloadSession::onSettled(qint64 settleMs)
{
    const QList<FetchReply *> fetches = m_fetches;
    for (FetchReply *fetch : fetches) {
        if (m_running && m_fetches.contains(fetch) && fetch->isAwaitingAnswer()
            && fetch->msSinceRequest() > settleMs && fetch->resends() < kMaxResends)
            fetch->resend();
    }
}

void DownloadSession::resumeReading()
{
    const QList<FetchReply *> fetches = m_fetches;
    for (FetchReply *fetch : fetches) {
        if (!m_running || m_budget->isPaused())
            return;
        if (m_fetches.contains(fetch))
            fetch->readMore();
    }
}

void DownloadSession::schedulePump()
{
    if (std::exchange(m_pumpQueued, true))
        return;
    QMetaObject::invokeMethod(this, [this] {
        m_pumpQueued = false;
        pump();
    }, Qt::QueuedConnection);
}

void DownloadSession::pump()
{
    while (m_running && !m_waitingForRoom.isEmpty()) {
        FetchReply *fetch = m_waitingForRoom.first();
        const bool live = fetch && !fetch->isFinished();
        const qint64 remaining = live ? fetch->remainingBytes() : 0;
        if (live && (!roomFor(remaining) || waitsForClosing(remaining)))
            break;
        m_waitingForRoom.removeFirst();
        if (!live)
            continue;
        if (const Admission admission = admit(fetch); admission != Admission::Later)
            fetch->send(admission);
    }
    while (m_running && m_waitingForRoom.isEmpty() && !m_pending.empty()
           && mayStart(m_pending.front())
           && !waitsForClosing(m_pending.front().packedSize - m_pending.front().heldBytes)) {
        const BlobJob job = m_pending.front();
        m_pending.pop_front();
        startFetch(job);
    }
    if (m_running && m_pending.empty() && m_fetches.isEmpty() && !m_finishing) {
        m_finishing = true;
        m_lanes.front()->post([this, area = m_area, envelope = m_envelope,
                               voucher = m_voucher, stage = m_stagingDirectory, feed = m_settings.feed,
                               generation = m_generation] {
            const UpdateFailure result = area->finish(envelope, voucher);
            // Where the release came from, for the record that the hand-over to the updater keeps.
            if (result.ok())
                writeStageOrigin(stage, feed);
            deliver(this, [this, result, generation] {
                if (generation == m_generation)
                    end(result);
            });
        });
    }
}

void DownloadSession::startFetch(const BlobJob &job)
{
    FetchOptions options;
    options.deadlines.headerMs = m_settings.headerTimeoutMs;
    options.deadlines.rateWindowMs = m_settings.rateWindowMs;
    options.deadlines.minimumBytesPerSecond = m_settings.minimumBytesPerSecond;
    options.retries = m_settings.retries;
    options.retryDelayMs = m_settings.retryDelayMs;
    WorkerThread *lane = m_lanes[std::size_t(m_nextLane++ % int(m_lanes.size()))].get();
    auto *fetch = new FetchReply(m_source, std::make_shared<StageSink>(m_area, job),
                                 {lane, this}, options, this);
    fetch->setGate(this);
    fetch->setBudget(m_budget);
    if (job.isDelta())
        ++m_deltasRunning;
    connect(fetch, &FetchReply::received, this, [this](qint64 bytes) {
        m_progress.bytesDone += bytes;
        m_result.bytesTransferred += bytes;
        emitProgress(false);
    });
    connect(fetch, &FetchReply::discarded, this,
            [this](qint64 bytes) { m_progress.bytesDone -= bytes; });
    connect(fetch, &FetchReply::fellBack, this, [this](qint64 oldSize, qint64 newSize) {
        --m_deltasRunning;
        m_progress.bytesTotal += newSize - oldSize;
        schedulePump();
    });
    connect(fetch, &FetchReply::finished, this, [this, fetch] { onFetchFinished(fetch); });
    m_fetches.append(fetch);
    fetch->start();
}

void DownloadSession::onFetchFinished(FetchReply *fetch)
{
    if (!m_fetches.removeOne(fetch))
        return;
    fetch->deleteLater();
    const FetchVerdict verdict = fetch->verdict();
    if (!verdict.failure.ok())
        return end(verdict.failure);
    const BlobJob &job = static_cast<const StageSink &>(*fetch->sink()).job();
    if (job.isDelta()) {
        --m_deltasRunning;
        m_result.filesFromDeltas += int(job.files.size());
    }
    m_progress.filesDone += int(job.files.size());
    m_result.filesFetched += int(job.files.size());
    emitProgress(m_fetches.isEmpty() && m_pending.empty());
    pump();
}

void DownloadSession::cancel()
{
    if (!m_running)
        return;
    end({UpdateFailureReason::Cancelled, QString()});
}

void DownloadSession::end(const UpdateFailure &failure)
{
    if (!m_running)
        return;
    m_running = false;
    if (!failure.ok())
        *m_cancelled = true;
    ++m_generation;
    const QList<FetchReply *> fetches = std::exchange(m_fetches, {});
    for (FetchReply *fetch : fetches) {
        fetch->disconnect(this);
        fetch->abort();
        fetch->deleteLater();
    }
    m_pending.clear();
    m_waitingForRoom.clear();
    m_open.clear();
    m_watch->reset();
    // The stage's lock goes once what is queued for the first lane has run; the other lanes only
    // close the files of their stopped fetches.
    m_lanes.front()->post([area = std::exchange(m_area, nullptr)] { area->releaseLock(); });
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
