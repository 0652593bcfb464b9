// Copy without overwriting, and move by rename only, on Windows.
#include "platform.h"
#include "winfile_p.h"

#include <windows.h>

#include <string>

namespace vellumix::os {

using detail::FileHandle;
using detail::win32Path;

/*
    Both calls get the long form of absolute paths (see win32Path), as every Win32 call of this
    layer does, so that they work wherever Qt reads and writes.

    CopyFileExW with COPY_FILE_FAIL_IF_EXISTS is the no-overwrite copy, with the source's
    attributes. Windows has no flush of a whole volume for an ordinary user, so the copy's data is
    put on stable storage here, file by file, before the copy counts as done.

    A staged file may carry the read-only attribute. The installed copy is made writable: it has
    to be opened for writing to be flushed, and a read-only file could be neither removed by a
    rollback nor replaced by the next update (a file's mode on Linux does not stop either).
*/
bool copyFileExclusive(std::u16string_view from, std::u16string_view to) noexcept
{
    try {
        std::wstring source;
        std::wstring target;
        if (!win32Path(from, source) || !win32Path(to, target))
            return false;
        if (!CopyFileExW(source.c_str(), target.c_str(), nullptr, nullptr, nullptr,
                         COPY_FILE_FAIL_IF_EXISTS))
            return false;
        const DWORD attributes = GetFileAttributesW(target.c_str());
        const bool writable = attributes != INVALID_FILE_ATTRIBUTES
            && (!(attributes & FILE_ATTRIBUTE_READONLY)
                || SetFileAttributesW(target.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)));
        if (writable) {
            FileHandle copy(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (copy.isValid() && FlushFileBuffers(copy.get()))
                return true;
        }
        SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(target.c_str());
        return false;
    } catch (...) {
        return false;
    }
}

bool moveNoReplace(std::u16string_view from, std::u16string_view to) noexcept
{
    try {
        std::wstring source;
        std::wstring target;
        if (!win32Path(from, source) || !win32Path(to, target))
            return false;
        // No MOVEFILE_COPY_ALLOWED: a move to another volume fails instead of becoming a copy.
        return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    } catch (...) {
        return false;
    }
}

} // namespace vellumix::os
