#include "cli/options.h"

#include "sim/message_words.h"
#include "sim/parameters.h"

const char* const CHAIN_OPTIONS_HELP =
    "  --links N          number of links, 1 to 100000 (default 20)\n"
    "  --gravity G        gravity in m/s^2, any finite value (default 9.81)\n"
    "  --damping C        joint damping in N m s/rad, >= 0 (default 30)\n"
    "  --stiffness K      tip spring stiffness in N/m, >= 0 (default 200)\n"
    "  --initial-angle A  joint 1's starting angle in radians from the base's x axis (default -1.570796)\n"
    "  --precision P      float or double (default float)\n";

namespace {

const ValueOption* optionNamed(std::string_view name, std::initializer_list<ValueOption> options) {
    for (const ValueOption& option : options) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

// The parameter checks' message, named by the option.
ValueOption chainOption(std::string_view name, ChainDescription& description) {
    return {name, "a value", [name, &description](std::string_view value, std::string& error) {
                if (setChainParameter(name.substr(2), value, description, error)) {
                    return true;
                }
                error = "--" + error;
                return false;
            }};
}

}  // namespace

bool takeOptions(int& argc, char** argv, std::initializer_list<ValueOption> options, std::string& error) {
    int kept = argc > 0 ? 1 : 0;
    for (int i = kept; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const std::size_t equals = argument.find('=');
        const std::string_view name = argument.substr(0, equals);
        const ValueOption* const option = optionNamed(name, options);
        if (option == nullptr) {
            argv[kept++] = argv[i];
            continue;
        }
        if (equals == std::string_view::npos && i + 1 >= argc) {
            error = std::string(name) + " needs " + std::string(option->needs);
            return false;
        }
        const std::string_view value = equals == std::string_view::npos ? argv[++i] : argument.substr(equals + 1);
        if (!option->take(value, error)) {
            return false;
        }
    }
    argc = kept;
    if (argv != nullptr) {
        argv[kept] = nullptr;
    }
    return true;
}

bool takeChainOptions(int& argc, char** argv, ChainDescription& description, std::optional<Precision>& precision,
                      std::string& error) {
    const auto takePrecision = [&precision](std::string_view value, std::string& message) {
        Precision chosen = Precision::Float;
        if (!readPrecision(value, chosen)) {
            message = "--precision: " + quotedWord(value) + " is not float or double";
            return false;
        }
        precision = chosen;
        return true;
    };
    return takeOptions(argc, argv,
                       {chainOption("--links", description), chainOption("--gravity", description),
                        chainOption("--damping", description), chainOption("--stiffness", description),
                        chainOption("--initial-angle", description), {"--precision", "a value", takePrecision}},
                       error);
}
