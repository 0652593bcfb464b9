#include "manifestcache.h"

#include "fileio.h"
#include "manifest.h"
#include "osbridge.h"
#include "platform.h"
#include "stagefiles.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace vellumix {

namespace {

// The envelope in base64 and two short validators.
constexpr qint64 kCacheFileMaxBytes = kManifestMaxBytes / 3 * 4 + 64 * 1024;

} // namespace

QString defaultManifestCacheDirectory()
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (base.isEmpty() || QCoreApplication::applicationName().isEmpty())
        base = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
            + QStringLiteral("/vellumix");
    return base + QStringLiteral("/update-manifests");
}

ManifestCache::ManifestCache(const QString &directory, const QUrl &feed, const QString &channel)
{
    // One file per feed and channel, named by a digest of both.
    const QByteArray key = QCryptographicHash::hash(
        feed.toString(QUrl::FullyEncoded).toUtf8() + '\n' + channel.toUtf8(),
        QCryptographicHash::Sha256);
    const QString folder = directory.isEmpty() ? defaultManifestCacheDirectory() : directory;
    m_path = folder + u'/' + QString::fromLatin1(key.toHex().left(32)) + QStringLiteral(".json");
    /*
        The cache decides what a check believes is current, so it gets the stage's rules: a folder
        of the user's own, private to the user. In a folder that others may write (a shared
        --cache-dir, one made under umask 002), anyone could plant an entry with the server's
        current tag and an older release, and the server's honest 304 would confirm it. Such a
        folder is not used at all: every check asks in full.
    */
    m_usable = makeOrCheckStageDirectory(folder).ok();
}

KeptManifest ManifestCache::load() const
{
    if (!m_usable)
        return {};
    // A link is not followed but removed: the file is the client's own or nothing.
    const os::LinkStatus status = os::linkStatus(osText(QDir::toNativeSeparators(m_path)));
    if (status == os::LinkStatus::Link)
        drop();
    if (status != os::LinkStatus::NotALink || !isPlainStageFile(m_path))
        return {};
    // Opened as itself, and only a file of the user's own is read.
    QFile file;
    QString why;
    if (!openStageFile(file, m_path, QIODevice::ReadOnly, &why) || !isOwnFile(file)
        || file.size() > kCacheFileMaxBytes)
        return {};
    const QJsonObject kept = QJsonDocument::fromJson(file.read(kCacheFileMaxBytes)).object();
    KeptManifest manifest;
    manifest.envelope = QByteArray::fromBase64(kept.value(QStringLiteral("envelope")).toString().toLatin1(),
                                               QByteArray::AbortOnBase64DecodingErrors);
    manifest.etag = kept.value(QStringLiteral("etag")).toString().toLatin1();
    manifest.lastModified = kept.value(QStringLiteral("lastModified")).toString().toLatin1();
    manifest.highestSequence = kept.value(QStringLiteral("highestSequence")).toInt();
    if (manifest.envelope.size() > kManifestMaxBytes)
        return {};
    return manifest;
}

void ManifestCache::store(const KeptManifest &manifest, qint32 sequence) const
{
    if (!m_usable)
        return;
    const qint32 highest = std::max(sequence, load().highestSequence);
    const QJsonObject kept{
        {QStringLiteral("envelope"), QString::fromLatin1(manifest.envelope.toBase64())},
        {QStringLiteral("etag"), QString::fromLatin1(manifest.etag)},
        {QStringLiteral("lastModified"), QString::fromLatin1(manifest.lastModified)},
        {QStringLiteral("highestSequence"), highest}};
    // When it is not kept, the next check fetches the manifest in full.
    (void)writeFileAtomic(m_path, QJsonDocument(kept).toJson(QJsonDocument::Compact));
}

void ManifestCache::drop() const
{
    if (m_usable)
        QFile::remove(m_path);
}

} // namespace vellumix
