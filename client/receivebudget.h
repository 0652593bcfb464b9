// The bytes a download has received that its lanes have not written yet, held within a budget:
// above the high mark the fetches stop reading their requests (Qt then stops reading their
// sockets once its small buffers are full), below the low mark they read again. Memory stays
// bounded whatever the file sizes and however slow the disk.
#pragma once

#include <QObject>

#include <atomic>
#include <functional>

namespace vellumix {

class ReceiveBudget
{
public:
    static constexpr qint64 kHigh = 4 * 1024 * 1024;
    static constexpr qint64 kLow = 1024 * 1024;

    // `resume` runs on `home`'s thread once reading may go on after a pause.
    ReceiveBudget(QObject *home, std::function<void()> resume)
        : m_home(home), m_resume(std::move(resume))
    {
    }

    // On the reading thread: whether one more piece may be read now. False means paused, and
    // `resume` follows once the lanes have written enough.
    bool mayRead()
    {
        if (m_queued.load() <= kHigh)
            return true;
        m_paused = true;
        // The lanes may have written everything just before the flag was set: whoever clears it
        // goes on (a lane that did has sent the resume).
        return m_queued.load() <= kHigh && m_paused.exchange(false);
    }
    bool isPaused() const { return m_paused.load(); }
    void queued(qint64 bytes) { m_queued += bytes; }

    // On a lane: `bytes` of what was queued are written (or dropped).
    void written(qint64 bytes)
    {
        if ((m_queued -= bytes) <= kLow && m_paused.exchange(false))
            QMetaObject::invokeMethod(m_home, m_resume, Qt::QueuedConnection);
    }

private:
    QObject *m_home;
    std::function<void()> m_resume;
    std::atomic<qint64> m_queued{0};
    std::atomic<bool> m_paused{false};
};

} // namespace vellumix
