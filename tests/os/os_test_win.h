// Windows helpers of the operating-system layer test: owned handles, the self-spawned child
// process, a look at the message box from inside the process that shows it, and Windows' limit
// on the length of plain paths, emulated under Wine.
#pragma once

#include <windows.h>

#include <io.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace wintest {

class Handle
{
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : m_handle(handle) {}
    ~Handle() { reset(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HANDLE get() const { return m_handle; }
    void reset(HANDLE handle = nullptr)
    {
        if (m_handle)
            CloseHandle(m_handle);
        m_handle = handle;
    }

private:
    HANDLE m_handle = nullptr;
};

inline std::wstring wide(const std::u16string &text)
{
    return std::wstring(text.begin(), text.end());
}

inline std::string utf8(const std::wstring &text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(std::size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr,
                            nullptr);
    return out;
}

inline bool underWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

inline std::wstring selfPath()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), DWORD(path.size())));
    return path;
}

// A child process of this test program in its "--sleep MS" mode.
struct Child
{
    Handle process;
    DWORD id = 0;
};

inline bool startSleeper(int ms, Child &child)
{
    const std::wstring self = selfPath();
    std::wstring commandLine = L"\"" + self + L"\" --sleep " + std::to_wstring(ms);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    child.process.reset(info.hProcess);
    child.id = info.dwProcessId;
    return true;
}

// True while the handle value names an open handle of this process.
inline bool handleIsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

// What the message box shows, read through its child windows.
struct BoxContents
{
    bool found = false;
    std::wstring text;
    std::vector<HICON> icons;
    std::vector<std::pair<int, std::wstring>> buttons; // control id, caption
};

inline std::wstring windowText(HWND window)
{
    std::wstring text(std::size_t(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(std::size_t(GetWindowTextW(window, text.data(), int(text.size()))));
    return text;
}

inline BOOL CALLBACK collectControl(HWND control, LPARAM context)
{
    auto &box = *reinterpret_cast<BoxContents *>(context);
    wchar_t className[64] = {};
    GetClassNameW(control, className, 64);
    const LONG_PTR style = GetWindowLongPtrW(control, GWL_STYLE);
    if (lstrcmpiW(className, L"Button") == 0) {
        box.buttons.emplace_back(GetDlgCtrlID(control), windowText(control));
    } else if (lstrcmpiW(className, L"Static") == 0) {
        if ((style & SS_TYPEMASK) == SS_ICON) {
            if (const auto icon = HICON(SendMessageW(control, STM_GETICON, 0, 0)))
                box.icons.push_back(icon);
        } else if (!windowText(control).empty()) {
            box.text += windowText(control);
        }
    }
    return TRUE;
}

// Waits up to `timeoutMs` for a top-level dialog with the title and reads its controls.
inline BoxContents readMessageBox(const std::wstring &title, DWORD timeoutMs)
{
    BoxContents box;
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        const HWND window = FindWindowW(L"#32770", title.c_str());
        if (window && IsWindowVisible(window)) {
            box.found = true;
            EnumChildWindows(window, collectControl, reinterpret_cast<LPARAM>(&box));
            break;
        }
        Sleep(50);
    }
    return box;
}

/*
    Windows' limit on plain paths. Without the long-path opt-in of the machine and the program,
    Windows refuses a plain path (one that does not start with "\\?\") of MAX_PATH characters or
    more, terminating NUL included, in every file call; only the long form "\\?\C:\..." reaches
    further. Wine takes plain paths of any length, so under Wine the limit is emulated: while a
    LegacyPathLimit lives, the file calls that the operating-system layer makes go through
    wrappers, put into this program's import table, that refuse such a path as Windows does
    (ERROR_FILENAME_EXCED_RANGE) and count the refusals.
*/
class LegacyPathLimit
{
public:
    LegacyPathLimit();
    ~LegacyPathLimit();
    LegacyPathLimit(const LegacyPathLimit &) = delete;
    LegacyPathLimit &operator=(const LegacyPathLimit &) = delete;

    // Whether every call of the list was found in the import table and replaced.
    bool installed() const { return m_installed; }
    static int refusals() { return s_refusals; }
    static void resetRefusals() { s_refusals = 0; }

private:
    struct Slot
    {
        const char *name;
        void *replacement;
        void **entry = nullptr;
        void *original = nullptr;
    };
    static bool tooLong(const wchar_t *path)
    {
        if (path && std::wcslen(path) >= MAX_PATH && std::wcsncmp(path, L"\\\\?\\", 4) != 0) {
            ++s_refusals;
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return true;
        }
        return false;
    }
    template <typename F> static F original(int index)
    {
        return reinterpret_cast<F>(s_slots[index].original);
    }

    static DWORD WINAPI getFileAttributes(LPCWSTR path)
    {
        return tooLong(path) ? INVALID_FILE_ATTRIBUTES
                             : original<decltype(&GetFileAttributesW)>(0)(path);
    }
    static BOOL WINAPI setFileAttributes(LPCWSTR path, DWORD attributes)
    {
        return !tooLong(path) && original<decltype(&SetFileAttributesW)>(1)(path, attributes);
    }
    static HANDLE WINAPI createFile(LPCWSTR path, DWORD access, DWORD share,
                                    LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                    DWORD flags, HANDLE templateFile)
    {
        return tooLong(path) ? INVALID_HANDLE_VALUE
                             : original<decltype(&CreateFileW)>(2)(path, access, share, security,
                                                                   disposition, flags,
                                                                   templateFile);
    }
    static BOOL WINAPI deleteFile(LPCWSTR path)
    {
        return !tooLong(path) && original<decltype(&DeleteFileW)>(3)(path);
    }
    static BOOL WINAPI copyFileEx(LPCWSTR from, LPCWSTR to, LPPROGRESS_ROUTINE progress,
                                  LPVOID data, LPBOOL cancel, DWORD flags)
    {
        return !tooLong(from) && !tooLong(to)
            && original<decltype(&CopyFileExW)>(4)(from, to, progress, data, cancel, flags);
    }
    static BOOL WINAPI moveFileEx(LPCWSTR from, LPCWSTR to, DWORD flags)
    {
        return !tooLong(from) && !tooLong(to)
            && original<decltype(&MoveFileExW)>(5)(from, to, flags);
    }
    static BOOL WINAPI getVolumePathName(LPCWSTR path, LPWSTR out, DWORD size)
    {
        return !tooLong(path) && original<decltype(&GetVolumePathNameW)>(6)(path, out, size);
    }

    static inline std::atomic<int> s_refusals{0};
    static Slot s_slots[7];
    bool m_installed = false;

    static void write(void **entry, void *value)
    {
        DWORD protection = 0;
        VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &protection);
        *entry = value;
        VirtualProtect(entry, sizeof *entry, protection, &protection);
    }
};

