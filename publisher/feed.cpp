#include "feed.h"
#include "publishtexts.h"
#include "numbertext.h"
#include "releaseinfo.h"
#include "signingkey.h"
#include "rollout.h"
#include "updateprotocol.h"
#include "verify.h"

#include "fileio.h"
#include "lockpolicy.h"
#include "osbridge.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

namespace vellumix::publish {

namespace {

constexpr qsizetype kReadChunk = 1024 * 1024;
constexpr int kNamesInMessage = 5;

using protocol::kFeedBlobsFolder;
const QString kLockName = QStringLiteral(".feed.lock");
// The program that takes the feed's lock, and how long a lock file that names no owner may be
// taken for one whose owner is still writing it (the lock file names its owner right after it has
// made the file; a publish killed in between leaves it empty).
const QString kToolProgram = QStringLiteral("vellumix-publish");
constexpr int kFeedLockSettleMs = 3000;
// FEED/<channel>/.published.json: which release `publish` last made the channel's current one
// ({"sequence": N, "sha256": digest of its manifest as published}). A name with a dot: it is the
// release tool's record, never served and never uploaded.
const QString kPublishedRecordName = QStringLiteral(".published.json");
const QString kRecordSequenceMember = QStringLiteral("sequence");
const QString kRecordSha256Member = QStringLiteral("sha256");
// A blob being written; renamed to its digest once its bytes are checked.
const QString kPartialPrefix = QStringLiteral(".publishing-");

bool isBlobName(const QString &name)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[0-9a-f]{64}")));
    return pattern.match(name).hasMatch();
}

/*
    Publish, refresh and prune on one feed must not overlap: a prune that reads the manifests
    while a publish has copied blobs but not yet written its manifest would remove those blobs,
    and the manifest written next would name files the feed no longer has. All three hold this
    lock, under the lock policy the updater's own lock follows (lockpolicy.h): a lock whose owner
    has ended or runs another program than vellumix-publish is taken over, and so is one that
    has named no owner for a few seconds (a publish killed before it had written its lock file);
    the age of a named lock never counts (a large publish takes long). Any other lock refuses,
    with what to do about it: wait for its owner, or remove the file when nothing runs. That
    includes a lock named by a process on another machine (a feed on a share), which cannot be
    looked up from here.
*/
void lockFeed(PolicyLock &lock, const QString &feedDir)
{
    const QString lockPath = lock.path();
    const LockPolicy policy{kToolProgram, kFeedLockSettleMs};
    if (lock.take(policy) == PolicyLock::Result::Taken)
        return;
    const LockFileOwner owner = inspectLockFile(lockPath, policy);
    const QString clear = Texts::tr("remove %1 once no publish, refresh or prune runs on this "
                                    "feed");
    switch (owner.state) {
    case LockFileState::NotAFile:
        throw Texts::tr("cannot lock the feed %1: %2 is not a lock file (a link, a folder or "
                        "a pipe stands at its name); %3")
            .arg(feedDir, owner.notAFile, clear.arg(owner.notAFile));
    case LockFileState::OtherHost:
        throw Texts::tr("the feed %1 is in use by process %2 on %3 (a publish, refresh or "
                        "prune on that machine, which cannot be checked from here); %4")
            .arg(feedDir)
            .arg(owner.processId)
            .arg(owner.host, clear.arg(lockPath));
    case LockFileState::Held:
    case LockFileState::Abandoned: // judged abandoned, yet a live process holds it
        if (owner.processId > 0)
            throw Texts::tr("the feed %1 is in use by process %2 on %3 (a publish, refresh "
                            "or prune); try again when it has ended, or %4")
                .arg(feedDir)
                .arg(owner.processId)
                .arg(owner.host, clear.arg(lockPath));
        [[fallthrough]];
    case LockFileState::Unsettled:
        throw Texts::tr("the feed %1 is locked by a process that holds %2 and has not named "
                        "itself in it (a publish, refresh or prune that is starting); try "
                        "again in a moment, or %3")
            .arg(feedDir, lockPath, clear.arg(lockPath));
    case LockFileState::Absent:
        break;
    }
    throw Texts::tr("cannot lock the feed %1: cannot create %2; check that this user may "
                    "write to the feed folder")
        .arg(feedDir, lockPath);
}

// True when the file at `path` holds exactly `size` bytes with the SHA-256 `digest`.
bool fileMatches(const QString &path, const QByteArray &digest, qint64 size)
{
    QFile file(path);
    if (os::linkStatus(osText(path)) != os::LinkStatus::NotALink || !file.open(QIODevice::ReadOnly)
        || file.size() != size)
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return false;
    return hash.result().toHex() == digest;
}

// A file being written under a temporary name; removed again unless it was renamed into place.
class PartialFile
{
public:
    explicit PartialFile(const QString &path) : m_file(path) {}
    ~PartialFile()
    {
        if (!m_done) {
            m_file.close();
            m_file.remove();
        }
    }
    QFile &file() { return m_file; }
    void setDone() { m_done = true; }

private:
    QFile m_file;
    bool m_done = false;
};

/*
    Copies the packed file `source` to the blob `target`: written under a temporary name in the
    same folder and checked, then renamed over the target, so the blob's name never stands for
    other bytes than its digest, not even for a moment. The copy is checked as it is written, so
    a stage that changes after it was verified cannot slip other bytes into the feed. The data is
    not flushed here: one flush of the file system covers every blob before the manifest is
    written.
*/
void copyBlob(const QString &source, const QString &label, const QString &target,
              const ManifestFile &entry)
{
    // `entry` gives the blob's digest and size (packedSha256, packedSize).
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        throw Texts::tr("cannot read %1: %2").arg(label, in.errorString());
    const QString partialName = QFileInfo(target).absolutePath() + u'/' + kPartialPrefix
        + QString::fromLatin1(entry.packedSha256) + u'-'
        + QString::number(QRandomGenerator::global()->generate64(), 16);
    PartialFile partial(partialName);
    QFile &out = partial.file();
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        throw Texts::tr("cannot create %1: %2").arg(partialName, out.errorString());

    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer(kReadChunk, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 count = in.read(buffer.data(), buffer.size());
        if (count < 0)
            throw Texts::tr("cannot read %1: %2").arg(label, in.errorString());
        if (count == 0)
            break;
        total += count;
        if (total > entry.packedSize)
            break; // longer than recorded: refused below without reading the rest
        hash.addData(QByteArrayView(buffer.constData(), count));
        if (out.write(buffer.constData(), count) != count)
            throw Texts::tr("cannot write %1: %2").arg(partialName, out.errorString());
    }
    if (!out.flush())
        throw Texts::tr("cannot write %1: %2").arg(partialName, out.errorString());
    out.close();
    if (total != entry.packedSize || hash.result().toHex() != entry.packedSha256)
        throw Texts::tr("%1 changed after it was verified; nothing of it reached the feed")
            .arg(label);

    std::error_code error;
    std::filesystem::rename(std::filesystem::path(partialName.toStdU16String()),
                            std::filesystem::path(target.toStdU16String()), error);
    if (error)
        throw Texts::tr("cannot rename %1 to %2: %3")
            .arg(partialName, target, QString::fromStdString(error.message()));
    partial.setDone();
}

// The durable atomic write's failures in the release tool's words; `linkRefusal` says why a link
// at the name is refused.
void replaceFeedFile(const QString &path, const QByteArray &contents, ModificationTime time,
                     const QString &linkRefusal)
{
    const AtomicWriteResult result = replaceFileAtomically(path, contents, time);
    switch (result.status) {
    case AtomicWriteResult::Written:
        return;
    case AtomicWriteResult::CannotCreateDirectory:
        throw Texts::tr("cannot create the folder %1").arg(QFileInfo(path).absolutePath());
    case AtomicWriteResult::LinkAtName:
        throw linkRefusal.arg(path);
    case AtomicWriteResult::CannotWrite:
        throw Texts::tr("cannot write %1: %2").arg(path, result.errorString);
    case AtomicWriteResult::CannotFlushDirectory:
        break;
    }
    throw Texts::tr("cannot flush the folder %1 to disk").arg(QFileInfo(path).absolutePath());
}

/*
    The manifest replaces the channel's previous one in one rename, its data on stable storage
    before the rename and the rename itself flushed after, so the channel names either the old
    release or the new one, also across a power cut.

    Web servers derive the validator of a static file (nginx's ETag, Last-Modified) from its
    modification time in whole seconds and its size. Two releases published within the same
    second with manifests of equal size would carry the same validator, and a cache revalidating
    the old one would be told it is still current. The new manifest's time is therefore made
    later than the old one's whenever the clock alone would not.
*/
void replaceManifest(const QString &path, const QByteArray &envelope)
{
    replaceFeedFile(path, envelope, ModificationTime::AfterPrevious,
                    Texts::tr("%1 is a symbolic link; a channel's manifest must be a plain "
                              "file"));
}

/*
    A channel's history keeps each manifest it published, byte for byte; a file there is never
    replaced. It is written under a temporary name and renamed (under the feed's lock, where its
    absence was checked), so a crash leaves no half-written release behind. The channel's record
    of its last published release is written the same way.
*/
void writeFileDurably(const QString &path, const QByteArray &envelope)
{
    replaceFeedFile(path, envelope, ModificationTime::AsWritten,
                    Texts::tr("%1 is a symbolic link; the release tool writes only plain "
                              "files into a feed"));
}

// Whether the channel's history file for this release is still to be written (false: it holds
// these very bytes). Refuses a link, or another release under the same sequence.
bool historyNeeded(const QString &path, const QByteArray &envelope, qint32 sequence)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (os::linkStatus(osText(path)) != os::LinkStatus::NotALink || !info.isFile())
        throw Texts::tr("%1 is not a plain file; the channel's history holds only the "
                        "manifests it published")
            .arg(path);
    QFile file(path);
    if (file.size() == envelope.size() && file.open(QIODevice::ReadOnly) && file.readAll() == envelope)
        return false;
    throw Texts::tr("%1 already holds another release with sequence %2; a channel's history "
                    "is never rewritten, so a sequence names one release only. Stage this "
                    "release with a new sequence")
        .arg(path)
        .arg(sequence);
}

