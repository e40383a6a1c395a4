// Watching a score file for saves, for the live loops (velomira --watch,
// velomira-song play --watch). Editors often save by writing a new file and
// renaming it over the old one, which a watch on the file itself would lose,
// so the file's directory is watched. A score given as a symbolic link is
// watched in two places: the link's directory (the link re-pointed) and its
// target's (the target saved); the target is found again after every event,
// as the link may lead elsewhere now.
//
// A save is taken only when whole: the file closed after writing (or renamed
// into place) and then left alone for SettleMs, with the same size, time and
// inode as when it was closed. A file still being written (written to but
// not yet closed), a burst of saves, or a save in two halves closed
// within SettleMs of each other is taken once, when it has settled.
//
// Owns one inotify descriptor per FileWatch. Order of use: file_watch_start,
// then file_watch_saved as often as wanted (it never blocks; poll fd, at
// most file_watch_wait_ms, to sleep until something happens); the
// descriptor closes with the FileWatch. Linux only; no SDL.
#pragma once

#include <cstdint>
#include <string>

inline constexpr int32_t SettleMs = 30;

// What a settled save must keep: a change to any of them restarts the wait.
struct FileStamp {
    bool exists = false;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modified = 0;   // ns
    bool operator==(const FileStamp&) const = default;
};

struct WatchedName {
    int wd = -1;
    std::string dir, name;
};

struct FileWatch {
    int fd = -1;
    std::string path;
    WatchedName link;     // the name as given
    WatchedName target;   // the file it leads to (the same for a plain file)
    bool pending = false;    // closed or replaced, not yet settled
    bool writing = false;    // written to since it was last closed
    int64_t closedAt = 0;    // ms, steady clock
    FileStamp stamp;         // as it was closed

    FileWatch() = default;
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;
    ~FileWatch();
};

// Starts watching path; false with a message when its directory cannot be watched.
bool file_watch_start(FileWatch& watch, const std::string& path, std::string& message);

// True when a save has settled since the last call.
bool file_watch_saved(FileWatch& watch);

// How long a poll may sleep before file_watch_saved could next be true
// without an event: until the pending save settles, or -1 (no limit).
int file_watch_wait_ms(const FileWatch& watch);
