#include "stagesink.h"

#include "blobpipeline.h"
#include "updateprotocol.h"

#include <QFile>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcStage, "vellumix.client.stage", QtWarningMsg)

namespace vellumix {

StageSink::StageSink(std::shared_ptr<const StageArea> area, BlobJob job)
    : m_area(std::move(area)), m_job(std::move(job)), m_hasPart(m_job.heldBytes > 0)
{
}

// The last try of a download that ended while the lane stopped keeps its bytes all the same.
StageSink::~StageSink()
{
    endTry();
}

/*
    A try that ends without its checks (cut short, waiting for a retry, stopped) keeps the bytes
    it held in memory in the .part file, which the next try and the next download go on from.
    When they cannot be written the fetch has counted bytes that nothing holds any more, so the
    next try fails as a try that could not write its .part file would have.
*/
void StageSink::endTry()
{
    const std::unique_ptr<BlobPipeline> ended = std::move(m_try);
    if (!ended || ended->usesPartFile())
        return;
    if (const UpdateFailure kept = ended->keepForResume(); !kept.ok())
        m_keepFailed = kept;
    else
        m_hasPart = true;
}

QString StageSink::resource() const
{
    return protocol::feedBlobPath(QString::fromLatin1(m_job.packedSha256));
}

UpdateFailure StageSink::tooLong(const QString &where) const
{
    return {UpdateFailureReason::DownloadInvalid,
            QStringLiteral("%1: longer than its %2 bytes").arg(where).arg(m_job.packedSize)};
}

/*
    A delta only ever saves bytes: whatever goes wrong with one (its blob missing or unreachable,
    other bytes than it names, a frame that does not apply, a base that changed since the check)
    the job starts over as a job of the whole blob, and only a failure of that is the download's.
*/
std::shared_ptr<FetchSink> StageSink::fallback() const
{
    if (!m_job.isDelta())
        return nullptr;
    return std::make_shared<StageSink>(m_area, m_job.wholeBlob());
}

UpdateFailure StageSink::begin(bool restart)
{
    endTry(); // a try that starts over closes the files of the one before first
    if (const UpdateFailure lost = std::exchange(m_keepFailed, {}); !lost.ok() && !restart)
        return lost;
    m_try = std::make_unique<BlobPipeline>(m_job, m_area->partPath(m_job.packedSha256),
                                           m_area->outPath(m_job.packedSha256),
                                           m_area->basePath(m_job.packedSha256),
                                           m_area->programRoot(), m_hasPart);
    const UpdateFailure result = m_try->open(restart);
    if (!result.ok()) {
        m_try.reset();
        dropIfInvalid(result);
    }
    return result;
}

UpdateFailure StageSink::write(const char *data, qint64 size)
{
    if (!m_try)
        return {}; // the try was stopped; its late bytes are dropped
    const UpdateFailure result = m_try->append(data, size);
    if (!result.ok()) {
        m_try.reset();
        dropIfInvalid(result);
    }
    return result;
}

SinkVerdict StageSink::complete(UpdateFailure *failure)
{
    const std::unique_ptr<BlobPipeline> pipeline = std::move(m_try);
    if (!pipeline) {
        *failure = {UpdateFailureReason::StagingWriteFailed, QStringLiteral("no open try")};
        return SinkVerdict::Failed;
    }
    const QByteArray &sha = m_job.packedSha256;
    QString why;
    if (const BlobPipeline::Check check = pipeline->verify(&why);
        check != BlobPipeline::Check::Passed) {
        QFile::remove(m_area->outPath(sha));
        if (check == BlobPipeline::Check::WriteFailed) {
            *failure = {UpdateFailureReason::StagingWriteFailed, why};
            return SinkVerdict::Failed;
        }
        QFile::remove(m_area->partPath(sha));
        m_hasPart = false;
        *failure = {UpdateFailureReason::DownloadInvalid,
                    QStringLiteral("blob %1 (%2): %3")
                        .arg(QString::fromLatin1(sha), m_job.files.first().path, why)};
        return SinkVerdict::Mismatch;
    }
    if (m_job.isDelta())
        qCDebug(lcStage) << "delta of" << m_job.files.first().path << "applied; decoder"
                         << pipeline->peakDecoderMemory() << "bytes at most";
    *failure = m_area->placeFiles(m_job);
    if (!failure->ok())
        return SinkVerdict::Failed;
    if (m_hasPart || pipeline->usesPartFile())
        QFile::remove(m_area->partPath(sha));
    return SinkVerdict::Done;
}

void StageSink::suspend()
{
    endTry();
}

void StageSink::discard()
{
    m_try.reset();
    dropIfInvalid({UpdateFailureReason::DownloadInvalid, QString()});
}

void StageSink::dropIfInvalid(const UpdateFailure &failure)
{
    m_area->dropIfInvalid(m_job.packedSha256, failure);
    if (failure.reason == UpdateFailureReason::DownloadInvalid)
        m_hasPart = false;
}

} // namespace vellumix
