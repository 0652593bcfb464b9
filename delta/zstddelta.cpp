#include "zstddelta.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <utility>

namespace vellumix {

namespace {

// zstd takes a null pointer with a size of 0 everywhere, but an empty view may also point at
// nothing in particular; one address for "no bytes" keeps every call plain.
const char kNoBytes[1] = {};

const void *bytesOf(QByteArrayView view)
{
    return view.isEmpty() ? kNoBytes : view.data();
}

DeltaStatus failure(DeltaError error, const QString &detail)
{
    return DeltaStatus{error, detail};
}

QString zstdText(size_t code)
{
    return QString::fromLatin1(ZSTD_getErrorName(code));
}

bool inBounds(ZSTD_bounds bounds, int value)
{
    return !ZSTD_isError(bounds.error) && value >= bounds.lowerBound && value <= bounds.upperBound;
}

QString windowText(int windowLog)
{
    return windowLog >= 20 ? QStringLiteral("%1 MiB").arg(qint64(1) << (windowLog - 20))
                           : QStringLiteral("%1 bytes").arg(qint64(1) << windowLog);
}

struct CCtxFree
{
    void operator()(ZSTD_CCtx *cctx) const { ZSTD_freeCCtx(cctx); }
};

DeltaResult makeDeltaUnguarded(QByteArrayView base, QByteArrayView target,
                               const DeltaOptions &options)
{
    DeltaResult result;
    if (options.level < 1 || options.level > ZSTD_maxCLevel()) {
        result.status = failure(DeltaError::InvalidArgument,
                                QStringLiteral("level %1 is not one of zstd's 1..%2")
                                    .arg(options.level)
                                    .arg(ZSTD_maxCLevel()));
        return result;
    }
    const int limit = options.windowLogLimit;
    const ZSTD_bounds windowBounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    if (!inBounds(windowBounds, limit)) {
        result.status =
            failure(DeltaError::InvalidArgument,
                    QStringLiteral("window limit 2^%1 is outside zstd's range").arg(limit));
        return result;
    }

    // The window reaches back over the whole of the larger version where it can (the matches of
    // an unchanged region lie about one base length back), as zstd's own --patch-from sizes it;
    // a version larger than the limit would lose most of its matches, so it gets no delta.
    const qint64 largest = std::max(base.size(), target.size());
    if (largest > (qint64(1) << limit)) {
        result.status = failure(DeltaError::TooLarge,
                                QStringLiteral("no delta: %1 bytes is larger than the %2 window")
                                    .arg(largest)
                                    .arg(windowText(limit)));
        return result;
    }
    const int windowLog =
        std::clamp(int(std::bit_width(quint64(largest))), windowBounds.lowerBound, limit);

    const std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) {
        result.status = failure(DeltaError::OutOfMemory, QStringLiteral("no memory for zstd"));
        return result;
    }
    const std::pair<ZSTD_cParameter, int> parameters[] = {
        {ZSTD_c_compressionLevel, options.level},
        {ZSTD_c_windowLog, windowLog},
        {ZSTD_c_enableLongDistanceMatching, 1},
        {ZSTD_c_contentSizeFlag, 1},
        {ZSTD_c_checksumFlag, options.checksum ? 1 : 0},
    };
    for (const auto &[parameter, value] : parameters) {
        if (const size_t r = ZSTD_CCtx_setParameter(cctx.get(), parameter, value);
            ZSTD_isError(r)) {
            result.status = failure(DeltaError::CompressionFailed, zstdText(r));
            return result;
        }
    }
    if (const size_t r = ZSTD_CCtx_refPrefix(cctx.get(), bytesOf(base), size_t(base.size()));
        ZSTD_isError(r)) {
        result.status = failure(DeltaError::CompressionFailed, zstdText(r));
        return result;
    }

    const size_t bound = ZSTD_compressBound(size_t(target.size()));
    QByteArray frame(qsizetype(bound), Qt::Uninitialized);
    // The whole target in one call: zstd writes its size into the frame header.
    const size_t n =
        ZSTD_compress2(cctx.get(), frame.data(), bound, bytesOf(target), size_t(target.size()));
    if (ZSTD_isError(n)) {
        result.status = failure(ZSTD_getErrorCode(n) == ZSTD_error_memory_allocation
                                    ? DeltaError::OutOfMemory
                                    : DeltaError::CompressionFailed,
                                zstdText(n));
        return result;
    }
    frame.truncate(qsizetype(n));
    frame.squeeze();
    result.frame = std::move(frame);
    result.windowLog = windowLog;
    return result;
}

} // namespace

