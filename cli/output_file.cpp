#include "cli/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#if defined(__EMSCRIPTEN__)
#include <emscripten.h>
#endif

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

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

bool takePrefix(std::string_view& text, std::string_view prefix) {
    if (!text.starts_with(prefix)) {
        return false;
    }
    text.remove_prefix(prefix.size());
    return true;
}

// Takes the whole number that `text` starts with, written as the kernel
// writes it (digits, no leading zero), off its front.
bool takeNumber(std::string_view& text, long& number) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (failure != std::errc() || number > INT_MAX || (text[0] == '0' && end - text.data() > 1)) {
        return false;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return true;
}

// The process whose descriptors the folder `directory` lists once all its
// links are resolved: /proc/PID/fd or /proc/PID/task/TID/fd (which is what
// /dev/fd, /proc/self/fd and /proc/thread-self/fd are), or -1.
long descriptorFolderOwner(const std::string& directory) {
    char resolved[PATH_MAX];
    if (::realpath(directory.empty() ? "." : directory.c_str(), resolved) == nullptr) {
        return -1;
    }
    std::string_view rest = resolved;
    long process = -1;
    long thread = -1;
    if (!takePrefix(rest, "/proc/") || !takeNumber(rest, process) ||
        (takePrefix(rest, "/task/") && !takeNumber(rest, thread))) {
        return -1;
    }
    return rest == "/fd" ? process : -1;
}

// This process's number in /proc. It is read from /proc/self rather than
// taken from getpid(): in the WebAssembly build under node, the descriptors
// are node's and getpid() is a stand-in.
long ownProcess() {
    char resolved[PATH_MAX];
    std::string_view rest = ::realpath("/proc/self", resolved) != nullptr ? resolved : "";
    long process = -1;
    return takePrefix(rest, "/proc/") && takeNumber(rest, process) && rest.empty() ? process : -1;
}

// Where a path leads once its symbolic links are followed: a path to write,
// or a link in a process's descriptor folder, which is a descriptor of that
// process and not the file its text names.
struct Destination {
    std::string path;
    long process = -1;
    int descriptor = -1;
};

// Follows symbolic links from `destination.path` to the path they finally
// name, which need not exist yet, stopping at a descriptor link. Returns false
// with errno set when a link cannot be read or the links loop.
bool followLinks(Destination& destination) {
    std::string& path = destination.path;
    for (int hop = 0; hop < MOST_LINK_HOPS; ++hop) {
        const std::string directory = directoryOf(path);
        std::string_view name = std::string_view(path).substr(directory.size());
        if (long number = 0; takeNumber(name, number) && name.empty()) {
            destination.process = descriptorFolderOwner(directory);
            if (destination.process >= 0) {
                destination.descriptor = static_cast<int>(number);
                return true;
            }
        }
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
        path = target[0] == '/' ? target : directory + target;
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

int openForWriting(const std::string& path, int flags) {
    return ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | flags);
}

// Opened without blocking, as a writer of a FIFO that has a reader; then
// writes to a full FIFO wait again.
int openFifoWithReader(const std::string& path) {
    const int descriptor = openForWriting(path, O_NONBLOCK);
    if (descriptor >= 0 && ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) != 0) {
        const int fcntlErrno = errno;
        ::close(descriptor);
        errno = fcntlErrno;
        return -1;
    }
    return descriptor;
}

// A FIFO is opened once a reader has it open. Without one yet, `wait` is
// told, and the open is tried again every few milliseconds until a reader
// comes or a stop is requested (then it fails with EINTR). Polling rather
// than a blocking open: a signal that lands just before a blocking open
// would leave it waiting for good.
int openFifo(const std::string& path, const std::string& name, ReaderWait wait) {
    constexpr useconds_t POLL_MICROSECONDS = 20000;
    int descriptor = openFifoWithReader(path);
    if (descriptor >= 0 || errno != ENXIO) {
        return descriptor;
    }
    if (wait.announce != nullptr) {
        wait.announce(name);
    }
    while ((descriptor = openFifoWithReader(path)) < 0 && errno == ENXIO) {
        if (wait.stopRequested != nullptr && wait.stopRequested() != 0) {
            errno = EINTR;
            return -1;
        }
        ::usleep(POLL_MICROSECONDS);
    }
    return descriptor;
}

#if defined(__EMSCRIPTEN__)
// Under node the C library's umask is the emulated file system's own, not the
// process's: the process's is node's to tell (a worker may read it).
EM_JS(int, processUmask, (), { return process.umask(); });
#endif

