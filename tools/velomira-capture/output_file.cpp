#include "tools/velomira-capture/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

std::string errno_text() { return std::strerror(errno); }

bool OutputFile::open(const std::string& destination, std::string& error)
{
    discard();
    path = destination;
    std::error_code ignored;
    if (std::filesystem::is_directory(destination, ignored)) {
        error = "cannot write " + destination + ": it is a directory";
        return false;
    }
    // mkstemp wants a writable template; the temporary sits in the
    // destination's directory so the final rename cannot cross file systems.
    std::string pattern = destination + ".partial-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        error = "cannot write " + destination + ": " + errno_text();
        return false;
    }
    tempPath = name.data();
    file = fdopen(fd, "wb");
    if (!file) {
        error = "cannot write " + destination + ": " + errno_text();
        ::close(fd);
        std::remove(tempPath.c_str());
        tempPath.clear();
        return false;
    }
    // mkstemp creates the file 0600; an output file should get the usual
    // permissions under the user's umask.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return true;
}

bool OutputFile::commit(std::string& error)
{
    bool ok = std::fflush(file) == 0 && !std::ferror(file);
    std::string why = ok ? "" : errno_text();
    ok = std::fclose(file) == 0 && ok;
    if (why.empty() && !ok)
        why = errno_text();
    file = nullptr;
    if (ok && std::rename(tempPath.c_str(), path.c_str()) != 0) {
        ok = false;
        why = errno_text();
    }
    if (!ok) {
        error = "cannot write " + path + ": " + why;
        std::remove(tempPath.c_str());
    }
    tempPath.clear();
    return ok;
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
}
