// The staging directory is the client's own, and nothing in it is followed through a link: its
// folder is made private to the user, a folder that others own or may write is refused, and each
// file in it is opened as itself. Whatever else is found at a file's place (a link, a device, a
// pipe, a file with a second name) is removed, never used: whoever could write into the stage
// must not be able to make the client write through it to a file elsewhere.
#pragma once

#include <vellumix/updatefailure.h>

#include "coreerror.h"

#include <QFile>
#include <QString>

namespace vellumix {

// Makes the stage folder (private to the user: 0700 where modes exist) with its parents, or checks
// the one that exists: a folder itself (no link), owned by the running user, writable by nobody
// else. Links above the stage are the system's business (a home folder reached through a link)
// and are not refused.
UpdateFailure makeOrCheckStageDirectory(const QString &stage);

// A folder inside the stage (files/, .download/): made when missing; a link at its place is refused.
UpdateFailure makeStageSubdirectory(const QString &path);

// True when `path` names a regular file with one name and no link: a file the client may use.
bool isPlainStageFile(const QString &path);
// True when the open file belongs to the running user (always on Windows, where the per-user
// folders carry the profile's own access rules).
bool isOwnFile(const QFile &file);

// Opens the stage file at `path` as itself (the last component never followed). With a write mode
// a missing file is made (0600). Anything but a plain file at the path is removed first and a new
// file made; `Truncate` empties the file only once it is known to be the stage's own. False, with
// the reason in `error`, when it cannot be opened.
bool openStageFile(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error);

inline UpdateFailure failed(UpdateFailureReason reason, const QString &detail)
{
    return {reason, detail};
}

// A refusal of the link guard (ensureSafePathBelow) as the failure of an unsafe stage.
inline UpdateFailure unsafeStage(const CoreError &refusal)
{
    return refusal.ok() ? UpdateFailure{}
                        : failed(UpdateFailureReason::StagingUnsafe, refusal.describe());
}

} // namespace vellumix
