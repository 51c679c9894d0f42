#include "window/options.h"

#include <string_view>

#include "cli/options.h"

namespace {

// How much of an argument a message quotes.
constexpr std::size_t QUOTED_ARGUMENT = 40;

bool isGlutOptionWithValue(std::string_view argument) { return argument == "-display" || argument == "-geometry"; }

bool isGlutFlag(std::string_view argument) {
    return argument == "-direct" || argument == "-indirect" || argument == "-iconic" || argument == "-gldebug" ||
           argument == "-sync";
}

}  // namespace

bool takeWindowOptions(int& argc, char** argv, WindowOptions& options, std::string& error) {
    const auto fileName = [](std::string_view name, std::optional<std::string>& option) {
        return ValueOption{name, "a file name", [name, &option](std::string_view value, std::string& message) {
                               if (value.empty()) {
                                   message = std::string(name) + " needs a file name";
                                   return false;
                               }
                               option = std::string(value);
                               return true;
                           }};
    };
    if (!takeOptions(argc, argv, {fileName("--record", options.record), fileName("--events", options.events)},
                     error)) {
        return false;
    }
    if (options.record == "-") {
        error = "--record needs a file: standard output carries the right arrow's echo";
        return false;
    }
    return true;
}

bool onlyGlutOptionsRemain(int argc, char** argv, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (isGlutFlag(argument)) {
            continue;
        }
        if (isGlutOptionWithValue(argument)) {
            if (++i >= argc) {
                error = std::string(argument) + " needs a value";
                return false;
            }
            continue;
        }
        const std::string quoted(argument.substr(0, QUOTED_ARGUMENT));
        error = argument.starts_with('-') ? "unknown option '" + quoted + "'" : "unexpected argument '" + quoted + "'";
        return false;
    }
    return true;
}
