#pragma once

#include "fileio.h"
#include "manifest.h"

#include <QString>

namespace vellumix {

// Installs the files of a verified update from the staging directory into the program root under
// the journal. On return every changed file is in place and verified and the journal says
// "starting"; a failure after the journal was created is rolled back before it is passed on.
void installUpdate(const QString &programRoot, const QString &stagingDirectory,
                   const UpdateManifest &manifest);

} // namespace vellumix
