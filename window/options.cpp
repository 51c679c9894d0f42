#include "window/options.h"

#include <string_view>

namespace {

std::optional<std::string>* optionNamed(std::string_view name, WindowOptions& options) {
    if (name == "--record") {
        return &options.record;
    }
    if (name == "--events") {
        return &options.events;
    }
    return nullptr;
}

// How much of an argument a message quotes.
constexpr std::size_t QUOTED_ARGUMENT = 40;

bool isGlutOptionWithValue(std::string_view argument) { return argument == "-display" || argument == "-geometry"; }

bool isGlutFlag(std::string_view argument) {
    return argument == "-direct" || argument == "-indirect" || argument == "-iconic" || argument == "-gldebug" ||
           argument == "-sync";
}

}  // namespace

bool takeWindowOptions(int& argc, char** argv, WindowOptions& options, std::string& error) {
    int kept = argc > 0 ? 1 : 0;
    for (int i = kept; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const std::size_t equals = argument.find('=');
        const std::string_view name = argument.substr(0, equals);
        std::optional<std::string>* option = optionNamed(name, options);
        if (option == nullptr) {
            argv[kept++] = argv[i];
            continue;
        }
        if (equals == std::string_view::npos && i + 1 >= argc) {
            error = std::string(name) + " needs a file name";
            return false;
        }
        const std::string value(equals == std::string_view::npos ? std::string_view(argv[++i])
                                                                 : argument.substr(equals + 1));
        if (value.empty()) {
            error = std::string(name) + " needs a file name";
            return false;
        }
        *option = value;
    }
    if (options.record == "-") {
        error = "--record needs a file: standard output carries the right arrow's echo";
        return false;
    }
    argc = kept;
    argv[kept] = nullptr;
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
