
#include "tools/library_codec.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/utf.h"
#include "platform/os/file_system.h"
#include "platform/vmp/metadata.h"
#include "platform/vmp/package.h"
#include "platform/vmp/strings.h"
#include "tools/exit_codes.h"
#include "tools/json_writer.h"

namespace vmpkg {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// dump walks the groups recursively; a library nested deeper than this is
// refused rather than overflowing the stack, and create refuses to make one.
constexpr int kMaxDepth = 512;

void Fail(std::FILE* err, const std::string& message) {
  std::fprintf(err, "vmpkg: %s\n", message.c_str());
}

// Text that JSON cannot carry (UTF-16 with a lone surrogate, or string array
// units that are not a serialised string array, or not in the form create
// would write) is escaped as {"utf16": "HHHH HHHH ..."}: its UTF-16 code
// units, each as four upper-case hex digits, separated by one space.
constexpr char kUtf16Escape[] = "utf16";

OrderedJson EscapeUnits(const std::u16string& units) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(units.size() * 5);
  for (char16_t unit : units) {
    if (!text.empty()) text.push_back(' ');
    for (int shift = 12; shift >= 0; shift -= 4) {
      text.push_back(kHex[(unit >> shift) & 0xF]);
    }
  }
  OrderedJson escaped = OrderedJson::object();
  escaped[kUtf16Escape] = std::move(text);
  return escaped;
}

// The units of an escape object; false when `value` is not one.
bool UnescapeUnits(const Json& value, std::u16string* units) {
  if (!value.is_object() || value.size() != 1 ||
      !value.contains(kUtf16Escape) || !value[kUtf16Escape].is_string()) {
    return false;
  }
  const std::string& text = value[kUtf16Escape].get_ref<const std::string&>();
  units->clear();
  for (size_t i = 0; i < text.size(); i += 5) {
    if (i + 4 > text.size() || (i + 4 < text.size() && text[i + 4] != ' ')) {
      return false;
    }
    char16_t unit = 0;
    for (size_t k = i; k < i + 4; ++k) {
      char c = text[k];
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                         : -1;
      if (digit < 0) return false;
      unit = static_cast<char16_t>(unit << 4 | digit);
    }
    units->push_back(unit);
    if (i + 4 == text.size() - 1) return false;  // a trailing space
  }
  return true;
}

// What IStringArray::store writes for `strings`.
std::u16string SerialisedUnits(const vmp::IStringArray& strings) {
  std::u16string units;
  if (strings.count() == 0) return units;
  auto number = [&](size_t n) {
    units.push_back(static_cast<char16_t>(n & 0xFFFF));
    units.push_back(static_cast<char16_t>((n >> 16) & 0xFFFF));
  };
  number(strings.count());
  for (size_t i = 0; i < strings.count(); ++i) {
    const std::u16string entry = strings.get(i).string();
    number(entry.size());
    units += entry;
  }
  return units;
}

// JSON pointer escaping of a member name.
std::string PointerEscape(const std::string& key) {
  std::string out;
  for (char c : key) {
    if (c == '~') {
      out += "~0";
    } else if (c == '/') {
      out += "~1";
    } else {
      out += c;
    }
  }
  return out;
}

// The standard input read as a file is.
class StreamInput : public tavik::InputFile {
 public:
  explicit StreamInput(std::FILE* in) : in_(in) {}
  tavik::Result<size_t> Read(char* buffer, size_t size) override {
    size_t n = std::fread(buffer, 1, size, in_);
    if (n == 0 && std::ferror(in_)) {
      return tavik::Status::IoError("can't read standard input");
    }
    return n;
  }

 private:
  std::FILE* in_;
};

