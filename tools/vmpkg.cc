#include "tools/vmpkg.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/utf.h"
#include "platform/os/file_system.h"
#include "platform/vmp/metadata.h"
#include "platform/vmp/package.h"
#include "platform/vmp/strings.h"
#include "tools/commands.h"

namespace vmpkg {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// nlohmann's reader is iterative but its writer and our walk recurse; a
// library nested deeper than this is refused rather than overflowing the
// stack.
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

// Builds metadata from the JSON document, checking the schema; the first
// error is kept with its place as a JSON pointer.
class Builder {
 public:
  bool Build(const Json& document, vmp::IGroup* package_root,
             vmp::IGroup* scene_root) {
    if (!document.is_object()) return Error("", "expected an object");
    for (const auto& member : document.items()) {
      if (member.key() != "package" && member.key() != "scene") {
        return Error("/" + Escape(member.key()), "unknown member");
      }
    }
    if (!document.contains("package")) return Error("/package", "missing");
    if (!Group(document["package"], "/package", package_root, 0)) return false;
    if (!document.contains("scene")) return Error("/scene", "missing");
    return Group(document["scene"], "/scene", scene_root, 0);
  }

  const std::string& error() const { return error_; }

 private:
  bool Error(const std::string& place, const std::string& problem) {
    error_ =
        (place.empty() ? std::string("(document)") : place) + ": " + problem;
    return false;
  }

