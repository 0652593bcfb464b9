// Binary deltas: a changed file travels as one zstd frame made with the file's previous content as
// its reference (a "prefix"), so whatever the two versions share costs a few bytes of matches.
//
// Release side: makeDelta() holds both versions in memory and answers the frame, or says why the
// file gets no delta. Client side: DeltaDecoder takes the frame piece by piece as it arrives and
// hands out the new content piece by piece; the previous content is only read, but all of it at
// one address for as long as the frame streams in (a read-only mapping is enough; the client maps
// a private copy of the installed file, which nothing else can cut short under it) and memory
// stays at the decoder's window plus a small constant. applyDelta() is the whole of it in memory, for checking a release before it ships.
//
// Nothing here throws; every failure is a DeltaStatus whose `error` says what went wrong and whose
// `detail` is for people.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>

struct ZSTD_DCtx_s;

namespace vellumix {

// The largest window a delta may need, as a power of two: 2^27 = 128 MiB. A file (old or new
// version) larger than the window gets no delta; a decoder refuses a frame that asks for more.
inline constexpr int kDeltaDefaultWindowLogLimit = 27;
inline constexpr int kDeltaDefaultLevel = 19;

enum class DeltaError {
    None,
    InvalidArgument, // a level or window limit out of range, a negative size
    TooLarge,        // making: a version is larger than the window limit allows, so no delta
    OutOfMemory,
    CompressionFailed, // making: zstd refused for another reason (detail has its text)
    WindowTooLarge,    // the frame asks for a window above the decoder's limit
    Corrupt,           // not a zstd frame, or a damaged one
    ChecksumMismatch,  // the frame decoded, but not to what was compressed: a wrong base, mostly
    OutputTooLarge,    // the frame decodes to more than the expected size
    TrailingData,      // bytes after the end of the frame
    Truncated,         // the input ended before the frame did
    SizeMismatch,      // the frame ended with less output than the expected size
    OutputRefused,     // the output callback asked to stop (a write that failed, a cancel)
};

struct DeltaStatus
{
    DeltaError error = DeltaError::None;
    QString detail;

    bool ok() const { return error == DeltaError::None; }
};

struct DeltaOptions
{
    int level = kDeltaDefaultLevel;                   // zstd's levels, 1..22
    int windowLogLimit = kDeltaDefaultWindowLogLimit; // 10..31 (30 on 32-bit systems)
    bool checksum = true;                             // zstd's 32-bit content checksum in the frame
};

struct DeltaResult
{
    DeltaStatus status;
    QByteArray frame;  // empty unless status.ok()
    int windowLog = 0; // the window the frame was made with (a decoder needs at least this)
};

// Makes the zstd frame that turns `base` into `target`: long-distance matching, a window that
// covers the larger of the two up to the limit, the target's size in the frame header. A version
// larger than 2^windowLogLimit bytes gives TooLarge: ship that file whole.
DeltaResult makeDelta(QByteArrayView base, QByteArrayView target, const DeltaOptions &options = {});

/*
    Applies one delta frame as it arrives.

        DeltaDecoder decoder(mappedBase, expectedSize);
        for each piece received:
            if (!decoder.feed(piece, [&](QByteArrayView out) { return write(out); }).ok()) stop;
        if (!decoder.finish().ok()) discard the output;

    `base` must stay valid and unchanged as long as the decoder lives; it is only read. The output
    never goes past `expectedSize`: the piece that would is not handed out and feed() answers
    OutputTooLarge. After the first failure every call answers that same failure. The output is
    only known to be right once finish() says so and the caller's digest of it matches.
*/
class DeltaDecoder
{
public:
    // Hands out one piece of output; returns false to stop the decoding (OutputRefused).
    using Sink = std::function<bool(QByteArrayView)>;

    DeltaDecoder(QByteArrayView base, qint64 expectedSize,
                 int windowLogLimit = kDeltaDefaultWindowLogLimit);
    ~DeltaDecoder();
    DeltaDecoder(const DeltaDecoder &) = delete;
    DeltaDecoder &operator=(const DeltaDecoder &) = delete;

    // Decodes what `input` completes and hands the output to `sink` as it comes.
    DeltaStatus feed(QByteArrayView input, const Sink &sink);
    // Whether the frame ended with exactly the expected output, and nothing failed before.
    DeltaStatus finish() const;

    bool frameEnded() const { return m_ended; }
    qint64 inputBytes() const { return m_input; }
    qint64 outputBytes() const { return m_output; }
    // The decoder's memory now: its context, window buffer included, and the output piece.
    qint64 memoryUsage() const;

private:
    DeltaStatus fail(DeltaError error, const QString &detail);

    ZSTD_DCtx_s *m_dctx = nullptr;
    QByteArray m_piece;
    qint64 m_expected = 0;
    int m_windowLogLimit = 0;
    qint64 m_input = 0;
    qint64 m_output = 0;
    bool m_ended = false;
    DeltaStatus m_status;
};

struct DeltaApplyResult
{
    DeltaStatus status;
    QByteArray output; // the whole new content when status.ok()
};

// Applies a whole frame to `base` in memory with the same checks as DeltaDecoder.
DeltaApplyResult applyDelta(QByteArrayView base, QByteArrayView frame, qint64 expectedSize,
                            int windowLogLimit = kDeltaDefaultWindowLogLimit);

// A short name of an error, for logs and tests ("window-too-large", ...).
QString deltaErrorName(DeltaError error);

} // namespace vellumix
