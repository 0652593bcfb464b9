#include "folderfeedsource.h"

#include "regularfile.h"

#include <QFile>
#include <QPointer>

namespace vellumix {

namespace {

constexpr qint64 kPiece = 256 * 1024;

/*
    One file of the folder, read like a network reply. It is read on the thread that reads the
    request, one piece per turn of the event loop and only once the piece before has been taken:
    a slow share holds that thread for one piece at most, and a reader that stops reading (the
    download's memory budget) stops the file being read. Its answers use HTTP's numbers, so
    the fetch treats both kinds of feed alike: 200 or 206 with the file's size, 404 for a file
    that is not there, 416 for a range beyond its end. Nothing a folder says is worth another
    try a moment later: each failure is final.
*/
class FolderFeedRequest final : public FeedRequest
{
public:
    FolderFeedRequest(QString path, qint64 rangeStart, QObject *parent)
        : FeedRequest(parent), m_path(std::move(path)), m_start(rangeStart)
    {
        QMetaObject::invokeMethod(this, &FolderFeedRequest::open, Qt::QueuedConnection);
    }

    QString where() const override { return m_path; }
    int status() const override { return m_status; }
    qint64 announcedSize() const override { return m_status == 200 || m_status == 206 ? m_size : -1; }
    qint64 rangeStart() const override { return m_status == 206 ? m_start : -1; }
    QByteArray header(const QByteArray &) const override { return QByteArray(); }
    qint64 bytesAvailable() const override { return m_piece.size() - m_taken; }
    QByteArray read(qint64 maxSize) override
    {
        const qint64 size = qMax<qint64>(0, qMin(maxSize, bytesAvailable()));
        QByteArray bytes;
        if (m_taken == 0 && size == m_piece.size()) {
            bytes = std::exchange(m_piece, {}); // the whole piece, without a copy
        } else {
            bytes = m_piece.mid(m_taken, size);
            m_taken += size;
        }
        if (bytesAvailable() == 0) {
            m_piece.clear();
            m_taken = 0;
            if (!m_done && !m_fillPending) {
                m_fillPending = true;
                QMetaObject::invokeMethod(this, &FolderFeedRequest::fill, Qt::QueuedConnection);
            }
        }
        return bytes;
    }
    ReplyVerdict verdict(bool bodyComplete) const override
    {
        ReplyVerdict verdict;
        if (!m_failure.ok())
            verdict.failure = m_failure;
        else if (!bodyComplete)
            verdict.failure = {UpdateFailureReason::FeedUnreachable,
                               QStringLiteral("%1: the file ended early").arg(m_path)};
        return verdict;
    }
    void abort() override
    {
        m_done = true;
        m_file.close();
    }

private:
    void open()
    {
        if (m_done)
            return;
        QString why;
        switch (openRegularFile(m_file, m_path, true, &why)) {
        case RegularFileOpen::Opened:
            break;
        case RegularFileOpen::Missing:
            m_status = 404;
            return end({UpdateFailureReason::ServerRefused, QStringLiteral("%1 does not exist").arg(m_path)});
        case RegularFileOpen::NotAFile:
        case RegularFileOpen::Failed:
            return end({UpdateFailureReason::FeedUnreachable,
                        QStringLiteral("cannot read %1: %2").arg(m_path, why)});
        }
        m_size = m_file.size();
        if (m_start > m_size || (m_start > 0 && !m_file.seek(m_start))) {
            m_status = 416;
            return end({UpdateFailureReason::ServerRefused,
                        QStringLiteral("%1: no byte %2 in %3 bytes").arg(m_path).arg(m_start).arg(m_size)});
        }
        m_status = m_start > 0 ? 206 : 200;
        const QPointer<FolderFeedRequest> alive(this);
        emit answered();
        if (alive && !m_done) {
            m_fillPending = true;
            fill();
        }
    }

    void fill()
    {
        m_fillPending = false;
        if (m_done)
            return;
        m_piece.resize(kPiece);
        m_taken = 0;
        const qint64 n = m_file.read(m_piece.data(), kPiece);
        if (n < 0) {
            m_piece.clear();
            return end({UpdateFailureReason::FeedUnreachable,
                        QStringLiteral("cannot read %1: %2").arg(m_path, m_file.errorString())});
        }
        m_piece.resize(n);
        if (n == 0)
            return end({});
        emit readyRead();
    }

    void end(const UpdateFailure &failure)
    {
        m_failure = failure;
        m_done = true;
        m_file.close();
        emit finished();
    }

    QString m_path;
    qint64 m_start;
    QFile m_file;
    qint64 m_size = -1;
    int m_status = 0;
    QByteArray m_piece;
    qint64 m_taken = 0;
    bool m_fillPending = false;
    bool m_done = false;
    UpdateFailure m_failure;
};

} // namespace

FolderFeedSource::FolderFeedSource(const UpdateClientSettings &settings, QObject *parent)
    : FeedSource(parent),
      m_folder(settings.feed.toLocalFile()),
      m_requestsAtOnce(qMax(1, settings.connections))
{
    if (!m_folder.endsWith(u'/'))
        m_folder += u'/';
}

QString FolderFeedSource::where(const QString &relative) const
{
    return m_folder + relative;
}

FeedRequest *FolderFeedSource::get(const QString &relative, const FeedRequestOptions &options)
{
    return new FolderFeedRequest(where(relative), options.rangeStart, this);
}

} // namespace vellumix
