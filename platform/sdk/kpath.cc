#include "platform/sdk/kpath.h"

#include <string>

namespace qsnsdk_cm_infra {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Index just past the last separator, 0 when there is none.
size_t NameStart(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsSeparator(path[i - 1])) return i;
  }
  return 0;
}

// Index of the extension's dot within `path`, or npos.
size_t ExtensionDot(std::string_view path) {
  size_t start = NameStart(path);
  size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot <= start) return std::string::npos;
  return dot;
}

}  // namespace

bool FileExist(const KString& path, tavik::FileSystem* fs) {
  return fs->FileExists(path.str());
}

bool KDirectoryExist(const KString& path, tavik::FileSystem* fs) {
  return fs->DirectoryExists(path.str());
}

KString ExtractFileExtension(const KString& path) {
  const std::string& text = path.str();
  size_t dot = ExtensionDot(text);
  return dot == std::string::npos ? KString() : KString(text.substr(dot + 1));
}

std::string_view FileNameView(std::string_view path, bool withExtension) {
  size_t start = NameStart(path);
  size_t end = withExtension ? std::string_view::npos : ExtensionDot(path);
  if (end == std::string_view::npos) return path.substr(start);
  return path.substr(start, end - start);
}

std::string_view NameStem(std::string_view name) {
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

KString ExtractFileName(const KString& path, bool withExtension) {
  return KString(std::string(FileNameView(path.str(), withExtension)));
}

KString ExtractParentDirectory(const KString& path, int levels) {
  if (levels < 0) levels = 1;
  std::string text = path.str();
  for (int i = 0; i < levels; ++i) {
    size_t pos = text.find_last_of("\\/");
    if (pos == std::string::npos) return KString();
    // Keep the separator of a root such as "\\" or "/" itself.
    text.resize(pos == 0 ? 1 : pos);
    if (pos == 0) break;
  }
  return KString(text);
}

KString ChangeFileExtension(const KString& path, const KString& extension) {
  const std::string& text = path.str();
  size_t dot = ExtensionDot(text);
  std::string base = dot == std::string::npos ? text : text.substr(0, dot);
  return KString(base + extension.str());
}

KString MakeFullPath(const KString& folder, const KString& name) {
  const std::string& dir = folder.str();
  if (dir.empty()) return name;
  if (IsSeparator(dir.back())) return KString(dir + name.str());
  return KString(dir + "\\" + name.str());
}

}  // namespace qsnsdk_cm_infra