  // JSON pointer escaping of a member name.
  static std::string Escape(const std::string& key) {
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

  bool Group(const Json& object, const std::string& where, vmp::IGroup* group,
             int depth) {
    if (depth > kMaxDepth) {
      return Error(where,
                   "groups nested deeper than " + std::to_string(kMaxDepth));
    }
    if (!object.is_object()) return Error(where, "expected a group object");
    for (const auto& member : object.items()) {
      const std::string& key = member.key();
      if (key != "name" && key != "properties" && key != "groups") {
        return Error(where + "/" + Escape(key), "unknown member");
      }
    }
    vmp::WideString name;
    if (!Name(object, where, &name)) return false;
    group->setName(name);
    if (object.contains("properties")) {
      const Json& properties = object["properties"];
      if (!properties.is_array()) {
        return Error(where + "/properties", "expected an array");
      }
      for (size_t i = 0; i < properties.size(); ++i) {
        if (!Property(properties[i], where + "/properties/" + std::to_string(i),
                      group)) {
          return false;
        }
      }
    }
    if (object.contains("groups")) {
      const Json& groups = object["groups"];
      if (!groups.is_array()) {
        return Error(where + "/groups", "expected an array");
      }
      for (size_t i = 0; i < groups.size(); ++i) {
        std::string place = where + "/groups/" + std::to_string(i);
        vmp::SharedPtr<vmp::IGroup> child = group->addGroup(vmp::WideString());
        if (!child) return Error(place, "too many groups");
        if (!Group(groups[i], place, child.get(), depth + 1)) return false;
      }
    }
    return true;
  }

  bool Property(const Json& object, const std::string& where,
                vmp::IGroup* group) {
    if (!object.is_object()) return Error(where, "expected a property object");
    for (const auto& member : object.items()) {
      const std::string& key = member.key();
      if (key != "name" && key != "type" && key != "value") {
        return Error(where + "/" + Escape(key), "unknown member");
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

  std::string error_;
};

// Turns metadata back into JSON; fails for what JSON cannot carry.
class Dumper {
 public:
  bool Group(vmp::IGroup* group, const std::string& where, int depth,
             OrderedJson* out) {
    if (depth > kMaxDepth) {
      return Error(where,
                   "groups nested deeper than " + std::to_string(kMaxDepth));
    }
    (*out)["name"] = Text(group->name());
    OrderedJson properties = OrderedJson::array();
    vmp::SharedPtr<vmp::IIterator> it = group->properties();
    size_t i = 0;
    for (vmp::SharedPtr<vmp::IObject> item = it->current(); item;
         it->next(), item = it->current(), ++i) {
      vmp::SharedPtr<vmp::IPrimitive> primitive = vmp::IPrimitive::to(item);
      OrderedJson property;
      if (!Property(primitive.get(), &property)) return false;
      properties.push_back(std::move(property));
    }
    (*out)["properties"] = std::move(properties);
    OrderedJson& groups = (*out)["groups"] = OrderedJson::array();
    vmp::SharedPtr<vmp::IIterator> children = group->groups();
    i = 0;
    for (vmp::SharedPtr<vmp::IObject> item = children->current(); item;
         children->next(), item = children->current(), ++i) {
      OrderedJson child = OrderedJson::object();
      if (!Group(vmp::IGroup::to(item).get(),
                 where + "/groups/" + std::to_string(i), depth + 1, &child)) {
        return false;
      }
      groups.push_back(std::move(child));
    }
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  bool Error(const std::string& place, const std::string& problem) {
    error_ = place + ": " + problem;
    return false;
  }

  // A string, or the escape of text with a lone surrogate.
  static OrderedJson Text(const vmp::WideString& text) {
    std::string utf8;
    if (tavik::Utf16ToUtf8(text.string(), &utf8)) return utf8;
    return EscapeUnits(text.string());
  }

  bool Property(vmp::IPrimitive* primitive, OrderedJson* out) {
    (*out)["name"] = Text(primitive->descriptor().name());
    (*out)["type"] = vmp::PrimitiveTypeName(primitive->type());
    if (primitive->isNull() != 0) {
      (*out)["value"] = nullptr;
      return true;
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
          (*out)["value"] = EscapeUnits(units);
          return true;
        }
        for (size_t i = 0; i < strings->count(); ++i) {
          value.push_back(Text(strings->get(i)));
        }
        break;
      }
    }
    (*out)["value"] = std::move(value);
    return true;
  }

  std::string error_;
};

bool ReadStream(std::FILE* in, std::string* contents) {
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0) {
    contents->append(buffer, n);
  }
  return !std::ferror(in);
}

// 1-based line and column of a byte offset, for parse errors.
std::string LineAndColumn(const std::string& text, size_t byte) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < byte && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
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
  std::string text;
  if (from_stdin) {
    if (!ReadStream(in, &text)) {
      Fail(err, "can't read standard input");
      return kExitFailed;
    }
  } else {
    tavik::Result<std::string> read = fs->ReadWholeFile(input_path);
    if (!read.ok()) {
      Fail(err, read.status().message());
      return kExitFailed;
    }
    text = std::move(*read);
  }
  Json document;
  try {
    document = Json::parse(text);
  } catch (const Json::parse_error& e) {
    // nlohmann's message names the byte; the line is what people look for.
    std::string what = e.what();
    size_t colon = what.find(": ", what.find("parse error"));
    std::string detail =
        colon == std::string::npos ? what : what.substr(colon + 2);
    Fail(err, source + ": not JSON at " +
                  LineAndColumn(text, e.byte == 0 ? 0 : e.byte - 1) + ": " +
                  detail);
    return kExitFailed;
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
  Builder builder;
  if (!builder.Build(
          document, package->ipackage()->metadata()->root(),
          package->document(0)->scene()->assets()->metadata()->root())) {
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
  OrderedJson document = OrderedJson::object();
  Dumper dumper;
  if (!dumper.Group(package->ipackage()->metadata()->root(), "/package", 0,
                    &document["package"]) ||
      !dumper.Group(package->document(0)->scene()->assets()->metadata()->root(),
                    "/scene", 0, &document["scene"])) {
    Fail(err, library + ": " + dumper.error());
    return kExitFailed;
  }
  return WriteAll(document.dump(2) + "\n", out, err) ? kExitOk : kExitFailed;
}

}  // namespace vmpkg
