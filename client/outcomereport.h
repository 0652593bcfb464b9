// The outcome of the last update, sent once to the address its release was signed with, when the
// application has turned reports on. A report is one GET: the release's channel and sequence, the
// outcome and its reason, and a one-way hash of the installation's id. It never holds up an update
// and never fails a check: one that does not arrive is sent again at the next check.
#pragma once

#include "rollout.h"
#include "updatehistory.h"

#include <vellumix/updateclient.h>

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <optional>

class QNetworkAccessManager;


namespace vellumix {

// The report that `history` owes, if any: a final outcome of a release that names an address,
// not reported yet, that a start confirmed, a rollback undid or a recovery undid (a release the
// updater refused never started and is not reported). `installation` is the installation's id.
std::optional<protocol::OutcomeReport> owedReport(const UpdateHistory &history,
                                                  const QString &installation);

class OutcomeReporter : public QObject
{
    Q_OBJECT

public:
    OutcomeReporter(const UpdateClientSettings &settings, QObject *parent);

    // Sends the report the program root's history owes, with at most `timeoutMs` for it. False
    // when there is none to send (reports off, nothing owed): finished() does not come then.
    bool start(int timeoutMs);
    bool isRunning() const { return m_reply != nullptr; }
    // Drops the report on its way; it is sent again next time. No finished() follows.
    void abort();

Q_SIGNALS:
    // The report has ended, arrived or not (arrived: recorded as reported).
    void finished();

private:
    void onFinished();

    UpdateClientSettings m_settings;
    QNetworkAccessManager *m_network = nullptr; // made at the first report
    QPointer<QNetworkReply> m_reply;
    QString m_outcomeToken; // the outcome the running report is for
    QTimer m_deadline;
};

} // namespace vellumix
