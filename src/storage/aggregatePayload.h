// What the aggregate writer stores from one payload, whichever reader read it:
// the two timestamps and, per "stats" element, the values of the members some
// column maps. Only members that are present take room, so an entry that is no
// object, or carries no mapped member, costs nothing but its count.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

// The members of the payload object that readers look for; any other is only
// checked for its syntax.
constexpr std::string_view kStartMember = "log_time_start";
constexpr std::string_view kEndMember = "log_time_end";
constexpr std::string_view kEntriesMember = "stats";

enum class tvsPayloadMember { kStart, kEnd, kEntries, kOther };
inline tvsPayloadMember payloadMember(std::string_view key) {
  return key == kStartMember     ? tvsPayloadMember::kStart
         : key == kEndMember     ? tvsPayloadMember::kEnd
         : key == kEntriesMember ? tvsPayloadMember::kEntries
                                 : tvsPayloadMember::kOther;
}

// One member value, as the JSON library's document would hold it. Text and
// nested values are not owned: they live in the reader's buffers, in the
// payload's own store, or in the caller's document, and outlive the write.
struct tvsValue {
  enum class Kind : uint8_t {
    kNull,
    kBoolean,
    kInteger,
    kUnsigned,
    kFloat,
    kString,
    kJson,        // an array or object, printed by the TEXT rule
    kEntryStart,  // the next member starts the entry `number`
  };
  union {
    bool boolean;
    int64_t integer;
    uint64_t number;  // kUnsigned, and kEntryStart's entry index
    double real;
    const char* text;
    const nlohmann::json* document;
  };
  uint32_t length;  // kString: bytes at `text`
  uint16_t slot;    // the column plan's slot of the member
  Kind kind;
  bool starts_entry;  // the first member of the entry after the previous one's

  // The JSON library's name of the type, as its type errors print it.
  const char* TypeName() const;
  std::string_view Text() const { return std::string_view(text, length); }

  static tvsValue Null() { return Make(Kind::kNull); }
  static tvsValue Boolean(bool value) { return Make(Kind::kBoolean, &tvsValue::boolean, value); }
  static tvsValue Integer(int64_t value) { return Make(Kind::kInteger, &tvsValue::integer, value); }
  static tvsValue Unsigned(uint64_t value) {
    return Make(Kind::kUnsigned, &tvsValue::number, value);
  }
  static tvsValue Float(double value) { return Make(Kind::kFloat, &tvsValue::real, value); }
  // `value` must be shorter than 4 GiB; longer text goes in as a document.
  static tvsValue String(std::string_view value) {
    tvsValue v = Make(Kind::kString);
    v.text = value.data();
    v.length = static_cast<uint32_t>(value.size());
    return v;
  }
  static tvsValue Json(const nlohmann::json& value) {
    return Make(Kind::kJson, &tvsValue::document, &value);
  }

  // The same values set in place, keeping `slot` and `starts_entry`.
  void SetNull() { kind = Kind::kNull; }
  void SetBoolean(bool value) { Set(Kind::kBoolean, &tvsValue::boolean, value); }
  void SetInteger(int64_t value) { Set(Kind::kInteger, &tvsValue::integer, value); }
  void SetUnsigned(uint64_t value) { Set(Kind::kUnsigned, &tvsValue::number, value); }
  void SetFloat(double value) { Set(Kind::kFloat, &tvsValue::real, value); }
  // `value` must be shorter than 4 GiB.
  void SetString(std::string_view value) {
    kind = Kind::kString;
    text = value.data();
    length = static_cast<uint32_t>(value.size());
  }

 private:
  static tvsValue Make(Kind kind) {
    tvsValue v;
    v.number = 0;
    v.length = 0;
    v.slot = 0;
    v.kind = kind;
    v.starts_entry = false;
    return v;
  }
  // A value of `kind` held in the union's `member`.
  template <typename Member, typename Value>
  static tvsValue Make(Kind kind, Member tvsValue::*member, Value value) {
    tvsValue v = Make(kind);
    v.*member = value;
    return v;
  }
  template <typename Member, typename Value>
  void Set(Kind new_kind, Member tvsValue::*member, Value value) {
    kind = new_kind;
    this->*member = value;
  }
};
static_assert(sizeof(tvsValue) == 16, "a value per stored member; keep it small");

