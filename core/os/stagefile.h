// The files that the update client keeps in its stage: the stage folder made private to the user,
// the owner of an open stage file, the permissions that a staged file takes, and the write-back
// of a staged file's bytes. Plain C++20 without Qt, like platform.h; every function reports
// failure through its result and never throws.
#pragma once

#include <cstdint>
#include <string_view>

namespace vellumix::os {

enum class PrivateFolderStatus {
    Private,      // a folder itself (no link), owned by the running user, writable by nobody else
    ProfileRules, // the platform keeps no owner and mode that could be checked here: nothing was
                  // made or checked, the folder's access is the one it inherits (see below)
    CannotCreate, // it was missing and could not be made, with its parents: `error`
    Link,         // a link stands at the path
    NotAFolder,   // something other than a folder stands at the path
    OtherOwner,   // a folder of another user: `owner`
    OpenToOthers, // a folder that others may write: `mode` (its permission bits)
};
struct PrivateFolder
{
    PrivateFolderStatus status = PrivateFolderStatus::CannotCreate;
    std::uint32_t owner = 0;
    std::uint32_t mode = 0;
    int error = 0; // the system's error number (errno) of the failed call
};

/*
    Makes the folder at `path` (0700, its missing parents as any folder) or checks the one that
    exists, looked at as itself: a link at the last component is reported, not followed. Links
    above it are the system's business and are followed. On Windows a folder made in the user's
    profile carries the profile's own access rules, which let no other user in, so there is no
    owner and mode to check: the answer is ProfileRules, and the caller makes the folder as any.
*/
PrivateFolder makeOrCheckPrivateFolder(std::u16string_view path) noexcept;

// True when the file open through `descriptor` (QFileDevice::handle()) belongs to the running
// user. Always true on Windows, where the per-user folders carry the profile's access rules.
bool isOwnedByCurrentUser(int descriptor) noexcept;

/*
    Gives the staged file at `staged` the permissions of the installed file at `installed` that it
    replaces (0644 when none is there or a link stands there; the owner may always read and write
    it), with execution for everyone when `executable`. Where permissions are no more than a
    read-only flag (Windows) the staged file keeps its own, and this succeeds without doing
    anything.
*/
bool setStagedFileMode(std::u16string_view staged, std::u16string_view installed,
                       bool executable) noexcept;

// Starting the write-back of a file's bytes to the disk early, without waiting for it: true where
// the system can (Linux). The caller hands its buffered bytes to the system first.
bool canStartWriteBack() noexcept;
// Starts writing the bytes of the file open through `descriptor` from `offset` to its end. True
// when it was started; false where the system cannot, or the descriptor is none.
bool startWriteBack(int descriptor, std::int64_t offset) noexcept;

// Whether a file that is open (in this process, as Qt and the C library open files) can lose its
// name while it stays open: yes on POSIX systems; Windows refuses to remove such a file.
bool canRemoveOpenFiles() noexcept;

} // namespace vellumix::os
