// Linux has no system message box for a console program: the title line and the text go to
// standard error, and the call returns at once.
#include "platform.h"
#include "unixtext_p.h"

#include <cstdio>

namespace vellumix::os {

void showMessageBox(std::u16string_view title, std::u16string_view text) noexcept
{
    try {
        const std::string out = detail::toUtf8(title) + '\n' + detail::toUtf8(text) + '\n';
        std::fwrite(out.data(), 1, out.size(), stderr);
        std::fflush(stderr);
    } catch (...) {
        // Out of memory while composing the text: nothing more can be shown.
    }
}

} // namespace vellumix::os
