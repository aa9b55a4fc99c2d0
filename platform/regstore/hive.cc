#include "platform/regstore/hive.h"

#include <algorithm>
#include <cstdio>

#include "platform/base/utf.h"

namespace tavik {

namespace {

constexpr char kHeader[] = "Windows Registry Editor Version 5.00";

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// Length of the UTF-8 sequence starting at text[i] when it is valid, else 0.
size_t ValidSequenceLength(const std::string& text, size_t i) {
  unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t length = lead < 0x80             ? 1
                  : (lead & 0xE0) == 0xC0 ? 2
                  : (lead & 0xF0) == 0xE0 ? 3
                  : (lead & 0xF8) == 0xF0 ? 4
                                          : 0;
  if (length == 0 || i + length > text.size()) return 0;
  return IsValidUtf8(text.substr(i, length)) ? length : 0;
}

void AppendQuoted(const std::string& text, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = ValidSequenceLength(text, i);
    if (c == '\\') {
      out->append("\\\\");
    } else if (c == '"') {
      out->append("\\\"");
    } else if (c == '\n') {
      out->append("\\n");
    } else if (c == '\r') {
      out->append("\\r");
    } else if ((IsControl(c) && c != '\t') || length == 0) {
      out->append("\\x");
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 0xF]);
    } else {
      out->append(text, i, length);
      i += length;
      continue;
    }
    ++i;
  }
  out->push_back('"');
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted text starting at line[*pos] (the opening quote) and moves
// *pos past the closing quote.
bool ParseQuoted(const std::string& line, size_t* pos, std::string* out) {
  out->clear();
  size_t i = *pos + 1;
  while (i < line.size()) {
    char c = line[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c != '\\') {
      out->push_back(c);
      ++i;
      continue;
    }
    if (i + 1 >= line.size()) return false;
    char e = line[i + 1];
    if (e == '\\' || e == '"') {
      out->push_back(e);
      i += 2;
    } else if (e == 'n') {
      out->push_back('\n');
      i += 2;
    } else if (e == 'r') {
      out->push_back('\r');
      i += 2;
    } else if (e == 'x' && i + 3 < line.size() && HexDigit(line[i + 2]) >= 0 &&
               HexDigit(line[i + 3]) >= 0) {
      out->push_back(static_cast<char>(HexDigit(line[i + 2]) * 16 +
                                       HexDigit(line[i + 3])));
      i += 4;
    } else {
      return false;
    }
  }
  return false;
}

bool IsBlank(const std::string& text, size_t from = 0) {
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] != ' ' && text[i] != '\t') return false;
  }
  return true;
}

std::string TrimRight(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(0, end);
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() &&
         FoldCase(text.substr(0, prefix.size())) == FoldCase(prefix);
}

// "01,02,ff" into bytes.
bool ParseHexBytes(const std::string& text, std::string* out) {
  out->clear();
  std::string compact;
  for (char c : text) {
    if (c != ' ' && c != '\t') compact.push_back(c);
  }
  if (compact.empty()) return true;
  size_t i = 0;
  while (true) {
    if (i + 2 > compact.size()) return false;
    int high = HexDigit(compact[i]);
    int low = HexDigit(compact[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<char>(high * 16 + low));
    i += 2;
    if (i == compact.size()) return true;
    if (compact[i] != ',') return false;
    ++i;
  }
}

// The data after "=": a quoted text, dword:, hex: or hex(N):.
bool ParseData(const std::string& data, HiveValue* value) {
  if (!data.empty() && data[0] == '"') {
    size_t pos = 0;
    value->type = kRegSz;
    return ParseQuoted(data, &pos, &value->data) && IsBlank(data, pos);
  }
  std::string trimmed = TrimRight(data);
  if (StartsWithNoCase(trimmed, "dword:")) {
    std::string digits = trimmed.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t number = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) return false;
      number = number * 16 + static_cast<uint32_t>(d);
    }
    value->type = kRegDword;
    value->data.clear();
    for (int b = 0; b < 4; ++b) {
      value->data.push_back(static_cast<char>((number >> (8 * b)) & 0xFF));
    }
    return true;
  }
  if (StartsWithNoCase(trimmed, "hex:")) {
    value->type = kRegBinary;
    return ParseHexBytes(trimmed.substr(4), &value->data);
  }
  if (StartsWithNoCase(trimmed, "hex(")) {
    size_t close = trimmed.find("):");
    if (close == std::string::npos || close == 4 || close > 12) return false;
    uint32_t type = 0;
    for (size_t i = 4; i < close; ++i) {
      int d = HexDigit(trimmed[i]);
      if (d < 0) return false;
      type = type * 16 + static_cast<uint32_t>(d);
    }
    value->type = type;
    return ParseHexBytes(trimmed.substr(close + 2), &value->data);
  }
  return false;
}

void AppendValue(const HiveValue& value, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  if (value.name.empty()) {
    out->push_back('@');
  } else {
    AppendQuoted(value.name, out);
  }
  out->push_back('=');
  if (value.type == kRegSz) {
    AppendQuoted(value.data, out);
  } else if (value.type == kRegDword && value.data.size() == 4) {
    uint32_t number = 0;
    for (int b = 3; b >= 0; --b) {
      number = (number << 8) | static_cast<unsigned char>(value.data[b]);
    }
    char text[16];
    std::snprintf(text, sizeof(text), "dword:%08x", number);
    out->append(text);
  } else {
    if (value.type == kRegBinary) {
      out->append("hex:");
    } else {
      char text[16];
      std::snprintf(text, sizeof(text), "hex(%x):", value.type);
      out->append(text);
    }
    for (size_t i = 0; i < value.data.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(value.data[i]);
      if (i > 0) out->push_back(',');
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 0xF]);
    }
  }
  out->push_back('\n');
}

