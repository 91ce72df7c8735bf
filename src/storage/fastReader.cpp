#include "fastReader.h"

#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include <simdjson.h>

namespace ondemand = simdjson::ondemand;

static_assert(kReaderPadding >= simdjson::SIMDJSON_PADDING, "the parser reads past the text");

namespace {

// Digits of a float the fast reader converts itself: as many as tell every
// double apart.
constexpr size_t kMostFloatDigits = 17;

size_t mantissaDigits(std::string_view number) {
  size_t digits = 0;
  for (const char c : number) {
    if (c == 'e' || c == 'E') break;
    if (c >= '0' && c <= '9') ++digits;
  }
  return digits;
}

}  // namespace

namespace {

// Payloads nest a few levels; deeper ones go to the reference reader, which
// knows the plugin's nesting limit and never recurses.
constexpr int kMaxDepth = 64;
// A parser keeps the buffers of the largest text it read; beyond this size
// they are given back after the payload.
constexpr size_t kKeptCapacity = size_t{4} << 20;

class Walk {
 public:
  Walk(const tvsColumnPlan& plan_, tvsAggregatePayload& out_) : plan(plan_), out(out_) {}

  bool Document(ondemand::document& document) {
    ondemand::object root;
    if (document.get_object().get(root)) return false;
    for (auto member : root) {
      std::string_view key;
      ondemand::value value;
      if (!ReadMember(member, key, value)) return false;
      const tvsPayloadMember which = payloadMember(key);
      if (which == tvsPayloadMember::kStart || which == tvsPayloadMember::kEnd) {
        tvsAggregatePayload::Timestamp& timestamp =
            which == tvsPayloadMember::kStart ? out.start : out.end;
        if (!Stored(value, timestamp.value)) return false;
        timestamp.present = true;
      } else if (which == tvsPayloadMember::kEntries) {
        if (!Stats(value)) return false;
      } else if (!Check(value, 2)) {
        return false;
      }
    }
    // The parser does not look past the root value; anything there but
    // blanks is trailing text.
    const char* after = nullptr;
    return document.current_location().get(after) != simdjson::SUCCESS;
  }

 private:
  // The key of `field`. A key without escapes is read in place (the parser
  // has checked its bytes and its closing quote); one with escapes is
  // unescaped.
  static bool KeyOf(ondemand::field& field, std::string_view& key) {
    const char* const raw = field.key().raw();
    const char* end = raw;
    while (*end != '"' && *end != '\\') ++end;
    if (*end == '"') {
      key = std::string_view(raw, static_cast<size_t>(end - raw));
      return true;
    }
    return field.unescaped_key().get(key) == simdjson::SUCCESS;
  }

  // The key and value of one object member; false on a syntax error there.
  template <typename Member>
  static bool ReadMember(Member&& member, std::string_view& key, ondemand::value& value) {
    ondemand::field field;
    if (std::move(member).get(field) || !KeyOf(field, key)) return false;
    value = field.value();
    return true;
  }

  // The slot of the member at `position` of an entry. Entries mostly list
  // their members in the same order, so the previous entry's key at that
  // position is compared first, on the raw text: a key without a backslash
  // reads the same escaped or not.
  bool SlotAt(size_t position, ondemand::field& field, int& slot) {
    if (position < recent.size()) {
      const Recent& known = recent[position];
      if (known.plain && field.key().unsafe_is_equal(known.name)) {
        slot = known.slot;
        return true;
      }
    } else {
      recent.resize(position + 1);
    }
    std::string_view key;
    if (!KeyOf(field, key)) return false;
    Recent& known = recent[position];
    known.name.assign(key);
    known.plain = key.find('\\') == std::string_view::npos;
    known.slot = slot = plan.SlotOf(key);
    return true;
  }

  bool Stats(ondemand::value& value) {
    out.ClearEntries();
    ondemand::json_type type;
    if (value.type().get(type)) return false;
    if (type != ondemand::json_type::array) return Check(value, 2);
    ondemand::array entries;
    if (value.get_array().get(entries)) return false;
    for (auto element : entries) {
      ondemand::value entry;
      if (std::move(element).get(entry) || entry.type().get(type)) return false;
      out.AddEntry();
      if (type != ondemand::json_type::object) {
        if (!Check(entry, 3)) return false;
        continue;
      }
      ondemand::object members;
      if (entry.get_object().get(members)) return false;
      size_t position = 0;
      for (auto member : members) {
        // The field and its value are used where the iterator keeps them:
        // copies of these small structs, just written, cost a stalled load
        // each, several per member.
        if (member.error()) return false;
        ondemand::field&& field = std::move(member).value_unsafe();
        int slot = -1;
        if (!SlotAt(position++, field, slot)) return false;
        ondemand::value& member_value = field.value();
        if (slot < 0) {
          if (!Check(member_value, 4)) return false;
          continue;
        }
        // Read straight into the payload's storage, for the same reason.
        tvsValue& stored = out.AddMember(static_cast<uint16_t>(slot));
        if (!Stored(member_value, stored)) return false;
      }
    }
    return true;
  }