QString listed(const QStringList &names)
{
    QString text = names.mid(0, kNamesInMessage).join(QStringLiteral(", "));
    if (names.size() > kNamesInMessage)
        text += Texts::tr(" and %1 more").arg(names.size() - kNamesInMessage);
    return text;
}

/*
    Whether `envelope` is a manifest that reads as one (a JSON object whose payload is base64 of a
    JSON object, with a signature in base64) and whose signature does not hold under `key` (the
    compiled-in key when none): a manifest signed by another key. Only a manifest that does not
    read as one at all is damaged beyond telling.
*/
bool isAnotherKeysManifest(const QByteArray &envelope, const std::optional<UpdateSigningKey> &key)
{
    const QJsonObject members = QJsonDocument::fromJson(envelope).object();
    const QJsonValue payloadText = members.value(QStringLiteral("payload"));
    const QJsonValue signatureText = members.value(QStringLiteral("signature"));
    if (!payloadText.isString() || !signatureText.isString())
        return false;
    const auto payload = QByteArray::fromBase64Encoding(payloadText.toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    const auto signature = QByteArray::fromBase64Encoding(signatureText.toString().toLatin1(),
                                                          QByteArray::AbortOnBase64DecodingErrors);
    if (!payload || !signature || signature.decoded.isEmpty()
        || !QJsonDocument::fromJson(payload.decoded).isObject())
        return false;
    return !verifyPayloadSignature(payload.decoded, signature.decoded,
                                   key ? *key : compiledInSigningKey());
}

// The channel's current release, or nothing when the channel has none yet.
std::optional<UpdateManifest> currentRelease(const QString &manifestPath,
                                             const std::optional<UpdateSigningKey> &key,
                                             bool allowSameOrLower, bool &unreadable)
{
    const QFileInfo info(manifestPath);
    if (!info.exists() && !info.isSymLink())
        return std::nullopt;
    QByteArray envelope;
    try {
        envelope = orRefuse(readFileLimited(manifestPath, kManifestMaxBytes));
        return orRefuse(key ? loadUpdateManifest(envelope, *key) : loadUpdateManifest(envelope));
    } catch (const QString &refusal) {
        /*
            The channel's clients trust the key that signed its current manifest. A stage signed
            by another key would be refused by every one of them, with or without a rollback, and
            its sequence would be spent in the channel's history: it is never published over a
            manifest of another key.
        */
        if (isAnotherKeysManifest(envelope, key))
            throw Texts::tr("the channel's current manifest %1 is signed by another key than "
                            "this stage; its clients trust that key and would refuse every "
                            "release signed with this one, so it is never replaced (also not "
                            "with --allow-same-or-lower). Stage the release with the key of "
                            "the channel's releases, or publish it into a new channel or feed")
                .arg(manifestPath);
        /*
            The channel's current sequence is unknown, so it cannot be shown that the new release
            is not a downgrade. Without the option that allows one, that doubt refuses the
            release; with it, the unreadable manifest is replaced like an older one.
        */
        if (!allowSameOrLower)
            throw Texts::tr("the channel's current manifest %1 cannot be read or verified "
                            "(%2); its sequence is unknown, so the release is refused. "
                            "--allow-same-or-lower replaces it anyway")
                .arg(manifestPath, refusal);
        unreadable = true;
        return std::nullopt;
    }
}

// The same release: the same sequence, version, notes, files, deltas, fallback and reports
// address. The expiry, the channel, the rollout's percentage and the critical mark are left out:
// refresh and rollout change them.
bool sameRelease(const FeedRelease &a, const FeedRelease &b)
{
    const UpdateManifest &x = a.manifest;
    const UpdateManifest &y = b.manifest;
    bool same = x.sequence == y.sequence && x.version == y.version && x.notes == y.notes
        && x.files.size() == y.files.size() && a.extras.deltas == b.extras.deltas
        && a.extras.fallback == b.extras.fallback && a.extras.reports == b.extras.reports;
    for (qsizetype i = 0; same && i < x.files.size(); ++i) {
        const ManifestFile &f = x.files.at(i);
        const ManifestFile &g = y.files.at(i);
        same = f.path == g.path && f.sha256 == g.sha256 && f.size == g.size
            && f.packedSha256 == g.packedSha256 && f.packedSize == g.packedSize;
    }
    return same;
}

QString publishedRecordPath(const QString &manifestPath)
{
    return QFileInfo(manifestPath).absolutePath() + u'/' + kPublishedRecordName;
}

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray publishedRecordOf(const UpdateManifest &manifest)
{
    const QJsonObject record{{kRecordSequenceMember, manifest.sequence},
                             {kRecordSha256Member, QString::fromLatin1(sha256Hex(manifest.envelope))}};
    return QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
}

struct PublishedRecord
{
    qint32 sequence = 0;
    QByteArray sha256; // of the manifest as it was published, which its history file holds
};

// The channel's record of its last published release; nothing when the channel has none (it was
// last published by a tool that kept none). Throws when it is there but cannot be read.
std::optional<PublishedRecord> readPublishedRecord(const QString &path)
{
    std::string bytes;
    switch (os::readRegularFile(osText(path), 4096, os::LinkAtName::Refuse, bytes)) {
    case os::FileRead::Missing:
        return std::nullopt;
    case os::FileRead::Read: {
        const QJsonObject record =
            QJsonDocument::fromJson(QByteArray::fromStdString(bytes)).object();
        const QJsonValue sequence = record.value(kRecordSequenceMember);
        const QByteArray digest = record.value(kRecordSha256Member).toString().toLatin1();
        static const QRegularExpression hex(QString::fromLatin1(kManifestDigestPattern));
        const int value = sequence.toInt(0);
        if (sequence.isDouble() && value >= kManifestMinSequence && value <= kManifestMaxSequence
            && hex.match(QString::fromLatin1(digest)).hasMatch())
            return PublishedRecord{value, digest};
        break;
    }
    case os::FileRead::NotAFile:
    case os::FileRead::TooLarge:
    case os::FileRead::Failed:
        break;
    }
    throw Texts::tr("%1, the record of the release last published into the channel, cannot "
                    "be read; publish the release the channel is to offer again (with "
                    "--allow-same-or-lower if it is the current one), which writes it anew")
        .arg(path);
}

// The signed states kept beside a release's history file: "<sequence>.signed-<n>.json", n from 1.
QString signedStatePath(const QString &historyPath, qint32 sequence, int n)
{
    return QFileInfo(historyPath).absolutePath()
        + QStringLiteral("/%1.signed-%2.json").arg(sequence).arg(n);
}

// The state a release was last signed in after it was published, verified: the kept state with
// the greatest n; nothing when it was never signed again.
std::optional<FeedRelease> lastSignedState(const QString &historyPath, qint32 sequence,
                                           const std::optional<UpdateSigningKey> &key)
{
    int last = 0;
    while (QFileInfo::exists(signedStatePath(historyPath, sequence, last + 1)))
        ++last;
    if (last == 0)
        return std::nullopt;
    return loadFeedRelease(signedStatePath(historyPath, sequence, last), key, sequence);
}

/*
    The stage exactly as `verify` sees it; the bytes it verified are the ones published. Its
    deltas are applied to their bases when the feed holds them. Names the channel in `options`
    when it was left to the stage, and refuses a stage not signed for it.
*/
StageReport verifiedStage(PublishOptions &options)
{
    if (!options.channel.isEmpty() && !protocol::isValidChannelName(options.channel))
        throw Texts::tr("the channel name \"%1\" is not %2")
            .arg(options.channel, protocol::kChannelNameRule);

    StageReport report;
    try {
        report = verifyStage(options.stageDir, options.key,
                             QFileInfo(options.feedDir).isDir() ? options.feedDir : QString());
    } catch (const QString &refusal) {
        throw Texts::tr("the stage %1 is refused: %2")
            .arg(options.stageDir, refusal);
    }
    if (!report.problems.isEmpty())
        throw Texts::tr("the stage %1 is refused: %2")
            .arg(options.stageDir, report.problems.join(QStringLiteral("; ")));

    if (options.channel.isEmpty())
        options.channel = report.extras.channel.isEmpty() ? protocol::kDefaultChannel
                                                          : report.extras.channel;
    if (!isSignedForChannel(report.extras, options.channel)) {
        if (report.extras.channel.isEmpty())
            throw Texts::tr("the stage %1 names no channel (an older vellumix-publish made "
                            "it), so it is taken as made for \"%2\" only; stage it again "
                            "with --channel %3")
                .arg(options.stageDir, protocol::kDefaultChannel, options.channel);
        throw Texts::tr("the stage %1 was signed for the channel \"%2\"; clients of \"%3\" "
                        "would refuse it")
            .arg(options.stageDir, report.extras.channel, options.channel);
    }
    return report;
}

/*
    The channel offers this very release already when its manifest is the stage's, or the
    stage's signed again since (a new share or a halt by rollout, a new expiry by refresh): a
    retried job then leaves the manifest as it is, so a halt holds. A sequence names one
    release, so another release under the current sequence is never published over it; the
    rollback option is for an older release only. Answers whether the channel offers the release
    already.
*/
bool checkAgainstCurrent(const PublishOptions &options, const FeedRelease &staged,
                         PublishSummary &summary)
{
    const UpdateManifest &manifest = staged.manifest;
    const std::optional<UpdateManifest> current = currentRelease(
        summary.manifestPath, options.key, options.allowSameOrLower, summary.previousUnreadable);
    if (!current)
        return false;
    summary.previousSequence = current->sequence;
    const bool offeredAlready = current->envelope == manifest.envelope
        || (current->sequence == manifest.sequence
            && sameRelease(FeedRelease{summary.manifestPath, *current, readReleaseExtras(*current)},
                           staged));
    summary.unchanged = offeredAlready;
    if (current->sequence == manifest.sequence && !offeredAlready)
        throw Texts::tr("the channel \"%1\" offers another release under sequence %2; a "
                        "sequence names one release, so it is not replaced (also not with "
                        "--allow-same-or-lower, which is for a rollback to an older "
                        "release). Stage this release with a greater sequence")
            .arg(options.channel)
            .arg(manifest.sequence);
    if (current->sequence > manifest.sequence && !options.allowSameOrLower)
        throw Texts::tr("the channel \"%1\" is at sequence %2; a release with sequence "
                        "%3 would not be offered to its users. Publish a greater "
                        "sequence, or pass --allow-same-or-lower for a deliberate "
                        "rollback to this older release")
            .arg(options.channel)
            .arg(current->sequence)
            .arg(manifest.sequence);
    return offeredAlready;
}

/*
    A release that was signed again while it was current (a share, a halt, a critical mark, a
    new expiry) comes back in the state it was last signed in, not as it was staged: a rollback
    to it, or a release halted, rolled back from and published again, never undoes its
    rollout's state. That state's expiry must still hold, or its clients would refuse it.
    Answers the manifest the channel is to offer.
*/
QByteArray channelEnvelopeFor(const QDir &feed, const PublishOptions &options,
                              const FeedRelease &staged, PublishSummary &summary)
{
    const UpdateManifest &manifest = staged.manifest;
    const std::optional<FeedRelease> signedLast = lastSignedState(
        feed.filePath(protocol::feedReleasePath(options.channel, manifest.sequence)),
        manifest.sequence, options.key);
    if (!signedLast || !sameRelease(*signedLast, staged))
        return manifest.envelope;
    if (signedLast->extras.expires && *signedLast->extras.expires <= QDateTime::currentDateTimeUtc())
        throw Texts::tr("sequence %1 was last signed as %2, whose expiry (%3) has passed; "
                        "publishing it would hand its clients a manifest they refuse, and "
                        "its stage would undo the rollout state signed since. Stage the "
                        "release again with a greater sequence")
            .arg(manifest.sequence)
            .arg(signedLast->file, expiryText(*signedLast->extras.expires));
    summary.signedStatePath = signedLast->file;
    return signedLast->manifest.envelope;
}

// The fallback a release names is offered from this feed's history: it must be there, as
// signed then, or the installations outside the rollout would be offered nothing.
void checkFallbackInFeed(const QDir &feed, const QString &channel, const ReleaseExtras &extras)
{
    const auto &fallback = extras.fallback;
    if (!fallback)
        return;
    const QString path = feed.filePath(protocol::feedReleasePath(channel, fallback->sequence));
    const CoreResult<QByteArray> bytes = readFileLimited(path, kManifestMaxBytes);
    if (bytes.ok() && sha256Hex(*bytes) == fallback->historySha256)
        return;
    const bool missing = !QFileInfo(path).exists() && !QFileInfo(path).isSymLink();
    throw Texts::tr("the stage names sequence %1 of the channel \"%2\" as its "
                    "fallback, but %3 %4; stage it again with --delta-base naming "
                    "this feed")
        .arg(fallback->sequence)
        .arg(channel, path,
             bytes.ok()  ? Texts::tr("holds other bytes")
             : missing   ? Texts::tr("is not there")
                         : Texts::tr("cannot be read (%1)").arg(bytes.error().describe()));
}

struct Blob
{
    ManifestFile digestAndSize; // its packedSha256 and packedSize
    QString label;              // where it lies in the stage
};

struct PlannedBlob
{
    Blob blob;
    bool present; // in the feed with other bytes: replaced
};

// Every blob the manifest names: its packed files, then its deltas.
QList<Blob> blobsOf(const UpdateManifest &manifest, const ReleaseExtras &extras)
{
    QList<Blob> blobs;
    for (const ManifestFile &entry : manifest.files)
        blobs.append({entry, QStringLiteral("packed/") + entry.path});
    for (const DeltaEntry &delta : std::as_const(extras.deltas)) {
        ManifestFile digestAndSize;
        digestAndSize.packedSha256 = delta.packedSha256;
        digestAndSize.packedSize = delta.packedSize;
        blobs.append({digestAndSize, QStringLiteral("deltas/") + QString::fromLatin1(delta.packedSha256)});
    }
    return blobs;
}

/*
    Every blob the manifest names, packed files and deltas, has to be in the feed before the
    manifest is. A stage made with --installed holds no packed form of the files that did not
    change; those count only when the feed already has them with the right bytes (from an
    earlier release). Everything is planned, and anything missing refused, before the first
    blob is written.
*/
QList<PlannedBlob> planBlobs(const QDir &feed, const QString &stageDir, const QList<Blob> &blobs,
                             PublishSummary &summary)
{
    QList<PlannedBlob> toWrite;
    QStringList missing;
    QSet<QByteArray> seen;
    for (const Blob &blob : blobs) {
        const ManifestFile &entry = blob.digestAndSize;
        if (seen.contains(entry.packedSha256))
            continue;
        seen.insert(entry.packedSha256);
        if (blob.label.startsWith(QStringLiteral("deltas/")))
            ++summary.deltaBlobs;
        const QString target = feed.filePath(protocol::feedBlobPath(QString::fromLatin1(entry.packedSha256)));
        if (fileMatches(target, entry.packedSha256, entry.packedSize)) {
            ++summary.blobsKept;
            summary.bytesKept += entry.packedSize;
            continue;
        }
        if (!QFileInfo(stageDir + u'/' + blob.label).isFile()) {
            missing << blob.label.mid(blob.label.indexOf(u'/') + 1);
            continue;
        }
        toWrite.append({blob, QFileInfo(target).exists() || QFileInfo(target).isSymLink()});
    }
    if (!missing.isEmpty())
        throw Texts::tr("the stage has no packed form of %1 and the feed holds no blob "
                        "with the right bytes for it; a stage made with --installed leaves "
                        "unchanged files out: publish it into the feed that holds the "
                        "installed release, or stage without --installed")
            .arg(listed(missing));
    return toWrite;
}

void writeBlobs(const QDir &feed, const QString &stageDir, const QList<PlannedBlob> &toWrite,
                PublishSummary &summary)
{
    if (!QDir().mkpath(feed.filePath(kFeedBlobsFolder)))
        throw Texts::tr("cannot create the folder %1").arg(feed.filePath(kFeedBlobsFolder));
    for (const PlannedBlob &planned : toWrite) {
        const ManifestFile &entry = planned.blob.digestAndSize;
        copyBlob(stageDir + u'/' + planned.blob.label, planned.blob.label,
                 feed.filePath(protocol::feedBlobPath(QString::fromLatin1(entry.packedSha256))), entry);
        ++(planned.present ? summary.blobsReplaced : summary.blobsCopied);
        summary.bytesWritten += entry.packedSize;
    }
    // The blobs and their names reach the disk before the manifest that names them.
    if (!toWrite.isEmpty() && !os::flushFileSystem(osText(feed.filePath(kFeedBlobsFolder))))
        throw Texts::tr("cannot flush the blobs in %1 to disk").arg(feed.filePath(kFeedBlobsFolder));
}

/*
    The history before the manifest: a release that was ever current is in the history. The
    record of the channel's last published release comes next, so that refresh signs this
    release again and no other; a crash between the record and the manifest leaves refresh
    refusing the channel until the publish is run again.
*/
void writeHistoryRecordAndManifest(const QByteArray &channelEnvelope, bool offeredAlready,
                                   bool blobsWritten, PublishSummary &summary)
{
    const UpdateManifest &manifest = summary.manifest;
    if (summary.historyWritten)
        writeFileDurably(summary.historyPath, manifest.envelope);
    // The same release again: the manifest and its record stay as they are (not even touched, so
    // a web server's validators stay the same), unless the record is missing or names another.
    const QString recordPath = publishedRecordPath(summary.manifestPath);
    const std::optional<PublishedRecord> record = readPublishedRecord(recordPath);
    const bool recordCurrent = record && record->sequence == manifest.sequence
        && record->sha256 == sha256Hex(manifest.envelope);
    summary.unchanged = summary.unchanged && !blobsWritten && !summary.historyWritten
        && recordCurrent;
    if (!recordCurrent)
        writeFileDurably(recordPath, publishedRecordOf(manifest));
    if (!offeredAlready)
        replaceManifest(summary.manifestPath, channelEnvelope);
}

} // namespace