// The input in pieces, handed to the JSON parser byte by byte through an
// input iterator. Only the last newlines are remembered, enough to give a
// parse error's place (always among the last bytes the parser took) as a
// line and column.
class InputReader {
 public:
  explicit InputReader(tavik::InputFile* file)
      : file_(file), buffer_(kBufferSize) {}

  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    Iterator() = default;  // the end
    explicit Iterator(InputReader* reader) : reader_(reader) {}
    const char& operator*() const { return reader_->buffer_[reader_->next_]; }
    Iterator& operator++() {
      reader_->Advance();
      return *this;
    }
    bool operator==(const Iterator& other) const {
      return AtEnd() == other.AtEnd();
    }
    bool operator!=(const Iterator& other) const { return !(*this == other); }

   private:
    bool AtEnd() const { return reader_ == nullptr || !reader_->Available(); }
    InputReader* reader_ = nullptr;
  };

  Iterator begin() { return Iterator(this); }
  Iterator end() { return Iterator(); }

  // Why the input ended early; Ok when it was read to its end.
  const tavik::Status& status() const { return status_; }

  // "line L, column C" (both from 1) of the byte at `offset`: one of the
  // last bytes taken, with fewer than kKept newlines from it on, or the end
  // of the input.
  std::string LineAndColumn(uint64_t offset) const {
    offset = std::min(offset, taken_);
    uint64_t line = newlines_ + 1;
    uint64_t line_start = 0;
    const uint64_t kept = std::min<uint64_t>(newlines_, kKept);
    for (uint64_t i = 1; i <= kept; ++i) {
      const uint64_t at = newline_at_[(newlines_ - i) % kKept];
      if (at < offset) {
        line_start = at + 1;
        break;
      }
      --line;
    }
    return "line " + std::to_string(line) + ", column " +
           std::to_string(offset - line_start + 1);
  }

 private:
  static constexpr size_t kBufferSize = 1 << 16;
  static constexpr uint64_t kKept = 16;

  bool Available() {
    if (next_ < filled_) return true;
    if (ended_) return false;
    tavik::Result<size_t> n = file_->Read(buffer_.data(), buffer_.size());
    if (!n.ok()) status_ = n.status();
    if (!n.ok() || *n == 0) {
      ended_ = true;
      return false;
    }
    next_ = 0;
    filled_ = *n;
    return true;
  }
  void Advance() {
    if (buffer_[next_] == '\n') newline_at_[newlines_++ % kKept] = taken_;
    ++next_;
    ++taken_;
  }

  tavik::InputFile* file_;
  std::vector<char> buffer_;
  size_t next_ = 0;
  size_t filled_ = 0;
  bool ended_ = false;
  tavik::Status status_;
  uint64_t taken_ = 0;               // bytes handed to the parser
  uint64_t newlines_ = 0;            // among them
  uint64_t newline_at_[kKept] = {};  // offsets of the last ones
};

// A small value (a property, a name) gathered from parse events into a DOM
// of its own, refusing members given twice.
class Gather {
 public:
  void Start(std::string place) {
    place_ = std::move(place);
    value_ = Json();
    open_.clear();
  }
  // A value; for an object or array (`opens`) its end comes with Close.
  void Add(Json value, bool opens) {
    Json* placed = &value_;
    std::string place;
    if (open_.empty()) {
      value_ = std::move(value);
      if (opens) place = place_;
    } else if (Level& top = open_.back(); top.container->is_array()) {
      top.container->push_back(std::move(value));
      placed = &top.container->back();
      if (opens) {
        place = top.place + "/" + std::to_string(top.container->size() - 1);
      }
    } else {
      placed = &((*top.container)[top.key] = std::move(value));
      if (opens) place = top.place + "/" + PointerEscape(top.key);
    }
    if (opens) open_.push_back({placed, std::move(place), std::string()});
  }
  // False, with the member's place, when the object has it already.
  bool Key(std::string key, std::string* duplicate) {
    Level& top = open_.back();
    if (top.container->contains(key)) {
      *duplicate = top.place + "/" + PointerEscape(key);
      return false;
    }
    top.key = std::move(key);
    return true;
  }
  void Close() { open_.pop_back(); }
  bool done() const { return open_.empty(); }
  const Json& value() const { return value_; }
  const std::string& place() const { return place_; }