void AppendKey(const std::string& path, const HiveKey& key, bool is_root,
               std::string* out) {
  if (!is_root || !key.values.empty()) {
    out->append("[" + path + "]\n");
    for (const HiveValue& value : key.values) AppendValue(value, out);
    out->push_back('\n');
  }
  for (const auto& entry : key.subkeys) {
    AppendKey(path + "\\" + entry.second->name, *entry.second, false, out);
  }
}

}  // namespace

const char* HiveName(HiveId hive) {
  return hive == HiveId::kLocalMachine ? "HKEY_LOCAL_MACHINE"
                                       : "HKEY_CURRENT_USER";
}

std::string FoldCase(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

HiveValue* HiveKey::FindValue(const std::string& value_name) {
  std::string folded = FoldCase(value_name);
  for (HiveValue& value : values) {
    if (FoldCase(value.name) == folded) return &value;
  }
  return nullptr;
}

HiveKey* HiveKey::FindSubKey(const std::string& key_name) {
  auto it = subkeys.find(FoldCase(key_name));
  return it == subkeys.end() ? nullptr : it->second.get();
}

long SplitKeyPath(const std::string& path, std::vector<std::string>* names) {
  names->clear();
  if (path.empty()) return kErrorSuccess;
  if (path[0] == '\\') return kErrorBadPathname;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end == start) return kErrorBadPathname;
    std::string name = path.substr(start, end - start);
    if (!IsValidUtf8(name)) return kErrorInvalidParameter;
    for (unsigned char c : name) {
      if (IsControl(c)) return kErrorInvalidParameter;
    }
    names->push_back(std::move(name));
    start = end + 1;
  }
  return kErrorSuccess;
}

std::string SerializeHive(HiveId hive, const HiveKey& root) {
  std::string out = std::string(kHeader) + "\n\n";
  AppendKey(HiveName(hive), root, true, &out);
  return out;
}

Status ParseHive(HiveId hive, const std::string& text, HiveKey* root) {
  root->values.clear();
  root->subkeys.clear();
  std::vector<std::string> lines;
  size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  auto corrupt = [&](size_t index, const std::string& why) {
    return Status::Corrupt(std::string(HiveName(hive)) + " line " +
                           std::to_string(index + 1) + ": " + why);
  };

  size_t i = 0;
  while (i < lines.size() && IsBlank(lines[i])) ++i;
  if (i == lines.size()) return Status::Ok();
  if (TrimRight(lines[i]) != kHeader) return corrupt(i, "not a registry file");
  const std::string hive_name = HiveName(hive);
  HiveKey* current = nullptr;
  for (++i; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (IsBlank(line) || line[0] == ';') continue;
    if (line[0] == '[') {
      std::string header = TrimRight(line);
      if (header.back() != ']' || header.size() < 2) {
        return corrupt(i, "unclosed key name");
      }
      std::string path = header.substr(1, header.size() - 2);
      if (!StartsWithNoCase(path, hive_name) ||
          (path.size() > hive_name.size() && path[hive_name.size()] != '\\')) {
        return corrupt(i, "key outside " + hive_name);
      }
      std::vector<std::string> names;
      std::string below =
          path.substr(std::min(path.size(), hive_name.size() + 1));
      if (path.size() > hive_name.size() && below.empty()) {
        return corrupt(i, "bad key name");
      }
      if (SplitKeyPath(below, &names) != kErrorSuccess) {
        return corrupt(i, "bad key name");
      }
      current = CreatePath(root, names, nullptr);
      continue;
    }
    if (line[0] != '"' && line[0] != '@') return corrupt(i, "unknown line");
    if (current == nullptr) return corrupt(i, "value outside a key");
    HiveValue value;
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (!ParseQuoted(line, &pos, &value.name)) {
      return corrupt(i, "bad value name");
    }
    if (pos >= line.size() || line[pos] != '=') {
      return corrupt(i, "\"=\" expected");
    }
    std::string data = line.substr(pos + 1);
    // Hex data may go on over lines that end in a backslash.
    if (data.empty() || data[0] != '"') {
      while (!TrimRight(data).empty() && TrimRight(data).back() == '\\' &&
             i + 1 < lines.size()) {
        data = TrimRight(data);
        data.pop_back();
        const std::string& next = lines[++i];
        size_t first = next.find_first_not_of(" \t");
        if (first != std::string::npos) data += next.substr(first);
      }
    }
    if (!ParseData(data, &value)) return corrupt(i, "bad value data");
    SetValue(current, std::move(value));
  }
  return Status::Ok();
}

void SetValue(HiveKey* key, HiveValue value) {
  if (HiveValue* existing = key->FindValue(value.name)) {
    existing->type = value.type;
    existing->data = std::move(value.data);
  } else {
    key->values.push_back(std::move(value));
  }
}

HiveKey* CreatePath(HiveKey* root, const std::vector<std::string>& names,
                    bool* created) {
  HiveKey* key = root;
  for (const std::string& name : names) {
    std::unique_ptr<HiveKey>& slot = key->subkeys[FoldCase(name)];
    if (!slot) {
      slot = std::make_unique<HiveKey>();
      slot->name = name;
      if (created) *created = true;
    }
    key = slot.get();
  }
  return key;
}

}  // namespace tavik
