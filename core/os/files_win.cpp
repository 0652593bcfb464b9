// Link test, reading a small file without waiting on it, and flushes to stable storage on Windows.
#include "platform.h"
#include "winfile_p.h"

#include <windows.h>
#include <io.h>

#include <algorithm>
#include <cwchar>
#include <string>

namespace vellumix::os {

using detail::FileHandle;
using detail::win32Path;

namespace {

DWORD attributesOf(std::u16string_view path)
{
    std::wstring name;
    if (!win32Path(path, name))
        return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(name.c_str());
}

} // namespace

/*
    GetFileAttributesW reports on the named object itself: for a symbolic link or a junction at
    the last component it gives the link's own attributes, with FILE_ATTRIBUTE_REPARSE_POINT set,
    and does not follow it. The path comes as Qt writes it, with "/" separators; an absolute one
    goes in its long form (see win32Path), so that a link is seen at any length of the path at
    which Qt opens files: with the plain form the attributes of a path beyond MAX_PATH would be
    "unavailable", and the link behind it unseen.
*/
LinkStatus linkStatus(std::u16string_view path) noexcept
{
    try {
        const DWORD attributes = attributesOf(path);
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return LinkStatus::Unavailable;
        return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? LinkStatus::Link
                                                           : LinkStatus::NotALink;
    } catch (...) {
        return LinkStatus::Unavailable;
    }
}

/*
    A path of a folder on a local or network volume names no pipe (Windows keeps those in their
    own namespace, \\.\pipe\), but it can name a folder, a link or a junction, and a device name
    in its plain form. The handle is opened with FILE_FLAG_BACKUP_SEMANTICS, so that a folder
    opens and is told apart instead of failing as "access denied", and, for a link that is to be
    refused, with FILE_FLAG_OPEN_REPARSE_POINT, which opens the link itself. What was opened must
    then be a file on a disk that is neither a folder nor a reparse point.
*/
FileRead readRegularFile(std::u16string_view path, std::size_t maxBytes, LinkAtName link,
                         std::string &contents) noexcept
{
    contents.clear();
    try {
        std::wstring name;
        if (path.empty() || !win32Path(path, name))
            return FileRead::Failed;
        DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS;
        if (link == LinkAtName::Refuse)
            flags |= FILE_FLAG_OPEN_REPARSE_POINT;
        FileHandle file(CreateFileW(name.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, flags, nullptr));
        if (!file.isValid()) {
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                ? FileRead::Missing
                : FileRead::Failed;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileType(file.get()) != FILE_TYPE_DISK)
            return FileRead::NotAFile;
        if (!GetFileInformationByHandle(file.get(), &info))
            return FileRead::Failed;
        if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            return FileRead::NotAFile;
        const std::uint64_t size =
            (std::uint64_t(info.nFileSizeHigh) << 32) | std::uint64_t(info.nFileSizeLow);
        if (size > maxBytes)
            return FileRead::TooLarge;
        std::string bytes;
        char block[65536];
        for (;;) {
            const std::size_t room = maxBytes - std::min<std::size_t>(maxBytes, bytes.size()) + 1;
            DWORD count = 0;
            if (!ReadFile(file.get(), block, DWORD(std::min<std::size_t>(sizeof block, room)),
                          &count, nullptr))
                return FileRead::Failed;
            if (count == 0)
                break;
            bytes.append(block, count);
            if (bytes.size() > maxBytes)
                return FileRead::TooLarge;
        }
        contents.swap(bytes);
        return FileRead::Read;
    } catch (...) {
        return FileRead::Failed;
    }
}

bool flushFileData(std::u16string_view path) noexcept
{
    try {
        std::wstring name;
        if (!win32Path(path, name))
            return false;
        // FILE_FLAG_OPEN_REPARSE_POINT: a link is never followed to write through to its target.
        FileHandle file(CreateFileW(name.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
        return file.isValid() && FlushFileBuffers(file.get());
    } catch (...) {
        return false;
    }
}

/*
    The descriptor is one of the C runtime's, which Qt makes for its own file handle. It has to be
    the runtime that Qt uses as well, so the updater is built with the same compiler and runtime
    as Qt; a descriptor of another runtime's table would name another file or none. The handle
    that _get_osfhandle gives stays owned by the descriptor and is not closed here.
*/
bool flushOpenFile(int descriptor) noexcept
{
    if (descriptor < 0)
        return true;
    const intptr_t native = _get_osfhandle(descriptor);
    if (native == intptr_t(INVALID_HANDLE_VALUE) || native == -2)
        return false;
    return FlushFileBuffers(reinterpret_cast<HANDLE>(native));
}

/*
    Windows gives no call that makes the entries of a directory durable: a directory cannot be
    flushed like a file by an ordinary user. It does not need to be on NTFS. NTFS writes every
    creation, rename and removal of a directory entry to its metadata log, in the order in which
    they happen, and recovery after a crash replays that log up to a point: a later change can
    never survive while an earlier one is lost. The updater only needs that order (the journal is
    renamed into place before any program file is moved, and files are restored before the
    journal says so), and the content of each file is flushed on its own with flushFileData or
    flushOpenFile. So nothing is flushed here; the answer says whether the directory exists, as
    the open of the directory does on other systems.
*/
bool flushDirectoryEntries(std::u16string_view directory) noexcept
{
    try {
        const DWORD attributes = attributesOf(directory);
        return attributes != INVALID_FILE_ATTRIBUTES
            && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    } catch (...) {
        return false;
    }
}

namespace {

// "\\.\C:" or "\\?\Volume{...}" for the volume that holds the path, empty when it has none that
// can be opened (a network share, for instance).
std::wstring volumeDeviceOf(const std::wstring &path)
{
    // The mount point is never longer than the path and its trailing "\".
    std::wstring mountPoint(std::max<std::size_t>(path.size(), MAX_PATH) + 2, L'\0');
    if (!GetVolumePathNameW(path.c_str(), mountPoint.data(), DWORD(mountPoint.size())))
        return {};
    mountPoint.resize(wcsnlen(mountPoint.c_str(), mountPoint.size()));
    // Asked with a long form, Windows answers with one ("\\?\C:\") for a drive too.
    if (mountPoint.size() == 7 && mountPoint.compare(0, 4, L"\\\\?\\") == 0
        && mountPoint[5] == L':')
        mountPoint.erase(0, 4);
    wchar_t volume[MAX_PATH + 1] = {};
    if (GetVolumeNameForVolumeMountPointW(mountPoint.c_str(), volume, MAX_PATH)) {
        std::wstring device(volume);
        if (!device.empty() && device.back() == L'\\')
            device.pop_back();
        return device;
    }
    if (mountPoint.size() == 3 && mountPoint[1] == L':')
        return std::wstring(L"\\\\.\\") + mountPoint[0] + L':';
    return {};
}

} // namespace

/*
    Flushing a whole volume needs a handle to the volume opened for writing, which only an
    administrator gets. When the updater runs elevated it flushes the volume; otherwise it relies
    on what holds without that flush: the content of every file that the updater writes or
    copies is flushed file by file, and the metadata of moves and renames is ordered by the NTFS
    log (see flushDirectoryEntries). The same holds where the volume opens but its driver has no
    flush of the whole volume. The answer is then whether the path can be seen at all, as its
    open is on other systems. A flush that is made and fails is a failure.
*/
bool flushFileSystem(std::u16string_view anyPathOnIt) noexcept
{
    try {
        std::wstring name;
        if (!win32Path(anyPathOnIt, name)
            || GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES)
            return false;
        const std::wstring device = volumeDeviceOf(name);
        if (device.empty())
            return true;
        FileHandle volume(CreateFileW(device.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      0, nullptr));
        if (!volume.isValid())
            return true;
        // A volume that cannot be flushed as a whole says so with ERROR_INVALID_FUNCTION.
        return FlushFileBuffers(volume.get()) || GetLastError() == ERROR_INVALID_FUNCTION;
    } catch (...) {
        return false;
    }
}

} // namespace vellumix::os
