#include "payloadReader.h"

#include <limits>

using json = nlohmann::json;

namespace {

// SAX events of the JSON library, routed by where they occur. A member value
// that is an array or object is built whole, as the document would; values
// nobody stores are skipped with a depth counter: nothing is built or kept
// for them, so they may nest as deep as the parser takes.
class AggregateReader {
 public:
  AggregateReader(const tvsColumnPlan& plan_, tvsAggregatePayload& out_) : plan(plan_), out(out_) {}

  bool null() { return Scalar(tvsValue::Null(), nullptr); }
  bool boolean(bool value) { return Scalar(tvsValue::Boolean(value), nullptr); }
  bool number_integer(json::number_integer_t value) {
    return Scalar(tvsValue::Integer(value), nullptr);
  }
  bool number_unsigned(json::number_unsigned_t value) {
    return Scalar(tvsValue::Unsigned(value), nullptr);
  }
  bool number_float(json::number_float_t value, const std::string&) {
    return Scalar(tvsValue::Float(value), nullptr);
  }
  bool string(std::string& value) { return Scalar(tvsValue::Null(), &value); }
  bool binary(json::binary_t&) { return true; }

  bool start_object(std::size_t) { return Open(json::value_t::object); }
  bool start_array(std::size_t) { return Open(json::value_t::array); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }

  bool key(std::string& name) {
    if (skipping > 0) return true;
    Frame& frame = frames.back();
    switch (frame.kind) {
      case Kind::kPayload:
        frame.target = kTargets[static_cast<size_t>(payloadMember(name))];
        break;
      case Kind::kEntry:
        frame.slot = plan.SlotOf(name);
        break;
      case Kind::kBuild:
        frame.key = std::move(name);
        break;
      default:
        break;
    }
    return true;
  }

  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& error) {
    throw error;
  }

 private:
  enum class Kind { kPayload, kStats, kEntry, kBuild };
  enum class Target { kSkip, kStart, kEnd, kStats };
  // By tvsPayloadMember.
  static constexpr Target kTargets[] = {Target::kStart, Target::kEnd, Target::kStats,
                                        Target::kSkip};
  struct Frame {
    explicit Frame(Kind kind_) : kind(kind_) {}
    Kind kind;
    Target target = Target::kSkip;  // kPayload: where the current member goes
    int slot = -1;                  // kEntry: the current member's slot
    json* built = nullptr;          // kBuild: the container being filled
    std::string key;                // kBuild: its pending key, for an object
  };

  bool StatsMember() const {
    return !frames.empty() && frames.back().kind == Kind::kPayload &&
           frames.back().target == Target::kStats;
  }

  // The timestamp a value arriving now sets, if any.
  tvsAggregatePayload::Timestamp* Timestamp() {
    const Frame& frame = frames.back();
    if (frame.kind != Kind::kPayload) return nullptr;
    if (frame.target == Target::kStart) return &out.start;
    if (frame.target == Target::kEnd) return &out.end;
    return nullptr;
  }

  // A value kept for the writer: text is moved into the payload's store.
  tvsValue Keep(tvsValue value, std::string* text) {
    if (text == nullptr) return value;
    if (text->size() > std::numeric_limits<uint32_t>::max()) {
      return tvsValue::Json(out.documents.emplace_back(std::move(*text)));
    }
    return tvsValue::String(out.texts.emplace_back(std::move(*text)));
  }

  // True when a value arriving now is one the writer stores: a mapped entry
  // member or a timestamp.
  bool Wanted() {
    const Frame& frame = frames.back();
    return (frame.kind == Kind::kEntry && frame.slot >= 0) || Timestamp() != nullptr;
  }

  // Stores a wanted value, with `value` as its form; a nested value is then
  // filled in place.
  void Store(const tvsValue& value) {
    const Frame& frame = frames.back();
    if (frame.kind == Kind::kEntry) {
      tvsValue member = value;
      member.slot = static_cast<uint16_t>(frame.slot);
      out.AddMember(member);
      return;
    }
    tvsAggregatePayload::Timestamp* timestamp = Timestamp();
    timestamp->present = true;
    timestamp->value = value;
  }

