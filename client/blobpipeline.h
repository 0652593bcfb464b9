// The stage work of one try at one blob, on the fetch's lane: the packed bytes kept (in the .part
// file, or for a small blob in memory until the try is cut short), hashed and unpacked (or
// applied to the installed copy, for a delta) into the .out file, whose content is hashed too,
// and the verdict once every byte has come.
#pragma once

#include "stagearea.h"

#include <vellumix/updatefailure.h>

#include <memory>

namespace vellumix {

class BlobPipeline
{
public:
    // The packed bytes of a blob up to this size are kept in memory while they arrive, not in
    // a .part file (see BlobPipeline::Work).
    static constexpr qint64 kHeldInMemory = 256 * 1024;

    // `hasPart`: a .part file may hold bytes of the blob (an earlier try or download kept it).
    BlobPipeline(BlobJob job, QString partPath, QString outPath, QString basePath,
                 QString programRoot, bool hasPart);
    ~BlobPipeline();
    BlobPipeline(const BlobPipeline &) = delete;
    BlobPipeline &operator=(const BlobPipeline &) = delete;

    const BlobJob &job() const;
    // Opens the files and replays what the .part file holds through the checks; `restart`
    // empties it first.
    UpdateFailure open(bool restart);
    UpdateFailure append(const char *data, qint64 size);
    // A try that ends before its checks: the packed bytes held in memory go to the .part file,
    // so that the next try (or download) goes on from them.
    UpdateFailure keepForResume();
    // Whether this try keeps its packed bytes in the .part file.
    bool usesPartFile() const;
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
