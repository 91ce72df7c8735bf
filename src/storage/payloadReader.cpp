#include "payloadReader.h"

#include "jsonParse.h"

using json = nlohmann::json;

namespace {

// SAX events of the JSON library, routed by where they occur. Values meant for
// the writer are kept as JSON values (numbers need no allocation); a member
// value that is an array or object is built whole, as the document would.
// Values nobody stores are skipped with a depth counter: nothing is built or
// kept for them, so they may nest as deep as the parser takes.
class AggregateReader {
 public:
  AggregateReader(const tvsColumnPlan& plan_, tvsAggregatePayload& out_) : plan(plan_), out(out_) {}

  bool null() { return Scalar(json()); }
  bool boolean(bool value) { return Scalar(json(value)); }
  bool number_integer(json::number_integer_t value) { return Scalar(json(value)); }
  bool number_unsigned(json::number_unsigned_t value) { return Scalar(json(value)); }
  bool number_float(json::number_float_t value, const std::string&) { return Scalar(json(value)); }
  bool string(std::string& value) { return Scalar(json(std::move(value))); }
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
        frame.target = name == "log_time_start" ? Target::kStart
                       : name == "log_time_end" ? Target::kEnd
                       : name == "stats"        ? Target::kStats
                                                : Target::kSkip;
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

  // True once the document was an object with a non-empty "stats" array.
  bool HasEntries() const { return is_object && stats_is_array && out.entries > 0; }

 private:
  enum class Kind { kPayload, kStats, kEntry, kBuild };
  enum class Target { kSkip, kStart, kEnd, kStats };
  struct Frame {
    explicit Frame(Kind kind_) : kind(kind_) {}
    Kind kind;
    Target target = Target::kSkip;  // kPayload: where the current member goes
    int slot = -1;                  // kEntry: the current member's slot
    json* built = nullptr;          // kBuild: the container being filled
    std::string key;                // kBuild: its pending key, for an object
  };

  // Where a value arriving now belongs; null when it is dropped. A value for
  // "stats" is handled by its caller.
  json* Destination() {
    if (frames.empty()) return nullptr;
    Frame& frame = frames.back();
    switch (frame.kind) {
      case Kind::kPayload:
        if (frame.target == Target::kStart) {
          out.has_start = true;
          return &out.time_start;
        }
        if (frame.target == Target::kEnd) {
          out.has_end = true;
          return &out.time_end;
        }
        return nullptr;
      case Kind::kEntry:
        return frame.slot < 0 ? nullptr : &out.values[row + static_cast<size_t>(frame.slot)];
      case Kind::kBuild:
        if (frame.built->is_array()) {
          frame.built->push_back(json());
          return &frame.built->back();
        }
        return &(*frame.built)[frame.key];
      default:
        return nullptr;
    }
  }

  bool StatsMember() const {
    return !frames.empty() && frames.back().kind == Kind::kPayload &&
           frames.back().target == Target::kStats;
  }

  // A new "stats" element: its row starts all null.
  void NewEntry() {
    row = out.entries * plan.Slots();
    ++out.entries;
    out.values.resize(row + plan.Slots());
  }

  void ResetStats() {
    out.entries = 0;
    out.values.clear();
  }

  bool Scalar(json&& value) {
    if (skipping > 0 || frames.empty()) return true;  // dropped, or a document that is no object
    if (StatsMember()) {
      ResetStats();  // a "stats" that is no array
      stats_is_array = false;
      return true;
    }
    if (frames.back().kind == Kind::kStats) {
      NewEntry();  // an element that is no object: all NULL
      return true;
    }
    if (json* destination = Destination()) *destination = std::move(value);
    return true;
  }

  bool Open(json::value_t type) {
    if (skipping > 0) return Skip();
    const bool object = type == json::value_t::object;
    if (frames.empty()) {
      is_object = object;
      if (!object) return Skip();
      frames.emplace_back(Kind::kPayload);
      return true;
    }
    if (StatsMember()) {
      ResetStats();
      stats_is_array = type == json::value_t::array;
      if (!stats_is_array) return Skip();
      frames.emplace_back(Kind::kStats);
      return true;
    }
    if (frames.back().kind == Kind::kStats) {
      NewEntry();
      if (!object) return Skip();
      frames.emplace_back(Kind::kEntry);
      return true;
    }
    json* destination = Destination();
    if (destination == nullptr) return Skip();
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
  size_t row = 0;       // where the current entry's values start in out.values
  bool is_object = false;
  bool stats_is_array = false;  // of the last "stats" member
};

}  // namespace

void readAggregatePayload(const std::string& text, const tvsColumnPlan& plan,
                          tvsAggregatePayload& payload) {
  payload = tvsAggregatePayload();
  AggregateReader reader(plan, payload);
  json::sax_parse(text, &reader, json::input_format_t::json, true, true);
  refuseZeroByte(text);
  payload.has_entries = reader.HasEntries();
}