  bool Scalar(tvsValue value, std::string* text) {
    if (skipping > 0 || frames.empty()) return true;  // dropped, or a document that is no object
    if (StatsMember()) {
      out.ClearEntries();  // a "stats" that is no array
      return true;
    }
    Frame& frame = frames.back();
    if (frame.kind == Kind::kStats) {
      out.AddEntry();  // an element that is no object: all NULL
      return true;
    }
    if (frame.kind == Kind::kBuild) {
      json& slot =
          frame.built->is_array() ? frame.built->emplace_back() : (*frame.built)[frame.key];
      slot = BuiltScalar(value, text);
      return true;
    }
    if (Wanted()) Store(Keep(value, text));
    return true;
  }

  static json BuiltScalar(const tvsValue& value, std::string* text) {
    if (text != nullptr) return json(std::move(*text));
    switch (value.kind) {
      case tvsValue::Kind::kBoolean:
        return json(value.boolean);
      case tvsValue::Kind::kInteger:
        return json(value.integer);
      case tvsValue::Kind::kUnsigned:
        return json(value.number);
      case tvsValue::Kind::kFloat:
        return json(value.real);
      default:
        return json();
    }
  }

  bool Open(json::value_t type) {
    if (skipping > 0) return Skip();
    const bool object = type == json::value_t::object;
    if (frames.empty()) {
      if (!object) return Skip();
      frames.emplace_back(Kind::kPayload);
      return true;
    }
    if (StatsMember()) {
      out.ClearEntries();
      if (type != json::value_t::array) return Skip();
      frames.emplace_back(Kind::kStats);
      return true;
    }
    Frame& frame = frames.back();
    if (frame.kind == Kind::kStats) {
      out.AddEntry();
      if (!object) return Skip();
      frames.emplace_back(Kind::kEntry);
      return true;
    }
    json* destination = nullptr;
    if (frame.kind == Kind::kBuild) {
      destination =
          frame.built->is_array() ? &frame.built->emplace_back() : &(*frame.built)[frame.key];
    } else if (Wanted()) {
      destination = &out.documents.emplace_back();
      Store(tvsValue::Json(*destination));
    } else {
      return Skip();
    }
    // Only what is built is bounded: the library copies and prints it
    // recursively.
    if (frames.size() >= kMaxJsonNesting) throw tvsNestingError();
    *destination = json(type);
    frames.emplace_back(Kind::kBuild).built = destination;
    return true;
  }

  bool Skip() {
    ++skipping;
    return true;
  }

  bool Close() {
    if (skipping > 0) {
      --skipping;
    } else {
      frames.pop_back();
    }
    return true;
  }

  const tvsColumnPlan& plan;
  tvsAggregatePayload& out;
  std::vector<Frame> frames;
  size_t skipping = 0;  // levels open inside a value that is dropped
};

tvsValue documentValue(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return tvsValue::Null();
    case json::value_t::boolean:
      return tvsValue::Boolean(value.get<bool>());
    case json::value_t::number_integer:
      return tvsValue::Integer(value.get<int64_t>());
    case json::value_t::number_unsigned:
      return tvsValue::Unsigned(value.get<uint64_t>());
    case json::value_t::number_float:
      return tvsValue::Float(value.get<double>());
    default:
      // Text and nested values are read where they are.
      return tvsValue::Json(value);
  }
}

}  // namespace

void readAggregatePayload(const std::string& text, const tvsColumnPlan& plan,
                          tvsAggregatePayload& payload) {
  payload.Clear();
  AggregateReader reader(plan, payload);
  json::sax_parse(text, &reader, json::input_format_t::json, true, true);
  refuseZeroByte(text);
}

void readAggregateDocument(const json& document, const tvsColumnPlan& plan,
                           tvsAggregatePayload& payload) {
  payload.Clear();
  if (!document.is_object()) return;
  for (auto [key, timestamp] :
       {std::pair{kStartMember, &payload.start}, std::pair{kEndMember, &payload.end}}) {
    const auto member = document.find(key);
    if (member == document.end()) continue;
    timestamp->present = true;
    timestamp->value = documentValue(*member);
  }
  const auto stats = document.find(kEntriesMember);
  if (stats == document.end() || !stats->is_array()) return;
  for (const json& entry : *stats) {
    payload.AddEntry();
    if (!entry.is_object()) continue;
    for (size_t slot = 0; slot < plan.Slots(); ++slot) {
      const auto member = entry.find(plan.SlotName(slot));
      if (member == entry.end()) continue;
      tvsValue value = documentValue(*member);
      value.slot = static_cast<uint16_t>(slot);
      payload.AddMember(value);
    }
  }
}
