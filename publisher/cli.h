// The command line of vellumix-publish: keygen, modulus, stage, verify, publish and prune.
#pragma once

#include <QStringList>

namespace vellumix::publish {

// Exit codes: 0 done, 1 refused or failed, 2 wrong usage.
int runPublisher(const QStringList &arguments);

} // namespace vellumix::publish