PublishSummary publishStage(const PublishOptions &given)
{
    PublishOptions options = given;
    const StageReport report = verifiedStage(options);

    PublishSummary summary;
    summary.channel = options.channel;
    summary.manifest = report.manifest;
    summary.deltasChecked = report.deltasChecked;
    summary.deltasUnchecked = report.deltasUnchecked;
    const UpdateManifest &manifest = summary.manifest;

    const QDir feed(options.feedDir);
    if (!QDir().mkpath(feed.path()))
        throw Texts::tr("cannot create the feed folder %1").arg(feed.path());
    PolicyLock lock(feed.filePath(kLockName));
    lockFeed(lock, options.feedDir);

    summary.manifestPath = feed.filePath(protocol::feedManifestPath(options.channel));
    const FeedRelease staged{options.stageDir, manifest, report.extras};
    const bool offeredAlready = checkAgainstCurrent(options, staged, summary);
    const QByteArray channelEnvelope =
        offeredAlready ? manifest.envelope : channelEnvelopeFor(feed, options, staged, summary);
    checkFallbackInFeed(feed, options.channel, report.extras);

    summary.historyPath =
        feed.filePath(protocol::feedReleasePath(options.channel, manifest.sequence));
    summary.historyWritten = historyNeeded(summary.historyPath, manifest.envelope, manifest.sequence);

    const QList<PlannedBlob> toWrite =
        planBlobs(feed, options.stageDir, blobsOf(manifest, report.extras), summary);
    writeBlobs(feed, options.stageDir, toWrite, summary);
    writeHistoryRecordAndManifest(channelEnvelope, offeredAlready, !toWrite.isEmpty(), summary);
    return summary;
}

