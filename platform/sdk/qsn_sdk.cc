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

// Appends the root of `path` ("\\", "X:\\", "\\\\server\\share\\"; nothing
// for a relative path) to `out` as a resolved path spells it, and returns
// where the rest of `path` starts. The server and share of a UNC path are
// the root: ".." never takes them back.
size_t AppendRoot(std::string_view path, std::string* out) {
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    out->append("\\\\");
    size_t i = 2;
    for (int part = 0; part < 2; ++part) {
      while (i < path.size() && IsSeparator(path[i])) ++i;
      size_t start = i;
      while (i < path.size() && !IsSeparator(path[i])) ++i;
      if (i == start) break;
      out->append(path.substr(start, i - start));
      out->push_back('\\');
    }
    return i;
  }
  if (!path.empty() && IsSeparator(path[0])) {
    out->push_back('\\');
    return 1;
  }
  if (IsAbsolute(path)) {
    out->append(path.substr(0, 2));
    out->push_back('\\');
    return 3;
  }
  return 0;
}

// True when the last piece of `path` (past its first `root` bytes) is "..",
// as the lexical form of a relative folder may begin.
bool EndsWithClimb(const std::string& path, size_t root) {
  size_t n = path.size();
  return n >= root + 2 && path[n - 1] == '.' && path[n - 2] == '.' &&
         (n == root + 2 || path[n - 3] == '\\');
}

// Appends the pieces of `text` to `out` as Windows reads a path: empty
// pieces and "." are dropped, ".." takes back the piece before it. The first
// `root` bytes of `out` are never taken back: a rooted path stays at its
// root there, as both systems stop; a relative one (`root` 0) that runs out
// of pieces keeps the ".." (it climbs from wherever it is read). Pieces are
// joined with "\\", and nothing is allocated once `out` has grown.
void AppendPieces(std::string_view text, size_t root, std::string* out) {
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && !IsSeparator(text[i])) continue;
    std::string_view piece = text.substr(start, i - start);
    start = i + 1;
    if (piece.empty() || piece == ".") continue;
    if (piece == "..") {
      if (out->size() > root && !EndsWithClimb(*out, root)) {
        size_t cut = out->rfind('\\');
        out->resize(cut == std::string::npos || cut < root ? root : cut);
        continue;
      }
      if (root > 0) continue;
    }
    if (!out->empty() && out->back() != '\\') out->push_back('\\');
    out->append(piece);
  }
}

// A relative reference whose pieces are all names: no separator first,
// last or doubled, no "." or "..". Reading it in a folder is then a copy
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

void AppendPlain(std::string_view ref, std::string* out) {
  if (!out->empty() && out->back() != '\\') out->push_back('\\');
  size_t at = out->size();
  out->append(ref);
  for (size_t i = at; i < out->size(); ++i) {
    if ((*out)[i] == '/') (*out)[i] = '\\';
  }
}

// How a relative reference moves from the folder it is read in, worked out
// in one pass before anything is written.
struct Walk {
  size_t climbs = 0;  // ".." pieces that leave the folder
  size_t depth = 0;   // pieces left below where it ends up
};

Walk WalkOf(std::string_view ref) {
  Walk walk;
  size_t start = 0;
  for (size_t i = 0; i <= ref.size(); ++i) {
    if (i < ref.size() && !IsSeparator(ref[i])) continue;
    std::string_view piece = ref.substr(start, i - start);
    start = i + 1;
    if (piece.empty() || piece == ".") continue;
    if (piece != "..") {
      ++walk.depth;
    } else if (walk.depth > 0) {
      --walk.depth;
    } else {
      ++walk.climbs;
    }
  }
  return walk;
}

// `ref` (relative, naming at least one piece) read in the folder `folder`,
// whose lexical form is `lexical` with a root of `lexical_root` bytes.
void ResolveUnder(const std::string& folder, const std::string& lexical,
                  size_t lexical_root, std::string_view ref, const Walk& walk,
                  std::string* out) {
  if (walk.climbs > 0) {
    // Climbing out of the folder is read on its lexical form, whatever
    // links lie on the way, and stops at its root.
    out->assign(lexical);
    AppendPieces(ref, lexical_root, out);
    return;
  }
  out->assign(folder);
  AppendPieces(ref, out->size(), out);
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

KQsnXRefManager::KQsnXRefManager(tavik::FileSystem* fs) : fs_(fs) {}

bool KQsnXRefManager::AddXRefProject(const KString& name,
                                     const KString& folder) {
  if (name.IsEmpty() || folder.IsEmpty()) return false;
  Project* project = nullptr;
  for (Project& known : projects_) {
    if (known.name.CompareNoCase(name) == 0) project = &known;
  }
  if (project == nullptr) {
    projects_.emplace_back();
    project = &projects_.back();
    project->name = name;
  }
  project->folder = NormalizeSeparators(folder).str();
  project->lexical.clear();
  size_t rest = AppendRoot(project->folder, &project->lexical);
  project->lexical_root = project->lexical.size();
  AppendPieces(std::string_view(project->folder).substr(rest),
               project->lexical_root, &project->lexical);
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
    out->clear();
    size_t rest = AppendRoot(ref, out);
    AppendPieces(ref.substr(rest), out->size(), out);
    // A share named alone ends without its separator, as any folder does.
    if (out->size() > 2 && (*out)[1] == '\\' && out->back() == '\\') {
      out->pop_back();
    }
    return true;
  }
  // The common case, as fast as a copy.
  if (projects_.size() == 1 && IsPlainRelative(ref)) {
    out->assign(projects_[0].folder);
    AppendPlain(ref, out);
    return true;
  }
  const Walk walk = WalkOf(ref);
  if (projects_.empty() || walk.depth == 0) return false;
  if (projects_.size() == 1) {
    const Project& only = projects_[0];
    ResolveUnder(only.folder, only.lexical, only.lexical_root, ref, walk, out);
    return true;
  }
  std::string candidate;
  std::string first;
  for (size_t i = 0; i < projects_.size(); ++i) {
    const Project& project = projects_[i];
    ResolveUnder(project.folder, project.lexical, project.lexical_root, ref,
                 walk, &candidate);
    if (fs_->FileExists(candidate) || fs_->DirectoryExists(candidate)) {
      *out = std::move(candidate);
      return true;
    }
    if (i == 0) first = candidate;
  }
  *out = std::move(first);
  return true;
}

KQsnSdkManager* KQsnSdkManager::Create(tavik::FileSystem* fs) {
  static std::mutex mutex;
  static std::vector<std::unique_ptr<KQsnSdkManager>>* managers =
      new std::vector<std::unique_ptr<KQsnSdkManager>>;
  std::lock_guard<std::mutex> lock(mutex);
  managers->push_back(std::make_unique<KQsnSdkManager>(fs));
  return managers->back().get();
}

}  // namespace qsnsdk_cm_infra
