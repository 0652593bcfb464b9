#include "packing.h"
#include "publishtexts.h"

#include <QIODevice>

namespace vellumix::publish {

namespace {

constexpr int kGzipWindowBits = 15 + 16; // 32 KiB window, gzip wrapper
constexpr int kMemoryLevel = 8;
constexpr qsizetype kChunk = 256 * 1024;

} // namespace

GzipPacker::GzipPacker(QIODevice *output) : m_output(output)
{
    /*
        The gzip header is zlib's default: no file name and a zero time stamp, so the packed form
        depends on the content alone and staging the same release twice gives the same manifest.
    */
    if (deflateInit2(&m_stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                     Z_DEFAULT_STRATEGY)
        != Z_OK)
        throw Texts::tr("cannot set up compression");
    m_open = true;
}

GzipPacker::~GzipPacker()
{
    if (m_open)
        deflateEnd(&m_stream);
}

qint64 GzipPacker::packedSizeBound(qint64 size)
{
    /*
        zlib's deflateBound for the stored-block worst case, plus the gzip header and trailer
        (18 bytes). It is computed here rather than asked of a stream because deflateBound takes
        a 32-bit length on some platforms.
    */
    return size + (size >> 12) + (size >> 14) + (size >> 25) + 13 + 18 + 5;
}

void GzipPacker::add(const char *data, qsizetype size)
{
    while (size > 0) {
        const uInt piece = uInt(qMin<qsizetype>(size, kChunk));
        m_stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        m_stream.avail_in = piece;
        drain(Z_NO_FLUSH);
        data += piece;
        size -= piece;
    }
}

void GzipPacker::finish()
{
    m_stream.next_in = nullptr;
    m_stream.avail_in = 0;
    drain(Z_FINISH);
    m_digest = m_hash.result().toHex();
}

void GzipPacker::drain(int flush)
{
    QByteArray out(kChunk, Qt::Uninitialized);
    for (;;) {
        m_stream.next_out = reinterpret_cast<Bytef *>(out.data());
        m_stream.avail_out = uInt(out.size());
        const int status = deflate(&m_stream, flush);
        if (status == Z_STREAM_ERROR)
            throw Texts::tr("compression failed");
        const qsizetype produced = out.size() - qsizetype(m_stream.avail_out);
        if (produced > 0) {
            m_hash.addData(QByteArrayView(out.constData(), produced));
            m_packedSize += produced;
            if (m_output && m_output->write(out.constData(), produced) != produced)
                throw Texts::tr("cannot write %1").arg(m_output->errorString());
        }
        if (flush == Z_FINISH ? status == Z_STREAM_END
                              : m_stream.avail_in == 0 && m_stream.avail_out != 0)
            return;
    }
}

GzipUnpacker::GzipUnpacker()
{
    if (inflateInit2(&m_stream, kGzipWindowBits) != Z_OK)
        throw Texts::tr("cannot set up decompression");
    m_open = true;
}

GzipUnpacker::~GzipUnpacker()
{
    if (m_open)
        inflateEnd(&m_stream);
}

bool GzipUnpacker::add(const char *data, qsizetype size)
{
    QByteArray out(kChunk, Qt::Uninitialized);
    while (size > 0 && !m_failed) {
        if (m_ended) { // bytes after the end of the member
            m_failed = true;
            break;
        }
        const uInt piece = uInt(qMin<qsizetype>(size, kChunk));
        m_stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        m_stream.avail_in = piece;
        do {
            m_stream.next_out = reinterpret_cast<Bytef *>(out.data());
            m_stream.avail_out = uInt(out.size());
            const int status = inflate(&m_stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
                m_failed = true;
                return false;
            }
            const qsizetype produced = out.size() - qsizetype(m_stream.avail_out);
            m_hash.addData(QByteArrayView(out.constData(), produced));
            m_contentSize += produced;
            if (status == Z_STREAM_END) {
                m_ended = true;
                if (m_stream.avail_in != 0)
                    m_failed = true;
                break;
            }
        } while (m_stream.avail_in != 0 || m_stream.avail_out == 0);
        data += piece;
        size -= piece;
    }
    return !m_failed;
}

bool GzipUnpacker::finish()
{
    return m_ended && !m_failed;
}

bool unpackWhole(const QByteArray &packed, qint64 maxSize, QByteArray *content)
{
    z_stream stream{};
    if (inflateInit2(&stream, kGzipWindowBits) != Z_OK)
        throw Texts::tr("cannot set up decompression");
    content->clear();
    QByteArray out(kChunk, Qt::Uninitialized);
    const char *next = packed.constData();
    qsizetype left = packed.size();
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        const uInt piece = uInt(qMin<qsizetype>(left, kChunk));
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(next));
        stream.avail_in = piece;
        stream.next_out = reinterpret_cast<Bytef *>(out.data());
        stream.avail_out = uInt(out.size());
        status = inflate(&stream, Z_NO_FLUSH);
        const qsizetype consumed = qsizetype(piece - stream.avail_in);
        next += consumed;
        left -= consumed;
        const qsizetype produced = out.size() - qsizetype(stream.avail_out);
        const bool stuck = status == Z_OK && consumed == 0 && produced == 0; // input cut short
        if ((status != Z_OK && status != Z_STREAM_END) || stuck
            || content->size() + produced > maxSize) {
            inflateEnd(&stream);
            return false;
        }
        content->append(out.constData(), produced);
    }
    inflateEnd(&stream);
    return left == 0;
}

} // namespace vellumix::publish