 private:
  struct Level {
    Json* container;
    std::string place;
    std::string key;  // of the member whose value comes next
  };
  std::string place_;
  Json value_;
  std::vector<Level> open_;
};

// Builds metadata from the events of nlohmann's SAX parser, checking the
// schema as they come; the first error is kept with its place as a JSON
// pointer. Groups are added as their objects open; each property and each
// group name is small and is gathered whole, then checked. After an error
// the rest is still parsed, so that a syntax error anywhere wins, as when
// the whole text was parsed before anything was built.
class Builder {
 public:
  Builder(vmp::IGroup* package_root, vmp::IGroup* scene_root)
      : package_root_(package_root), scene_root_(scene_root) {}

  // The SAX interface; only a syntax error stops the parse.
  bool null() { return Event(Json(nullptr), false); }
  bool boolean(bool value) { return Event(Json(value), false); }
  bool number_integer(Json::number_integer_t value) {
    return Event(Json(value), false);
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    return Event(Json(value), false);
  }
  bool number_float(Json::number_float_t value, const std::string&) {
    return Event(Json(value), false);
  }
  bool string(std::string& value) {
    return Event(Json(std::move(value)), false);
  }
  bool binary(Json::binary_t&) { return true; }  // not in JSON text
  bool start_object(std::size_t) { return Event(Json::object(), true); }
  bool start_array(std::size_t) { return Event(Json::array(), true); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool key(std::string& key);
  bool parse_error(std::size_t position, const std::string&,
                   const Json::exception& e) {
    syntax_position_ = position;
    syntax_error_ = e.what();
    return false;
  }

  // nlohmann's message for the syntax error that ended the parse ("" for
  // none), and its position: the count of bytes read up to and including
  // the offending one.
  const std::string& syntax_error() const { return syntax_error_; }
  size_t syntax_position() const { return syntax_position_; }
  // The first schema error, "" for none.
  const std::string& error() const { return error_; }

 private:
  enum class Kind { kDocument, kGroup, kProperties, kGroups };
  // An object or array open outside what is gathered.
  struct Frame {
    Frame(Kind kind, std::string where, vmp::IGroup* group, int depth,
          vmp::SharedPtr<vmp::IGroup> held = nullptr)
        : kind(kind),
          where(std::move(where)),
          group(group),
          held(std::move(held)),
          depth(depth) {}
    Kind kind;
    std::string where;
    vmp::IGroup* group;  // the group, or the array's owner
    vmp::SharedPtr<vmp::IGroup> held;
    int depth;           // of that group
    unsigned seen = 0;   // members given so far, by bit (objects)
    std::string member;  // whose value comes next (objects)
    size_t count = 0;    // elements so far (arrays)
  };
  enum class Gathering { kNone, kName, kProperty };

  // A value, or the opening of an object or array (`opens`).
  bool Event(Json value, bool opens);
  bool Close();
  void StartGroup(bool is_object, std::string where, vmp::IGroup* group,
                  vmp::SharedPtr<vmp::IGroup> held, int depth);
  void StartGathering(Gathering what, std::string place, Json value,
                      bool opens);
  void Gathered();

  bool Error(const std::string& place, const std::string& problem) {
    error_ =
        (place.empty() ? std::string("(document)") : place) + ": " + problem;
    return false;
  }

  bool Name(const Json& object, const std::string& where,
            vmp::WideString* name) {
    auto it = object.find("name");
    if (it == object.end()) return Error(where + "/name", "missing");
    std::u16string units;
    if (!Text(*it, where + "/name", &units)) return false;
    *name = vmp::WideString(std::move(units));
    return true;
  }

  // A string, or an escape object for what JSON cannot carry.
  bool Text(const Json& value, const std::string& where,
            std::u16string* units) {
    if (value.is_string()) {
      if (!tavik::Utf8ToUtf16(value.get_ref<const std::string&>(), units)) {
        return Error(where, "not valid UTF-8");
      }
      return true;
    }
    if (value.is_object()) {
      if (UnescapeUnits(value, units)) return true;
      return Error(where, kBadEscape);
    }
    return Error(where, "expected a string");
  }

  static constexpr char kBadEscape[] =
      "expected {\"utf16\": \"HHHH HHHH ...\"} (UTF-16 units in hex)";

  bool Property(const Json& object, const std::string& where,
                vmp::IGroup* group) {
    if (!object.is_object()) return Error(where, "expected a property object");
    for (const auto& member : object.items()) {
      const std::string& key = member.key();
      if (key != "name" && key != "type" && key != "value") {
        return Error(where + "/" + PointerEscape(key), "unknown member");
      }
    }
    vmp::WideString name;
    if (!Name(object, where, &name)) return false;
    auto type_it = object.find("type");
    if (type_it == object.end()) return Error(where + "/type", "missing");
    vmp::PrimitiveType type;
    if (!type_it->is_string() ||
        !vmp::PrimitiveTypeFromName(
            type_it->get_ref<const std::string&>().c_str(), &type)) {
      return Error(where + "/type",
                   "expected \"bool\", \"int32\", \"float64\" or "
                   "\"string_array\"");
    }
    auto value_it = object.find("value");
    if (value_it == object.end()) return Error(where + "/value", "missing");
    vmp::SharedPtr<vmp::IPrimitive> primitive = group->addPrimitive(name, type);
    if (!primitive) return Error(where, "too many properties");
    if (value_it->is_null()) {
      primitive->setNull();
      return true;
    }
    if (type == vmp::PrimitiveType::kStringArray && value_it->is_object()) {
      // The value's units as stored, whatever they hold.
      std::u16string units;
      if (!UnescapeUnits(*value_it, &units)) {
        return Error(where + "/value", kBadEscape);
      }
      if (!primitive->resize(0) ||
          !primitive->write(units.data(), 0, units.size())) {
        return Error(where + "/value", "value too long");
      }
      return true;
    }
    if (!value_it->is_array()) {
      return Error(where + "/value", "expected an array or null");
    }
    return Value(*value_it, where + "/value", type, primitive.get());
  }

  bool Value(const Json& array, const std::string& where,
             vmp::PrimitiveType type, vmp::IPrimitive* primitive) {
    const size_t count = array.size();
    bool stored = false;
    switch (type) {
      case vmp::PrimitiveType::kBool: {
        std::vector<uint8_t> values(count);
        for (size_t i = 0; i < count; ++i) {
          if (!array[i].is_boolean()) {
            return Error(where + "/" + std::to_string(i), "expected a boolean");
          }
          values[i] = array[i].get<bool>() ? 1 : 0;
        }
        stored = primitive->write(values.data(), 0, count);
        break;
      }
      case vmp::PrimitiveType::kInt32: {
        std::vector<int32_t> values(count);
        for (size_t i = 0; i < count; ++i) {
          const Json& e = array[i];
          bool fits = false;
          if (e.is_number_unsigned()) {
            fits = e.get<uint64_t>() <=
                   static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
          } else if (e.is_number_integer()) {
            int64_t v = e.get<int64_t>();
            fits = v >= std::numeric_limits<int32_t>::min() &&
                   v <= std::numeric_limits<int32_t>::max();
          }
          if (!fits) {
            return Error(where + "/" + std::to_string(i),
                         "expected an integer from -2147483648 to "
                         "2147483647");
          }
          values[i] = static_cast<int32_t>(e.get<int64_t>());
        }
        stored = primitive->write(values.data(), 0, count);
        break;
      }
      case vmp::PrimitiveType::kFloat64: {
        std::vector<double> values(count);
        for (size_t i = 0; i < count; ++i) {
          const Json& e = array[i];
          if (e.is_number()) {
            values[i] = e.get<double>();
          } else if (e == "NaN") {
            values[i] = std::numeric_limits<double>::quiet_NaN();
          } else if (e == "Infinity") {
            values[i] = std::numeric_limits<double>::infinity();
          } else if (e == "-Infinity") {
            values[i] = -std::numeric_limits<double>::infinity();
          } else {
            return Error(where + "/" + std::to_string(i),
                         "expected a number (or \"NaN\", \"Infinity\", "
                         "\"-Infinity\")");
          }
        }
        stored = primitive->write(values.data(), 0, count);
        break;
      }
      case vmp::PrimitiveType::kStringArray: {
        vmp::SharedPtr<vmp::IStringArray> strings = vmp::IStringArray::create();
        for (size_t i = 0; i < count; ++i) {
          std::u16string units;
          if (!Text(array[i], where + "/" + std::to_string(i), &units)) {
            return false;
          }
          strings->append(vmp::WideString(std::move(units)));
        }
        stored = strings->store(primitive);
        break;
      }
    }
    if (!stored) return Error(where, "value too long");
    return true;
  }

  vmp::IGroup* package_root_;
  vmp::IGroup* scene_root_;
  std::vector<Frame> frames_;
  Gathering gathering_ = Gathering::kNone;
  Gather gather_;
  std::string error_;
  std::string syntax_error_;
  size_t syntax_position_ = 0;
};

// The members of the document and of a group, each with its bit in
// Frame::seen.
constexpr const char* kDocumentMembers[] = {"package", "scene"};
constexpr const char* kGroupMembers[] = {"name", "properties", "groups"};

bool Builder::Event(Json value, bool opens) {
  if (!error_.empty()) return true;
  if (gathering_ != Gathering::kNone) {
    gather_.Add(std::move(value), opens);
    if (gather_.done()) Gathered();
    return true;
  }
  if (frames_.empty()) {
    if (value.is_object()) {
      frames_.emplace_back(Kind::kDocument, "", nullptr, 0);
    } else {
      Error("", "expected an object");
    }
    return true;
  }
  Frame& top = frames_.back();
  std::string place;
  switch (top.kind) {
    case Kind::kDocument:
      StartGroup(value.is_object(), "/" + top.member,
                 top.member == "package" ? package_root_ : scene_root_, nullptr,
                 0);
      break;
    case Kind::kGroup:
      place = top.where + "/" + top.member;
      if (top.member == "name") {
        StartGathering(Gathering::kName, std::move(place), std::move(value),
                       opens);
      } else if (!value.is_array()) {
        Error(place, "expected an array");
      } else {
        const Kind kind =
            top.member == "properties" ? Kind::kProperties : Kind::kGroups;
        // Copies: `top` may move with the push.
        vmp::IGroup* group = top.group;
        const int depth = top.depth;
        frames_.emplace_back(kind, std::move(place), group, depth);
      }
      break;
    case Kind::kProperties:
      StartGathering(Gathering::kProperty,
                     top.where + "/" + std::to_string(top.count++),
                     std::move(value), opens);
      break;
    case Kind::kGroups: {
      place = top.where + "/" + std::to_string(top.count++);
      vmp::SharedPtr<vmp::IGroup> child =
          top.group->addGroup(vmp::WideString());
      if (!child) {
        Error(place, "too many groups");
        break;
      }
      vmp::IGroup* group = child.get();
      StartGroup(value.is_object(), std::move(place), group, std::move(child),
                 top.depth + 1);
      break;
    }
  }
  return true;
}

void Builder::StartGroup(bool is_object, std::string where, vmp::IGroup* group,
                         vmp::SharedPtr<vmp::IGroup> held, int depth) {
  if (depth > kMaxDepth) {
    Error(where, "groups nested deeper than " + std::to_string(kMaxDepth));
  } else if (!is_object) {
    Error(where, "expected a group object");
  } else {
    frames_.emplace_back(Kind::kGroup, std::move(where), group, depth,
                         std::move(held));
  }
}

bool Builder::key(std::string& key) {
  if (!error_.empty()) return true;
  if (gathering_ != Gathering::kNone) {
    std::string place;
    if (!gather_.Key(std::move(key), &place)) Error(place, "duplicate member");
    return true;
  }
  // Outside what is gathered only the document and groups are objects.
  Frame& top = frames_.back();
  const bool document = top.kind == Kind::kDocument;
  const size_t count =
      document ? std::size(kDocumentMembers) : std::size(kGroupMembers);
  for (size_t bit = 0; bit < count; ++bit) {
    if (key != (document ? kDocumentMembers : kGroupMembers)[bit]) continue;
    if ((top.seen & (1u << bit)) != 0) {
      Error(top.where + "/" + PointerEscape(key), "duplicate member");
    } else {
      top.seen |= 1u << bit;
      top.member = std::move(key);
    }
    return true;
  }
  Error(top.where + "/" + PointerEscape(key), "unknown member");
  return true;
}

bool Builder::Close() {
  if (!error_.empty()) return true;
  if (gathering_ != Gathering::kNone) {
    gather_.Close();
    if (gather_.done()) Gathered();
    return true;
  }
  const Frame& top = frames_.back();
  if (top.kind == Kind::kDocument && (top.seen & 1u) == 0) {
    Error("/package", "missing");
  } else if (top.kind == Kind::kDocument && (top.seen & 2u) == 0) {
    Error("/scene", "missing");
  } else if (top.kind == Kind::kGroup && (top.seen & 1u) == 0) {
    Error(top.where + "/name", "missing");
  } else {
    frames_.pop_back();
  }
  return true;
}

void Builder::StartGathering(Gathering what, std::string place, Json value,
                             bool opens) {
  gathering_ = what;
  gather_.Start(std::move(place));
  gather_.Add(std::move(value), opens);
  if (gather_.done()) Gathered();
}

void Builder::Gathered() {
  const Gathering what = gathering_;
  gathering_ = Gathering::kNone;
  vmp::IGroup* group = frames_.back().group;
  if (what == Gathering::kProperty) {
    Property(gather_.value(), gather_.place(), group);
    return;
  }
  std::u16string units;
  if (Text(gather_.value(), gather_.place(), &units)) {
    group->setName(vmp::WideString(std::move(units)));
  }
}

// Prints the document as the groups are walked, byte for byte as nlohmann's
// dump(2) prints the whole of it: the groups' braces and arrays by hand,
// each name and property by nlohmann, indented to its place.
class Dumper {
 public:
  explicit Dumper(std::FILE* out) : sink_(out), json_(&sink_) {}

