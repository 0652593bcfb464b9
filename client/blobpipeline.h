// The stage work of one try at one blob, on the fetch's lane: the packed bytes appended to the
// .part file, hashed and unpacked (or applied to the installed copy, for a delta) into the .out
// file, whose content is hashed too, and the verdict once every byte has come.
#pragma once

#include "stagearea.h"

#include <vellumix/updatefailure.h>

#include <memory>

namespace vellumix {

class BlobPipeline
{
public:
    BlobPipeline(BlobJob job, QString partPath, QString outPath, QString basePath,
                 QString programRoot);
    ~BlobPipeline();
    BlobPipeline(const BlobPipeline &) = delete;
    BlobPipeline &operator=(const BlobPipeline &) = delete;

    const BlobJob &job() const;
    // Opens the files and replays what the .part file holds through the checks; `restart`
    // empties it first.
    UpdateFailure open(bool restart);
    UpdateFailure append(const char *data, qint64 size);
    // Passed when every check holds; the .out file is then complete and closed.
    enum class Check { Passed, WriteFailed, Invalid };
    Check verify(QString *why);
    // The most a delta's decoder held while this try applied it.
    qint64 peakDecoderMemory() const;

private:
    class Work;
    std::unique_ptr<Work> d;
};

} // namespace vellumix
