// Whether a release being rolled out reaches this installation. Each installation draws a random
// id once (per program root and user); the id, hashed with the feed, the channel and the release's
// sequence, gives the installation a fixed place from 0 to 100 for that release. It takes the
// release while that place lies below the release's percentage, so an installation that is in at
// 10 % stays in at 50 %, and the places of two releases have nothing to do with each other.
#pragma once

#include <QString>

namespace vellumix {

// The installation's id, 32 lower-case hex digits: read from the user's data folder, or made and
// kept there the first time. Empty, with `error` set, when it can be neither read nor kept (the
// caller then treats the installation as outside every partial rollout).
QString installationId(const QString &programRoot, QString *error = nullptr);

// Where that id is kept: a file in the user's data folder named by a hash of the program root.
QString installationIdFile(const QString &programRoot);

// The installation's place for one release, in [0, 100).
double rolloutPosition(const QString &installationId, const QString &feed, const QString &channel,
                       qint32 sequence);

// Whether a place is inside a rollout at `percent`: 0 is nobody, 100 everybody.
inline bool insideRollout(double position, int percent)
{
    return percent >= 100 || (percent > 0 && position < double(percent));
}

// What an outcome report names the installation by: a one-way hash of its id, so reports can be
// counted once per installation without the id (and so the installation's place) travelling.
QString reportedInstallation(const QString &installationId);

} // namespace vellumix
