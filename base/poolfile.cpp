#include "base/poolfile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace poolfile {

namespace {

std::string systemError(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

Folder folderAt(const std::string &path)
{
    Folder folder;
    struct stat st {
    };
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        folder.station = (st.st_mode & S_ISGID) && (st.st_mode & S_IRWXG) == S_IRWXG;
        folder.group = st.st_gid;
    }
    return folder;
}

mode_t fileMode(const Folder &folder)
{
    return folder.station ? 0660 : 0600;
}

std::string fit(const Folder &folder, const std::string &path, bool create)
{
    struct stat st {
    };
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return systemError(path);
        if (!create)
            return {};
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, fileMode(folder));
        if (fd < 0 && errno == EEXIST) // another program made it meanwhile
            return fit(folder, path, false);
        if (fd < 0)
            return systemError(path + " could not be made");
        // The umask may have taken the group's bits.
        const bool set = ::fchmod(fd, fileMode(folder)) == 0;
        const std::string why = set ? std::string() : systemError(path + " could not be given its mode");
        ::close(fd);
        return why;
    }
    if (!S_ISREG(st.st_mode))
        return {};
    const mode_t mode = st.st_mode & 07777;
    const mode_t owner = mode & S_IRWXU & ~S_IXUSR;
    const mode_t wanted = folder.station ? owner | owner >> 3 : owner;
    if (mode != wanted && ::chmod(path.c_str(), wanted) != 0)
        return systemError(path + " could not be given the mode its folder asks for");
    // A file moved in keeps its group; the other operators reach it only through the folder's.
    if (folder.station && st.st_gid != folder.group && ::chown(path.c_str(), uid_t(-1), folder.group) != 0)
        return systemError(path + " is not the station folder's group's, and could not be made so");
    return {};
}

Umask::Umask(const Folder &folder)
    : previous_(::umask(0666 & ~fileMode(folder)))
{
}

Umask::~Umask()
{
    ::umask(previous_);
}

} // namespace poolfile
