// The names of a folder tree as bytes: Windows keeps none (see foldernames.h).
#include "foldernames.h"

namespace vellumix::os {

NameWalk walkByteNames(std::u16string_view, const std::function<bool(std::string_view)> &,
                       std::string &unreadable) noexcept
{
    unreadable.clear();
    return NameWalk::Done;
}

} // namespace vellumix::os
