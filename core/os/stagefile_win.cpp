// The stage's own files on Windows, where a folder made in the user's profile carries the
// profile's access rules and permissions are no more than a read-only flag.
#include "stagefile.h"

namespace vellumix::os {

PrivateFolder makeOrCheckPrivateFolder(std::u16string_view) noexcept
{
    PrivateFolder folder;
    folder.status = PrivateFolderStatus::ProfileRules;
    return folder;
}

bool isOwnedByCurrentUser(int) noexcept
{
    return true;
}

bool setStagedFileMode(std::u16string_view, std::u16string_view, bool) noexcept
{
    return true;
}

// Windows has no call that starts the write-back of part of a file without waiting for it.
bool canStartWriteBack() noexcept
{
    return false;
}

bool startWriteBack(int, std::int64_t) noexcept
{
    return false;
}

// A file that Qt or the C library holds open is opened without sharing its deletion.
bool canRemoveOpenFiles() noexcept
{
    return false;
}

} // namespace vellumix::os
