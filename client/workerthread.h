// The client's one worker thread: file work (hashing, unpacking, writing the stage) runs there,
// one posted call after another in the order they were posted, so it never holds up the thread
// that drives the client.
#pragma once

#include <QObject>
#include <QThread>

#include <functional>

namespace vellumix {

class WorkerThread
{
public:
    WorkerThread()
    {
        m_context.moveToThread(&m_thread);
        m_thread.setObjectName(QStringLiteral("vellumix-update-client"));
        m_thread.start();
    }
    // Calls still waiting are dropped; the one running is waited for.
    ~WorkerThread()
    {
        m_thread.quit();
        m_thread.wait();
    }
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;

    void post(std::function<void()> call)
    {
        QMetaObject::invokeMethod(&m_context, std::move(call), Qt::QueuedConnection);
    }

private:
    QThread m_thread;
    QObject m_context;
};

// Hands a result from the worker back to `receiver`'s thread.
template<typename Receiver, typename Call>
void deliver(Receiver *receiver, Call call)
{
    QMetaObject::invokeMethod(receiver, std::move(call), Qt::QueuedConnection);
}

} // namespace vellumix
