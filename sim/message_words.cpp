#include "sim/message_words.h"

std::string shortened(std::string_view word) {
    constexpr std::size_t LONGEST = 40;
    std::string text(word.substr(0, LONGEST));
    if (word.size() > LONGEST) {
        text += "...";
    }
    return text;
}

std::string quotedWord(std::string_view word) {
    std::string text = "'";
    text += shortened(word);
    text += '\'';
    return text;
}
