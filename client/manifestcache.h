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

    bool hasValidators() const { return !envelope.isEmpty() && (!etag.isEmpty() || !lastModified.isEmpty()); }
};

class ManifestCache
{
public:
    // `directory` empty: defaultManifestCacheDirectory().
    ManifestCache(const QString &directory, const QUrl &feed, const QString &channel);

    QString filePath() const { return m_path; }
    // What is kept for this feed and channel; nothing when the file is missing, is not a plain
    // file, is cut short or damaged.
    KeptManifest load() const;
    // Replaces what is kept (whole or not at all). Failures are ignored: the cache only saves
    // bytes.
    void store(const KeptManifest &manifest) const;
    void drop() const;

private:
    QString m_path;
};

QString defaultManifestCacheDirectory();

} // namespace vellumix
