#include "sim/text_sink.h"

#include <ostream>

TextSink::TextSink(std::ostream& stream)
    : write([](void* context, const char* text, std::size_t length) {
          static_cast<std::ostream*>(context)->write(text, static_cast<std::streamsize>(length));
      }),
      context(&stream),
      flushStream([](void* context) { static_cast<std::ostream*>(context)->flush(); }) {}
