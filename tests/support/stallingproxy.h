// A proxy of the tests that stalls a transfer half-way, for a download that is interrupted.
#pragma once

#include <QObject>
#include <QTcpServer>

namespace testsupport {

/*
    Stands between the client and the feed server: passes every request on and every answer back,
    but only the first `budget` bytes of each connection's answers; then the connection stays open
    without another byte, a transfer stalled half-way. It runs on the test's event loop, so the
    test waits with QTRY_*. When the client goes away, its connection to the server is cut too.
*/
class StallingProxy : public QObject
{
public:
    StallingProxy(quint16 serverPort, qint64 budget);
    bool listen();
    QString baseUrl() const; // "http://127.0.0.1:PORT"
    // Closes every connection, on both sides.
    void close();

private:
    void accept();

    QTcpServer m_listener;
    quint16 m_serverPort;
    qint64 m_budget;
};

} // namespace testsupport
