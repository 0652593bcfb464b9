#include "updateprotocol.h"

#include <QRegularExpression>

namespace vellumix::protocol {

QString feedManifestPath(const QString &channel)
{
    return channel + u'/' + kManifestFileName;
}

QString feedReleasePath(const QString &channel, qint32 sequence)
{
    return channel + u'/' + kFeedReleasesFolder + u'/' + QString::number(sequence)
        + QStringLiteral(".json");
}

QString feedBlobPath(const QString &packedSha256)
{
    return kFeedBlobsFolder + u'/' + packedSha256;
}

bool isValidChannelName(const QString &channel)
{
    // "$" also matches before a final line break, which a channel name never holds.
    static const QRegularExpression pattern(QStringLiteral("^[a-z0-9-]{1,32}$"));
    return pattern.match(channel).hasMatch() && !channel.contains(u'\n')
        && channel != kFeedBlobsFolder;
}

bool isUnfinishedJournalState(QStringView state)
{
    return state == JournalState::installing || state == JournalState::starting
        || state == JournalState::rollbackNeeded;
}

} // namespace vellumix::protocol
