// Who may read the pool's files. A pool file holds every login's password hash, so it is
// its owner's alone (0600), unless it lives in a station folder: a setgid folder whose
// group (the station's operators) may enter and write it, where the files are the
// group's too (0660). The same holds for the journal beside it and the lock file.
#pragma once

#include <string>

#include <sys/types.h>

namespace poolfile {

struct Folder {
    bool station = false; // setgid, and the group may list, enter and write it
    gid_t group = 0;      // the folder's group
};

Folder folderAt(const std::string &path);

// 0660 in a station folder, 0600 elsewhere.
mode_t fileMode(const Folder &folder);

// Makes `path` with exactly fileMode(folder) when it does not exist (`create`), or brings
// an existing file to it: nobody else may read it (nor, outside a station folder, the
// group); in a station folder the group may do what the owner may, and the file is the
// folder's group's. The empty text, or why the file could not be made or changed.
std::string fit(const Folder &folder, const std::string &path, bool create);

// The process's umask while it lives: files made meanwhile by code that asks for 0666
// (QLockFile) get fileMode(folder).
class Umask
{
public:
    explicit Umask(const Folder &folder);
    ~Umask();
    Umask(const Umask &) = delete;
    Umask &operator=(const Umask &) = delete;

private:
    mode_t previous_;
};

} // namespace poolfile
