// A Windows helper of the Wine suite: waits for the top-level window titled with the first
// argument and writes, as UTF-8 on standard output, what the box shows: one line "text:" with the
// text (line feeds written as "\n"), one line "icons:" with the number of icon controls and one
// line per button "button:" with its caption. It reads the box from outside, as the user sees it;
// it never touches it, so the box is still dismissed by a key.
//
//   messagebox-reader.exe TITLE [TIMEOUT_MS]     exit 0: read; 1: no such window in time
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string utf8Of(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), result.data(), size, nullptr,
                        nullptr);
    return result;
}

// The text of a control of another process: only WM_GETTEXT crosses the process boundary.
std::wstring textOf(HWND window)
{
    const LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::vector<wchar_t> buffer(size_t(length) + 1, L'\0');
    SendMessageW(window, WM_GETTEXT, WPARAM(buffer.size()), LPARAM(buffer.data()));
    return std::wstring(buffer.data());
}

std::wstring classOf(HWND window)
{
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

struct Report
{
    std::string text;
    int icons = 0;
    std::vector<std::string> buttons;
};

BOOL CALLBACK visitControl(HWND control, LPARAM context)
{
    Report &report = *reinterpret_cast<Report *>(context);
    const std::wstring kind = classOf(control);
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    if (_wcsicmp(kind.c_str(), L"Button") == 0) {
        report.buttons.push_back(utf8Of(textOf(control)));
    } else if (_wcsicmp(kind.c_str(), L"Static") == 0) {
        if ((style & SS_TYPEMASK) == SS_ICON)
            ++report.icons;
        else if (!textOf(control).empty())
            report.text += utf8Of(textOf(control));
    }
    return TRUE;
}

void writeLine(const std::string &line)
{
    DWORD written = 0;
    const std::string withEnd = line + "\n";
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), withEnd.data(), DWORD(withEnd.size()), &written,
              nullptr);
}

std::string escaped(const std::string &text)
{
    std::string result;
    for (char c : text) {
        if (c == '\n')
            result += "\\n";
        else if (c != '\r')
            result += c;
    }
    return result;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2)
        return 2;
    const DWORD timeoutMs = argc > 2 ? DWORD(_wtoi(argv[2])) : 60000;
    HWND box = nullptr;
    for (DWORD waited = 0; waited <= timeoutMs; waited += 100) {
        // "#32770" is the class of dialog boxes, message boxes included.
        box = FindWindowW(L"#32770", argv[1]);
        if (box && IsWindowVisible(box))
            break;
        box = nullptr;
        Sleep(100);
    }
    if (!box)
        return 1;
    Report report;
    EnumChildWindows(box, visitControl, LPARAM(&report));
    writeLine("text:" + escaped(report.text));
    writeLine("icons:" + std::to_string(report.icons));
    for (const std::string &button : report.buttons)
        writeLine("button:" + button);
    return 0;
}
