// What the public classes of updateclient.h hold: their members live here, behind one pointer, so
// that the classes an application compiles against keep their size and layout across versions.
#pragma once

#include "fetchreply.h"
#include "rollout.h"

#include <vellumix/updateclient.h>

#include <QTimer>

#include <atomic>
#include <memory>
#include <optional>
#include <utility>

namespace vellumix {

class DownloadSession;
class OutcomeReporter;
class MemorySink;
class FeedSource;
class WorkerThread;
struct DownloadReport;

class UpdateOperationPrivate
{
public:
    explicit UpdateOperationPrivate(UpdateClient *owner) : client(owner) {}
    virtual ~UpdateOperationPrivate() = default;

    // Ends the request now; `operation`'s finished() is emitted from the event loop.
    void finish(UpdateOperation *operation, const UpdateFailure &failure);

    UpdateClient *client; // null once the client is gone
    UpdateOperation::State state = UpdateOperation::State::Running;
    UpdateFailure failure;
};

class UpdateCheckPrivate : public UpdateOperationPrivate
{
public:
    using UpdateOperationPrivate::UpdateOperationPrivate;
    UpdateInfo update;
};

class UpdateDownloadPrivate : public UpdateOperationPrivate
{
public:
    UpdateDownloadPrivate(UpdateClient *owner, const UpdateInfo &info, const QString &stage)
        : UpdateOperationPrivate(owner), update(info), stagingDirectory(stage)
    {
    }
    UpdateInfo update;
    DownloadProgress progress;
    QString stagingDirectory;
    qint64 bytesTransferred = 0;
    int filesFetched = 0;
    int filesAlreadyStaged = 0;
    int filesFromDeltas = 0;
};

class UpdateClientPrivate
{
public:
    UpdateClientPrivate(UpdateClient *client, UpdateClientSettings settings);

    static UpdateOperationPrivate *of(UpdateOperation *operation) { return operation->d_ptr.get(); }
    static UpdateCheckPrivate *of(UpdateCheck *check)
    {
        return static_cast<UpdateCheckPrivate *>(check->d_ptr.get());
    }
    static UpdateDownloadPrivate *of(UpdateDownload *download)
    {
        return static_cast<UpdateDownloadPrivate *>(download->d_ptr.get());
    }

    template<typename Operation>
    Operation *refused(Operation *operation, UpdateFailureReason reason, const QString &detail);
    void abort(UpdateOperation *operation);
    FetchReply *fetchDocument(FetchOptions options, const std::shared_ptr<MemorySink> &sink);
    bool endedByFetch(FetchReply *fetch);
    void dropDocumentFetch();
    void fetchManifest();
    void fetchFallback(const QByteArray &envelope, const protocol::FallbackRelease &fallback);
    void evaluate(const QByteArray &envelope, const QByteArray &fallbackEnvelope,
                  const QByteArray &etag = QByteArray(),
                  const QByteArray &lastModified = QByteArray(), bool kept = false);
    void finishCheck(const UpdateFailure &failure, std::shared_ptr<const UpdatePlan> plan);
    void onCheckDeadline();
    void onDownloadProgress(const DownloadProgress &progress);
    void onDownloadFinished(const DownloadReport &report);

    UpdateClient *q;
    UpdateClientSettings settings;
    FeedSource *source = nullptr;       // children of the client, so they move with it to a thread
    DownloadSession *session = nullptr;
    std::unique_ptr<WorkerThread> worker;
    UpdateCheck *check = nullptr;       // the running check
    UpdateDownload *download = nullptr; // the running download
    quint64 checkGeneration = 0;        // answers of an ended check are dropped
    std::shared_ptr<std::atomic<bool>> checkCancelled;
    bool checkUsesCache = true; // false once a kept manifest failed its verification
    QTimer *checkDeadline = nullptr; // ends a check that has run for checkTimeoutMs
    FetchReply *documentFetch = nullptr; // the check's fetch of the manifest or a history file
    UpdateFailure lastCheckFailure;  // of the last try, for a check that runs out of time
    OutcomeReporter *reporter = nullptr; // a check sends the report an ended update owes
    // A check whose answer is ready while its report is still on its way ends with the report.
    std::optional<std::pair<UpdateFailure, std::shared_ptr<const UpdatePlan>>> checkAnswer;
};

} // namespace vellumix
