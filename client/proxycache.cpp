#include "proxycache.h"

#include <QMutexLocker>
#include <QUrl>

namespace vellumix {

ProxyCache::ProxyCache(Lookup lookup, int keptMs) : m_lookup(std::move(lookup)), m_keptMs(keptMs)
{
}

/*
    Qt asks the factory for every request. Asking the system is not cheap: on Linux it is a
    lookup on a thread of its own that reads the service names from /etc/services twice, each
    time, which a download of a few thousand small blobs pays a few thousand times. The answer
    for one scheme, host and port is the same for every blob of a feed, so it is asked once and
    kept for a minute: a proxy setting that the user changes reaches the client's next requests
    within that time, as it would reach a browser's next connection.
*/
QList<QNetworkProxy> ProxyCache::queryProxy(const QNetworkProxyQuery &query)
{
    const QUrl url = query.url();
    const QString key = query.protocolTag() + u'|' + query.peerHostName().toLower() + u'|'
        + QString::number(query.peerPort()) + u'|' + QString::number(int(query.queryType()))
        + u'|' + url.scheme();
    QMutexLocker locker(&m_mutex);
    const auto kept = m_answers.constFind(key);
    if (kept != m_answers.constEnd() && kept->age.isValid() && kept->age.elapsed() < m_keptMs)
        return kept->proxies;
    Answer answer;
    answer.proxies = m_lookup(query);
    answer.age.start();
    m_answers.insert(key, answer);
    return answer.proxies;
}

} // namespace vellumix