DeltaResult makeDelta(QByteArrayView base, QByteArrayView target, const DeltaOptions &options)
{
    try {
        return makeDeltaUnguarded(base, target, options);
    } catch (const std::bad_alloc &) {
        DeltaResult result;
        result.status =
            failure(DeltaError::OutOfMemory,
                    QStringLiteral("no memory for a delta of %1 bytes").arg(target.size()));
        return result;
    }
}

DeltaDecoder::DeltaDecoder(QByteArrayView base, qint64 expectedSize, int windowLogLimit)
    : m_expected(expectedSize),
      m_windowLogLimit(windowLogLimit)
{
    if (expectedSize < 0) {
        fail(DeltaError::InvalidArgument, QStringLiteral("expected size %1").arg(expectedSize));
        return;
    }
    if (!inBounds(ZSTD_dParam_getBounds(ZSTD_d_windowLogMax), windowLogLimit)) {
        fail(DeltaError::InvalidArgument,
             QStringLiteral("window limit 2^%1 is outside zstd's range").arg(windowLogLimit));
        return;
    }
    try {
        m_piece = QByteArray(qsizetype(ZSTD_DStreamOutSize()), Qt::Uninitialized);
    } catch (const std::bad_alloc &) {
        fail(DeltaError::OutOfMemory, QStringLiteral("no memory for the output piece"));
        return;
    }
    m_dctx = ZSTD_createDCtx();
    if (!m_dctx) {
        fail(DeltaError::OutOfMemory, QStringLiteral("no memory for zstd"));
        return;
    }
    // The window limit is checked against the frame header before zstd allocates the window, so a
    // frame that asks for gigabytes costs nothing. The base is referenced, never copied.
    size_t r = ZSTD_DCtx_setParameter(m_dctx, ZSTD_d_windowLogMax, windowLogLimit);
    if (!ZSTD_isError(r))
        r = ZSTD_DCtx_refPrefix(m_dctx, bytesOf(base), size_t(base.size()));
    if (ZSTD_isError(r))
        fail(ZSTD_getErrorCode(r) == ZSTD_error_memory_allocation ? DeltaError::OutOfMemory
                                                                  : DeltaError::InvalidArgument,
             zstdText(r));
}

DeltaDecoder::~DeltaDecoder()
{
    ZSTD_freeDCtx(m_dctx);
}

DeltaStatus DeltaDecoder::fail(DeltaError error, const QString &detail)
{
    m_status = failure(error, detail);
    return m_status;
}

DeltaStatus DeltaDecoder::feed(QByteArrayView input, const Sink &sink)
{
    if (!m_status.ok())
        return m_status;
    const qint64 start = m_input; // where `input` begins in the frame
    m_input += input.size();
    if (m_ended) {
        if (input.isEmpty())
            return {};
        return fail(DeltaError::TrailingData,
                    QStringLiteral("%1 bytes after the end of the frame").arg(input.size()));
    }

    // One frame of the current format and nothing else: no skippable frame, and none of the
    // legacy formats that a libzstd built with legacy support would otherwise decode with rules
    // of their own (no window limit among them).
    for (qint64 at = start; at < 4 && at < m_input; ++at) {
        if (quint8(input[qsizetype(at - start)]) != quint8(ZSTD_MAGICNUMBER >> (8 * at)))
            return fail(DeltaError::Corrupt, QStringLiteral("not a zstd frame"));
    }

    ZSTD_inBuffer in{bytesOf(input), size_t(input.size()), 0};
    for (;;) {
        // Room for one byte more than may come, so output beyond the expected size shows at its
        // first byte, before zstd has decoded any further.
        const qint64 room = m_expected - m_output;
        ZSTD_outBuffer out{m_piece.data(), size_t(std::min<qint64>(m_piece.size(), room + 1)), 0};
        const size_t r = ZSTD_decompressStream(m_dctx, &out, &in);
        if (ZSTD_isError(r)) {
            switch (ZSTD_getErrorCode(r)) {
            case ZSTD_error_frameParameter_windowTooLarge:
                return fail(DeltaError::WindowTooLarge,
                            QStringLiteral("the frame needs a window larger than %1")
                                .arg(windowText(m_windowLogLimit)));
            case ZSTD_error_memory_allocation:
                return fail(DeltaError::OutOfMemory, zstdText(r));
            case ZSTD_error_checksum_wrong:
                return fail(DeltaError::ChecksumMismatch,
                            QStringLiteral("the decoded content does not match the frame's "
                                           "checksum (a different base?)"));
            default:
                return fail(
                    DeltaError::Corrupt,
                    QStringLiteral("%1 after %2 bytes of input").arg(zstdText(r)).arg(m_input));
            }
        }
        if (qint64(out.pos) > room)
            return fail(DeltaError::OutputTooLarge,
                        QStringLiteral("the frame decodes to more than %1 bytes").arg(m_expected));
        if (out.pos > 0) {
            m_output += qint64(out.pos);
            if (sink && !sink(QByteArrayView(m_piece.constData(), qsizetype(out.pos))))
                return fail(DeltaError::OutputRefused,
                            QStringLiteral("the output was refused after %1 bytes").arg(m_output));
        }
        if (r == 0) {
            m_ended = true;
            if (in.pos < in.size)
                return fail(
                    DeltaError::TrailingData,
                    QStringLiteral("%1 bytes after the end of the frame").arg(in.size - in.pos));
            return {};
        }
        // All input taken and zstd stopped short of filling the piece: it holds nothing more.
        if (in.pos == in.size && out.pos < out.size)
            return {};
    }
}

