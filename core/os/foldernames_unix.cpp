// The names of a folder tree as bytes, on Linux.
#include "foldernames.h"
#include "unixtext_p.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <vector>

namespace vellumix::os {

namespace {

using Visitor = std::function<bool(std::string_view)>;

std::string joined(const std::string &relative, const std::string &name)
{
    return relative.empty() ? name : relative + '/' + name;
}

/*
    A folder's entries are all visited before any subfolder is entered, so that the folder is
    closed again before the walk goes deeper: a deep tree holds one open folder at a time. An error
    while listing (readdir answering nothing with errno set) counts as a folder that cannot be
    read: taking it for the end of the listing would skip the rest of its names.
*/
NameWalk walkFolder(const std::string &folder, const std::string &relative, const Visitor &visit,
                    std::string &unreadable)
{
    DIR *dir = ::opendir(folder.c_str());
    if (!dir) {
        unreadable = folder;
        return NameWalk::Unreadable;
    }
    std::vector<std::string> folders;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            const bool failed = errno != 0;
            ::closedir(dir);
            if (!failed)
                break;
            unreadable = folder;
            return NameWalk::Unreadable;
        }
        const std::string name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        if (!visit(joined(relative, name))) {
            ::closedir(dir);
            return NameWalk::Stopped;
        }
        struct stat info;
        if (::lstat((folder + '/' + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            folders.push_back(name);
    }
    for (const std::string &name : folders) {
        const NameWalk result =
            walkFolder(folder + '/' + name, joined(relative, name), visit, unreadable);
        if (result != NameWalk::Done)
            return result;
    }
    return NameWalk::Done;
}

} // namespace

NameWalk walkByteNames(std::u16string_view folder,
                       const std::function<bool(std::string_view relativePath)> &visit,
                       std::string &unreadable) noexcept
{
    unreadable.clear();
    try {
        const std::string root = detail::toUtf8(folder);
        // A NUL would cut the name short and list another folder than the one given.
        if (folder.empty() || folder.find(u'\0') != std::u16string_view::npos) {
            unreadable = root;
            return NameWalk::Unreadable;
        }
        return walkFolder(root, std::string(), visit, unreadable);
    } catch (...) {
        // Out of memory on the way (the visitor does not throw): the rest cannot be listed.
        return NameWalk::Unreadable;
    }
}

} // namespace vellumix::os
