// Who owns a lock file, on Windows.
#include "lockowner.h"

#include <cstdlib>
#include <string>

namespace vellumix::os {

// The variable read through the C library's environment, as Qt's qEnvironmentVariable reads it.
std::u16string lockHostName() noexcept
{
    try {
        std::size_t size = 0;
        if (_wgetenv_s(&size, nullptr, 0, L"COMPUTERNAME") != 0 || size == 0)
            return {};
        std::wstring value(size, L'\0');
        if (_wgetenv_s(&size, value.data(), value.size(), L"COMPUTERNAME") != 0 || size == 0)
            return {};
        value.resize(size - 1); // the count includes the terminating NUL
        return std::u16string(value.begin(), value.end());
    } catch (...) {
        return {};
    }
}

bool programNamesIgnoreCase() noexcept
{
    return true;
}

} // namespace vellumix::os
