// The last verified manifest of a feed's channel, kept with the validators the server gave it
// (ETag, Last-Modified), so that the next check can ask "has it changed?" and, when the answer is
// 304, use it again without its bytes travelling. The cache is never trusted, only used to save
// bytes: what it holds is verified again exactly as a fetched manifest, and whatever cannot be
// read or does not verify is dropped and the manifest fetched in full.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

namespace vellumix {

struct KeptManifest
{
    QByteArray envelope;     // empty: nothing kept
    QByteArray etag;         // as the server sent them, for If-None-Match / If-Modified-Since
    QByteArray lastModified;
    // The highest sequence ever verified from this feed and channel: a kept manifest below it is
    // not used (a fetched one still is: that is a publisher's deliberate rollback).
    qint32 highestSequence = 0;

    bool hasValidators() const { return !envelope.isEmpty() && (!etag.isEmpty() || !lastModified.isEmpty()); }
};

class ManifestCache
{
public:
    // `directory` empty: defaultManifestCacheDirectory().
    ManifestCache(const QString &directory, const QUrl &feed, const QString &channel);

    QString filePath() const { return m_path; }
    // False when the folder is not the user's own (another user owns it, others may write it, it
    // is a link) or cannot be made: then nothing is read from it and nothing written to it.
    bool isUsable() const { return m_usable; }
    // What is kept for this feed and channel; nothing when the file is missing, is not a plain
    // file of the user's own, is cut short or damaged.
    KeptManifest load() const;
    // Replaces what is kept (whole or not at all), raising the highest sequence to `sequence`.
    // Failures are ignored: the cache only saves bytes.
    void store(const KeptManifest &manifest, qint32 sequence) const;
    void drop() const;

private:
    QString m_path;
    bool m_usable = false;
};

QString defaultManifestCacheDirectory();

} // namespace vellumix
