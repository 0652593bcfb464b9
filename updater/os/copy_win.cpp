// Copy without overwriting, and move by rename only, on Windows.
#include "platform.h"

#include <windows.h>

#include <string>

namespace vellumix::os {

namespace {

class FileHandle
{
public:
    explicit FileHandle(HANDLE handle) : m_handle(handle) {}
    ~FileHandle() { if (isValid()) CloseHandle(m_handle); }
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    bool isValid() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

std::wstring terminated(std::u16string_view text)
{
    return std::wstring(text.begin(), text.end());
}

} // namespace

/*
    CopyFileExW with COPY_FILE_FAIL_IF_EXISTS is the no-overwrite copy, with the source's
    attributes. Windows has no flush of a whole volume for an ordinary user, so the copy's data is
    put on stable storage here, file by file, before the copy counts as done.
*/
bool copyFileExclusive(std::u16string_view from, std::u16string_view to) noexcept
{
    try {
        const std::wstring source = terminated(from);
        const std::wstring target = terminated(to);
        if (!CopyFileExW(source.c_str(), target.c_str(), nullptr, nullptr, nullptr,
                         COPY_FILE_FAIL_IF_EXISTS))
            return false;
        FileHandle copy(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (copy.isValid() && FlushFileBuffers(copy.get()))
            return true;
        DeleteFileW(target.c_str());
        return false;
    } catch (...) {
        return false;
    }
}

bool moveNoReplace(std::u16string_view from, std::u16string_view to) noexcept
{
    try {
        const std::wstring source = terminated(from);
        const std::wstring target = terminated(to);
        // No MOVEFILE_COPY_ALLOWED: a move to another volume fails instead of becoming a copy.
        return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    } catch (...) {
        return false;
    }
}

} // namespace vellumix::os
