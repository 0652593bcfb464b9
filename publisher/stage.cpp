#include "stage.h"
#include "publishtexts.h"
#include "deltas.h"
#include "interruption.h"
#include "packing.h"
#include "numbertext.h"
#include "releaseinfo.h"
#include "signingkey.h"

#include "fileio.h"
#include "manifest.h"
#include "osbridge.h"
#include "pathpolicy.h"
#include "rollout.h"
#include "updateprotocol.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QTemporaryDir>

#include "foldernames.h"

#include <algorithm>

namespace vellumix::publish {

namespace {

constexpr qsizetype kReadChunk = 1024 * 1024;
// The stage's folder of delta blobs, each named by its SHA-256 as in the feed.
const QString kDeltasFolder = QStringLiteral("deltas");

struct ReleaseFile
{
    QString path;     // relative, "/" separators: the manifest path
    QString location; // where it is read from
    qint64 size = 0;
};

struct FileRecord
{
    QString path;
    QByteArray sha256;
    QByteArray packedSha256;
    qint64 size = 0;
    qint64 packedSize = 0;
};

void checkOptions(const StageOptions &options)
{
    const QRegularExpression versionPattern(QString::fromLatin1(kManifestVersionPattern));
    // The updater's pattern lets one final line feed through; a release never means one.
    if (!versionPattern.match(options.version).hasMatch() || options.version.contains(u'\n'))
        throw Texts::tr("the version \"%1\" is not 1 to 60 characters of 0-9, A-Z, a-z, "
                        "\".\", \"+\" and \"-\"")
            .arg(options.version);
    if (options.sequence < kManifestMinSequence || options.sequence > kManifestMaxSequence)
        throw Texts::tr("the sequence %1 is outside %2 to %3")
            .arg(options.sequence)
            .arg(kManifestMinSequence)
            .arg(grouped(kManifestMaxSequence));
    if (!QFileInfo(options.releaseDir).isDir())
        throw Texts::tr("the release folder %1 does not exist").arg(options.releaseDir);
    if (!options.installedDir.isEmpty() && !QFileInfo(options.installedDir).isDir())
        throw Texts::tr("the installed folder %1 does not exist").arg(options.installedDir);
    checkChannelAndExpiry(options.channel, options.expiresInDays, true);
    if (options.rolloutPercent && (*options.rolloutPercent < 0 || *options.rolloutPercent > 100))
        throw Texts::tr("a rollout's percentage is 0 to 100, not %1").arg(*options.rolloutPercent);
    if (!options.reportsUrl.isEmpty())
        checkReportsUrl(options.reportsUrl);
    if (!options.deltaBaseFeed.isEmpty()) {
        // A path that is no folder is a mistake, not a new feed: the release would go out
        // without deltas and without the fallback its rollout needs.
        if (!QFileInfo(options.deltaBaseFeed).isDir())
            throw Texts::tr("the feed %1 (--delta-base) does not exist; for a first release, "
                            "create the feed folder first")
                .arg(options.deltaBaseFeed);
        if (!deltasAvailable())
            throw Texts::tr("this build of vellumix-publish cannot make deltas: it was built "
                            "without libzstd (Debian: libzstd-dev)");
        if (options.deltaDepth < 1 || options.deltaDepth > kMaxDeltaDepth)
            throw Texts::tr("the delta depth is 1 to %1 releases, not %2")
                .arg(kMaxDeltaDepth)
                .arg(options.deltaDepth);
        if (options.deltaWindowLog < kMinDeltaWindowLog || options.deltaWindowLog > kMaxDeltaWindowLog)
            throw Texts::tr("the delta window is 2^%1 to 2^%2 bytes, not 2^%3")
                .arg(kMinDeltaWindowLog)
                .arg(kMaxDeltaWindowLog)
                .arg(options.deltaWindowLog);
    }

    const QFileInfo out(options.outDir);
    if (out.exists() || out.isSymLink())
        throw Texts::tr("%1 already exists; the stage is always made new").arg(options.outDir);
    const QFileInfo parent(out.absolutePath());
    if (!parent.isDir())
        throw Texts::tr("the folder %1 for the stage does not exist").arg(parent.filePath());
    const QString release = QFileInfo(options.releaseDir).canonicalFilePath() + u'/';
    if ((parent.canonicalFilePath() + u'/').startsWith(release))
        throw Texts::tr("the stage %1 would lie inside the release folder").arg(options.outDir);
}

/*
    A name that is not valid text, shown with its offending bytes (or, on Windows, its unpaired
    UTF-16 units) escaped, "\xff" or "\ud800", and every other character as it is.
*/
QString escapedName(const QByteArray &bytes)
{
    QString shown;
    for (qsizetype i = 0; i < bytes.size();) {
        const uchar lead = uchar(bytes.at(i));
        const qsizetype length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
        if (length > 0 && i + length <= bytes.size()) {
            const QByteArray sequence = bytes.mid(i, length);
            auto decode = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            const QString character = decode(sequence);
            if (!decode.hasError() && character.toUtf8() == sequence) {
                shown += character;
                i += length;
                continue;
            }
        }
        shown += QStringLiteral("\\x%1").arg(lead, 2, 16, QLatin1Char('0'));
        ++i;
    }
    return shown;
}

QString escapedName(const QString &name)
{
    QString shown;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar unit = name.at(i);
        if (unit.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            shown += unit;
            shown += name.at(++i);
        } else if (unit.isSurrogate()) {
            shown += QStringLiteral("\\u%1").arg(unit.unicode(), 4, 16, QLatin1Char('0'));
        } else {
            shown += unit;
        }
    }
    return shown;
}

[[noreturn]] void refuseName(const QString &shown)
{
    throw Texts::tr("%1: this file name is not valid Unicode text (what is not is shown "
                    "escaped); a manifest names its files in Unicode, so the release cannot "
                    "hold the file under this name: rename it")
        .arg(shown);
}

/*
    The names as Linux keeps them: bytes, which QDir decodes as UTF-8, leaving out every entry
    whose name does not decode. A release holding such a file would be staged without it and
    without a word, and the updater would then leave the old file in place. So every folder of
    the release is read as bytes first, and a name that is not valid UTF-8 refuses the release.
    Links are not followed (they are refused when the release is scanned). Windows keeps no names
    as bytes; its unpaired surrogates are found by the scan itself.
*/
void refuseNamesThatAreNotText(const QString &folder)
{
    QByteArray refused;
    std::string unreadable;
    const os::NameWalk walk = os::walkByteNames(osText(folder), [&](std::string_view path) {
        // The folders above were visited first, so only the last name is new.
        const std::string_view last = path.substr(path.rfind('/') + 1);
        const QByteArray name(last.data(), qsizetype(last.size()));
        auto decode = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decode(name);
        if (!decode.hasError() && text.toUtf8() == name)
            return true;
        refused = QByteArray(path.data(), qsizetype(path.size()));
        return false;
    }, unreadable);
    if (walk == os::NameWalk::Stopped)
        refuseName(escapedName(refused));
    if (walk == os::NameWalk::Unreadable)
        throw Texts::tr("cannot read the folder %1")
            .arg(QFile::decodeName(QByteArray::fromStdString(unreadable)));
}

// Every regular file below the release folder, sorted by path. Links and special files are
// refused: the updater would install what they point to, which is not what was released.
QList<ReleaseFile> scanRelease(const QString &releaseDir)
{
    const QDir root(QFileInfo(releaseDir).absoluteFilePath());
    refuseNamesThatAreNotText(root.path());
    QList<ReleaseFile> files;
    QDirIterator it(root.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString location = it.next();
        const QString path = root.relativeFilePath(location);
        if (!path.isValidUtf16())
            refuseName(escapedName(path));
        if (os::linkStatus(osText(location)) == os::LinkStatus::Link)
            throw Texts::tr("%1 is a symbolic link; a release holds only plain files and "
                            "folders")
                .arg(path);
        const QFileInfo info(location);
        if (info.isDir())
            continue;
        if (!info.isFile())
            throw Texts::tr("%1 is not a regular file").arg(path);
        files.append({path, location, info.size()});
    }
    std::sort(files.begin(), files.end(),
              [](const ReleaseFile &a, const ReleaseFile &b) { return a.path < b.path; });
    return files;
}

// What the updater checks of each entry, in its order, with the offending file named.
void checkAgainstUpdateRules(const QList<ReleaseFile> &files)
{
    if (files.size() > kManifestMaxEntries)
        throw Texts::tr("the release has %1 files; an update holds at most %2")
            .arg(grouped(files.size()), grouped(kManifestMaxEntries));
    // Paths are compared as the updater compares them: as NTFS does, by upper-casing each UTF-16
    // unit on its own.
    QHash<QString, QString> byKey;
    qint64 total = 0;
    for (const ReleaseFile &file : files) {
        if (!isAllowedUpdatePath(file.path))
            throw Texts::tr("%1: an update may not contain this path (a name the update path "
                            "policy refuses, such as a hidden name, a device name, a path "
                            "over 240 characters or a .ini, .config, .pdf, .ubz or .dpapi "
                            "file)")
                .arg(file.path);
        const QString key = updatePathKey(file.path);
        if (byKey.contains(key))
            throw Texts::tr("%1 and %2 differ only in letter case; Windows cannot hold both")
                .arg(byKey.value(key), file.path);
        byKey.insert(key, file.path);
        if (file.size > kManifestMaxFileSize)
            throw Texts::tr("%1 has %2 bytes; a file of an update may have at most %3")
                .arg(file.path, grouped(file.size), grouped(kManifestMaxFileSize));
        total += file.size;
        if (total > kManifestMaxTotalSize)
            throw Texts::tr("the files up to %1 add up to %2 bytes; an update may have at "
                            "most %3")
                .arg(file.path, grouped(total), grouped(kManifestMaxTotalSize));
    }
    for (const char *program : {kMainProgramPath, kUpdaterProgramPath}) {
        if (byKey.value(updatePathKey(QString::fromLatin1(program))) != QLatin1String(program))
            throw Texts::tr("the release has no %1 at its top (the name is compared with "
                            "letter case)")
                .arg(QLatin1String(program));
    }
}

// Whether the feed holds anything of the channel: its manifest or a release of its history.
bool channelInFeed(const QString &feedDir, const QString &channel)
{
    const QDir feed(feedDir);
    return QFileInfo::exists(feed.filePath(protocol::feedManifestPath(channel)))
        || !releaseHistory(feedDir, channel).isEmpty();
}

/*
    The release that installations outside this one's rollout are offered meanwhile: the newest
    release that every installation takes, that is the channel's current release in the feed when
    it reached every installation or is critical (and not halted), otherwise the fallback it named
    itself (a release still rolling out, or halted, is no one's fallback). A critical fix is thus
    never skipped: an installation outside the new release's rollout, or any installation while it
    is halted, is still offered the fix. It is named by the digest of its history file, which never
    changes, so a client takes exactly that release even after its manifest has expired.
*/
std::optional<FallbackRelease> fallbackIn(const QString &feedDir, const QString &channel,
                                          const UpdateSigningKey &key, qint32 sequence)
{
    const QDir feed(feedDir);
    const QString manifestPath = feed.filePath(protocol::feedManifestPath(channel));
    if (!QFileInfo::exists(manifestPath))
        return std::nullopt;
    const FeedRelease current = loadFeedRelease(manifestPath, key);
    if (current.manifest.sequence >= sequence)
        return std::nullopt;
    const bool everyInstallation = current.extras.percent() >= 100
        || (current.extras.critical && current.extras.percent() > 0);
    if (!everyInstallation) {
        if (current.extras.fallback && current.extras.fallback->sequence < sequence)
            return current.extras.fallback;
        return std::nullopt;
    }
    const QString history =
        feed.filePath(protocol::feedReleasePath(channel, current.manifest.sequence));
    if (!QFileInfo::exists(history))
        return std::nullopt;
    const FeedRelease published = loadFeedRelease(history, key, current.manifest.sequence);
    return FallbackRelease{
        current.manifest.sequence,
        QCryptographicHash::hash(published.manifest.envelope, QCryptographicHash::Sha256).toHex()};
}

// What the payload carries besides the files that is worked out once per stage.
struct PayloadMembers
{
    std::optional<QDateTime> expires;
    std::optional<FallbackRelease> fallback;
};

QByteArray payloadOf(const QList<FileRecord> &records, const StageOptions &options,
                     const PayloadMembers &members, const QList<DeltaRecord> &deltas)
{
    QJsonArray files;
    for (const FileRecord &record : records) {
        files.append(QJsonObject{
            {QStringLiteral("path"), record.path},
            {QStringLiteral("sha256"), QString::fromLatin1(record.sha256)},
            {QStringLiteral("packedSha256"), QString::fromLatin1(record.packedSha256)},
            {QStringLiteral("size"), record.size},
            {QStringLiteral("packedSize"), record.packedSize},
        });
    }
    QJsonObject payload{
        {QStringLiteral("schema"), kManifestSchema},
        {QStringLiteral("platform"), QString::fromLatin1(kManifestPlatform)},
        {QStringLiteral("sequence"), options.sequence},
        {QStringLiteral("version"), options.version},
        {QStringLiteral("notes"), options.notes},
        {QStringLiteral("files"), files},
        {protocol::kPayloadChannelMember, options.channel},
    };
    if (members.expires)
        payload.insert(protocol::kPayloadExpiresMember, expiryText(*members.expires));
    if (options.rolloutPercent)
        payload.insert(protocol::kPayloadRolloutMember,
                       QJsonObject{{protocol::kRolloutPercentMember, *options.rolloutPercent}});
    if (options.critical)
        payload.insert(protocol::kPayloadCriticalMember, true);
    if (members.fallback)
        payload.insert(protocol::kPayloadFallbackMember,
                       QJsonObject{{protocol::kFallbackSequenceMember, members.fallback->sequence},
                                   {protocol::kFallbackSha256Member,
                                    QString::fromLatin1(members.fallback->historySha256)}});
    if (!options.reportsUrl.isEmpty())
        payload.insert(protocol::kPayloadReportsMember, options.reportsUrl);
    if (!deltas.isEmpty()) {
        QJsonArray list;
        for (const DeltaRecord &delta : deltas) {
            list.append(QJsonObject{
                {protocol::kDeltaPathMember, delta.entry.path},
                {protocol::kDeltaBaseSha256Member, QString::fromLatin1(delta.entry.baseSha256)},
                {protocol::kDeltaPackedSha256Member, QString::fromLatin1(delta.entry.packedSha256)},
                {protocol::kDeltaPackedSizeMember, delta.entry.packedSize},
            });
        }
        payload.insert(protocol::kPayloadDeltasMember, list);
    }
    return QJsonDocument(payload).toJson(QJsonDocument::Compact);
}

/*
    The manifest's size is known only once every file is packed, but a release whose manifest
    would be too large has to be refused before anything is written. Digests always have 64
    digits and a packed size at most 9, so the manifest made with the widest values of both is
    the largest it can get; a release is refused when that bound is over the limit.
*/
void checkManifestSize(const QList<ReleaseFile> &files, const StageOptions &options,
                       const PayloadMembers &members)
{
    QList<FileRecord> widest;
    widest.reserve(files.size());
    for (const ReleaseFile &file : files)
        widest.append({file.path, QByteArray(64, '0'), QByteArray(64, '0'), file.size,
                       kManifestMaxFileSize});
    const QByteArray envelope =
        envelopeOf(payloadOf(widest, options, members, {}), QByteArray(384, '\0'));
    if (envelope.size() > kManifestMaxBytes)
        throw Texts::tr("the manifest of this release would have up to %1 bytes; it may "
                        "have at most %2 (fewer files, shorter paths or shorter notes)")
            .arg(grouped(envelope.size()), grouped(kManifestMaxBytes));
}

// Reads a release file once, in pieces, handing each piece to `take` until it answers false.
void readInPieces(const ReleaseFile &file, const std::function<bool(const char *, qint64)> &take)
{
    QFile source(file.location);
    if (!source.open(QIODevice::ReadOnly))
        throw Texts::tr("cannot read %1: %2").arg(file.path, source.errorString());
    QByteArray buffer(kReadChunk, Qt::Uninitialized);
    for (;;) {
        const qint64 count = source.read(buffer.data(), buffer.size());
        if (count < 0)
            throw Texts::tr("cannot read %1: %2").arg(file.path, source.errorString());
        if (count == 0 || !take(buffer.constData(), count))
            return;
    }
}

// Reads a release file once: hashes its content and packs it to `packed` when given.
FileRecord packAndHash(const ReleaseFile &file, QIODevice *packed,
                       const std::function<void(qint64)> &bytesRead)
{
    QCryptographicHash content(QCryptographicHash::Sha256);
    GzipPacker packer(packed);
    qint64 total = 0;
    readInPieces(file, [&](const char *data, qint64 count) {
        content.addData(QByteArrayView(data, count));
        packer.add(data, count);
        total += count;
        if (total > file.size)
            return false;
        if (bytesRead)
            bytesRead(count);
        return true;
    });
    if (total != file.size)
        throw Texts::tr("%1 changed while it was being staged").arg(file.path);
    packer.finish();
    return {file.path, content.result().toHex(), packer.packedSha256Hex(), file.size,
            packer.packedSize()};
}

// For files so large that their packed form might pass the limit: pack them once, writing
// nothing, before the stage is begun.
void checkPackedSizes(const QList<ReleaseFile> &files)
{
    for (const ReleaseFile &file : files) {
        if (GzipPacker::packedSizeBound(file.size) <= kManifestMaxFileSize)
            continue;
        const FileRecord record = packAndHash(file, nullptr, {});
        if (record.packedSize > kManifestMaxFileSize)
            throw Texts::tr("%1 packs to %2 bytes; a packed file may have at most %3")
                .arg(file.path, grouped(record.packedSize), grouped(kManifestMaxFileSize));
    }
}

QByteArray sha256OfFile(const QString &location)
{
    QFile file(location);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result().toHex();
}

// True when the installed program root lacks the file or holds other content.
bool differsFromInstalled(const FileRecord &record, const QString &installedDir)
{
    if (installedDir.isEmpty())
        return true;
    const QString installed = installedDir + u'/' + record.path;
    const QFileInfo info(installed);
    if (!info.isFile() || info.size() != record.size)
        return true;
    return sha256OfFile(installed) != record.sha256;
}

QFile *openNew(QFile &file)
{
    if (!QDir().mkpath(QFileInfo(file.fileName()).absolutePath())
        || !file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        throw Texts::tr("cannot create %1: %2").arg(file.fileName(), file.errorString());
    return &file;
}

void closeWritten(QFile &file)
{
    if (!file.flush())
        throw Texts::tr("cannot write %1: %2").arg(file.fileName(), file.errorString());
    file.close();
}

// Copies a release file into the stage and checks that the copy is what was hashed before.
void copyVerified(const ReleaseFile &file, const FileRecord &record, const QString &target)
{
    QFile copy(target);
    openNew(copy);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    readInPieces(file, [&](const char *data, qint64 count) {
        hash.addData(QByteArrayView(data, count));
        if (copy.write(data, count) != count)
            throw Texts::tr("cannot write %1: %2").arg(target, copy.errorString());
        return true;
    });
    closeWritten(copy);
    if (hash.result().toHex() != record.sha256)
        throw Texts::tr("%1 changed while it was being staged").arg(file.path);
}

// Reads a release file whole, for a delta, and checks that it is still what was hashed.
QByteArray readWhole(const ReleaseFile &file, const FileRecord &record)
{
    QByteArray content;
    content.reserve(record.size);
    readInPieces(file, [&](const char *data, qint64 count) {
        content.append(data, count);
        return content.size() <= record.size;
    });
    if (content.size() != record.size
        || QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex() != record.sha256)
        throw Texts::tr("%1 changed while it was being staged").arg(file.path);
    return content;
}

// The deltas of one stage: made file by file as the release is packed, written beside packed/.
class DeltaMaking
{
public:
    DeltaMaking(const StageOptions &options, const SigningKey &key, const QString &stageDir,
                StageSummary &summary)
        : m_options(options),
          m_folder(stageDir + u'/' + kDeltasFolder),
          m_summary(summary),
          m_bases(options.deltaBaseFeed, options.channel, qint32(options.sequence),
                  options.deltaDepth, UpdateSigningKey{key.modulusHex()})
    {
        m_summary.deltaReleases = m_bases.sequences();
        if (!QDir().mkpath(m_folder))
            throw Texts::tr("cannot create %1").arg(m_folder);
    }

    void addFor(const ReleaseFile &file, const FileRecord &record)
    {
        const QList<DeltaBase> bases = m_bases.basesFor(record.path, record.sha256);
        if (bases.isEmpty())
            return;
        QElapsedTimer clock;
        clock.start();
        const qint64 window = qint64(1) << m_options.deltaWindowLog;
        std::optional<QByteArray> target;
        for (const DeltaBase &base : bases) {
            throwIfInterrupted();
            if (std::max(base.size, record.size) > window) {
                ++m_summary.deltasOverWindow;
                continue;
            }
            const std::optional<QByteArray> old = m_bases.contentOf(base);
            if (!old) {
                ++m_summary.deltaBasesMissing;
                continue;
            }
            if (!target)
                target = readWhole(file, record);
            QString why;
            const QByteArray frame = makeDeltaFrame(*old, *target, m_options.deltaWindowLog, &why);
            if (frame.isEmpty())
                throw Texts::tr("cannot make the delta of %1: %2").arg(record.path, why);
            if (!isDeltaWorthKeeping(frame.size(), record.packedSize)) {
                ++m_summary.deltasNotSmaller;
                continue;
            }
            const QByteArray digest =
                QCryptographicHash::hash(frame, QCryptographicHash::Sha256).toHex();
            write(digest, frame);
            deltas.append({{record.path, base.sha256, digest, frame.size()}, base.sequence,
                           record.packedSize});
        }
        m_summary.deltaMilliseconds += clock.elapsed();
    }

    // Removes the blobs of deltas that were dropped and that no kept delta shares.
    void removeUnlisted() const
    {
        QSet<QString> listed;
        for (const DeltaRecord &delta : deltas)
            listed.insert(QString::fromLatin1(delta.entry.packedSha256));
        for (const QString &name : QDir(m_folder).entryList(QDir::Files)) {
            if (!listed.contains(name) && !QFile::remove(m_folder + u'/' + name))
                throw Texts::tr("cannot remove %1/%2").arg(m_folder, name);
        }
    }

    QList<DeltaRecord> deltas;

private:
    void write(const QByteArray &digest, const QByteArray &frame) const
    {
        QFile blob(m_folder + u'/' + QString::fromLatin1(digest));
        if (blob.exists()) // named by its digest: the same bytes
            return;
        openNew(blob);
        if (blob.write(frame) != frame.size())
            throw Texts::tr("cannot write %1: %2").arg(blob.fileName(), blob.errorString());
        closeWritten(blob);
    }

    const StageOptions &m_options;
    QString m_folder;
    StageSummary &m_summary;
    DeltaBases m_bases;
};

void writeManifest(const QString &path, const QByteArray &envelope)
{
    const AtomicWriteResult written = replaceFileAtomically(path, envelope);
    if (!written.ok())
        throw Texts::tr("cannot write %1: %2").arg(path, written.errorString);
}

// The key that signs the stage: only a private key can.
SigningKey signingKeyFor(const StageOptions &options)
{
    SigningKey key = SigningKey::fromFile(options.keyPath);
    if (!key.isPrivate())
        throw Texts::tr("%1 holds only a public key; signing needs the private key")
            .arg(options.keyPath);
    return key;
}

PayloadMembers payloadMembersFor(const StageOptions &options, const SigningKey &key)
{
    PayloadMembers members;
    if (options.expiresInDays > 0)
        members.expires = expiryAfterDays(options.expiresInDays);
    if (!options.deltaBaseFeed.isEmpty())
        members.fallback = fallbackIn(options.deltaBaseFeed, options.channel,
                                      UpdateSigningKey{key.modulusHex()}, qint32(options.sequence));
    return members;
}

StageProgress progressTotals(const QList<ReleaseFile> &files)
{
    StageProgress done;
    done.filesTotal = int(files.size());
    for (const ReleaseFile &file : files)
        done.bytesTotal += file.size;
    return done;
}

/*
    Packs one file into packed/ and hashes it, and copies it into files/ when it differs from the
    installed one (a packed form that is not needed is removed again); then its deltas.
*/
FileRecord stageFile(const ReleaseFile &file, const StageOptions &options,
                     const QTemporaryDir &building, std::optional<DeltaMaking> &deltaMaking,
                     StageSummary &summary, const std::function<void(qint64)> &packedBytes)
{
    QFile packed(building.filePath(QStringLiteral("packed/") + file.path));
    openNew(packed);
    throwIfInterrupted();
    const FileRecord record = packAndHash(file, &packed, packedBytes);
    closeWritten(packed);
    if (differsFromInstalled(record, options.installedDir)) {
        copyVerified(file, record, building.filePath(protocol::kStageFilesFolder + u'/' + file.path));
        ++summary.filesStaged;
        summary.stagedBytes += record.size;
    } else if (!packed.remove()) {
        throw Texts::tr("cannot remove %1: %2").arg(packed.fileName(), packed.errorString());
    }
    if (record.packedSize > kManifestMaxFileSize) // only if the bound above were wrong
        throw Texts::tr("%1 packs to %2 bytes; a packed file may have at most %3")
            .arg(file.path, grouped(record.packedSize), grouped(kManifestMaxFileSize));
    if (deltaMaking)
        deltaMaking->addFor(file, record);
    return record;
}

// Every file of the release staged in turn, with the progress reported as it goes.
QList<FileRecord> stageFiles(const QList<ReleaseFile> &files, const StageOptions &options,
                             const QTemporaryDir &building, std::optional<DeltaMaking> &deltaMaking,
                             StageSummary &summary, StageProgress &done,
                             const std::function<void(const StageProgress &)> &progress)
{
    QList<FileRecord> records;
    records.reserve(files.size());
    for (const ReleaseFile &file : files) {
        const FileRecord record = stageFile(file, options, building, deltaMaking, summary,
                                            [&](qint64 count) {
            throwIfInterrupted();
            done.bytesDone += count;
            if (progress)
                progress(done);
        });
        records.append(record);
        summary.totalSize += record.size;
        ++done.filesDone;
        if (progress)
            progress(done);
    }
    QDir(building.path()).mkpath(QStringLiteral("files"));
    QDir(building.path()).mkpath(QStringLiteral("packed"));
    return records;
}

/*
    The deltas are a saving, never a reason to refuse a release: those of the oldest bases go
    first until the manifest fits its bound. The blobs of the deltas dropped are removed.
*/
QList<DeltaRecord> deltasThatFit(DeltaMaking &deltaMaking, const QList<FileRecord> &records,
                                 const StageOptions &options, const PayloadMembers &members,
                                 StageSummary &summary)
{
    QList<DeltaRecord> deltas = deltaMaking.deltas;
    summary.deltasDropped = trimDeltasToFit(deltas, kManifestMaxBytes,
                                            [&](const QList<DeltaRecord> &kept) {
        return envelopeOf(payloadOf(records, options, members, kept), QByteArray(384, '\0'))
            .size();
    });
    deltaMaking.deltas = deltas;
    deltaMaking.removeUnlisted();
    for (const DeltaRecord &delta : std::as_const(deltas)) {
        ++summary.deltasMade;
        summary.deltaBytes += delta.entry.packedSize;
        summary.deltaWholeBytes += delta.wholePackedSize;
    }
    return deltas;
}

// The earlier releases are read and verified before the first file is packed.
void startDeltaMaking(std::optional<DeltaMaking> &deltaMaking, const StageOptions &options,
                      const SigningKey &key, const QString &stageDir, StageSummary &summary)
{
    summary.deltaFeedMissing = !channelInFeed(options.deltaBaseFeed, options.channel);
    QElapsedTimer clock;
    clock.start();
    deltaMaking.emplace(options, key, stageDir, summary);
    summary.deltaMilliseconds += clock.elapsed();
}

// The signed manifest, checked as the updater checks it against the key that signed: whatever
// it would refuse never leaves this tool.
QByteArray signedManifest(const QList<FileRecord> &records, const StageOptions &options,
                          const PayloadMembers &members, const QList<DeltaRecord> &deltas,
                          const SigningKey &key)
{
    const QByteArray payload = payloadOf(records, options, members, deltas);
    const QByteArray envelope = envelopeOf(payload, key.sign(payload));
    if (const auto made = loadUpdateManifest(envelope, UpdateSigningKey{key.modulusHex()});
        !made.ok())
        throw Texts::tr("the manifest made fails the updater's own check: %1")
            .arg(made.error().describe());
    return envelope;
}

/*
    The contents reach the disk before the stage appears under its name, so a crash never leaves
    a complete-looking stage with missing data.
*/
void moveIntoPlace(QTemporaryDir &building, PartialFolder &partial, const StageOptions &options)
{
    if (!os::flushFileSystem(osText(building.path())))
        throw Texts::tr("cannot flush %1 to disk").arg(building.path());
    // QDir::rename never replaces an existing directory, not even an empty one made meanwhile.
    if (!partial.finish([&] { return QDir().rename(building.path(), options.outDir); }))
        throw Texts::tr("cannot move the finished stage to %1 (does it exist now?)")
            .arg(options.outDir);
    building.setAutoRemove(false);
    os::flushDirectoryEntries(osText(QFileInfo(options.outDir).absolutePath()));
}

} // namespace

StageSummary stageRelease(const StageOptions &options,
                          const std::function<void(const StageProgress &)> &progress)
{
    // Everything that can refuse the release is checked before the first byte is written.
    checkOptions(options);
    const SigningKey key = signingKeyFor(options);
    const QList<ReleaseFile> files = scanRelease(options.releaseDir);
    checkAgainstUpdateRules(files);
    const PayloadMembers members = payloadMembersFor(options, key);
    checkManifestSize(files, options, members);
    checkPackedSizes(files);

    StageProgress done = progressTotals(files);
    if (progress)
        progress(done);

    const QFileInfo out(options.outDir);
    // The stage is built beside its final place (so the last rename stays on one file system)
    // and removed again by QTemporaryDir when anything fails on the way, a termination signal
    // included.
    throwIfInterrupted();
    QTemporaryDir building(out.absolutePath() + QStringLiteral("/.") + out.fileName()
                           + QStringLiteral(".partial-XXXXXX"));
    if (!building.isValid())
        throw Texts::tr("cannot create a folder beside %1: %2")
            .arg(options.outDir, building.errorString());
    PartialFolder partial(building.path());

    StageSummary summary;
    summary.expires = members.expires;
    summary.fallback = members.fallback;
    std::optional<DeltaMaking> deltaMaking;
    if (!options.deltaBaseFeed.isEmpty())
        startDeltaMaking(deltaMaking, options, key, building.path(), summary);
    const QList<FileRecord> records =
        stageFiles(files, options, building, deltaMaking, summary, done, progress);
    const QList<DeltaRecord> deltas = deltaMaking
        ? deltasThatFit(*deltaMaking, records, options, members, summary)
        : QList<DeltaRecord>();
    const QByteArray envelope = signedManifest(records, options, members, deltas, key);
    writeManifest(building.filePath(protocol::kManifestFileName), envelope);
    moveIntoPlace(building, partial, options);

    summary.filesInManifest = int(records.size());
    summary.manifestBytes = envelope.size();
    summary.modulusHex = key.modulusHex();
    return summary;
}

} // namespace vellumix::publish
