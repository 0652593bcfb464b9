#include "closingconnectionwatch.h"

#include <QLoggingCategory>

#include <algorithm>

Q_DECLARE_LOGGING_CATEGORY(lcFetch)

namespace vellumix {

namespace {

constexpr int kTickMs = 500;
// The bounds of how long requests made before the closing was seen may go without an answer
// before they are sent again.
constexpr qint64 kSettleMinMs = 250;
constexpr qint64 kSettleMaxMs = 2000;

} // namespace

/*
    A server ends an HTTP/2 connection after so many requests (nginx: keepalive_requests, 1,000
    unless set) with GOAWAY; Qt fails the streams the server never took, and those it had not
    sent yet (see StreamEnd). They were never answered, so they go again on a new connection
    without a retry's wait or count. Qt 6.4 hands a request made while the connection is closing
    to that connection, which fails it from inside the call that queues it, before the reply's
    signals are connected: the request waits for an answer that never comes. So until the
    requests still open on the closing connection have ended, no new one is made. A request that
    was dropped all the same fails nowhere: once the closing has settled, every request that has
    had no answer for as long is sent again (settled()).
*/
ClosingConnectionWatch::ClosingConnectionWatch(int headerTimeoutMs,
                                               std::function<QList<FeedRequest *>()> openRequests,
                                               QObject *parent)
    : QObject(parent), m_headerTimeoutMs(headerTimeoutMs), m_openRequests(std::move(openRequests))
{
    m_tick.setInterval(kTickMs);
    connect(&m_tick, &QTimer::timeout, this, &ClosingConnectionWatch::check);
}

void ClosingConnectionWatch::requestSent()
{
    if (++m_sent == m_requestsPerConnection && !isClosing()) {
        /*
            The server closes every connection after this many requests (nginx:
            keepalive_requests). When it takes the last of them, it answers the requests it has
            and closes, and a request made after Qt has seen its GOAWAY is lost without a word,
            with nothing refused to show that it closed: this side treats the connection as
            closing now, so that nothing more is made on it.
        */
        m_closingOurs = true;
        connectionClosing(nullptr);
    }
}

void ClosingConnectionWatch::requestTaken(qint64 waitedMs)
{
    ++m_taken;
    if (waitedMs >= 0 && (m_fastestAnswerMs < 0 || waitedMs < m_fastestAnswerMs))
        m_fastestAnswerMs = waitedMs;
}

void ClosingConnectionWatch::requestEnded(FeedRequest *request)
{
    if (m_onClosingConnection.remove(request) && m_onClosingConnection.isEmpty())
        QTimer::singleShot(0, this, &ClosingConnectionWatch::maybeReopen);
}

void ClosingConnectionWatch::refused(FeedRequest *request)
{
    watchSettling();
    connectionClosing(request);
    m_waiting.append({request, true});
}

void ClosingConnectionWatch::waitForNextConnection(FeedRequest *request)
{
    m_waiting.append({request, false});
}

// From now, once the closing has settled, what has no answer is sent again.
void ClosingConnectionWatch::watchSettling()
{
    m_sinceGoaway.start();
    m_tick.start();
    QTimer::singleShot(settleMs() + 10, this, &ClosingConnectionWatch::check);
}

// The first request refused by a closing connection: every other request open on the shared
// connection now is on that connection; new ones wait until they have all ended.
void ClosingConnectionWatch::connectionClosing(FeedRequest *refused)
{
    if (isClosing())
        return;
    m_closingSince.start();
    m_tick.start();
    ++m_closings;
    for (FeedRequest *request : m_openRequests()) {
        if (request != refused)
            m_onClosingConnection.insert(request);
    }
    qCDebug(lcFetch) << "HTTP/2 connection closing with" << m_onClosingConnection.size()
                     << "requests open on it";
    if (m_onClosingConnection.isEmpty())
        QTimer::singleShot(0, this, &ClosingConnectionWatch::maybeReopen);
}

/*
    How long a closing connection is given to settle: four times the fastest answer seen (a
    round trip and the server's turn-around) plus a tenth of a second, within 250 ms and 2 s.
    A request that goes that long without an answer after the closing was most likely sent to the
    connection that closed; one that was merely slow is asked again, which may cost the bytes it
    had begun to bring, never its result. Without an answer yet to go by, the longest.
*/
qint64 ClosingConnectionWatch::settleMs() const
{
    if (m_fastestAnswerMs < 0)
        return kSettleMaxMs;
    return std::clamp(4 * m_fastestAnswerMs + 100, kSettleMinMs, kSettleMaxMs);
}

void ClosingConnectionWatch::check()
{
    if (isClosing())
        maybeReopen();
    const qint64 settle = settleMs();
    if (m_sinceGoaway.isValid() && m_sinceGoaway.elapsed() > settle) {
        m_sinceGoaway.invalidate();
        emit settled(settle);
    }
    if (!isClosing() && !m_sinceGoaway.isValid())
        m_tick.stop();
}

/*
    The requests that waited go out once the closing connection's own requests have all ended (or
    after the header deadline at the latest), a round trip later: the server closes the connection
    right after its last answer, and a request sent before Qt has seen the close would go to it.
*/
void ClosingConnectionWatch::maybeReopen()
{
    if (!isClosing())
        return;
    if (!m_onClosingConnection.isEmpty() && m_closingSince.elapsed() < m_headerTimeoutMs)
        return;
    const qint64 delay = std::max<qint64>(50, m_fastestAnswerMs);
    QTimer::singleShot(delay, this, [this, closing = m_closings] {
        if (!isClosing() || closing != m_closings)
            return;
        qCDebug(lcFetch) << "HTTP/2 connection closed after" << m_closingSince.elapsed() << "ms;"
                         << m_waiting.size() << "requests waited";
        m_closingSince.invalidate();
        m_onClosingConnection.clear();
        watchSettling(); // what goes now is watched like what went at the closing itself
        const bool answeredNothing = m_taken == 0;
        // Two connections in a row that the server closed after taking the same number of
        // requests: it closes every connection after that many.
        if (!std::exchange(m_closingOurs, false)) {
            m_requestsPerConnection =
                m_taken > 0 && m_taken == m_lastClosingTook ? m_taken : 0;
            m_lastClosingTook = m_taken;
        }
        m_sent = 0;
        m_taken = 0;
        emit reopened(std::exchange(m_waiting, {}), answeredNothing);
    });
}

} // namespace vellumix
