// What the journal costs on its own at the sizes of the scenarios: serialising, writing the
// bytes, and flushing them.
#pragma once

#include <QString>

namespace bench {

void runJournalBench(const QString &work);

} // namespace bench