mode_t modeOfNewFile() {
#if defined(__EMSCRIPTEN__)
    const auto mask = static_cast<mode_t>(processUmask());
#else
    const mode_t mask = ::umask(0);
    ::umask(mask);
#endif
    return 0666 & ~mask;
}

// Gives the temporary file the owner and group of the file it replaces. Only
// root may give a file away; others keep the group when they belong to it,
// and what cannot be kept stays theirs, as with an editor's save.
void keepOwner(int descriptor, const struct stat& replaced) {
    if (::fchown(descriptor, replaced.st_uid, replaced.st_gid) != 0) {
        static_cast<void>(::fchown(descriptor, static_cast<uid_t>(-1), replaced.st_gid) == 0);
    }
}

}  // namespace

std::string OutputFile::writeError(int errorNumber) const {
    return "cannot write output '" + shownName + "': " + std::strerror(errorNumber);
}

std::string OutputFile::refusal(const struct stat& info, const FileIdentity& script) const {
    if (S_ISDIR(info.st_mode)) {
        return "cannot write output '" + shownName + "': it is a directory";
    }
    if (script.regular && info.st_dev == script.device && info.st_ino == script.inode) {
        return "cannot write output '" + shownName + "': it is the event script";
    }
    return {};
}

bool OutputFile::open(const std::string& path, const FileIdentity& script, std::string& error, ReaderWait wait) {
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
    Destination destination{path};
    if (!followLinks(destination)) {
        error = writeError(errno);
        return false;
    }
    if (destination.process >= 0 && destination.process == ownProcess()) {
        return openDescriptor(destination.descriptor, script, error);
    }
    const std::string& target = destination.path;
    struct stat info {};
    const bool exists = ::stat(target.c_str(), &info) == 0;
    if (!exists && errno != ENOENT) {
        error = writeError(errno);
        return false;
    }
    if (exists && !(error = refusal(info, script)).empty()) {
        return false;
    }
    if (destination.process >= 0) {
        // Another process's descriptor: opened through its link, as a shell's
        // >> opens it, so that what it holds stays.
        return adopt(openForWriting(target, O_APPEND), error);
    }
    if (exists && !S_ISREG(info.st_mode)) {
        return openDirectly(target, info, wait, error);
    }
    if (exists && info.st_nlink > 1) {
        return adopt(openForWriting(target, O_TRUNC), error);
    }
    return openTemporary(target, exists ? &info : nullptr, error);
}

bool OutputFile::openDescriptor(int descriptor, const FileIdentity& script, std::string& error) {
    const int flags = ::fcntl(descriptor, F_GETFL);
    struct stat info {};
    if (flags < 0 || ::fstat(descriptor, &info) != 0) {
        error = writeError(errno);
        return false;
    }
    if ((flags & O_ACCMODE) == O_RDONLY) {
        error = "cannot write output '" + shownName + "': descriptor " + std::to_string(descriptor) +
                " is not open for writing";
        return false;
    }
    if (!(error = refusal(info, script)).empty()) {
        return false;
    }
    // A copy of the descriptor shares its position and its O_APPEND: the rows
    // go on from where the descriptor stands.
    return adopt(::fcntl(descriptor, F_DUPFD_CLOEXEC, 0), error);
}

bool OutputFile::openDirectly(const std::string& path, const struct stat& info, ReaderWait wait, std::string& error) {
    if (S_ISSOCK(info.st_mode)) {
        return adopt(connectToSocket(path), error);
    }
    return adopt(S_ISFIFO(info.st_mode) ? openFifo(path, shownName, wait) : openForWriting(path, 0), error);
}

bool OutputFile::openTemporary(const std::string& target, const struct stat* replaced, std::string& error) {
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
    // mkstemp makes the file private: give it the owner, group and mode of the
    // file it replaces, or the mode a new file gets. The mode comes last, as
    // a change of owner clears the set-user-ID and set-group-ID bits.
    if (replaced != nullptr) {
        keepOwner(descriptor, *replaced);
    }
    if (::fchmod(descriptor, replaced != nullptr ? replaced->st_mode & 07777 : modeOfNewFile()) != 0) {
        error = writeError(errno);
        ::close(descriptor);
        discard();
        return false;
    }
    return adopt(descriptor, error);
}

bool OutputFile::adopt(int descriptor, std::string& error) {
    file = descriptor < 0 ? nullptr : ::fdopen(descriptor, "wb");
    if (file == nullptr) {
        error = writeError(errno);
        if (descriptor >= 0) {
            ::close(descriptor);
        }
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
