// One blob of a download as the stage takes it: each try a BlobPipeline on the fetch's lane
// (resumed from its .part file, which a small blob has only once a try was cut short), and once
// every byte has come, the checks and the move of its files into files/. A delta's sink falls
// back to the whole blob's.
#pragma once

#include "fetchsink.h"
#include "stagearea.h"

#include <memory>

namespace vellumix {

class BlobPipeline;

class StageSink final : public FetchSink
{
public:
    StageSink(std::shared_ptr<const StageArea> area, BlobJob job);
    ~StageSink() override;

    const BlobJob &job() const { return m_job; }

    QString resource() const override;
    qint64 heldBytes() const override { return m_job.heldBytes; }
    bool resumes() const override { return true; }
    qint64 sizeLimit() const override { return m_job.packedSize; }
    bool sizeIsExact() const override { return true; }
    UpdateFailure tooLong(const QString &where) const override;
    std::shared_ptr<FetchSink> fallback() const override;

    UpdateFailure begin(bool restart) override;
    UpdateFailure write(const char *data, qint64 size) override;
    SinkVerdict complete(UpdateFailure *failure) override;
    void suspend() override;
    void discard() override;

private:
    void endTry();
    void dropIfInvalid(const UpdateFailure &failure);

    std::shared_ptr<const StageArea> m_area;
    BlobJob m_job;
    std::unique_ptr<BlobPipeline> m_try; // the running try; on the lane only
    bool m_hasPart;            // a .part file may hold bytes of the blob
    UpdateFailure m_keepFailed; // the bytes of a cut try could not be kept: the next try fails
};

} // namespace vellumix
