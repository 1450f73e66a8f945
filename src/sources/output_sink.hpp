// Where every decoder puts what it decodes: a window the consumer owns, filled from the front.
#pragma once

#include <cstddef>
#include <span>

namespace vantrel::sources {

class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // Where the next decoded bytes go; never empty.
  virtual std::span<unsigned char> space() = 0;
  // `n` bytes were written to the front of space(). False ends the decoding; the sink keeps why.
  virtual bool commit(std::size_t n) = 0;
  // The decoder has read the input up to about `offset`; a few bytes before it may still be
  // looked at again, nothing further back.
  virtual void input_read(std::size_t /*offset*/) {}
};

}  // namespace vantrel::sources