  // A value the writer stores, set in `stored` in place (its slot and mark
  // stay). Arrays and objects are left to the reference
  // reader, which builds them as its document would.
  static bool Stored(ondemand::value& value, tvsValue& stored) {
    ondemand::json_type type;
    if (value.type().get(type)) return false;
    switch (type) {
      case ondemand::json_type::null: {
        bool is_null = false;
        if (value.is_null().get(is_null) || !is_null) return false;
        stored.SetNull();
        return true;
      }
      case ondemand::json_type::boolean: {
        bool boolean = false;
        if (value.get_bool().get(boolean)) return false;
        stored.SetBoolean(boolean);
        return true;
      }
      case ondemand::json_type::number: {
        const std::string_view token = value.raw_json_token();
        ondemand::number number;
        if (value.get_number().get(number)) return false;
        switch (number.get_number_type()) {
          case ondemand::number_type::signed_integer:
            stored.SetInteger(number.get_int64());
            return true;
          case ondemand::number_type::unsigned_integer:
            stored.SetUnsigned(number.get_uint64());
            return true;
          case ondemand::number_type::floating_point_number: {
            // With more digits than a double holds, the parser's rounding
            // may differ from the reference reader's (1.000...0001 read as
            // 0.999...): such numbers are left to the reference reader.
            if (mantissaDigits(token) > kMostFloatDigits) return false;
            stored.SetFloat(number.get_double());
            return true;
          }
          default:
            // An integer beyond 64 bits, or a number the parser could not
            // place (more digits than it reads at once): the reference
            // reader's conversion decides.
            return false;
        }
      }
      case ondemand::json_type::string: {
        std::string_view text;
        if (value.get_string().get(text) || text.size() > std::numeric_limits<uint32_t>::max()) {
          return false;
        }
        stored.SetString(text);
        return true;
      }
      default:
        return false;
    }
  }

  // A value nobody stores, walked only for its syntax: the parser checks
  // what it is asked for, never what it skips.
  bool Check(ondemand::value& value, int depth) {
    ondemand::json_type type;
    if (value.type().get(type)) return false;
    switch (type) {
      case ondemand::json_type::array: {
        ondemand::array array;
        if (depth >= kMaxDepth || value.get_array().get(array)) return false;
        for (auto element : array) {
          ondemand::value inner;
          if (std::move(element).get(inner) || !Check(inner, depth + 1)) return false;
        }
        return true;
      }
      case ondemand::json_type::object: {
        ondemand::object object;
        if (depth >= kMaxDepth || value.get_object().get(object)) return false;
        for (auto member : object) {
          std::string_view key;
          ondemand::value inner;
          if (!ReadMember(member, key, inner) || !Check(inner, depth + 1)) return false;
        }
        return true;
      }
      default: {
        tvsValue ignored = tvsValue::Null();
        return Stored(value, ignored);
      }
    }
  }

  const tvsColumnPlan& plan;
  tvsAggregatePayload& out;
  struct Recent {
    std::string name;
    bool plain = false;  // no backslash in `name`
    int slot = -1;
  };
  std::vector<Recent> recent;  // SlotAt's keys by position
};

// Makes `into` a copy of the text with the room after it filled.
void padInto(std::string& into, const char* data, size_t length) {
  into.reserve(length + kReaderPadding);
  into.assign(data, length);
  into.append(kReaderPadding, ' ');
  into.resize(length);
}

}  // namespace

std::string readableCopy(const void* data, size_t length) {
  std::string text;
  readableCopyInto(text, data, length);
  return text;
}

void readableCopyInto(std::string& into, const void* data, size_t length) {
  if (length == 0) {
    into.clear();
    return;
  }
  padInto(into, static_cast<const char*>(data), length);
}

struct tvsFastReader::Parser {
  ondemand::parser parser;
  std::string padded;  // a copy of a text that came without room after it
};

tvsFastReader::tvsFastReader() = default;
tvsFastReader::~tvsFastReader() = default;

bool tvsFastReader::Read(const std::string& text, const tvsColumnPlan& plan,
                         tvsAggregatePayload& payload) {
  payload.Clear();
  once.reset();
  // The reference reader takes what only it may: a byte-order mark, and a
  // zero byte, at which it stops reading.
  if (text.size() >= 3 && std::memcmp(text.data(), "\xEF\xBB\xBF", 3) == 0) return false;
  if (std::memchr(text.data(), '\0', text.size()) != nullptr) return false;

  std::unique_ptr<Parser>& used = text.size() > kKeptCapacity ? once : parser;
  if (!used) used = std::make_unique<Parser>();
  simdjson::padded_string_view view;
  if (text.capacity() - text.size() >= kReaderPadding) {
    view = simdjson::padded_string_view(text.data(), text.size(), text.capacity());
  } else {
    padInto(used->padded, text.data(), text.size());
    view = simdjson::padded_string_view(used->padded.data(), text.size(), used->padded.capacity());
  }
  ondemand::document document;
  if (used->parser.iterate(view).get(document)) {
    once.reset();
    return false;
  }
  Walk walk(plan, payload);
  if (walk.Document(document)) return true;
  // The other reader gets the memory back.
  payload.Clear();
  once.reset();
  return false;
}
