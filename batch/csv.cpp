#include "batch/csv.h"

#include <charconv>
#include <cstring>
#include <string>
#include <type_traits>

#include "sim/diagnostics.h"
#include "sim/shortest_text.h"

namespace {

// Appends `value` in its shortest round-trip form and a separator. A C++
// library without floating-point to_chars (WebAssembly's) gets the same text
// from writeShortest.
template <typename Value>
char* put(char* out, char* end, Value value, char separator) {
#if defined(__cpp_lib_to_chars)
    constexpr bool libraryWritesValue = true;
#else
    constexpr bool libraryWritesValue = !std::is_floating_point_v<Value>;
#endif
    char* stop = nullptr;
    if constexpr (libraryWritesValue) {
        stop = std::to_chars(out, end, value).ptr;
    } else {
        stop = writeShortest(out, value);
    }
    *stop = separator;
    return stop + 1;
}

}  // namespace

std::string csvHeader(int links) {
    std::string header = "step,time";
    for (int i = 1; i <= links; ++i) {
        header += ",p" + std::to_string(i);
    }
    for (int i = 1; i <= links; ++i) {
        header += ",q" + std::to_string(i);
    }
    header += ",energy,tip_x,tip_y\n";
    return header;
}

std::string_view csvHeader() {
    static std::string header;
    header = csvHeader(linkCount);
    return header;
}

std::size_t formatCsvRow(char* buffer, std::int64_t step, StateView state) {
    return formatCsvRow(buffer, step, state, decimalOf(chain.gravity));
}

std::size_t formatCsvRow(char* buffer, std::int64_t step, StateView state, double gravity) {
    char* out = buffer;
    char* const end = buffer + csvRowCapacity(state.size() / 2);
    out = put(out, end, step, ',');
    // Simulated time: step thousandths of a second, exactly as a decimal.
    out = put(out, end, step / 1000, '.');
    const auto millis = static_cast<int>(step % 1000);
    *out++ = static_cast<char>('0' + millis / 100);
    *out++ = static_cast<char>('0' + millis / 10 % 10);
    *out++ = static_cast<char>('0' + millis % 10);
    *out++ = ',';
    // Each value as the shortest text that reads back to the same value in
    // the chain's precision.
    for (int i = 0; i < state.size(); ++i) {
        out = state.precision() == Precision::Float ? put(out, end, state.floats()[i], ',')
                                                    : put(out, end, state.doubles()[i], ',');
    }
    const TipPosition tip = tipPosition(state);
    out = put(out, end, chainEnergy(state, gravity), ',');
    out = put(out, end, tip.x, ',');
    out = put(out, end, tip.y, '\n');
    return static_cast<std::size_t>(out - buffer);
}