inline LegacyPathLimit::Slot LegacyPathLimit::s_slots[7] = {
    {"GetFileAttributesW", reinterpret_cast<void *>(&getFileAttributes)},
    {"SetFileAttributesW", reinterpret_cast<void *>(&setFileAttributes)},
    {"CreateFileW", reinterpret_cast<void *>(&createFile)},
    {"DeleteFileW", reinterpret_cast<void *>(&deleteFile)},
    {"CopyFileExW", reinterpret_cast<void *>(&copyFileEx)},
    {"MoveFileExW", reinterpret_cast<void *>(&moveFileEx)},
    {"GetVolumePathNameW", reinterpret_cast<void *>(&getVolumePathName)},
};

inline LegacyPathLimit::LegacyPathLimit()
{
    auto *base = reinterpret_cast<unsigned char *>(GetModuleHandleW(nullptr));
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto *library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
    for (; imports.VirtualAddress && library->Name; ++library) {
        if (lstrcmpiA(reinterpret_cast<const char *>(base + library->Name), "kernel32.dll") != 0)
            continue;
        auto *name = reinterpret_cast<IMAGE_THUNK_DATA *>(base + library->OriginalFirstThunk);
        auto *entry = reinterpret_cast<IMAGE_THUNK_DATA *>(base + library->FirstThunk);
        for (; name->u1.AddressOfData; ++name, ++entry) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal))
                continue;
            const char *function = reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(
                                        base + name->u1.AddressOfData)->Name;
            for (Slot &slot : s_slots) {
                if (std::strcmp(function, slot.name) == 0 && !slot.entry) {
                    slot.entry = reinterpret_cast<void **>(&entry->u1.Function);
                    slot.original = *slot.entry;
                }
            }
        }
    }
    m_installed = true;
    for (const Slot &slot : s_slots)
        m_installed = m_installed && slot.entry;
    if (!m_installed)
        return;
    for (const Slot &slot : s_slots)
        write(slot.entry, slot.replacement);
}

inline LegacyPathLimit::~LegacyPathLimit()
{
    for (Slot &slot : s_slots) {
        if (m_installed)
            write(slot.entry, slot.original);
        slot.entry = nullptr;
    }
}

} // namespace wintest