  // The place of the first group (in the order printed) nested deeper than
  // kMaxDepth, "" when there is none; a walk of the groups alone, so that
  // a refusal comes before anything is written.
  static std::string TooDeep(vmp::IGroup* root, const std::string& where) {
    std::vector<size_t> path;
    if (!TooDeep(root, 0, &path)) return std::string();
    std::string place = where;
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
      place += "/groups/" + std::to_string(*it);
    }
    return place;
  }

  void Document(vmp::IGroup* package, vmp::IGroup* scene) {
    json_.BeginObject();
    json_.Key("package");
    Group(package);
    json_.Key("scene");
    Group(scene);
    json_.EndObject();
    json_.Raw("\n");
  }

  // Writes what is left and flushes; false when any write failed.
  bool Finish() { return json_.Finish(nullptr); }

 private:
  // `path`: the indices leading to the group found, innermost first.
  static bool TooDeep(vmp::IGroup* group, int depth,
                      std::vector<size_t>* path) {
    if (depth > kMaxDepth) return true;
    vmp::SharedPtr<vmp::IIterator> children = group->groups();
    size_t i = 0;
    for (vmp::SharedPtr<vmp::IObject> item = children->current(); item;
         children->next(), item = children->current(), ++i) {
      if (TooDeep(vmp::IGroup::to(item).get(), depth + 1, path)) {
        path->push_back(i);
        return true;
      }
    }
    return false;
  }

