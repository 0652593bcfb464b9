// The final message box on Windows.
#include "platform.h"

#include <windows.h>

#include <string>

namespace vellumix::os {

/*
    No owner window: the updater has none of its own, and borrowing one (the console's, the
    desktop's) would tie the box to a window that may close or hide it. The views are copied
    because MessageBoxW reads NUL-terminated texts.
*/
void showMessageBox(std::u16string_view title, std::u16string_view text) noexcept
{
    try {
        const std::wstring caption(title.begin(), title.end());
        const std::wstring body(text.begin(), text.end());
        MessageBoxW(nullptr, body.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
    } catch (...) {
        // Out of memory while copying the texts: nothing can be shown.
    }
}

} // namespace vellumix::os
