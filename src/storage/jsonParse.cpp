#include "jsonParse.h"

#include <cstring>

using json = nlohmann::json;

tvsNestingError::tvsNestingError()
    : std::runtime_error("arrays and objects nested deeper than " +
                         std::to_string(kMaxJsonNesting) + " levels") {}

json parseJsonDocument(const std::string& text) {
  // The parser reports the depth of the container it is about to open: 0 for
  // the outermost one.
  const json::parser_callback_t limit = [](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        static_cast<size_t>(depth) >= kMaxJsonNesting) {
      throw tvsNestingError();
    }
    return true;
  };
  json document = json::parse(text, limit, true, true);
  refuseZeroByte(text);
  return document;
}

namespace {

// SAX events that only let the parser check the syntax.
struct SyntaxOnly {
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(json::number_integer_t) { return true; }
  bool number_unsigned(json::number_unsigned_t) { return true; }
  bool number_float(json::number_float_t, const std::string&) { return true; }
  bool string(std::string&) { return true; }
  bool binary(json::binary_t&) { return true; }
  bool start_object(std::size_t) { return true; }
  bool end_object() { return true; }
  bool start_array(std::size_t) { return true; }
  bool end_array() { return true; }
  bool key(std::string&) { return true; }
  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& error) {
    throw error;
  }
};

}  // namespace

void checkJsonSyntax(const std::string& text) {
  SyntaxOnly events;
  json::sax_parse(text, &events, json::input_format_t::json, true, true);
  refuseZeroByte(text);
}

void refuseZeroByte(const std::string& text) {
  const void* zero = std::memchr(text.data(), 0, text.size());
  if (zero == nullptr) return;
  const size_t at = static_cast<size_t>(static_cast<const char*>(zero) - text.data());
  throw json::parse_error::create(101, at + 1,
                                  "syntax error while parsing value - unexpected zero byte; "
                                  "expected end of input",
                                  nullptr);
}
