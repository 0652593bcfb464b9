// The bytes of a small file of the feed (the manifest) kept in memory, up to a bound: a longer
// answer fails at its first byte beyond it, before more is read.
#pragma once

#include "fetchsink.h"

#include <QByteArray>

namespace vellumix {

class MemorySink final : public FetchSink
{
public:
    // `tooLongReason`: the failure of a file beyond `maxBytes`.
    MemorySink(QString resource, qint64 maxBytes, UpdateFailureReason tooLongReason);

    QString resource() const override { return m_resource; }
    bool resumes() const override { return false; }
    qint64 sizeLimit() const override { return m_maxBytes; }
    bool sizeIsExact() const override { return false; }
    UpdateFailure tooLong(const QString &where) const override;

    UpdateFailure begin(bool restart) override;
    UpdateFailure write(const char *data, qint64 size) override;
    SinkVerdict complete(UpdateFailure *failure) override;
    void suspend() override {}
    void discard() override { m_bytes.clear(); }

    // The whole file, once its fetch has finished with success.
    QByteArray bytes() const { return m_bytes; }

private:
    QString m_resource;
    qint64 m_maxBytes;
    UpdateFailureReason m_tooLongReason;
    QByteArray m_bytes;
};

} // namespace vellumix
