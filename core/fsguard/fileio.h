#pragma once

#include <QByteArray>
#include <QString>

namespace vellumix {

// Reads a whole file that is at most `maxBytes` long; a larger file is refused without being read.
QByteArray readFileLimited(const QString &path, qint64 maxBytes);

// Replaces the file at `path` with `contents` so that it holds either its previous contents or
// all of the new ones, never a mixture, also across a crash or a power cut. Creates the holding
// directory when it is missing.
void writeFileAtomic(const QString &path, const QByteArray &contents);

// Lower-case hex SHA-256 of a file's content, read as a stream; empty when the file cannot be
// read, so that it never equals a real digest.
QByteArray fileSha256Hex(const QString &path);

} // namespace vellumix
