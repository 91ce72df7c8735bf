// A fast reader of aggregator payloads on simdjson's On-Demand API. It reads
// the common shapes of payload and gives up on anything the JSON library's
// reader (payloadReader.h) would take differently: that reader then reads the
// text, so what is stored and every error message stay the library's.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "aggregatePayload.h"
#include "columnPlan.h"

// Room the reader needs after the text. A text whose string has this much
// spare capacity is read in place; any other is copied first.
constexpr size_t kReaderPadding = 64;

// A copy of `length` bytes at `data` with that room after it, filled, so no
// byte the reader may touch is left uninitialised.
std::string readableCopy(const void* data, size_t length);
// The same copy into `into`, whose memory is reused when it is large enough.
void readableCopyInto(std::string& into, const void* data, size_t length);

class tvsFastReader {
 public:
  tvsFastReader();
  ~tvsFastReader();
  tvsFastReader(const tvsFastReader&) = delete;
  tvsFastReader& operator=(const tvsFastReader&) = delete;

  // Reads `text` into `payload` and returns true, or returns false when the
  // JSON library's reader must read it: the text is not plain JSON (comments,
  // a byte-order mark, a zero byte, a syntax error, trailing text), an
  // object is not its root, a number has no exact 64-bit or double form,
  // values nest deeply, or a stored member is an array or an object. Text in
  // `payload` points into the reader's buffers: read the payload before the
  // reader's next call.
  bool Read(const std::string& text, const tvsColumnPlan& plan, tvsAggregatePayload& payload);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser;  // kept for payloads up to kKeptCapacity
  std::unique_ptr<Parser> once;    // a larger payload's, released at the next call
};