DeltaStatus DeltaDecoder::finish() const
{
    if (!m_status.ok())
        return m_status;
    if (!m_ended)
        return failure(
            DeltaError::Truncated,
            QStringLiteral("the frame is cut off after %1 bytes of input (%2 of %3 bytes out)")
                .arg(m_input)
                .arg(m_output)
                .arg(m_expected));
    if (m_output != m_expected)
        return failure(DeltaError::SizeMismatch,
                       QStringLiteral("the frame decodes to %1 bytes instead of %2")
                           .arg(m_output)
                           .arg(m_expected));
    return {};
}

qint64 DeltaDecoder::memoryUsage() const
{
    return qint64(m_dctx ? ZSTD_sizeof_DCtx(m_dctx) : 0) + m_piece.capacity();
}

DeltaApplyResult applyDelta(QByteArrayView base, QByteArrayView frame, qint64 expectedSize,
                            int windowLogLimit)
{
    DeltaApplyResult result;
    try {
        DeltaDecoder decoder(base, expectedSize, windowLogLimit);
        // The expected size is the caller's; it is only trusted as far as a window could reach.
        if (expectedSize > 0 && windowLogLimit > 0 && windowLogLimit < 31)
            result.output.reserve(qsizetype(std::min(expectedSize, qint64(1) << windowLogLimit)));
        result.status = decoder.feed(frame, [&](QByteArrayView piece) {
            result.output.append(piece);
            return true;
        });
        if (result.status.ok())
            result.status = decoder.finish();
    } catch (const std::bad_alloc &) {
        result.status =
            failure(DeltaError::OutOfMemory,
                    QStringLiteral("no memory for %1 bytes of output").arg(expectedSize));
    }
    if (!result.status.ok())
        result.output = QByteArray();
    return result;
}

QString deltaErrorName(DeltaError error)
{
    switch (error) {
    case DeltaError::None:
        return QStringLiteral("none");
    case DeltaError::InvalidArgument:
        return QStringLiteral("invalid-argument");
    case DeltaError::TooLarge:
        return QStringLiteral("too-large");
    case DeltaError::OutOfMemory:
        return QStringLiteral("out-of-memory");
    case DeltaError::CompressionFailed:
        return QStringLiteral("compression-failed");
    case DeltaError::WindowTooLarge:
        return QStringLiteral("window-too-large");
    case DeltaError::Corrupt:
        return QStringLiteral("corrupt");
    case DeltaError::ChecksumMismatch:
        return QStringLiteral("checksum-mismatch");
    case DeltaError::OutputTooLarge:
        return QStringLiteral("output-too-large");
    case DeltaError::TrailingData:
        return QStringLiteral("trailing-data");
    case DeltaError::Truncated:
        return QStringLiteral("truncated");
    case DeltaError::SizeMismatch:
        return QStringLiteral("size-mismatch");
    case DeltaError::OutputRefused:
        return QStringLiteral("output-refused");
    }
    return QStringLiteral("unknown");
}

} // namespace vellumix
