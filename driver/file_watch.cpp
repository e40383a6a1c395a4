#include "driver/file_watch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// IN_CREATE: a symbolic link put in the file's place is never written.
constexpr uint32_t WatchedEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MODIFY | IN_CREATE;

int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

FileStamp stamp_of(const std::string& path)
{
    struct stat info;
    FileStamp stamp;
    if (stat(path.c_str(), &info) != 0)
        return stamp;
    stamp.exists = true;
    stamp.inode = uint64_t(info.st_ino);
    stamp.size = int64_t(info.st_size);
    stamp.modified = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return stamp;
}

WatchedName name_of(const fs::path& file)
{
    WatchedName place;
    place.dir = file.parent_path().empty() ? "." : file.parent_path().string();
    place.name = file.filename().string();
    return place;
}

fs::path target_of(const std::string& path)
{
    std::error_code error;
    const fs::path target = fs::weakly_canonical(path, error);
    return error ? fs::path(path) : target;
}

void retarget(FileWatch& watch)
{
    WatchedName now = name_of(target_of(watch.path));
    if (now.dir == watch.target.dir) {
        watch.target.name = now.name;
        return;
    }
    // One directory has one watch: the link's stays when the target leaves it.
    if (watch.target.wd >= 0 && watch.target.wd != watch.link.wd)
        inotify_rm_watch(watch.fd, watch.target.wd);
    now.wd = inotify_add_watch(watch.fd, now.dir.c_str(), WatchedEvents);
    watch.target = now;
}

bool watched(const FileWatch& watch, const inotify_event& event)
{
    return event.len > 0 && ((event.wd == watch.link.wd && watch.link.name == event.name) ||
                             (event.wd == watch.target.wd && watch.target.name == event.name));
}

}   // namespace

FileWatch::~FileWatch()
{
    if (fd >= 0)
        close(fd);
}

bool file_watch_start(FileWatch& watch, const std::string& path, std::string& message)
{
    watch.path = path;
    watch.link = name_of(path);
    watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch.fd >= 0)
        watch.link.wd = inotify_add_watch(watch.fd, watch.link.dir.c_str(), WatchedEvents);
    if (watch.fd < 0 || watch.link.wd < 0) {
        message = "--watch: cannot watch " + watch.link.dir + ": " + std::strerror(errno);
        return false;
    }
    retarget(watch);
    return true;
}

bool file_watch_saved(FileWatch& watch)
{
    alignas(inotify_event) char buffer[4096];
    bool any = false;
    ssize_t got;
    while ((got = read(watch.fd, buffer, sizeof buffer)) > 0) {
        for (char* at = buffer; at < buffer + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            if (watched(watch, *event)) {
                // A write starts a save that only a close or a rename ends.
                watch.writing = (event->mask & IN_MODIFY) != 0;
                watch.pending = !watch.writing;
                watch.closedAt = now_ms();
                watch.stamp = stamp_of(watch.path);
            }
            any = true;
            at += sizeof(inotify_event) + event->len;
        }
    }
    if (any)
        retarget(watch);
    if (!watch.pending || now_ms() - watch.closedAt < SettleMs)
        return false;
    // Changed meanwhile without an event reaching us (a file replaced in
    // another directory through a symbolic link): wait again.
    const FileStamp now = stamp_of(watch.path);
    if (!(now == watch.stamp)) {
        watch.stamp = now;
        watch.closedAt = now_ms();
        return false;
    }
    watch.pending = false;
    return true;
}

int file_watch_wait_ms(const FileWatch& watch)
{
    if (!watch.pending)
        return -1;
    return int(std::max<int64_t>(0, watch.closedAt + SettleMs - now_ms()));
}
