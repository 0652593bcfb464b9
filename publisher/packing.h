// The packed form of a release file: one gzip member (RFC 1952) of its content, made with zlib's
// deflate. It is what a download server serves; the application unpacks it into the staging
// directory's files/ before it starts the updater. The manifest records its SHA-256 and size.
#pragma once

#include <QByteArray>
#include <QCryptographicHash>

#include <zlib.h>

class QIODevice;

namespace vellumix::publish {

// Compresses a stream fed in pieces. The packed bytes go to `output` when one is given
// (otherwise they are only counted and hashed).
class GzipPacker
{
public:
    explicit GzipPacker(QIODevice *output = nullptr);
    ~GzipPacker();
    GzipPacker(const GzipPacker &) = delete;
    GzipPacker &operator=(const GzipPacker &) = delete;

    // Both throw a QString when compressing or writing fails.
    void add(const char *data, qsizetype size);
    void finish();

    // Valid after finish().
    QByteArray packedSha256Hex() const { return m_digest; }
    qint64 packedSize() const { return m_packedSize; }

    // The most bytes the packed form of `size` content bytes can take.
    static qint64 packedSizeBound(qint64 size);

private:
    void drain(int flush);

    QIODevice *m_output;
    z_stream m_stream{};
    bool m_open = false;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    QByteArray m_digest;
    qint64 m_packedSize = 0;
};

// Unpacks a packed stream fed in pieces and hashes what comes out (for checking a stage).
class GzipUnpacker
{
public:
    GzipUnpacker();
    ~GzipUnpacker();
    GzipUnpacker(const GzipUnpacker &) = delete;
    GzipUnpacker &operator=(const GzipUnpacker &) = delete;

    // False once the input turned out not to be one well-formed gzip member.
    bool add(const char *data, qsizetype size);
    // True when the member ended cleanly with no bytes after it.
    bool finish();

    QByteArray contentSha256Hex() const { return m_hash.result().toHex(); }
    qint64 contentSize() const { return m_contentSize; }

private:
    z_stream m_stream{};
    bool m_open = false;
    bool m_ended = false;
    bool m_failed = false;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    qint64 m_contentSize = 0;
};

// Unpacks one whole packed file held in memory. False when it is not exactly one well-formed gzip
// member, or when it unpacks to more than `maxSize` bytes (checked as it goes, so a small blob
// cannot make it take more memory than that).
bool unpackWhole(const QByteArray &packed, qint64 maxSize, QByteArray *content);

} // namespace vellumix::publish
