// The outcome of the last update, sent once to the address its release was signed with, when the
// application has turned reports on. A report is one GET: the release's channel and sequence, the
// outcome and its reason, and a one-way hash of the installation's id. It never holds up an update
// and never fails a check: one that does not arrive is sent again at the next check, and why it
// did not is kept in the program root's record until one arrives.
//
// A report is the client's own small HTTP/1.1 request over TLS, not one of Qt's network access:
// Qt adds headers of its own to every request it makes (the user's language in Accept-Language, a
// browser's User-Agent), and a report carries nothing but what it says. Its answer is never read
// beyond the status line, so an address that answers with an endless body costs nothing.
#pragma once

#include "rollout.h"
#include "updatehistory.h"

#include <vellumix/updateclient.h>

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslError>
#include <QSslSocket>
#include <QUrl>

#include <optional>

class QTimer;

namespace vellumix {

// How the client names itself in its reports ("Vellumix-Update/1.0.0"): the client library's
// version, never a browser's.
QByteArray clientUserAgent();

// The report that `history` owes, if any: a final outcome of a release that names an address,
// not reported yet, that a start confirmed, a rollback undid or a recovery undid (a release the
// updater refused never started and is not reported). `installation` is the installation's id.
std::optional<protocol::OutcomeReport> owedReport(const UpdateHistory &history,
                                                  const QString &installation);

// Whether the outcome `history` keeps has been reported, or why its last report did not arrive;
// not valid when that outcome owes no report (see owedReport(), whether sent or not).
OutcomeReportStatus outcomeReportStatusOf(const UpdateHistory &history);

// The request of a report to `url` (the signed address with the report's query), byte for byte:
// everything that travels inside its TLS connection. Its headers are the host, the client's own
// User-Agent and that the connection closes after the answer; nothing else.
QByteArray outcomeReportRequest(const QUrl &url);

// The HTTP status of an answer whose head starts `head`: 0 while its status line is not complete,
// -1 when it is no HTTP/1 status line (or a line too long for one).
int answerStatus(const QByteArray &head);

class OutcomeReporter : public QObject
{
    Q_OBJECT

public:
    OutcomeReporter(const UpdateClientSettings &settings, QObject *parent);
    ~OutcomeReporter() override;

    // Sends the report the program root's history owes, with at most `timeoutMs` for it. False
    // when none goes (reports off, nothing owed, or it cannot go at all, which is recorded as its
    // failure): finished() does not come then.
    bool start(int timeoutMs);
    bool isRunning() const { return m_socket != nullptr; }
    // Drops the report on its way; it is sent again next time. No finished() follows. With `why`,
    // the report is recorded as failed for that reason (the check ran out of time, say).
    void abort(const QString &why = QString());

Q_SIGNALS:
    // The report has ended, arrived or not (recorded either way), from the event loop.
    void finished();

private:
    void onEncrypted();
    void onReadyRead();
    void onSocketError();
    // Ends the report on its way: recorded as arrived or failed with `why`, then finished().
    void end(bool arrived, const QString &why);
    // Writes down what became of the report of the outcome it was for (m_outcomeToken).
    void record(bool arrived, const QString &why);
    void dropSocket();

    UpdateClientSettings m_settings;
    QPointer<QSslSocket> m_socket;
    QTimer *m_deadline;
    int m_timeoutMs = 0;
    QString m_outcomeToken; // the outcome the running report is for
    QString m_address;      // the signed address, as a failure names it (no query)
    QByteArray m_request;
    QByteArray m_head;            // what has arrived of the answer's status line
    bool m_skippingInterim = false; // the rest of an interim (1xx) answer's head is passed over
    QList<QSslError> m_tlsErrors; // why the TLS handshake failed, when it did
};

} // namespace vellumix