  void Group(vmp::IGroup* group) {
    json_.BeginObject();
    json_.Key("name");
    std::string utf8;
    if (tavik::Utf16ToUtf8(group->name().string(), &utf8)) {
      json_.String(utf8);
    } else {
      json_.Value(EscapeUnits(group->name().string()));
    }
    json_.Key("properties");
    json_.BeginArray();
    vmp::SharedPtr<vmp::IIterator> it = group->properties();
    for (vmp::SharedPtr<vmp::IObject> item = it->current(); item;
         it->next(), item = it->current()) {
      json_.Value(Property(vmp::IPrimitive::to(item).get()));
    }
    json_.EndArray();
    json_.Key("groups");
    json_.BeginArray();
    vmp::SharedPtr<vmp::IIterator> children = group->groups();
    for (vmp::SharedPtr<vmp::IObject> item = children->current(); item;
         children->next(), item = children->current()) {
      Group(vmp::IGroup::to(item).get());
    }
    json_.EndArray();
    json_.EndObject();
  }

  // A string, or the escape of text with a lone surrogate.
  static OrderedJson Text(const vmp::WideString& text) {
    std::string utf8;
    if (tavik::Utf16ToUtf8(text.string(), &utf8)) return utf8;
    return EscapeUnits(text.string());
  }

