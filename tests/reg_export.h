// Reading registry exports for the end-to-end tests: the UTF-16 files that
// Windows' (and Wine's) `reg export` writes, and the UTF-8 hive files of the
// POSIX registry store, which use the same text format.
#ifndef TAVIK_TESTS_REG_EXPORT_H_
#define TAVIK_TESTS_REG_EXPORT_H_

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <string>

#include "platform/base/utf.h"

namespace tavik_test {

// Value name -> data. A string value's data is its text; a value of another
// type keeps the text after "=" as written (for example "dword:00000001"),
// prefixed with "=" so that it can never equal a string's text.
using RegValues = std::map<std::string, std::string>;
// Full key path (as written in the section header) -> its values. Every key
// of the export is present, also one without values.
using RegTree = std::map<std::string, RegValues>;

inline std::string AsciiLower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The text of a file as UTF-8: a UTF-16LE file (with its byte order mark) is
// converted, anything else is returned as it is (a UTF-8 BOM is dropped).
inline std::string RegFileText(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::u16string wide;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      wide.push_back(static_cast<char16_t>(
          static_cast<unsigned char>(bytes[i]) |
          (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return tavik::Utf16ToUtf8OrReplace(wide);
  }
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
  return bytes;
}

// Parses the quoted text starting at text[*pos] == '"'; on success *pos is
// just past the closing quote. Escapes: \\ \" and, as Wine writes them,
// \n \r \0, and \xHH as the POSIX store writes it.
inline std::optional<std::string> ParseRegQuoted(const std::string& text,
                                                 size_t* pos) {
  if (*pos >= text.size() || text[*pos] != '"') return std::nullopt;
  std::string out;
  for (size_t i = *pos + 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      *pos = i + 1;
      return out;
    }
    if (c == '\\' && i + 1 < text.size()) {
      char e = text[++i];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case '0':
          out += '\0';
          break;
        case 'x':
          // The POSIX store's form of a control character or a stray byte.
          if (i + 2 < text.size() &&
              std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
              std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(
                std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
          } else {
            return std::nullopt;
          }
          break;
        default:
          out += e;
      }
    } else {
      out += c;
    }
  }
  return std::nullopt;
}

// Parses an export. nullopt when a line is neither a header, a section, a
// value nor blank, so that a format change is noticed instead of read as an
// empty registry.
inline std::optional<RegTree> ParseRegExport(const std::string& file_bytes) {
  std::string text = RegFileText(file_bytes);
  RegTree tree;
  std::string section;
  bool in_section = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    if (line.rfind("Windows Registry Editor", 0) == 0 || line == "REGEDIT4") {
      continue;
    }
    if (line[0] == '[') {
      if (line.back() != ']') return std::nullopt;
      section = line.substr(1, line.size() - 2);
      tree[section];
      in_section = true;
      continue;
    }
    if (!in_section) return std::nullopt;
    std::string name;
    size_t p = 0;
    if (line[0] == '@') {
      p = 1;
    } else {
      std::optional<std::string> quoted = ParseRegQuoted(line, &p);
      if (!quoted) return std::nullopt;
      name = *quoted;
    }
    if (p >= line.size() || line[p] != '=') return std::nullopt;
    ++p;
    if (p < line.size() && line[p] == '"') {
      std::optional<std::string> data = ParseRegQuoted(line, &p);
      if (!data || p != line.size()) return std::nullopt;
      tree[section][name] = *data;
    } else {
      // A hex value continues on the next line after a trailing backslash.
      std::string data = "=" + line.substr(p);
      while (!data.empty() && data.back() == '\\' && pos < text.size()) {
        data.pop_back();
        size_t next_end = text.find('\n', pos);
        if (next_end == std::string::npos) next_end = text.size();
        std::string next = text.substr(pos, next_end - pos);
        pos = next_end + 1;
        while (!next.empty() && (next.back() == '\r')) next.pop_back();
        size_t first = next.find_first_not_of(' ');
        data += first == std::string::npos ? "" : next.substr(first);
      }
      tree[section][name] = data;
    }
  }
  return tree;
}

// The keys of `tree` at or below `prefix` (compared without regard to ASCII
// letter case, as the registry does), named relative to it: "" is the key
// `prefix` itself, "A\B" a key two levels below.
inline RegTree RegSubtree(const RegTree& tree, const std::string& prefix) {
  RegTree out;
  std::string lower_prefix = AsciiLower(prefix);
  for (const auto& [key, values] : tree) {
    std::string lower = AsciiLower(key);
    if (lower == lower_prefix) {
      out[""] = values;
    } else if (lower.size() > lower_prefix.size() &&
               lower.compare(0, lower_prefix.size(), lower_prefix) == 0 &&
               lower[lower_prefix.size()] == '\\') {
      out[key.substr(lower_prefix.size() + 1)] = values;
    }
  }
  return out;
}

// One line per key and value, for failure messages and comparisons.
inline std::string RegTreeText(const RegTree& tree) {
  std::string out;
  for (const auto& [key, values] : tree) {
    out += "[" + key + "]\n";
    for (const auto& [name, data] : values) {
      out += "  \"" + name + "\" = \"" + data + "\"\n";
    }
  }
  return out.empty() ? "(no keys)\n" : out;
}

}  // namespace tavik_test

#endif  // TAVIK_TESTS_REG_EXPORT_H_
