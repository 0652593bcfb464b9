// The names in a folder tree as the file system keeps them.
//
// Linux keeps a file name as bytes, which need not be text. A listing through Qt decodes the
// names as UTF-8 and leaves out, without a word, every entry whose name does not decode; what
// must see every entry reads the names here, as bytes. Plain C++20 without Qt, like platform.h.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vellumix::os {

enum class NameWalk {
    Done,       // every entry was visited
    Stopped,    // the visitor answered false
    Unreadable, // a folder could not be listed
};

/*
    Calls `visit` with the path of each entry below `folder`, relative to it, its components joined
    by "/", in the bytes the file system keeps: first every entry of a folder, in the order the file
    system lists them, then the entries below each of its subfolders in turn. Links are not
    followed. `visit` answers false to end the walk; it must not throw. A folder that cannot be
    listed ends the walk, and its path (`folder` and the path below it, as bytes) is put in
    `unreadable`.

    Windows keeps names as UTF-16 units, which its listings give as they are, text or not (an
    unpaired surrogate); no name there is hidden from a listing, so nothing is visited and this
    answers Done.
*/
NameWalk walkByteNames(std::u16string_view folder,
                       const std::function<bool(std::string_view relativePath)> &visit,
                       std::string &unreadable) noexcept;

} // namespace vellumix::os
