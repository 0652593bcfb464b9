// Checking an existing stage the way the updater will: the manifest with the updater's own code,
// then every staged file against its digest and size.
#pragma once

#include "manifest.h"

#include <QStringList>

#include <optional>

namespace vellumix::publish {

struct StageReport
{
    UpdateManifest manifest;
    qint64 totalSize = 0;
    int filesStaged = 0; // entries with a copy under files/
    int filesPacked = 0; // entries with a packed form under packed/
    QStringList problems; // staged files that do not match, or do not belong; empty when sound
};

// Throws the updater's own text when it would refuse the manifest: the bounded read, the
// envelope or the payload. With `key`, the signature is checked against that key instead of the
// one compiled in. Problems with the staged files are listed in the report.
StageReport verifyStage(const QString &stageDir,
                        const std::optional<UpdateSigningKey> &key = std::nullopt);

} // namespace vellumix::publish
