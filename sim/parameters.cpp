#include "sim/parameters.h"

#include "sim/message_words.h"
#include "sim/shortest_text.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

namespace {

enum class Range { ANY, NOT_NEGATIVE };

bool wholeNumber(std::string_view text, std::int32_t low, std::int32_t high, std::int32_t& value) {
    std::int64_t parsed = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, status] = std::from_chars(text.data(), end, parsed);
    if (text.empty() || status != std::errc{} || stop != end || parsed < low || parsed > high) {
        return false;
    }
    value = static_cast<std::int32_t>(parsed);
    return true;
}

// An optional '-', digits with at most one point, and an optional exponent:
// the decimals that from_chars reads, without its infinities and NaNs.
bool plainDecimal(std::string_view text) {
    std::size_t i = text.starts_with('-') ? 1 : 0;
    int digits = 0;
    bool point = false;
    for (; i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) != 0 || (text[i] == '.' && !point));
         ++i) {
        point = point || text[i] == '.';
        digits += text[i] != '.' ? 1 : 0;
    }
    if (digits == 0) {
        return false;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        i += i + 1 < text.size() && (text[i + 1] == '+' || text[i + 1] == '-') ? 2 : 1;
        const std::size_t exponentStart = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0) {
            ++i;
        }
        if (i == exponentStart) {
            return false;
        }
    }
    return i == text.size();
}

// A decimal that is a finite float (and not negative if so required).
bool finiteNumber(std::string_view text, Range range, float& value) {
    float parsed = 0.0f;
    if (!readDecimalFloat(text, parsed) || !std::isfinite(parsed) ||
        (range == Range::NOT_NEGATIVE && parsed < 0.0f)) {
        return false;
    }
    value = parsed;
    return true;
}

// Applies one option's value; false with the message if the value is bad.
bool applyOption(std::string_view name, std::string_view text, ChainDescription& d, std::string& error) {
    bool good = false;
    std::string wanted;
    if (name == "--links") {
        good = wholeNumber(text, 1, MOST_LINKS, d.links);
        wanted = "a whole number from 1 to " + std::to_string(MOST_LINKS);
    } else {
        const Range range = name == "--damping" || name == "--stiffness" ? Range::NOT_NEGATIVE : Range::ANY;
        float& value = name == "--gravity" ? d.gravity
                       : name == "--damping" ? d.damping
                       : name == "--stiffness" ? d.stiffness
                                               : d.initialAngle;
        good = finiteNumber(text, range, value);
        wanted = range == Range::NOT_NEGATIVE ? "a finite number >= 0" : "a finite number";
    }
    if (!good) {
        error = std::string(name) + ": " + quotedWord(text) + " is not " + wanted;
    }
    return good;
}

// `value` to 3 significant digits, rounded up or down, as the double its
// text reads back to, and that text.
double threeDigits(double value, bool up, std::string& text) {
    const double scale = std::pow(10.0, std::floor(std::log10(value)) - 2.0);
    const double digits = up ? std::ceil(value / scale) : std::floor(value / scale);
    char written[40];
    std::snprintf(written, sizeof written, "%.3g", digits * scale);
    text = written;
    return std::strtod(written, nullptr);
}

bool isChainOption(std::string_view name) {
    return name == "--links" || name == "--gravity" || name == "--damping" || name == "--stiffness" ||
           name == "--initial-angle";
}

}  // namespace

// strtof rather than from_chars, which the WebAssembly build's C++ library
// lacks for floats and which refuses a decimal that underflows. Both round
// correctly; strtof's range error is left aside, since an underflow has
// rounded to a float and an overflow to an infinity, which callers refuse.
bool readDecimalFloat(std::string_view text, float& value) {
    if (!plainDecimal(text)) {
        return false;
    }
    const std::string copy(text);
    value = std::strtof(copy.c_str(), nullptr);
    return true;
}

bool setChainParameter(std::string_view name, std::string_view text, ChainDescription& description,
                       std::string& error) {
    const std::string option = "--" + std::string(name);
    if (!isChainOption(option)) {
        error = "unknown parameter " + quotedWord(name) +
                " (expected links, gravity, damping, stiffness or initial-angle)";
        return false;
    }
    if (!applyOption(option, text, description, error)) {
        error.erase(0, 2);
        return false;
    }
    return true;
}

const char* precisionName(Precision precision) { return precision == Precision::Double ? "double" : "float"; }

bool readPrecision(std::string_view text, Precision& precision) {
    if (text != "float" && text != "double") {
        return false;
    }
    precision = text == "double" ? Precision::Double : Precision::Float;
    return true;
}

bool checkSweptValues(std::string_view name, double from, double to, Precision precision, std::string& error) {
    const auto finite = [precision](double value) {
        return precision == Precision::Double ? std::isfinite(value) : std::isfinite(static_cast<float>(value));
    };
    if (finite(from) && finite(to) && std::isfinite(to - from)) {
        return true;
    }
    error = "--sweep: " + std::string(name) + " must stay finite in " + precisionName(precision);
    return false;
}

bool checkPerturbation(double perturbation, double largestAngle, Precision precision, std::string& error) {
    const double farthest = std::abs(largestAngle) + perturbation;
    if (precision == Precision::Double ? std::isfinite(farthest) : std::isfinite(static_cast<float>(farthest))) {
        return true;
    }
    error = "--perturb: " + shortestString(perturbation) + " must leave the starting angles finite in " +
            precisionName(precision);
    return false;
}

bool checkShadowDistance(double distance, std::int32_t links, Precision precision, std::string& error) {
    constexpr double HALF_TURN = 3.14159265358979323846;
    const double halfUnitOfOneRadian = precision == Precision::Double
                                           ? std::numeric_limits<double>::epsilon() / 2.0
                                           : static_cast<double>(std::numeric_limits<float>::epsilon()) / 2.0;
    const double root = std::sqrt(static_cast<double>(links));
    std::string leastText;
    std::string mostText;
    const double least = threeDigits(root * halfUnitOfOneRadian, true, leastText);
    const double most = threeDigits(root * HALF_TURN, false, mostText);
    if (distance >= least && distance <= most) {
        return true;
    }
    error = "--lyapunov: " + shortestString(distance) + " is not from " + leastText + " to " + mostText + " for " +
            std::to_string(links) + " links in " + precisionName(precision) +
            " (a shadow nearer is lost in rounding, one farther is more than half a turn away on each angle)";
    return false;
}

std::string precisionNote(std::int32_t links, Precision precision) {
    if (precision == Precision::Double || links <= FLOAT_MEANINGFUL_LINKS) {
        return "";
    }
    return std::to_string(links) + " links in float: beyond " + std::to_string(FLOAT_MEANINGFUL_LINKS) +
           " links the joint rates are off by more than 1%; --precision double keeps them meaningful";
}
