// Who owns a lock file, on Windows.
#include "lockowner.h"

#include <cstdlib>
#include <string>

namespace vellumix::os {

/*
    The variable is read through the C library's environment, as Qt's qEnvironmentVariable reads
    it: the first call only asks for the size (its result is not an error the C libraries agree
    on), and the size counts the terminating NUL. Unset, there is no host name.
*/
std::u16string lockHostName() noexcept
{
    try {
        std::size_t size = 0;
        _wgetenv_s(&size, nullptr, 0, L"COMPUTERNAME");
        if (size == 0)
            return {};
        std::wstring value(size, L'\0');
        if (_wgetenv_s(&size, value.data(), value.size(), L"COMPUTERNAME") != 0 || size == 0)
            return {};
        value.resize(size - 1);
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
