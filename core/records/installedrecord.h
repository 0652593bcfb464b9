// The record of the release in place: "installed.json" in the work directory of the program root.
// The updater writes it once the new version has confirmed its start; the client reads it to know
// what is installed. This file is its only reader and writer.
#pragma once

#include "coreerror.h"

#include <QString>

#include <optional>

namespace vellumix {

struct InstalledRecord
{
    qint32 sequence = 0;
    QString version;
};

// Replaces the record in `workDirectory` with `record`, atomically and durably; the error says
// why it could not be written.
CoreError writeInstalledRecord(const QString &workDirectory, const InstalledRecord &record);

// The record in `workDirectory`, read only when it is a regular file (never through a link at its
// name, never waiting on a pipe). None when it is missing, damaged, or names a sequence that no
// manifest may carry.
std::optional<InstalledRecord> readInstalledRecord(const QString &workDirectory);

} // namespace vellumix
