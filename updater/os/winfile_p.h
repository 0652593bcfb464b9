// A file handle owned for the time of one operation, and NUL-terminated paths for Win32 calls.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace vellumix::os::detail {

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

// A NUL-terminated copy for the Win32 calls. False when the text holds a NUL of its own: the
// call would see a shorter path and answer for another object than the one named.
inline bool terminated(std::u16string_view text, std::wstring &out)
{
    if (text.find(u'\0') != std::u16string_view::npos)
        return false;
    out.assign(text.begin(), text.end());
    return true;
}

} // namespace vellumix::os::detail
