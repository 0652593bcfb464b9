// A file handle owned for the time of one operation, and the paths that Win32 calls are given.
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

inline bool isSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

/*
    The name that the Win32 calls of this layer are given for a path. An absolute path, with a
    drive letter ("C:/...") or a server ("//server/share/..."), goes in its long form,
    "\\?\C:\..." or "\\?\UNC\server\share\...": in the plain form every call fails once the
    path reaches MAX_PATH (260 characters with the terminating NUL), unless both the machine and
    the program have opted in to long paths, while Qt opens such a path through its long form. A link test that failed
    there would answer "unavailable" for a link that Qt then follows.

    Windows takes the long form as it stands, so it is made from the full path that Windows
    itself makes of the plain name: separators, "." and "..", trailing dots and spaces are
    resolved exactly as for the plain name, and the long form names the same object as the plain
    name does wherever that works, and as Qt's long form does. A name that is already in a
    device or long form ("\\?\...", "\\.\..."), and a relative one, is handed on unchanged.
    False when the text holds a NUL or no full path can be made of it.
*/
inline bool win32Path(std::u16string_view text, std::wstring &out)
{
    if (!terminated(text, out))
        return false;
    const bool twoSeparators = out.size() >= 2 && isSeparator(out[0]) && isSeparator(out[1]);
    const bool device = twoSeparators && out.size() >= 4 && (out[2] == L'?' || out[2] == L'.')
        && isSeparator(out[3]);
    const bool driveAbsolute = out.size() >= 3 && out[1] == L':' && isSeparator(out[2])
        && ((out[0] >= L'A' && out[0] <= L'Z') || (out[0] >= L'a' && out[0] <= L'z'));
    if (device || !(twoSeparators || driveAbsolute))
        return true;

    const DWORD needed = GetFullPathNameW(out.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return false;
    std::wstring full(needed, L'\0');
    const DWORD written = GetFullPathNameW(out.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed)
        return false;
    full.resize(written);
    if (full.size() >= 4 && full[0] == L'\\' && full[1] == L'\\' && (full[2] == L'?' || full[2] == L'.')
        && full[3] == L'\\')
        out = full;                             // a device name, such as "\\.\CON"
    else if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\')
        out = L"\\\\?\\UNC\\" + full.substr(2);
    else
        out = L"\\\\?\\" + full;
    return true;
}

} // namespace vellumix::os::detail
