#include "cli/stderr_lines.h"

#include <cstdio>

std::string escapeControlBytes(std::string_view text) {
    constexpr char HEX[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            escaped += "\\x";
            escaped += HEX[byte >> 4];
            escaped += HEX[byte & 0xf];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void failAs(std::string_view program, std::string_view message) {
    std::fprintf(stderr, "%s: %s\n", std::string(program).c_str(), escapeControlBytes(message).c_str());
}

std::string heldBackResetsMessage(std::int64_t heldBack) {
    return std::to_string(heldBack) + " more resets after the first " + std::to_string(RESET_LINES_SHOWN) +
           " were not shown";
}

StderrLines::int_type StderrLines::overflow(int_type ch) {
    if (traits_type::eq_int_type(ch, traits_type::eof())) {
        return traits_type::not_eof(ch);
    }
    if (length == sizeof line) {
        emit();
    }
    line[length++] = traits_type::to_char_type(ch);
    if (ch == '\n') {
        emit();
    }
    return ch;
}

int StderrLines::sync() {
    emit();
    return 0;
}

void StderrLines::emit() {
    if (length == 0) {
        return;
    }
    const bool lineEnds = line[length - 1] == '\n';
    if (shownLines >= mostLines) {
        heldBack += lineEnds ? 1 : 0;
    } else {
        progress.clear();
        if (atLineStart) {
            std::fwrite(prefix.data(), 1, prefix.size(), stderr);
        }
        std::fwrite(line, 1, length, stderr);
        shownLines += lineEnds ? 1 : 0;
    }
    atLineStart = lineEnds;
    length = 0;
}
