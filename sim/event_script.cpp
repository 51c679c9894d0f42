#include "sim/event_script.h"

#include "sim/parameters.h"
#include "sim/message_words.h"
#include "sim/shortest_text.h"
#include "sim/state_hash.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

constexpr std::string_view VERBS = "press, drag, release, left, right, reset, resize or set";

constexpr std::string_view PARAMETER_NAMES[CHAIN_PARAMETERS] = {"links", "gravity", "damping", "stiffness",
                                                                 "initial-angle"};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Splits a line into at most `capacity` words; returns how many it found
// (capacity + 1 if there were more).
int splitWords(std::string_view line, std::string_view* words, int capacity) {
    int count = 0;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isSpace(line[i])) {
            ++i;
        }
        if (i == line.size()) {
            break;
        }
        std::size_t end = i;
        while (end < line.size() && !isSpace(line[end])) {
            ++end;
        }
        if (count == capacity) {
            return capacity + 1;
        }
        words[count++] = line.substr(i, end - i);
        i = end;
    }
    return count;
}

bool allDigits(std::string_view word) {
    if (word.empty()) {
        return false;
    }
    for (const char c : word) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// Reads a step number; on failure returns false with `what` set.
bool readStep(std::string_view word, std::int64_t lastStep, std::int64_t& step, std::string& what) {
    if (word.size() > 1 && word[0] == '-' && allDigits(word.substr(1))) {
        const bool zero = word.find_first_not_of('0', 1) == std::string_view::npos;
        what = zero ? "step " + quotedWord(word) + " carries a sign; steps are written without one"
                    : "step " + shortened(word) + " is negative";
        return false;
    }
    if (!allDigits(word)) {
        what = "step " + quotedWord(word) + " is not a whole number";
        return false;
    }
    const auto [end, status] = std::from_chars(word.data(), word.data() + word.size(), step);
    if (status != std::errc{} || end != word.data() + word.size() || step > lastStep) {
        what = "step " + quotedWord(word) + " lies beyond the last step of the run (" + std::to_string(lastStep) + ")";
        return false;
    }
    return true;
}

// Parses one line that holds an event; on failure returns false.
bool parseLine(std::string_view line, std::int64_t lastStep, std::int64_t previousStep, std::int64_t previousLine,
               ScriptEvent& event, std::string& what) {
    constexpr int MOST_WORDS = 4;
    std::string_view words[MOST_WORDS];
    const int count = splitWords(line, words, MOST_WORDS);

    if (!readStep(words[0], lastStep, event.step, what)) {
        return false;
    }
    if (event.step < previousStep) {
        what = "step " + std::to_string(event.step) + " comes after step " + std::to_string(previousStep) +
               " on line " + std::to_string(previousLine) + "; steps must not decrease";
        return false;
    }
    if (count < 2) {
        what = "no event after the step (expected " + std::string(VERBS) + ")";
        return false;
    }
    const std::string_view verb = words[1];
    int wanted = 2;
    if (verb == "press" || verb == "drag") {
        event.kind = verb == "press" ? EventKind::Press : EventKind::Drag;
        wanted = 4;
        if (count < 4) {
            what = std::string(verb) + " needs the X and Y window coordinates";
            return false;
        }
        if (!readCoordinate(words[2], "X", event.x, what) || !readCoordinate(words[3], "Y", event.y, what)) {
            return false;
        }
    } else if (verb == "release") {
        event.kind = EventKind::Release;
    } else if (verb == "left") {
        event.kind = EventKind::LeftKey;
    } else if (verb == "right") {
        event.kind = EventKind::RightKey;
    } else if (verb == "reset") {
        event.kind = EventKind::Reset;
    } else if (verb == "set") {
        event.kind = EventKind::Set;
        wanted = 4;
        if (count < 4) {
            what = "set needs a parameter name and a value";
            return false;
        }
        ChainDescription parsed;
        if (!setChainParameter(words[2], words[3], parsed, what)) {
            return false;
        }
        int index = 0;
        while (PARAMETER_NAMES[index] != words[2]) {
            ++index;
        }
        event.parameter = static_cast<ChainParameter>(index);
        event.value = setEvent(event.parameter, parsed).value;
    } else if (verb == "resize") {
        event.kind = EventKind::Resize;
        wanted = 4;
        if (count < 4) {
            what = "resize needs the window's width and height";
            return false;
        }
        if (!readWindowSide(words[2], "width", event.x, what) || !readWindowSide(words[3], "height", event.y, what)) {
            return false;
        }
    } else {
        what = "unknown event " + quotedWord(verb) + " (expected " + std::string(VERBS) + ")";
        return false;
    }
    if (count > wanted) {
        // Find the first extra word again for the message.
        std::string_view all[MOST_WORDS + 1];
        splitWords(line, all, wanted + 1);
        what = "unexpected " + quotedWord(all[wanted]) + " after the " + std::string(verb) + " event";
        return false;
    }
    return true;
}

}  // namespace

