#include "stagefiles.h"

#include "osbridge.h"
#include "platform.h"
#include "stagefile.h"

#include <QDir>

#include <cstring>

namespace vellumix {

namespace {

UpdateFailure unsafe(const QString &detail)
{
    return {UpdateFailureReason::StagingUnsafe, detail};
}

bool isLink(const QString &path)
{
    return os::linkStatus(osText(QDir::toNativeSeparators(path))) == os::LinkStatus::Link;
}

} // namespace

UpdateFailure makeOrCheckStageDirectory(const QString &stage)
{
    const os::PrivateFolder folder = os::makeOrCheckPrivateFolder(osText(stage));
    switch (folder.status) {
    case os::PrivateFolderStatus::Private:
        return {};
    /*
        A folder made in the user's profile carries the profile's own access rules, which let no
        other user in; only links are refused here (a link to a folder is a reparse point, and
        making one needs a privilege that an ordinary user does not hold): the same as for a
        folder inside the stage.
    */
    case os::PrivateFolderStatus::ProfileRules:
        return makeStageSubdirectory(stage);
    case os::PrivateFolderStatus::CannotCreate:
        return {UpdateFailureReason::StagingWriteFailed,
                QStringLiteral("cannot create %1: %2")
                    .arg(stage, QString::fromLocal8Bit(std::strerror(folder.error)))};
    case os::PrivateFolderStatus::Link:
        return unsafe(QStringLiteral("%1 is a link").arg(stage));
    case os::PrivateFolderStatus::NotAFolder:
        return unsafe(QStringLiteral("%1 is not a folder").arg(stage));
    case os::PrivateFolderStatus::OtherOwner:
        return unsafe(QStringLiteral("%1 belongs to another user (%2)").arg(stage).arg(folder.owner));
    case os::PrivateFolderStatus::OpenToOthers:
        return unsafe(QStringLiteral("%1 may be written by other users (mode %2)")
                          .arg(stage)
                          .arg(folder.mode, 4, 8, QLatin1Char('0')));
    }
    return unsafe(QStringLiteral("%1 cannot be checked").arg(stage));
}

bool isOwnFile(const QFile &file)
{
    return os::isOwnedByCurrentUser(file.handle());
}

UpdateFailure makeStageSubdirectory(const QString &path)
{
    if (isLink(path))
        return unsafe(QStringLiteral("%1 is a link").arg(path));
    if (!QDir().mkpath(path))
        return {UpdateFailureReason::StagingWriteFailed, QStringLiteral("cannot create %1").arg(path)};
    return {};
}

} // namespace vellumix