namespace {

// The path of the next kept signed state of a release: "<sequence>.signed-<n>.json" beside its
// history file, n counting from 1. Only the history file "<sequence>.json" is a release of the
// history; these record each manifest the channel offered for it since.
QString nextSignedStatePath(const QString &historyPath, qint32 sequence)
{
    for (int n = 1;; ++n) {
        const QString path = signedStatePath(historyPath, sequence, n);
        if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
            return path;
    }
}

struct Resigned
{
    FeedRelease before;
    UpdateManifest manifest;
    QString manifestPath;
    QString keptPath; // the signed state kept beside the history; empty when nothing changed
};

/*
    Signs the channel's current release again with `change` applied to its payload, for refresh and
    rollout. Only the release last published into the channel is signed again. A manifest of an
    older release copied over the channel's (a restored backup, a mistaken upload) is validly
    signed, but signing it again with a fresh expiry or a larger share would hand the clients that
    old release again, which is what the expiry is there to prevent. A feed last published by a
    tool that kept no record has its greatest sequence in the history taken instead. `change`
    answers false when the payload needs no new signature.
*/
Resigned resignCurrentRelease(const QString &feedDir, const QString &channel,
                              const QString &keyPath, const QString &command,
                              const std::function<bool(QJsonObject &, const FeedRelease &)> &change)
{
    const SigningKey key = SigningKey::fromFile(keyPath);
    if (!key.isPrivate())
        throw Texts::tr("%1 holds only a public key; signing needs the private key")
            .arg(keyPath);
    const UpdateSigningKey publicKey{key.modulusHex()};
    const QDir feed(feedDir);
    if (!QFileInfo(feedDir).isDir())
        throw Texts::tr("the feed %1 does not exist").arg(feedDir);
    PolicyLock lock(feed.filePath(kLockName));
    lockFeed(lock, feedDir);

    Resigned result;
    result.manifestPath = feed.filePath(protocol::feedManifestPath(channel));
    const QFileInfo info(result.manifestPath);
    if (!info.exists() && !info.isSymLink())
        throw Texts::tr("the channel \"%1\" has no manifest in %2; there is nothing to %3")
            .arg(channel, feedDir, command);
    const FeedRelease current = loadFeedRelease(result.manifestPath, publicKey);
    result.before = current;
    if (!current.extras.channel.isEmpty() && current.extras.channel != channel)
        throw Texts::tr("%1 was signed for the channel \"%2\"; it is not re-signed for "
                        "\"%3\"")
            .arg(result.manifestPath, current.extras.channel, channel);
    const std::optional<PublishedRecord> record =
        readPublishedRecord(publishedRecordPath(result.manifestPath));
    const QList<qint32> history = releaseHistory(feedDir, channel);
    if (!record && history.isEmpty())
        throw Texts::tr("the channel \"%1\" keeps no record of the release last published "
                        "into it, and no history; publish the release it is to offer "
                        "again, then %2")
            .arg(channel, command);
    const qint32 published = record ? record->sequence : history.first();
    const QString historyPath = feed.filePath(protocol::feedReleasePath(channel, published));
    if (current.manifest.sequence != published)
        throw Texts::tr("%1 holds sequence %2, but the release last published into the "
                        "channel \"%3\" is sequence %4%5; %6 signs only that release "
                        "again. Publish the release the channel is to offer (an older one "
                        "with --allow-same-or-lower), then %6")
            .arg(result.manifestPath)
            .arg(current.manifest.sequence)
            .arg(channel)
            .arg(published)
            .arg(record ? QString()
                        : Texts::tr(" (the greatest in its history; no record of the last "
                                    "publish was kept)"),
                 command);
    const FeedRelease publishedRelease = loadFeedRelease(historyPath, publicKey, published);
    if ((record && sha256Hex(publishedRelease.manifest.envelope) != record->sha256)
        || !sameRelease(publishedRelease, current))
        throw Texts::tr("%1 does not hold the release that was published into the channel "
                        "\"%2\" under sequence %3 (%4); %5 signs only that release "
                        "again. Publish it again (--allow-same-or-lower), then %5")
            .arg(result.manifestPath, channel)
            .arg(published)
            .arg(historyPath, command);

    // The payload as it was signed, with only the change (and a missing channel) applied.
    QJsonObject payload = QJsonDocument::fromJson(payloadBytesOf(current.manifest)).object();
    if (!change(payload, current)) {
        result.manifest = current.manifest;
        return result;
    }
    payload.insert(protocol::kPayloadChannelMember, channel);
    const QByteArray bytes = QJsonDocument(payload).toJson(QJsonDocument::Compact);
    const QByteArray envelope = envelopeOf(bytes, key.sign(bytes));
    try {
        result.manifest = orRefuse(loadUpdateManifest(envelope, publicKey));
        const FeedRelease after{result.manifestPath, result.manifest,
                                readReleaseExtras(result.manifest)};
        if (!sameRelease(current, after))
            throw Texts::tr("it does not name the same release");
    } catch (const QString &refusal) {
        throw Texts::tr("the re-signed manifest fails its check (%1); the channel is left "
                        "as it was")
            .arg(refusal);
    }
    // Every state the channel offered stays on record beside the history, which is never
    // rewritten; the record reaches the disk before the manifest changes.
    result.keptPath = nextSignedStatePath(historyPath, published);
    writeFileDurably(result.keptPath, envelope);
    replaceManifest(result.manifestPath, envelope);
    return result;
}

} // namespace

