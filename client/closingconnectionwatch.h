// The watch over a multiplexed (HTTP/2) connection that the server closes (GOAWAY): which
// requests were still open on it, which wait for the next connection, when that may be opened,
// which requests most likely went to the closing connection all the same and must go again, and
// after how many requests this server closes every connection.
#pragma once

#include "feedsource.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <functional>

namespace vellumix {

class ClosingConnectionWatch : public QObject
{
    Q_OBJECT

public:
    struct Waiting
    {
        QPointer<FeedRequest> request;
        bool refused = false; // refused by the closing connection (rather than held back here)
    };

    // `openRequests` lists the requests open on the shared connection now.
    ClosingConnectionWatch(int headerTimeoutMs, std::function<QList<FeedRequest *>()> openRequests,
                           QObject *parent);

    // While a connection closes, no request is made on the shared connection.
    bool isClosing() const { return m_closingSince.isValid(); }

    // A request went out on the shared connection.
    void requestSent();
    // The server took a request on the shared connection: answered after `waitedMs`, or reset
    // before its answer (-1), which the server counts as a request too.
    void requestTaken(qint64 waitedMs);
    // A request on any connection ended (answered, failed, given up).
    void requestEnded(FeedRequest *request);
    // A request refused by a closing connection: it waits for the next one.
    void refused(FeedRequest *request);
    // A request that may not go while the connection closes: it goes once the next is open.
    void waitForNextConnection(FeedRequest *request);

Q_SIGNALS:
    // The closing connection has gone: the requests that waited go now. `answeredNothing`: it
    // closed without answering a single request.
    void reopened(const QList<vellumix::ClosingConnectionWatch::Waiting> &waiting, bool answeredNothing);
    // The closing has settled: a request without an answer for `settleMs` most likely went to
    // the connection that closed.
    void settled(qint64 settleMs);

private:
    void connectionClosing(FeedRequest *refused);
    void watchSettling();
    void check();
    void maybeReopen();
    qint64 settleMs() const;

    int m_headerTimeoutMs;
    std::function<QList<FeedRequest *>()> m_openRequests;
    QElapsedTimer m_sinceGoaway;  // valid from a request refused by a closing connection
    QElapsedTimer m_closingSince; // valid while requests wait for a closing connection to end
    QSet<FeedRequest *> m_onClosingConnection;
    QList<Waiting> m_waiting;
    quint64 m_closings = 0; // connections seen closing: a reopening meant for an earlier one is dropped
    // Requests handed to the connection of now and those it took (answered or reset); what the
    // connections that closed took, and when two closed after the same number, that number: a
    // connection is then closed by this side once it has been handed as many.
    int m_sent = 0;
    int m_taken = 0;
    int m_lastClosingTook = -1;
    int m_requestsPerConnection = 0;
    bool m_closingOurs = false; // the closing of now is this side's, by that number
    qint64 m_fastestAnswerMs = -1; // the shortest time from a request to its answer so far
    QTimer m_tick; // runs while a connection closes or settles
};

} // namespace vellumix
