#include "memorysink.h"

namespace vellumix {

MemorySink::MemorySink(QString resource, qint64 maxBytes, UpdateFailureReason tooLongReason)
    : m_resource(std::move(resource)), m_maxBytes(maxBytes), m_tooLongReason(tooLongReason)
{
}

UpdateFailure MemorySink::tooLong(const QString &where) const
{
    return {m_tooLongReason, QStringLiteral("%1: more than %2 bytes").arg(where).arg(m_maxBytes)};
}

UpdateFailure MemorySink::begin(bool)
{
    m_bytes.clear(); // a memory sink does not resume: every try starts from nothing
    return {};
}

UpdateFailure MemorySink::write(const char *data, qint64 size)
{
    if (m_bytes.size() + size > m_maxBytes)
        return tooLong(m_resource);
    m_bytes.append(data, size);
    return {};
}

SinkVerdict MemorySink::complete(UpdateFailure *failure)
{
    *failure = {};
    return SinkVerdict::Done;
}

} // namespace vellumix
