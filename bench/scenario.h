// The trees of the benchmark: a program root holding the old version of every data file, and a
// staging directory with the new version and its signed manifest.
#pragma once

#include <QList>
#include <QString>

namespace bench {

struct Scenario
{
    QString name;
    int files = 0;       // data files, all below "data/" in the program root
    qint64 minSize = 0;  // sizes are drawn evenly from [minSize, maxSize]
    qint64 maxSize = 0;
    int perDirectory = 0; // files per subdirectory of "data/"; 0 puts them all in "data/"
    bool changed = true; // false: the program root already holds the new version
};

// large, many, no-op and widest, in that order.
QList<Scenario> standardScenarios();

struct StagedUpdate
{
    qint64 dataBytes = 0; // the bytes of the data files of one version
    int manifestEntries = 0;
    qint64 manifestBytes = 0;
};

// Writes the staging directory `stage` (files/ and a manifest signed with the development key).
StagedUpdate writeStagedUpdate(const Scenario &scenario, const QString &stage);

// Replaces `root` with a program root holding the stand-in application (set to confirm at once),
// the updater, and the data files: the old version when the scenario changes them, the new one
// otherwise.
void writeProgramRoot(const Scenario &scenario, const QString &root);

// The build's updater and stand-in application.
QString updaterBinary();
QString sampleAppBinary();

} // namespace bench
