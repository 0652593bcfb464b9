// Windows helpers of the operating-system layer test: owned handles, the self-spawned child
// process, and a look at the message box from inside the process that shows it.
#pragma once

#include <windows.h>

#include <io.h>

#include <atomic>
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

} // namespace wintest