struct tvsAggregatePayload {
  tvsAggregatePayload() = default;
  tvsAggregatePayload(const tvsAggregatePayload&) = delete;
  tvsAggregatePayload& operator=(const tvsAggregatePayload&) = delete;
  ~tvsAggregatePayload() { Clear(); }

  // The timestamp members; `present` is false for a member the payload lacks.
  struct Timestamp {
    bool present = false;
    tvsValue value = tvsValue::Null();
  };
  Timestamp start;
  Timestamp end;
  // The elements of the last "stats" member, when it is an array.
  uint64_t entries = 0;
  // The members of the entries that have any, entry by entry and in the
  // order they appear (a later duplicate key wins). The first member of an
  // entry is marked: by `starts_entry` when it follows the members of the
  // entry before it (the common case, which costs no room), else by a
  // kEntryStart ahead of it naming the entry. Entries without members take
  // no room. tvsMemberRuns reads the marks.
  std::vector<tvsValue> values;
  // What a reader had to keep for itself: unescaped text and nested values.
  std::deque<std::string> texts;
  std::deque<nlohmann::json> documents;

  bool HasEntries() const { return entries > 0; }

  // Back to a payload that holds nothing. The JSON library's destructor of a
  // large array or object first allocates room for all its elements, which
  // under memory pressure ends the process; emptied from the leaves up, no
  // value needs that room.
  void Clear() {
    start = Timestamp();
    end = Timestamp();
    ClearEntries();
    texts.clear();
    for (nlohmann::json& document : documents) Release(document);
    documents.clear();
  }

  // A new "stats" member replaces what an earlier one held.
  void ClearEntries() {
    entries = 0;
    values.clear();
    last_marked = 0;
  }
  // A new "stats" element, with no values yet.
  void AddEntry() { ++entries; }
  // A member of the newest entry.
  void AddMember(tvsValue value) {
    tvsValue& added = AddMember(value.slot);
    value.starts_entry = added.starts_entry;
    added = value;
  }
  // The same, read in place: a null member of `slot` for the caller to set
  // with SetNull, SetBoolean and the rest, which keep its slot and mark.
  tvsValue& AddMember(uint16_t slot) {
    bool starts = false;
    if (last_marked != entries) {
      if (last_marked == entries - 1) {
        starts = true;
      } else {
        tvsValue mark = tvsValue::Unsigned(entries - 1);
        mark.kind = tvsValue::Kind::kEntryStart;
        values.push_back(mark);
      }
      last_marked = entries;
    }
    tvsValue& added = values.emplace_back(tvsValue::Null());
    added.slot = slot;
    added.starts_entry = starts;
    return added;
  }

 private:
  // Built values nest at most kMaxJsonNesting levels, so this recursion is
  // bounded.
  static void Release(nlohmann::json& value) {
    if (value.is_array()) {
      auto& elements = value.get_ref<nlohmann::json::array_t&>();
      for (nlohmann::json& element : elements) Release(element);
      elements.clear();
    } else if (value.is_object()) {
      auto& members = value.get_ref<nlohmann::json::object_t&>();
      for (auto& member : members) Release(member.second);
      members.clear();
    }
  }

  uint64_t last_marked = 0;  // index + 1 of the last entry with members
};

// Walks the entries of a payload that have members: Entry() is the index of
// the current one, its members are Values()[Begin(), End()).
class tvsMemberRuns {
 public:
  explicit tvsMemberRuns(const std::vector<tvsValue>& values_) : values(values_) { Find(); }
  bool Valid() const { return begin < values.size(); }
  uint64_t Entry() const { return entry; }
  size_t Begin() const { return begin; }
  size_t End() const { return end; }
  void Next() {
    begin = end;
    Find();
  }

 private:
  void Find() {
    if (begin >= values.size()) return;
    if (values[begin].kind == tvsValue::Kind::kEntryStart) {
      entry = values[begin].number;
      ++begin;
    } else {
      entry = started ? entry + 1 : 0;
    }
    started = true;
    end = begin + 1;
    while (end < values.size() && !values[end].starts_entry &&
           values[end].kind != tvsValue::Kind::kEntryStart) {
      ++end;
    }
  }

  const std::vector<tvsValue>& values;
  size_t begin = 0;
  size_t end = 0;
  uint64_t entry = 0;
  bool started = false;
};
