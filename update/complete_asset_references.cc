#include "update/complete_asset_references.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "platform/base/debug_output.h"
#include "platform/sdk/kpath.h"
#include "update/reference_variants.h"

namespace tavik {

using qsnsdk_cm_infra::ExtractFileName;
using qsnsdk_cm_infra::KQsnXRefManager;
using qsnsdk_cm_infra::MakeFullPath;
using vmp::SharedPtr;
using vmp::StringAlgorithm;
using vmp::WideString;

StringArrayProperty::StringArrayProperty(vmp::IPrimitive* primitive)
    : primitive_(primitive) {
  if (primitive_->type() != vmp::PrimitiveType::kStringArray) return;
  size_t size = primitive_->size();
  if (size == 0) {
    array_ = vmp::IStringArray::to(nullptr, 0);
    return;
  }
  std::vector<char16_t> buffer(size);
  if (primitive_->read(buffer.data(), 0, size)) {
    array_ = vmp::IStringArray::to(buffer.data(), size);
  }
}

StringArrayProperty::~StringArrayProperty() {
  if (modified_ && array_) array_->store(primitive_);
}

size_t StringArrayProperty::count() const {
  return array_ ? array_->count() : 0;
}

WideString StringArrayProperty::get(size_t index) const {
  return array_ ? array_->get(index) : WideString();
}

void StringArrayProperty::append(const WideString& text) {
  if (!array_) return;
  array_->append(text);
  modified_ = true;
}

namespace {

std::string Utf8(const WideString& text) {
  return StringAlgorithm::UTF8Encode(text).string();
}

// The entry name of the sibling found in each numbered folder 1..count
// (index i - 1), "" where there is none; the reference's own folder is not
// looked at.
std::vector<std::string> SiblingNames(SiblingLookup* siblings,
                                      const ReferenceVariants& variants,
                                      int count) {
  std::vector<std::string> names(static_cast<size_t>(count));
  const std::vector<const SiblingLookup::Folder*>& folders =
      siblings->NumberedFolders(variants.prefix(), variants.suffix(), count);
  for (int i = 1; i <= count; ++i) {
    if (i == variants.folder().number) continue;
    std::string_view name;
    if (SiblingLookup::FirstWithStem(*folders[i - 1], variants.stem(), &name)) {
      names[i - 1] = name;
    }
  }
  return names;
}

std::vector<std::string> Entries(const StringArrayProperty& view) {
  std::vector<std::string> entries;
  for (size_t k = 0; k < view.count(); ++k)
    entries.push_back(Utf8(view.get(k)));
  return entries;
}

// Resolves an entry as every decision of the run does, and tells the
// observer (if any) the answer.
bool ResolveEntry(KQsnXRefManager* manager, SiblingLookup* siblings,
                  UpdateObserver* observer, size_t index,
                  const KString& reference, KString* resolved) {
  // No file name holds U+0000; the text before it must not be judged in the
  // whole entry's place.
  bool resolves = reference.str().find('\0') == std::string::npos &&
                  manager->GetResolvedUrl(reference, *resolved);
  bool exists = resolves && siblings->FileExists(*resolved);
  if (observer != nullptr) {
    observer->Entry(index, resolves ? resolved->str() : std::string(), exists);
  }
  return exists;
}

void PruneList(KQsnXRefManager* manager, vmp::IPrimitive* primitive,
               StringArrayProperty* view, SiblingLookup* siblings,
               UpdateObserver* observer) {
  size_t n = view->count();
  // Survivors are kept as stored, in UTF-16, so an entry that is not exact
  // text is never rewritten into another one.
  std::vector<WideString> survivors;
  std::vector<size_t> dropped;
  for (size_t k = 0; k < n; ++k) {
    WideString entry = view->get(k);
    KString resolved;
    if (ResolveEntry(manager, siblings, observer, k, KString(Utf8(entry)),
                     &resolved)) {
      survivors.push_back(entry);
    } else {
      dropped.push_back(k);
    }
  }
  if (observer != nullptr) {
    for (size_t k : dropped) observer->Dropped(k, Utf8(view->get(k)));
  }
  if (survivors.size() == n) return;
  if (survivors.empty()) {
    primitive->resize(0);
    return;
  }
  SharedPtr<vmp::IStringArray> kept = vmp::IStringArray::create();
  for (const WideString& s : survivors) kept->append(s);
  kept->store(primitive);
}

void CompleteList(KQsnXRefManager* manager, const std::string& name,
                  StringArrayProperty* view, int count, SiblingLookup* siblings,
                  UpdateObserver* observer) {
  size_t n = view->count();
  KString entry(Utf8(view->get(0)));
  DebugPrint("<uri name=%s>%s</uri>\n", name.c_str(), entry.Buffer());
  KString resolved;
  bool usable = ResolveEntry(manager, siblings, observer, 0, entry, &resolved);
  if (observer != nullptr) {
    // Only entry 0 decides; the others are resolved to be told.
    for (size_t k = 1; k < n; ++k) {
      KString other;
      ResolveEntry(manager, siblings, observer, k, KString(Utf8(view->get(k))),
                   &other);
    }
  }
  if (!usable) {
    DebugPrint("%s: %s resolves to no file\n", name.c_str(), entry.Buffer());
    return;
  }
  ReferenceVariants variants;
  if (!variants.Init(entry, resolved) || count < 1) return;

  std::unordered_set<std::string> listed;
  for (size_t k = 1; k < n; ++k) listed.insert(Utf8(view->get(k)));

  std::vector<std::string> names = SiblingNames(siblings, variants, count);
  for (int i = 1; i <= count; ++i) {
    const std::string& sibling = names[static_cast<size_t>(i - 1)];
    KString relative;
    if (sibling.empty() || !variants.Relative(i, sibling, &relative) ||
        listed.count(relative.str()) != 0) {
      continue;
    }
    view->append(StringAlgorithm::UTF8Decode(vmp::UTF8String(relative.str())));
    if (observer != nullptr) {
      observer->Added(i, relative.str(), variants.CandidateFolder(i).str(),
                      sibling);
    }
    if (kDebugOutput) {
      DebugPrint(
          "ADDED: <uri name=%s>%s</uri>\n", name.c_str(),
          MakeFullPath(variants.CandidateFolder(i), sibling.c_str()).Buffer());
    }
  }
}

}  // namespace

void CompleteAssetReferences(KQsnXRefManager* manager,
                             SharedPtr<vmp::IGroup> asset, int count,
                             bool remove, SiblingLookup* siblings,
                             UpdateObserver* observer) {
  if (!asset) return;
  SharedPtr<vmp::IGroup> qsn = asset->group("QSN");
  if (!qsn) return;
  SharedPtr<vmp::IGroup> refs = qsn->group("refs");
  if (!refs) return;
  if (kDebugOutput) DebugPrint("\n%s\n", Utf8(asset->name()).c_str());
  if (observer != nullptr) observer->Asset(Utf8(asset->name()));

  SharedPtr<vmp::IIterator> properties = refs->properties();
  for (SharedPtr<vmp::IObject> item = properties->current(); item;
       properties->next(), item = properties->current()) {
    SharedPtr<vmp::IPrimitive> primitive = vmp::IPrimitive::to(item);
    if (!primitive) continue;
    // The name serves only the diagnostics.
    std::string name = kDebugOutput || observer != nullptr
                           ? Utf8(primitive->descriptor().name())
                           : std::string();
    StringArrayProperty view(primitive.get());
    if (!view.valid()) {
      const char* why = primitive->type() != vmp::PrimitiveType::kStringArray
                            ? "not a string array"
                            : "not a readable string array";
      DebugPrint("%s: left alone, %s\n", name.c_str(), why);
      if (observer != nullptr) observer->Skipped(name, why);
      continue;
    }
    if (view.count() == 0) continue;
    if (observer != nullptr) observer->List(name, Entries(view));
    if (remove) {
      PruneList(manager, primitive.get(), &view, siblings, observer);
    } else {
      CompleteList(manager, name, &view, count, siblings, observer);
    }
    if (observer != nullptr) {
      if (remove) {
        // The pruned value was stored in place of the view's array.
        StringArrayProperty after(primitive.get());
        observer->ListDone(Entries(after));
      } else {
        observer->ListDone(Entries(view));
      }
    }
  }
}

}  // namespace tavik
