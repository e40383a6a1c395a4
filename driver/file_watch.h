// Watching a score file for saves, for the live loops (velomira --watch,
// velomira-song play --watch). Editors often save by writing a new file and
// renaming it over the old one, which a watch on the file itself would lose,
// so the file's directory is watched. A score given as a symbolic link is
// watched in two places: the link's directory (the link re-pointed) and its
// target's (the target saved); the target is found again after every event,
// as the link may lead elsewhere now.
//
// Owns one inotify descriptor per FileWatch. Order of use: file_watch_start,
// then file_watch_saved as often as wanted (it never blocks; poll fd to
// sleep until something happens); the descriptor closes with the FileWatch.
// Linux only; no SDL.
#pragma once

#include <string>

struct WatchedName {
    int wd = -1;
    std::string dir, name;
};

struct FileWatch {
    int fd = -1;
    std::string path;
    WatchedName link;     // the name as given
    WatchedName target;   // the file it leads to (the same for a plain file)

    FileWatch() = default;
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;
    ~FileWatch();
};

// Starts watching path; false with a message when its directory cannot be watched.
bool file_watch_start(FileWatch& watch, const std::string& path, std::string& message);

// True when the file was written and closed, or replaced, since the last call.
bool file_watch_saved(FileWatch& watch);
