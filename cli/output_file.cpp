#include "cli/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int MOST_LINK_HOPS = 40;

// The hidden temporary name is "." BASE ".partial-XXXXXX"; the base is cut so
// that the whole name fits NAME_MAX whenever BASE itself does.
constexpr std::string_view TEMPORARY_SUFFIX = ".partial-XXXXXX";
constexpr std::size_t LONGEST_TEMPORARY_BASE = NAME_MAX - 1 - TEMPORARY_SUFFIX.size();

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links from `path` to the path they finally name, which need
// not exist yet. Returns false with errno set when a link cannot be read or
// the links loop.
bool followLinks(std::string& path) {
    for (int hop = 0; hop < MOST_LINK_HOPS; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return true;
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0) {
            return false;
        }
        target.resize(static_cast<std::size_t>(length));
        path = target[0] == '/' ? target : directoryOf(path) + target;
    }
    errno = ELOOP;
    return false;
}

// A local stream socket is written by connecting to it; open() refuses it.
int connectToSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor >= 0 && ::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int connectErrno = errno;
        ::close(descriptor);
        errno = connectErrno;
        return -1;
    }
    return descriptor;
}

mode_t modeOfNewFile() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

std::string OutputFile::writeError(int errorNumber) const {
    return "cannot write output '" + shownName + "': " + std::strerror(errorNumber);
}

bool OutputFile::open(const std::string& path, const FileIdentity& script, std::string& error) {
    shownName = path;
    if (path == "-") {
        shownName = "stdout";
        file = stdout;
        return true;
    }
    if (path.empty()) {
        error = writeError(ENOENT);
        return false;
    }
    struct stat info {};
    const bool exists = ::stat(path.c_str(), &info) == 0;
    if (!exists && errno != ENOENT) {
        error = writeError(errno);
        return false;
    }
    if (exists && S_ISDIR(info.st_mode)) {
        error = "cannot write output '" + path + "': it is a directory";
        return false;
    }
    if (exists && script.regular && info.st_dev == script.device && info.st_ino == script.inode) {
        error = "cannot write output '" + path + "': it is the event script";
        return false;
    }
    if (exists && !S_ISREG(info.st_mode)) {
        return openDirectly(path, S_ISSOCK(info.st_mode), error);
    }
    std::string target = path;
    if (!followLinks(target)) {
        error = writeError(errno);
        return false;
    }
    return openTemporary(target, exists ? info.st_mode & 07777 : modeOfNewFile(), error);
}

bool OutputFile::openDirectly(const std::string& path, bool socket, std::string& error) {
    const int descriptor = socket ? connectToSocket(path) : ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    file = descriptor < 0 ? nullptr : ::fdopen(descriptor, "wb");
    if (file == nullptr) {
        error = writeError(errno);
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        return false;
    }
    ownsFile = true;
    return true;
}

bool OutputFile::openTemporary(const std::string& target, mode_t mode, std::string& error) {
    const std::string directory = directoryOf(target);
    const std::string base = target.substr(directory.size());
    std::string temporary =
        directory + "." + base.substr(0, LONGEST_TEMPORARY_BASE) + std::string(TEMPORARY_SUFFIX);
    const int descriptor = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (descriptor < 0) {
        error = writeError(errno);
        return false;
    }
    temporaryPath = temporary;
    finalPath = target;
    // mkstemp makes the file private: give it the mode of the file it
    // replaces, or the mode a new file gets.
    if (::fchmod(descriptor, mode) != 0 || (file = ::fdopen(descriptor, "wb")) == nullptr) {
        error = writeError(errno);
        ::close(descriptor);
        discard();
        return false;
    }
    ownsFile = true;
    return true;
}

int OutputFile::commit() {
    if (std::fflush(file) != 0 || std::ferror(file) != 0) {
        return errno != 0 ? errno : EIO;
    }
    if (!ownsFile) {
        return 0;
    }
    const int closed = std::fclose(file);
    file = nullptr;
    if (closed != 0) {
        return errno;
    }
    if (!temporaryPath.empty()) {
        if (std::rename(temporaryPath.c_str(), finalPath.c_str()) != 0) {
            return errno;
        }
        temporaryPath.clear();
    }
    return 0;
}

void OutputFile::discard() {
    if (file != nullptr && ownsFile) {
        std::fclose(file);
    }
    file = nullptr;
    if (!temporaryPath.empty()) {
        ::unlink(temporaryPath.c_str());
        temporaryPath.clear();
    }
}