RefreshSummary refreshChannel(const RefreshOptions &options)
{
    checkChannelAndExpiry(options.channel, options.expiresInDays, false);
    RefreshSummary summary;
    summary.expires = expiryAfterDays(options.expiresInDays);
    const Resigned resigned = resignCurrentRelease(
        options.feedDir, options.channel, options.keyPath, QStringLiteral("refresh"),
        [&](QJsonObject &payload, const FeedRelease &) {
            payload.insert(protocol::kPayloadExpiresMember, expiryText(summary.expires));
            return true;
        });
    summary.previousExpiry = resigned.before.extras.expires;
    summary.manifest = resigned.manifest;
    summary.manifestPath = resigned.manifestPath;
    return summary;
}

RolloutSummary setRollout(const RolloutOptions &options)
{
    checkChannelAndExpiry(options.channel, 0, true);
    if (options.percent && (*options.percent < 0 || *options.percent > 100))
        throw Texts::tr("a rollout's percentage is 0 to 100, not %1").arg(*options.percent);
    RolloutSummary summary;
    const Resigned resigned = resignCurrentRelease(
        options.feedDir, options.channel, options.keyPath, QStringLiteral("rollout"),
        [&](QJsonObject &payload, const FeedRelease &current) {
            if (options.expectedPercent && current.extras.percent() != *options.expectedPercent)
                throw Texts::tr("the rollout of sequence %1 changed from %2% to %3% while its "
                                "reports were read (another rollout ran); nothing was signed")
                    .arg(current.manifest.sequence)
                    .arg(*options.expectedPercent)
                    .arg(current.extras.percent());
            summary.percent = options.percent.value_or(current.extras.percent());
            summary.critical = current.extras.critical || options.critical;
            const bool newPercent = summary.percent != current.extras.percent();
            const bool newlyCritical = summary.critical != current.extras.critical;
            if (!newPercent && !newlyCritical)
                return false;
            if (newPercent) {
                // The new step's evidence is what is logged from now on: "since" is its start.
                const QDateTime now = QDateTime::fromSecsSinceEpoch(
                    QDateTime::currentSecsSinceEpoch()).toUTC();
                summary.since = now;
                payload.insert(protocol::kPayloadRolloutMember,
                               QJsonObject{{protocol::kRolloutPercentMember, summary.percent},
                                           {protocol::kRolloutSinceMember, expiryText(now)}});
            }
            if (newlyCritical)
                payload.insert(protocol::kPayloadCriticalMember, true);
            return true;
        });
    summary.previousPercent = resigned.before.extras.percent();
    summary.previousCritical = resigned.before.extras.critical;
    summary.manifest = resigned.manifest;
    summary.manifestPath = resigned.manifestPath;
    summary.keptPath = resigned.keptPath;
    if (!summary.since)
        summary.since = resigned.before.extras.rolloutSince;
    return summary;
}

