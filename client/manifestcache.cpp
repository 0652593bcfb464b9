#include "manifestcache.h"

#include "fileio.h"
#include "manifest.h"
#include "osbridge.h"
#include "platform.h"

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
    m_path = (directory.isEmpty() ? defaultManifestCacheDirectory() : directory) + u'/'
        + QString::fromLatin1(key.toHex().left(32)) + QStringLiteral(".json");
}

KeptManifest ManifestCache::load() const
{
    // A link is not followed but removed: the file is the client's own or nothing.
    const os::LinkStatus status = os::linkStatus(osText(QDir::toNativeSeparators(m_path)));
    if (status == os::LinkStatus::Link)
        drop();
    if (status != os::LinkStatus::NotALink || !QFileInfo(m_path).isFile())
        return {};
    QJsonObject kept;
    try {
        kept = QJsonDocument::fromJson(readFileLimited(m_path, kCacheFileMaxBytes)).object();
    } catch (const QString &) {
        return {};
    }
    KeptManifest manifest;
    manifest.envelope = QByteArray::fromBase64(kept.value(QStringLiteral("envelope")).toString().toLatin1(),
                                               QByteArray::AbortOnBase64DecodingErrors);
    manifest.etag = kept.value(QStringLiteral("etag")).toString().toLatin1();
    manifest.lastModified = kept.value(QStringLiteral("lastModified")).toString().toLatin1();
    if (manifest.envelope.size() > kManifestMaxBytes)
        return {};
    return manifest;
}

void ManifestCache::store(const KeptManifest &manifest) const
{
    const QJsonObject kept{
        {QStringLiteral("envelope"), QString::fromLatin1(manifest.envelope.toBase64())},
        {QStringLiteral("etag"), QString::fromLatin1(manifest.etag)},
        {QStringLiteral("lastModified"), QString::fromLatin1(manifest.lastModified)}};
    try {
        writeFileAtomic(m_path, QJsonDocument(kept).toJson(QJsonDocument::Compact));
    } catch (const QString &) {
        // Not kept: the next check fetches the manifest in full.
    }
}

void ManifestCache::drop() const
{
    QFile::remove(m_path);
}

} // namespace vellumix