  static OrderedJson Property(vmp::IPrimitive* primitive) {
    OrderedJson out;
    out["name"] = Text(primitive->descriptor().name());
    out["type"] = vmp::PrimitiveTypeName(primitive->type());
    if (primitive->isNull() != 0) {
      out["value"] = nullptr;
      return out;
    }
    OrderedJson value = OrderedJson::array();
    const size_t count = primitive->size();
    switch (primitive->type()) {
      case vmp::PrimitiveType::kBool: {
        std::vector<uint8_t> values(count);
        primitive->read(values.data(), 0, count);
        for (uint8_t v : values) value.push_back(v != 0);
        break;
      }
      case vmp::PrimitiveType::kInt32: {
        std::vector<int32_t> values(count);
        primitive->read(values.data(), 0, count);
        for (int32_t v : values) value.push_back(v);
        break;
      }
      case vmp::PrimitiveType::kFloat64: {
        std::vector<double> values(count);
        primitive->read(values.data(), 0, count);
        for (double v : values) {
          if (std::isnan(v)) {
            value.push_back("NaN");
          } else if (std::isinf(v)) {
            value.push_back(v > 0 ? "Infinity" : "-Infinity");
          } else {
            value.push_back(v);
          }
        }
        break;
      }
      case vmp::PrimitiveType::kStringArray: {
        std::u16string units(count, u'\0');
        primitive->read(count == 0 ? nullptr : &units[0], 0, count);
        vmp::SharedPtr<vmp::IStringArray> strings =
            vmp::IStringArray::to(count == 0 ? nullptr : units.data(), count);
        // Units that are no string array, or not as create writes the
        // array back (a lone count of 0), are given as they are stored.
        if (!strings || SerialisedUnits(*strings) != units) {
          out["value"] = EscapeUnits(units);
          return out;
        }
        for (size_t i = 0; i < strings->count(); ++i) {
          value.push_back(Text(strings->get(i)));
        }
        break;
      }
    }
    out["value"] = std::move(value);
    return out;
  }

