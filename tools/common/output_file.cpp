#include "tools/common/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool starts_with(const std::string& s, const char* head)
{
    return s.rfind(head, 0) == 0;
}

// Follows a chain of symbolic links to the path that is finally opened.
// through_descriptor: some step names an already open descriptor
// (/dev/stdout is a link to /proc/self/fd/1), which must be written where it
// is, never replaced.
std::string resolve_links(const std::string& destination, bool& through_descriptor)
{
    std::string at = destination;
    through_descriptor = false;
    for (int step = 0; step < 40; ++step) {
        // Links under /proc name open descriptors ("pipe:[1234]" for a
        // pipe): the path itself is opened, as the kernel resolves it.
        if (starts_with(at, "/proc/") || starts_with(at, "/dev/fd/")) {
            through_descriptor = true;
            break;
        }
        struct stat link;
        if (lstat(at.c_str(), &link) != 0 || !S_ISLNK(link.st_mode))
            break;
        std::vector<char> text(size_t(link.st_size > 0 ? link.st_size : 255) + 1);
        ssize_t length = readlink(at.c_str(), text.data(), text.size() - 1);
        if (length < 0)
            break;
        fs::path next(std::string(text.data(), size_t(length)));
        at = next.is_absolute() ? next.string() : (fs::path(at).parent_path() / next).string();
    }
    return at;
}

// A fresh name beginning with stem, reserved by creating it; "" on failure.
std::string reserve_name(const std::string& stem)
{
    std::vector<char> name(stem.begin(), stem.end());
    const char suffix[] = "XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);   // with the NUL
    int fd = mkstemp(name.data());
    if (fd < 0)
        return "";
    ::close(fd);
    return name.data();
}

// Closes file, reporting the first failure of writing out what it buffered.
bool close_stream(std::FILE*& file, std::string& why)
{
    bool ok = std::fflush(file) == 0 && !std::ferror(file);
    if (!ok)
        why = errno_text();
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        why = errno_text();
    }
    file = nullptr;
    return ok;
}

}   // namespace

std::string errno_text() { return std::strerror(errno); }

OutputFile::OutputFile(OutputFile&& other) noexcept
{
    *this = std::move(other);
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept
{
    if (this != &other) {
        discard();
        path = std::move(other.path);
        target = std::move(other.target);
        tempPath = std::move(other.tempPath);
        previousPath = std::move(other.previousPath);
        file = other.file;
        direct = other.direct;
        placed = other.placed;
        other.file = nullptr;
        other.tempPath.clear();
        other.previousPath.clear();
        other.placed = false;
    }
    return *this;
}

bool OutputFile::open(const std::string& destination, std::string& error)
{
    discard();
    path = destination;
    direct = false;
    if (destination.empty()) {
        error = "cannot write a file with an empty name";
        return false;
    }
    bool throughDescriptor = false;
    target = resolve_links(destination, throughDescriptor);
    struct stat existing;
    const bool exists = stat(target.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        error = "cannot write " + destination + ": it is a directory";
        return false;
    }
    if (exists && (!S_ISREG(existing.st_mode) || throughDescriptor)) {
        // Written in place: renaming over a device or FIFO would replace it
        // with a regular file. A regular file behind a descriptor name is
        // emptied first, as the shell's ">" would.
        int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | (S_ISREG(existing.st_mode) ? O_TRUNC : 0);
        int fd = ::open(target.c_str(), flags);
        if (fd < 0 || !(file = fdopen(fd, "wb"))) {
            error = "cannot write " + destination + ": " + errno_text();
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        direct = true;
        return true;
    }
    // The temporary file sits beside the target so that the final rename
    // cannot cross file systems.
    tempPath = reserve_name(target + ".partial-");
    if (tempPath.empty() || !(file = std::fopen(tempPath.c_str(), "wb"))) {
        error = "cannot write " + destination + ": " + errno_text();
        if (!tempPath.empty())
            std::remove(tempPath.c_str());
        tempPath.clear();
        return false;
    }
    // mkstemp creates the file 0600; an output file should get the usual
    // permissions under the user's umask.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fileno(file), 0666 & ~mask);
    return true;
}

bool OutputFile::place(std::string& error)
{
    std::string why;
    bool ok = close_stream(file, why);
    if (ok && !direct) {
        // The replaced file stays reachable under a second name until keep()
        // or discard(); a hard link keeps the destination present throughout.
        struct stat old;
        if (lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
            previousPath = reserve_name(target + ".previous-");
            bool aside = !previousPath.empty() && std::remove(previousPath.c_str()) == 0 &&
                         (link(target.c_str(), previousPath.c_str()) == 0 ||
                          std::rename(target.c_str(), previousPath.c_str()) == 0);
            if (!aside) {
                ok = false;
                why = errno_text();
                previousPath.clear();
            }
        }
        if (ok && std::rename(tempPath.c_str(), target.c_str()) != 0) {
            ok = false;
            why = errno_text();
            if (!previousPath.empty() && std::rename(previousPath.c_str(), target.c_str()) != 0)
                std::remove(previousPath.c_str());
            previousPath.clear();
        }
    }
    if (!ok) {
        error = "cannot write " + path + ": " + why;
        discard();
        return false;
    }
    tempPath.clear();
    placed = !direct;
    return true;
}

bool OutputFile::commit(std::string& error)
{
    if (!place(error))
        return false;
    keep();
    return true;
}

void OutputFile::keep()
{
    if (!previousPath.empty())
        std::remove(previousPath.c_str());
    previousPath.clear();
    placed = false;
}

void OutputFile::discard()
{
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
    if (!tempPath.empty()) {
        std::remove(tempPath.c_str());
        tempPath.clear();
    }
    if (placed) {
        if (previousPath.empty())
            std::remove(target.c_str());
        else
            std::rename(previousPath.c_str(), target.c_str());
        previousPath.clear();
        placed = false;
    }
}

bool output_in_place(const std::string& destination)
{
    bool throughDescriptor = false;
    const std::string target = resolve_links(destination, throughDescriptor);
    struct stat existing;
    return stat(target.c_str(), &existing) == 0 && !S_ISDIR(existing.st_mode) &&
           (!S_ISREG(existing.st_mode) || throughDescriptor);
}

bool same_file(const std::string& a, const std::string& b)
{
    // The links are followed as open() follows them, so a link to a file
    // that does not exist yet names the file it would create.
    bool throughDescriptor = false;
    const std::string targetA = resolve_links(a, throughDescriptor);
    const std::string targetB = resolve_links(b, throughDescriptor);
    struct stat sa, sb;
    const bool aExists = stat(targetA.c_str(), &sa) == 0, bExists = stat(targetB.c_str(), &sb) == 0;
    if (aExists && bExists)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (aExists != bExists)
        return false;
    std::error_code ignored;
    return fs::weakly_canonical(fs::absolute(targetA, ignored), ignored) ==
           fs::weakly_canonical(fs::absolute(targetB, ignored), ignored);
}
