#include "platform/sdk/qsn_sdk.h"

#include <mutex>

namespace qsnsdk_cm_infra {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsAbsolute(const std::string& ref) {
  if (!ref.empty() && IsSeparator(ref[0])) return true;
  return ref.size() >= 3 && ref[1] == ':' && IsSeparator(ref[2]) &&
         ((ref[0] >= 'A' && ref[0] <= 'Z') || (ref[0] >= 'a' && ref[0] <= 'z'));
}

// Splits on separators, dropping empty pieces and ".", applying "..".
// False when ".." climbs above the start.
bool Segments(const std::string& ref, std::vector<std::string>* out) {
  out->clear();
  std::string piece;
  auto flush = [&]() {
    if (piece.empty() || piece == ".") {
    } else if (piece == "..") {
      if (out->empty()) return false;
      out->pop_back();
    } else {
      out->push_back(piece);
    }
    piece.clear();
    return true;
  };
  for (char c : ref) {
    if (IsSeparator(c)) {
      if (!flush()) return false;
    } else {
      piece.push_back(c);
    }
  }
  return flush();
}

std::string Join(const std::string& base,
                 const std::vector<std::string>& segs) {
  std::string out = base;
  for (const std::string& s : segs) {
    if (!out.empty() && out.back() != '\\') out.push_back('\\');
    out += s;
  }
  return out;
}

}  // namespace

KString NormalizeSeparators(const KString& path) {
  const std::string& text = path.str();
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  if (text.size() >= 2 && IsSeparator(text[0]) && IsSeparator(text[1])) {
    out = "\\\\";
    i = 2;
  }
  for (; i < text.size(); ++i) {
    char c = IsSeparator(text[i]) ? '\\' : text[i];
    if (c == '\\' && !out.empty() && out.back() == '\\') continue;
    out.push_back(c);
  }
  // A root ("\\", "X:\\", "\\\\") keeps its separator.
  while (out.size() > 1 && out.back() == '\\' &&
         !(out.size() == 3 && out[1] == ':') && out != "\\\\") {
    out.pop_back();
  }
  return KString(out);
}

KQsnXRefManager::KQsnXRefManager(tavik::FileSystem* fs)
    : fs_(fs ? fs : tavik::DefaultFileSystem()) {}

bool KQsnXRefManager::AddXRefProject(const KString& name,
                                     const KString& folder) {
  if (name.IsEmpty() || folder.IsEmpty()) return false;
  for (auto& project : projects_) {
    if (project.first.CompareNoCase(name) == 0) {
      project.second = NormalizeSeparators(folder);
      return true;
    }
  }
  projects_.emplace_back(name, NormalizeSeparators(folder));
  return true;
}

bool KQsnXRefManager::GetResolvedUrl(const KString& reference,
                                     KString& out) const {
  const std::string& ref = reference.str();
  if (ref.empty()) return false;
  if (IsAbsolute(ref)) {
    out = NormalizeSeparators(reference);
    return true;
  }
  std::vector<std::string> segs;
  if (projects_.empty() || !Segments(ref, &segs) || segs.empty()) return false;
  std::string first;
  for (const auto& project : projects_) {
    std::string candidate = Join(project.second.str(), segs);
    if (first.empty()) first = candidate;
    if (projects_.size() == 1) break;
    if (fs_->FileExists(candidate) || fs_->DirectoryExists(candidate)) {
      out = KString(candidate);
      return true;
    }
  }
  out = KString(first);
  return true;
}

KQsnSdkManager* KQsnSdkManager::Create() {
  static std::mutex mutex;
  static std::vector<std::unique_ptr<KQsnSdkManager>>* managers =
      new std::vector<std::unique_ptr<KQsnSdkManager>>;
  std::lock_guard<std::mutex> lock(mutex);
  managers->push_back(std::make_unique<KQsnSdkManager>());
  return managers->back().get();
}

}  // namespace qsnsdk_cm_infra
