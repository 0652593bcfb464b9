#pragma once

#include "coreerror.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace vellumix {

// Reads a whole file that is at most `maxBytes` long; a larger file is refused without being read
// (TooLarge), one that cannot be opened or read is CannotRead.
CoreResult<QByteArray> readFileLimited(const QString &path, qint64 maxBytes);

// The bytes of a small file, read only when a regular file stands at `path`: opened as itself (a
// link at its name is not followed) and never waited on (a pipe). None for anything else, and for
// a file larger than `maxBytes` or one that cannot be read.
std::optional<QByteArray> readRegularFileOnly(const QString &path, qint64 maxBytes);

// The one durable atomic write of the project, for every program that writes a file others rely
// on (the updater's journal and records, the client's records and stage, the release tool's
// manifests and feed). It answers which step failed, so that each program says so in its own
// words; writeFileAtomic below answers the same as a CoreError.
struct AtomicWriteResult
{
    enum Status {
        Written,
        CannotCreateDirectory, // the holding directory is missing and cannot be made
        LinkAtName,            // a symbolic link stands at the file's name (nothing is written)
        CannotWrite,           // the new contents could not be written or put in place
        CannotFlushDirectory,  // in place, but the directory entry may not be on stable storage
    };
    Status status = Written;
    QString errorString; // CannotWrite: what the file system said

    bool ok() const { return status == Written; }
};

// Whether the replaced file's modification time may come out equal to the previous file's.
enum class ModificationTime {
    AsWritten,
    // Later than the previous file's in whole seconds, also when the clock alone would not make
    // it so (see the release tool's channel manifest, whose validators web servers derive from it)
    AfterPrevious,
};

// Replaces the file at `path` with `contents` so that it holds either its previous contents or
// all of the new ones, never a mixture, also across a crash or a power cut. Creates the holding
// directory when it is missing.
AtomicWriteResult replaceFileAtomically(const QString &path, const QByteArray &contents,
                                        ModificationTime time = ModificationTime::AsWritten);

// replaceFileAtomically, its failure as a CoreError (CannotCreateDirectory, LinkAtName,
// CannotWrite; a directory entry that may not be on stable storage is CannotWrite too).
CoreError writeFileAtomic(const QString &path, const QByteArray &contents);

// Lower-case hex SHA-256 of a file's content, read as a stream; empty when the file cannot be
// read, so that it never equals a real digest.
QByteArray fileSha256Hex(const QString &path);

} // namespace vellumix
