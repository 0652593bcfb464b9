// The command line of vellumix-publish: keygen, modulus, stage, verify, publish, refresh, prune,
// rollout, rollout-status and installer.
#pragma once

#include <QStringList>

namespace vellumix::publish {

// Exit codes: 0 done, 1 refused or failed, 3 `rollout --advance` halted the release, 64 wrong
// usage.
int runPublisher(const QStringList &arguments);

} // namespace vellumix::publish
