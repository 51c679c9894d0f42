// Where the CSV goes, without harming what is already there.
//
// "-" is stdout, and so is a descriptor of this process named as a path
// (/dev/stdout, /dev/fd/N, /proc/self/fd/N, or a link to one of them): the
// descriptor is written from where it stands, never replaced. A regular file,
// or a path that does not exist yet, is written to a hidden temporary file in
// the same directory and renamed into place by commit(), keeping the mode,
// owner and group of the file it replaces; a file with more than one hard
// link is truncated and written in place instead, so that every name keeps
// naming it. A symbolic link is followed and its final target is the file
// written. A device or FIFO is opened and written directly, a local stream
// socket connected to.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "cli/script_file.h"

// How open() waits for a reader of a FIFO that has none yet: `announce` is
// told the output's name before the wait, and the wait ends, with open()
// failing on EINTR, once `stopRequested` returns nonzero.
struct ReaderWait {
    void (*announce)(const std::string& name) = nullptr;
    int (*stopRequested)() = nullptr;
};

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { discard(); }

    // Opens the destination; refuses a directory and the event script itself.
    // On failure returns false with `error` set.
    bool open(const std::string& path, const FileIdentity& script, std::string& error, ReaderWait wait = {});

    std::FILE* stream() const { return file; }
    const std::string& name() const { return shownName; }

    // True while an unfinished temporary file stands in for the output.
    bool writesTemporaryFile() const { return !temporaryPath.empty(); }

    // "cannot write output 'NAME': REASON" for the error number `errorNumber`.
    std::string writeError(int errorNumber) const;

    // Flushes, and for a temporary file closes it and renames it into place.
    // Returns 0, or the error number of the step that failed.
    int commit();

    // Closes what was opened and removes an unfinished temporary file.
    void discard();

private:
    bool openDescriptor(int descriptor, const FileIdentity& script, std::string& error);
    bool openDirectly(const std::string& path, const struct stat& info, ReaderWait wait, std::string& error);
    bool openInPlace(const std::string& path, std::string& error);
    bool openTemporary(const std::string& target, const struct stat* replaced, std::string& error);
    bool adopt(int descriptor, std::string& error);
    std::string refusal(const struct stat& info, const FileIdentity& script) const;

    std::FILE* file = nullptr;
    bool ownsFile = false;
    std::string shownName;
    std::string finalPath;
    std::string temporaryPath;
};
