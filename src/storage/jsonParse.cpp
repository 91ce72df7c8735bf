#include "jsonParse.h"

#include <cstdint>
#include <cstring>

using json = nlohmann::json;

tvsNestingError::tvsNestingError()
    : std::runtime_error("arrays and objects nested deeper than " +
                         std::to_string(kMaxJsonNesting) + " levels") {}

namespace {

// SAX events that only let the parser check the syntax, and the nesting up
// to `max_depth` levels.
class SyntaxOnly {
 public:
  explicit SyntaxOnly(size_t max_depth_) : max_depth(max_depth_) {}

  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(json::number_integer_t) { return true; }
  bool number_unsigned(json::number_unsigned_t) { return true; }
  bool number_float(json::number_float_t, const std::string&) { return true; }
  bool string(std::string&) { return true; }
  bool binary(json::binary_t&) { return true; }
  bool start_object(std::size_t) { return Open(); }
  bool end_object() { return Close(); }
  bool start_array(std::size_t) { return Open(); }
  bool end_array() { return Close(); }
  bool key(std::string&) { return true; }
  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& error) {
    throw error;
  }

 private:
  bool Open() {
    if (++depth > max_depth) throw tvsNestingError();
    return true;
  }
  bool Close() {
    --depth;
    return true;
  }

  const size_t max_depth;
  size_t depth = 0;
};

void checkSyntax(const std::string& text, size_t max_depth) {
  SyntaxOnly events(max_depth);
  json::sax_parse(text, &events, json::input_format_t::json, true, true);
  refuseZeroByte(text);
}

}  // namespace

json parseJsonDocument(const std::string& text) {
  // A first pass checks the syntax and the depth without building anything,
  // so faults are met in the order the text holds them and no level beyond
  // the limit is built; the second cannot fail and builds. (The library's
  // parser callback would do both in one pass, but at the end of every
  // object it scans the parent's members: the load time would grow with the
  // square of an object's size.)
  checkSyntax(text, kMaxJsonNesting);
  return json::parse(text, nullptr, true, true);
}

void checkJsonSyntax(const std::string& text) { checkSyntax(text, SIZE_MAX); }

void refuseZeroByte(const std::string& text) {
  const void* zero = std::memchr(text.data(), 0, text.size());
  if (zero == nullptr) return;
  const size_t at = static_cast<size_t>(static_cast<const char*>(zero) - text.data());
  throw json::parse_error::create(101, at + 1,
                                  "syntax error while parsing value - unexpected zero byte; "
                                  "expected end of input",
                                  nullptr);
}
