#include "downloadsession.h"

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
    connect(m_source, &FeedSource::roomGrew, this, &DownloadSession::schedulePump);
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

// Whether the next blob's fetch may start now: as many requests as the source takes at once,
// while what they may still bring stays within the budget; a large blob on a connection of its
// own, as many as there are connections.
bool DownloadSession::mayStart(const BlobJob &job) const
{
    // A delta being applied holds its decoder's window (up to 128 MiB): one at a time.
    if (job.isDelta() && m_deltasRunning > 0)
        return false;
    const qint64 remaining = job.packedSize - job.heldBytes;
    if (remaining > kLargeBlob)
        return m_openAlone < qMax(1, m_settings.connections);
    if (int(m_open.size()) - m_openAlone >= m_source->requestsAtOnce())
        return false;
    return m_openBytes == 0 || m_openBytes + remaining <= kInFlightBudget;
}

void DownloadSession::requestOpened(FetchReply *fetch, qint64 bytes, bool ownConnection)
{
    OpenRequest request;
    request.alone = ownConnection;
    request.bytes = ownConnection ? 0 : bytes;
    m_open.insert(fetch, request);
    m_openBytes += request.bytes;
    m_openAlone += request.alone ? 1 : 0;
}

void DownloadSession::requestClosed(FetchReply *fetch)
{
    const OpenRequest request = m_open.take(fetch);
    m_openBytes -= request.bytes;
    m_openAlone -= request.alone ? 1 : 0;
    schedulePump();
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
    while (m_running && !m_pending.empty() && mayStart(m_pending.front())) {
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
    options.deadlines.idleMs = m_settings.transferTimeoutMs;
    options.deadlines.rateWindowMs = m_settings.rateWindowMs;
    options.deadlines.minimumBytesPerSecond = m_settings.minimumBytesPerSecond;
    options.retries = m_settings.retries;
    options.retryDelayMs = m_settings.retryDelayMs;
    options.ownConnectionAbove = kLargeBlob;
    WorkerThread *lane = m_lanes[std::size_t(m_nextLane++ % int(m_lanes.size()))].get();
    auto *fetch = new FetchReply(m_source, std::make_shared<StageSink>(m_area, job),
                                 {lane, this}, options, this);
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
    connect(fetch, &FetchReply::requestOpened, this,
            [this, fetch](qint64 bytes, bool ownConnection) { requestOpened(fetch, bytes, ownConnection); });
    connect(fetch, &FetchReply::requestClosed, this, [this, fetch] { requestClosed(fetch); });
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
    m_open.clear();
    m_openBytes = 0;
    m_openAlone = 0;
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
