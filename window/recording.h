// The window program's recording (--record) from the opening of its file to
// its save or discard.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "cli/script_file.h"
#include "sim/session.h"

inline constexpr const char* WINDOW_PROGRAM = "chain20";
inline constexpr int EXIT_BAD_INPUT = 2;

// A script played in the window runs to its last event, past any end that a
// recording in it names.
inline constexpr std::int64_t PLAYED_TO_ITS_END = std::numeric_limits<std::int64_t>::max();

// Opens the recording's file at `path` (which must not be the script being
// played) and has `session` record into it. Call after the stop signals are
// caught, so that none ends the program between here and the recording's end.
// A signal that interrupts the wait for a FIFO's reader ends the program as
// an interrupted run. Returns the exit status of a failure, or 0.
int openRecording(const std::string& path, const FileIdentity& script, Session& session);

// Writes the whole recording, if there is one, and moves it into place.
// Returns the exit status of a failed write, or 0.
int finishRecording();
