#include "platform/sdk/qsn_sdk.h"

#include <mutex>

#include "platform/sdk/kpath.h"

namespace qsnsdk_cm_infra {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsAbsolute(std::string_view ref) {
  if (!ref.empty() && IsSeparator(ref[0])) return true;
  return ref.size() >= 3 && ref[1] == ':' && IsSeparator(ref[2]) &&
         ((ref[0] >= 'A' && ref[0] <= 'Z') || (ref[0] >= 'a' && ref[0] <= 'z'));
}

// Splits on separators, dropping empty pieces and ".", applying "..". A ".."
// that climbs above the start is counted in `climbs` (the reference then
// reads "..\" `climbs` times, followed by `out`).
void Segments(std::string_view ref, std::vector<std::string>* out,
              size_t* climbs) {
  out->clear();
  *climbs = 0;
  std::string piece;
  auto flush = [&]() {
    if (piece.empty() || piece == ".") {
    } else if (piece == "..") {
      if (out->empty()) {
        ++*climbs;
      } else {
        out->pop_back();
      }
    } else {
      out->push_back(piece);
    }
    piece.clear();
  };
  for (char c : ref) {
    if (IsSeparator(c)) {
      flush();
    } else {
      piece.push_back(c);
    }
  }
  flush();
}

// A relative reference whose segments are all names: no separator first,
// last or doubled, no "." or "..". Joining it to a folder is then a copy
// with its separators turned into "\\".
bool IsPlainRelative(std::string_view ref) {
  size_t start = 0;
  for (size_t i = 0; i <= ref.size(); ++i) {
    if (i < ref.size() && !IsSeparator(ref[i])) continue;
    std::string_view piece = ref.substr(start, i - start);
    if (piece.empty() || piece == "." || piece == "..") return false;
    start = i + 1;
  }
  return true;
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

// `folder` (normalised) with `climbs` segments taken off its end, read
// lexically as Windows reads "..", after the folder's own "." and "..". A
// relative folder that runs out of segments gains ".." (it stays relative to
// where the library is); a rooted one ("\\", "X:\\", "\\\\server\\share")
// cannot climb above its root: false.
bool Climb(const std::string& folder, size_t climbs, std::string* out) {
  size_t start = 0;  // the root's end
  bool rooted = true;
  if (folder.size() >= 2 && folder[0] == '\\' && folder[1] == '\\') {
    size_t server = folder.find('\\', 2);
    size_t share = server == std::string::npos ? std::string::npos
                                               : folder.find('\\', server + 1);
    start = share == std::string::npos ? folder.size() : share;
  } else if (IsAbsolute(folder) && !IsSeparator(folder[0])) {
    start = 2;  // "X:"
  } else if (folder.empty() || !IsSeparator(folder[0])) {
    rooted = false;
  }
  std::vector<std::string> segs;
  size_t above = 0;
  Segments(folder.substr(start), &segs, &above);
  if (rooted && above > 0) return false;
  for (; climbs > 0; --climbs) {
    if (!segs.empty()) {
      segs.pop_back();
    } else if (rooted) {
      return false;
    } else {
      ++above;
    }
  }
  std::vector<std::string> all(above, "..");
  all.insert(all.end(), segs.begin(), segs.end());
  std::string text = folder.substr(0, start);
  if (rooted) text.push_back('\\');
  *out = Join(text, all);
  return true;
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
  std::string text;
  if (!ResolveInto(reference.str(), &text)) return false;
  out = KString(std::move(text));
  return true;
}

bool KQsnXRefManager::ResolveInto(std::string_view ref,
                                  std::string* out) const {
  if (ref.empty()) return false;
  if (IsAbsolute(ref)) {
    // Where drive letters mean nothing, "C:\\x" would be read relative to
    // the current folder: the result would depend on where the tool started.
    if (!IsSeparator(ref[0]) && !DriveLetterPathsNameFiles()) return false;
    *out = NormalizeSeparators(KString(std::string(ref))).str();
    return true;
  }
  if (projects_.size() == 1 && IsPlainRelative(ref)) {
    const std::string& base = projects_[0].second.str();
    out->assign(base);
    if (!out->empty() && out->back() != '\\') out->push_back('\\');
    size_t at = out->size();
    out->append(ref);
    for (size_t i = at; i < out->size(); ++i) {
      if ((*out)[i] == '/') (*out)[i] = '\\';
    }
    return true;
  }
  std::vector<std::string> segs;
  size_t climbs = 0;
  Segments(ref, &segs, &climbs);
  if (projects_.empty() || segs.empty()) return false;
  std::string first;
  bool any = false;
  for (const auto& project : projects_) {
    std::string base = project.second.str();
    // A reference that climbs out of the folder still names a file: the one
    // the folder's lexical parent holds (fault: such entries were pruned).
    if (climbs > 0 && !Climb(base, climbs, &base)) continue;
    std::string candidate = Join(base, segs);
    if (!any) first = candidate;
    any = true;
    if (projects_.size() == 1) break;
    if (fs_->FileExists(candidate) || fs_->DirectoryExists(candidate)) {
      *out = std::move(candidate);
      return true;
    }
  }
  if (!any) return false;
  *out = std::move(first);
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
