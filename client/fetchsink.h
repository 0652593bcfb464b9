// Where the bytes of one fetched file go: into the stage (StageSink: hashed, unpacked and
// verified, resumable) or into memory (MemorySink: the manifest, bounded). A sink belongs to one
// FetchReply. Its bounds are read on the fetch's thread and never change; everything else runs
// on the fetch's lane, one call after another.
#pragma once

#include <vellumix/updatefailure.h>

#include <QString>

#include <atomic>
#include <memory>

namespace vellumix {

// What became of a file once its last byte arrived.
enum class SinkVerdict { Done, Mismatch, Failed };

class FetchSink
{
public:
    virtual ~FetchSink() = default;

    // --- On the fetch's thread; fixed for the sink's life.
    // The resource of the feed it takes ("blobs/<packedSha256>").
    virtual QString resource() const = 0;
    // The bytes it holds from an earlier download (resumed with a range), 0 for none.
    virtual qint64 heldBytes() const { return 0; }
    // True when a try may go on from the bytes an earlier try left (a range request).
    virtual bool resumes() const = 0;
    // The most bytes it takes; the fetch stops reading at the first byte beyond.
    virtual qint64 sizeLimit() const = 0;
    // True when the resource must have exactly sizeLimit() bytes.
    virtual bool sizeIsExact() const = 0;
    // The failure of a resource that brings more than sizeLimit() bytes.
    virtual UpdateFailure tooLong(const QString &where) const = 0;
    // When these bytes cannot be used at all, the sink that takes their place (a delta's: the
    // whole file); null when there is none.
    virtual std::shared_ptr<FetchSink> fallback() const { return nullptr; }

    // --- On the fetch's lane.
    // A try begins: `restart` drops what earlier tries left; otherwise it is taken again first.
    virtual UpdateFailure begin(bool restart) = 0;
    virtual UpdateFailure write(const char *data, qint64 size) = 0;
    // Every byte has come: checks them and puts them in place.
    virtual SinkVerdict complete(UpdateFailure *failure) = 0;
    // The try stops; what it received is kept for the next.
    virtual void suspend() = 0;
    // The try stops and what it received is dropped.
    virtual void discard() = 0;

    // Set on the fetch's thread when the fetch has ended: calls still queued for the lane are
    // not run. (Read on the lane.)
    void stop() { m_stopped = true; }
    bool isStopped() const { return m_stopped.load(); }

private:
    std::atomic<bool> m_stopped{false};
};

} // namespace vellumix
