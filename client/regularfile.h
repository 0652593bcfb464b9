// Opening a file that is not the client's own (an installed file, a blob of a feed folder) for
// reading, as what it is now: only a regular file is opened, and the open never waits.
#pragma once

#include <QFile>
#include <QString>

namespace vellumix {

enum class RegularFileOpen { Opened, Missing, NotAFile, Failed };

/*
    A pipe at the name would hold an open for reading until something writes to it, and a device
    could do anything: the open does not wait (O_NONBLOCK, which a regular file ignores) and the
    object opened is checked with fstat before a byte is read. With `followLink` false a link at
    the last component is not followed and counts as NotAFile. Nothing found is removed. On
    failure `error` holds the system's reason.
*/
RegularFileOpen openRegularFile(QFile &file, const QString &path, bool followLink, QString *error);

} // namespace vellumix
