// The proxy of this client's requests: the system's (on Windows its Internet settings, elsewhere
// the proxy variables or the desktop's settings), asked once per scheme, host and port and kept
// for a while. This is the one place where a proxy is chosen for the client's requests; the
// application's own global proxy setting is left alone.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QNetworkProxyFactory>

#include <functional>

namespace vellumix {

class ProxyCache : public QNetworkProxyFactory
{
public:
    using Lookup = std::function<QList<QNetworkProxy>(const QNetworkProxyQuery &)>;

    static constexpr int kKeptMs = 60000;

    // `lookup` asks the system; tests give their own.
    explicit ProxyCache(Lookup lookup = &QNetworkProxyFactory::systemProxyForQuery,
                        int keptMs = kKeptMs);

    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override;

private:
    struct Answer
    {
        QList<QNetworkProxy> proxies;
        QElapsedTimer age;
    };
    Lookup m_lookup;
    int m_keptMs;
    QMutex m_mutex;
    QHash<QString, Answer> m_answers;
};

} // namespace vellumix
