// What the two native programs share. By header:
//   options.h       one command-line scanner, and the chain's options on it
//   script_file.h   the event script read from a file or stdin, and loaded
//   output_file.h   the output: complete or not at all, descriptor paths in place
//   stderr_lines.h  messages with control bytes escaped, capped reset lines
//   stop_signals.h  SIGINT, SIGTERM and SIGHUP caught to end a run cleanly
//   progress_bar.h  the progress of a long run on a terminal
#pragma once

#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/progress_bar.h"
#include "cli/script_file.h"
#include "cli/stderr_lines.h"
#include "cli/stop_signals.h"