  BlockSink sink_;
  JsonWriter json_;
};

// What follows nlohmann's "parse error at line L, column C: " (or its
// exception's name, for a number too large for a double).
std::string SyntaxDetail(const std::string& what) {
  size_t parse_error = what.find("parse error");
  size_t start = parse_error == std::string::npos
                     ? what.find("] ")
                     : what.find(": ", parse_error);
  return start == std::string::npos ? what : what.substr(start + 2);
}

}  // namespace

int Create(const std::string& library, const std::string& input_path,
           bool force, std::FILE* in, std::FILE* err) {
  tavik::FileSystem* fs = tavik::DefaultFileSystem();
  if (!force && (fs->FileExists(library) || fs->DirectoryExists(library))) {
    Fail(err, library + " already exists (--force replaces it)");
    return kExitFailed;
  }
  const bool from_stdin = input_path.empty() || input_path == "-";
  const std::string source =
      from_stdin ? std::string("standard input") : input_path;
  std::unique_ptr<tavik::InputFile> input;
  if (from_stdin) {
    input = std::make_unique<StreamInput>(in);
  } else {
    tavik::Result<std::unique_ptr<tavik::InputFile>> opened =
        fs->OpenForReading(input_path);
    if (!opened.ok()) {
      Fail(err, opened.status().message());
      return kExitFailed;
    }
    input = std::move(*opened);
  }
  // Replacing takes the library's update lock, which opens it for writing:
  // a read-only library is unmarked for that, as Tavik does, and marked
  // again afterwards whatever happens, so it keeps its mode.
  struct ReadOnlyMark {
    tavik::FileSystem* fs;
    std::string path;
    bool cleared = false;
    ~ReadOnlyMark() {
      if (!cleared) return;
      tavik::Result<uint32_t> a = fs->GetAttributes(path);
      if (a.ok()) fs->SetAttributes(path, *a | tavik::kFileAttributeReadOnly);
    }
  } mark{fs, library};
  if (force) {
    tavik::Result<uint32_t> attributes = fs->GetAttributes(library);
    if (attributes.ok() && (*attributes & tavik::kFileAttributeReadOnly) != 0 &&
        (*attributes & tavik::kFileAttributeDirectory) == 0) {
      mark.cleared =
          fs->SetAttributes(library,
                            *attributes & ~tavik::kFileAttributeReadOnly)
              .ok();
    }
  }
  vmp::SharedPtr<vmp::Package> package =
      vmp::Package::create(vmp::WideString(library.c_str()), force, fs);
  if (!package->isValid()) {
    Fail(err, package->status().message());
    return kExitFailed;
  }
  // The package is built as the input is read and committed only once all
  // of it is good.
  Builder builder(package->ipackage()->metadata()->root(),
                  package->document(0)->scene()->assets()->metadata()->root());
  InputReader reader(input.get());
  Json::sax_parse(reader.begin(), reader.end(), &builder);
  if (!reader.status().ok()) {
    Fail(err, reader.status().message());
    return kExitFailed;
  }
  if (!builder.syntax_error().empty()) {
    // nlohmann's message names the byte; the line is what people look for.
    const size_t byte = builder.syntax_position();
    Fail(err, source + ": not JSON at " +
                  reader.LineAndColumn(byte == 0 ? 0 : byte - 1) + ": " +
                  SyntaxDetail(builder.syntax_error()));
    return kExitFailed;
  }
  if (!builder.error().empty()) {
    Fail(err, source + ": " + builder.error());
    return kExitFailed;
  }
  tavik::Status s = package->commit();
  if (!s.ok()) {
    Fail(err, s.message());
    return kExitFailed;
  }
  return kExitOk;
}

int Dump(const std::string& library, std::FILE* out, std::FILE* err) {
  vmp::SharedPtr<vmp::Package> package(new vmp::Package(
      vmp::WideString(library.c_str()), false, "", tavik::DefaultFileSystem()));
  if (!package->isValid()) {
    Fail(err, package->status().message());
    return kExitFailed;
  }
  vmp::IGroup* package_root = package->ipackage()->metadata()->root();
  vmp::IGroup* scene_root =
      package->document(0)->scene()->assets()->metadata()->root();
  for (const auto& [root, where] :
       {std::pair(package_root, "/package"), std::pair(scene_root, "/scene")}) {
    const std::string place = Dumper::TooDeep(root, where);
    if (!place.empty()) {
      Fail(err, library + ": " + place + ": groups nested deeper than " +
                    std::to_string(kMaxDepth));
      return kExitFailed;
    }
  }
  Dumper dumper(out);
  dumper.Document(package_root, scene_root);
  if (!dumper.Finish()) {
    Fail(err, "can't write the output");
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace vmpkg
