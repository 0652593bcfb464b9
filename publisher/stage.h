// Building a staging directory from a release folder: files/, packed/ and the signed
// manifest.json.
#pragma once

#include <QString>

#include <functional>

namespace vellumix::publish {

struct StageOptions
{
    QString releaseDir;   // the program root of the new version, as it is to be installed
    QString version;      // the payload's "version"
    qint64 sequence = 0;  // the payload's "sequence"
    QString notes;        // the payload's "notes"
    QString keyPath;      // PEM private key that signs the manifest
    QString outDir;       // the stage to create; must not exist yet
    QString installedDir; // optional: an installed program root; only files that differ are staged
};

struct StageProgress
{
    int filesDone = 0;
    int filesTotal = 0;
    qint64 bytesDone = 0;
    qint64 bytesTotal = 0;
};

struct StageSummary
{
    int filesInManifest = 0;
    int filesStaged = 0;
    qint64 totalSize = 0;     // sum of the content sizes of the manifest's files
    qint64 stagedBytes = 0;   // content bytes under files/
    qint64 manifestBytes = 0; // size of manifest.json
    QByteArray modulusHex;    // modulus of the signing key
};

// Checks the release against every rule the updater applies before writing anything, then
// builds the stage in a temporary sibling directory and renames it into place at the end: the
// stage exists complete or not at all. Throws a QString naming the offending file on refusal.
// `progress` is called as files and bytes are done.
StageSummary stageRelease(const StageOptions &options,
                          const std::function<void(const StageProgress &)> &progress = {});

} // namespace vellumix::publish
