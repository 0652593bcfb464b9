// vellumix-fetch: the update client for scripts and administrators.
#pragma once

#include <QStringList>

namespace vellumix::fetch {

// Exit codes besides the updater's own (which "apply --wait" passes on).
inline constexpr int kDone = 0;
inline constexpr int kNoUpdate = 10;
inline constexpr int kFailed = 11;
inline constexpr int kInterrupted = 12;
inline constexpr int kUsage = 64;

// The whole program over its arguments (the first is the program's path); runs the event loop of
// the existing application object and answers the exit code.
int runFetch(const QStringList &arguments);

} // namespace vellumix::fetch