std::optional<FeedRelease> lastStateOf(const QString &feedDir, const QString &channel,
                                       qint32 sequence, const std::optional<UpdateSigningKey> &key)
{
    const QString historyPath = QDir(feedDir).filePath(protocol::feedReleasePath(channel, sequence));
    if (!QFileInfo::exists(historyPath))
        return std::nullopt;
    if (std::optional<FeedRelease> signedLast = lastSignedState(historyPath, sequence, key))
        return signedLast;
    return loadFeedRelease(historyPath, key, sequence);
}

FeedRelease currentFeedRelease(const QString &feedDir, const QString &channel,
                               const std::optional<UpdateSigningKey> &key)
{
    return loadFeedRelease(QDir(feedDir).filePath(protocol::feedManifestPath(channel)), key);
}

int currentRolloutPercent(const QString &feedDir, const QString &channel,
                          const std::optional<UpdateSigningKey> &key, qint32 *sequence)
{
    const FeedRelease current = currentFeedRelease(feedDir, channel, key);
    if (sequence)
        *sequence = current.manifest.sequence;
    return current.extras.percent();
}

PruneSummary pruneFeed(const QString &feedDir, const std::optional<UpdateSigningKey> &key, int keep,
                       bool dryRun)
{
    if (keep < 0)
        throw Texts::tr("--keep is a number of releases, not %1").arg(keep);
    const QDir feed(feedDir);
    if (!QFileInfo(feedDir).isDir())
        throw Texts::tr("the feed %1 does not exist").arg(feedDir);
    PolicyLock lock(feed.filePath(kLockName));
    lockFeed(lock, feedDir);

    /*
        Every manifest first: one that cannot be read leaves the blobs it names unknown. Kept are
        the blobs of each channel's current manifest and of its last `keep` releases in the
        history, packed files and deltas alike, so a client a few releases behind still finds
        its deltas. A blob that only an older history release names is removed; the history
        file itself stays as the record of what was published.
    */
    PruneSummary summary;
    QSet<QByteArray> named;
    QSet<QByteArray> namedByCurrent; // these must be there; older releases' blobs may be gone
    auto name = [](const FeedRelease &release, QSet<QByteArray> &into) {
        for (const ManifestFile &entry : release.manifest.files)
            into.insert(entry.packedSha256);
        for (const DeltaEntry &delta : release.extras.deltas)
            into.insert(delta.packedSha256);
    };
    const QStringList folders =
        feed.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString &folder : folders) {
        if (folder == kFeedBlobsFolder)
            continue;
        try {
            const QString path = feed.filePath(protocol::feedManifestPath(folder));
            const QFileInfo info(path);
            if (info.exists() || info.isSymLink()) {
                const FeedRelease current = loadFeedRelease(path, key);
                name(current, namedByCurrent);
                summary.channels << folder;
                // The fallback is offered beside the current release: its blobs are as needed.
                if (current.extras.fallback) {
                    const qint32 sequence = current.extras.fallback->sequence;
                    name(loadFeedRelease(feed.filePath(protocol::feedReleasePath(folder, sequence)),
                                         key, sequence),
                         namedByCurrent);
                }
            }
            const QList<qint32> history = releaseHistory(feedDir, folder).mid(0, keep);
            for (const qint32 sequence : history) {
                const QString file = feed.filePath(protocol::feedReleasePath(folder, sequence));
                name(loadFeedRelease(file, key, sequence), named);
                ++summary.releasesKept;
            }
        } catch (const QString &refusal) {
            throw Texts::tr("%1; nothing was removed, since the blobs it names are unknown")
                .arg(refusal);
        }
    }
    named.unite(namedByCurrent);
    if (summary.channels.isEmpty())
        throw Texts::tr("the feed %1 has no channel manifest; nothing was removed (a feed "
                        "without any is more likely the wrong folder than an empty one)")
            .arg(feedDir);

    const QDir blobs(feed.filePath(kFeedBlobsFolder));
    QSet<QByteArray> present;
    const QFileInfoList entries = blobs.entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo &info : entries) {
        const QString name = info.fileName();
        const bool plainFile = info.isFile() && !info.isSymLink();
        if (plainFile && isBlobName(name)) {
            present.insert(name.toLatin1());
            if (named.contains(name.toLatin1())) {
                ++summary.blobsKept;
                summary.bytesKept += info.size();
                continue;
            }
            const qint64 size = info.size();
            if (!dryRun && !QFile::remove(info.filePath()))
                throw Texts::tr("cannot remove %1").arg(info.filePath());
            summary.removed << name;
            ++summary.blobsRemoved;
            summary.bytesRemoved += size;
        } else if (plainFile && name.startsWith(kPartialPrefix)) {
            // Left by a publish that was interrupted: the lock shows none is running now.
            if (!dryRun && !QFile::remove(info.filePath()))
                throw Texts::tr("cannot remove %1").arg(info.filePath());
            ++summary.leftoversRemoved;
        } else {
            summary.leftAlone << name;
        }
    }
    for (const QByteArray &digest : std::as_const(namedByCurrent)) {
        if (!present.contains(digest))
            summary.missingBlobs << QString::fromLatin1(digest);
    }
    summary.missingBlobs.sort();
    if (summary.blobsRemoved + summary.leftoversRemoved > 0
        && !os::flushDirectoryEntries(osText(blobs.path())))
        throw Texts::tr("cannot flush the folder %1 to disk").arg(blobs.path());
    return summary;
}

} // namespace vellumix::publish
