// Where the CSV goes, without harming what is already there.
//
// "-" is stdout. A regular file, or a path that does not exist yet, is
// written to a hidden temporary file in the same directory and renamed into
// place by commit(), keeping the mode of the file it replaces; a symbolic
// link is followed and its final target is the file replaced. A device or
// FIFO is opened and written directly, a local stream socket connected to.
#pragma once

#include <cstdio>
#include <string>

#include "cli/script_file.h"

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { discard(); }

    // Opens the destination; refuses a directory and the event script itself.
    // On failure returns false with `error` set.
    bool open(const std::string& path, const FileIdentity& script, std::string& error);

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
    bool openDirectly(const std::string& path, bool socket, std::string& error);
    bool openTemporary(const std::string& target, mode_t mode, std::string& error);

    std::FILE* file = nullptr;
    bool ownsFile = false;
    std::string shownName;
    std::string finalPath;
    std::string temporaryPath;
};