// Reads a pixel coordinate named `axis`; on failure returns false.
bool readCoordinate(std::string_view word, std::string_view axis, int& value, std::string& what) {
    const std::string_view digits = !word.empty() && word[0] == '-' ? word.substr(1) : word;
    if (!allDigits(digits)) {
        what = std::string(axis) + " coordinate " + quotedWord(word) + " is not a whole number of pixels";
        return false;
    }
    long long parsed = 0;
    const auto [end, status] = std::from_chars(word.data(), word.data() + word.size(), parsed);
    if (status != std::errc{} || end != word.data() + word.size() || parsed > MAX_COORDINATE ||
        parsed < -MAX_COORDINATE) {
        what = std::string(axis) + " coordinate " + quotedWord(word) + " is out of range (-" +
               std::to_string(MAX_COORDINATE) + " to " + std::to_string(MAX_COORDINATE) + ")";
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

// Reads a window side named `axis` for resize; on failure returns false.
bool readWindowSide(std::string_view word, std::string_view axis, int& value, std::string& what) {
    int parsed = 0;
    const auto [end, status] = std::from_chars(word.data(), word.data() + word.size(), parsed);
    if (!allDigits(word) || status != std::errc{} || end != word.data() + word.size() || parsed < 1 ||
        parsed > LARGEST_WINDOW) {
        what = std::string(axis) + " " + quotedWord(word) + " is not a whole number of pixels from 1 to " +
               std::to_string(LARGEST_WINDOW);
        return false;
    }
    value = parsed;
    return true;
}

bool parseEventScript(std::string_view text, std::string_view name, std::int64_t lastStep,
                      std::vector<ScriptEvent>& events, std::string& error) {
    events.clear();
    constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";
    if (text.substr(0, BYTE_ORDER_MARK.size()) == BYTE_ORDER_MARK) {
        text.remove_prefix(BYTE_ORDER_MARK.size());
    }
    std::int64_t previousStep = 0;
    std::int64_t previousLine = 0;
    std::int64_t lineNumber = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        ++lineNumber;
        std::string_view line = text.substr(start, end - start);
        start = end + 1;

        // A carriage return may only end a line (CRLF); anywhere else it
        // means the lines were ended the old Macintosh way.
        const std::size_t carriageReturn = line.find('\r');
        if (carriageReturn != std::string_view::npos && carriageReturn + 1 < line.size()) {
            error = std::string(name) + ":" + std::to_string(lineNumber) +
                    ": carriage return in the middle of a line; end lines with a newline (\\n or \\r\\n)";
            return false;
        }
        const std::size_t comment = line.find('#');
        if (comment != std::string_view::npos) {
            line = line.substr(0, comment);
        }
        std::string_view first[1];
        if (splitWords(line, first, 1) == 0) {
            continue;
        }
        ScriptEvent event{0, EventKind::Release, 0, 0, lineNumber};
        std::string what;
        if (!parseLine(line, lastStep, previousStep, previousLine, event, what)) {
            error = std::string(name) + ":" + std::to_string(lineNumber) + ": " + what;
            return false;
        }
        previousStep = event.step;
        previousLine = lineNumber;
        events.push_back(event);
    }
    return true;
}

ScriptEvent setEvent(ChainParameter parameter, const ChainDescription& description) {
    const float values[CHAIN_PARAMETERS] = {static_cast<float>(description.links), description.gravity,
                                            description.damping, description.stiffness, description.initialAngle};
    ScriptEvent event{0, EventKind::Set, 0, 0, 0};
    event.parameter = parameter;
    event.value = values[static_cast<int>(parameter)];
    return event;
}

Precision scriptPrecision(std::string_view text) {
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (line == DOUBLE_PRECISION_LINE) {
            return Precision::Double;
        }
        start = end + 1;
    }
    return Precision::Float;
}

std::string_view parameterName(ChainParameter parameter) { return PARAMETER_NAMES[static_cast<int>(parameter)]; }

std::string eventLine(const ScriptEvent& event) {
    std::string line = std::to_string(event.step);
    const auto point = [&](const char* verb) {
        line += verb;
        line += ' ' + std::to_string(event.x) + ' ' + std::to_string(event.y);
    };
    switch (event.kind) {
        case EventKind::Press:
            point(" press");
            break;
        case EventKind::Drag:
            point(" drag");
            break;
        case EventKind::Release:
            line += " release";
            break;
        case EventKind::LeftKey:
            line += " left";
            break;
        case EventKind::RightKey:
            line += " right";
            break;
        case EventKind::Reset:
            line += " reset";
            break;
        case EventKind::Resize:
            point(" resize");
            break;
        case EventKind::Set:
            line += " set " + std::string(parameterName(event.parameter)) + ' ' + setValueText(event.value);
            break;
    }
    return line;
}

std::string setValueText(float value) {
    constexpr float EXACT_WHOLE_NUMBERS = 16777216.0f;
    const bool negativeZero = value == 0.0f && std::signbit(value);
    if (std::fabs(value) < EXACT_WHOLE_NUMBERS && value == std::trunc(value) && !negativeZero) {
        return std::to_string(static_cast<std::int32_t>(value));
    }
    return shortestString(value);
}

std::uint64_t scriptHash(const std::vector<ScriptEvent>& events) {
    std::uint64_t hash = FNV_OFFSET_BASIS;
    for (const ScriptEvent& event : events) {
        hash = textHash(eventLine(event) + "\n", hash);
    }
    return hash;
}
