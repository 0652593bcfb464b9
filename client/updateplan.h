// What a check found, as the client itself keeps it: the verified manifest and the files of it to
// fetch. UpdateInfo shows the application its figures; a download works from the plan itself.
#pragma once

#include "manifest.h"

#include <vellumix/updatefailure.h>

#include <QList>

namespace vellumix {

class UpdatePlan
{
public:
    UpdateManifest manifest;          // verified; its envelope is staged last
    qint32 installedSequence = 0;
    bool available = false;           // newer than what is installed
    QList<ManifestFile> filesToFetch; // the files whose installed copy differs
    qint64 fetchPackedBytes = 0;      // what travels (a blob shared by several files once)
    qint64 fetchUnpackedBytes = 0;
    qint64 releaseBytes = 0;
    qint64 releasePackedBytes = 0;
};

// How a download ended, as the session reports it to the client.
struct DownloadReport
{
    UpdateFailure failure;
    qint64 bytesTransferred = 0;
    int filesFetched = 0;
    int filesAlreadyStaged = 0;
};

} // namespace vellumix
