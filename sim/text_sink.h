// Where the core writes its few lines of text (the reset notice, the right
// arrow's echo): a standard stream, or any function that takes the text.
//
// The core takes a TextSink rather than a std::ostream so that a program that
// never makes a stream (the browser page) carries none of the stream library:
// the conversion from std::ostream lives in text_sink.cpp and is linked only
// where it is used.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <iosfwd>
#include <string_view>

class TextSink {
public:
    using WriteFunction = void (*)(void* context, const char* text, std::size_t length);

    // Discards the text.
    TextSink() : write([](void*, const char*, std::size_t) {}), context(nullptr) {}
    // Writes to `stream`; flush() flushes it.
    TextSink(std::ostream& stream);  // NOLINT: implicit, so that streams pass where a sink is taken
    // Hands every piece of text to `write`; flush() does nothing.
    TextSink(WriteFunction write, void* context) : write(write), context(context) {}

    TextSink& operator<<(std::string_view text) {
        write(context, text.data(), text.size());
        return *this;
    }
    TextSink& operator<<(const char* text) { return *this << std::string_view(text); }
    template <std::integral Value>
    TextSink& operator<<(Value value) {
        if constexpr (std::same_as<Value, char>) {
            write(context, &value, 1);
        } else {
            char digits[24];
            const char* const end = std::to_chars(digits, digits + sizeof digits, value).ptr;
            write(context, digits, static_cast<std::size_t>(end - digits));
        }
        return *this;
    }

    void flush() {
        if (flushStream != nullptr) {
            flushStream(context);
        }
    }

private:
    WriteFunction write;
    void* context;
    void (*flushStream)(void* context) = nullptr;
};
