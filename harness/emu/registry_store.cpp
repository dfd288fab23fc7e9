#include "emu/registry_store.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <utility>

#include "emu/root_keys.h"
#include "runtime/code_page.h"

namespace qvi::emu {

namespace {

// The Unicode character of each byte, in lower case: subkeys are kept in the
// order of their names' lower-case characters, so a letter above 0x7F sorts
// by its place in Unicode, not by its byte (EURO SIGN after s WITH CARON).
const std::array<std::uint16_t, 256>& LowerCharacters() {
  static const std::array<std::uint16_t, 256> table = [] {
    std::array<std::uint16_t, 256> t{};
    for (int byte = 0; byte < 256; ++byte) {
      const std::string utf8 = code_page::ToUtf8(std::string(1, code_page::ToLower(static_cast<char>(byte))));
      std::uint32_t cp = static_cast<unsigned char>(utf8[0]);
      if (utf8.size() == 2) cp = ((cp & 0x1F) << 6) | (utf8[1] & 0x3F);
      if (utf8.size() == 3) cp = ((cp & 0x0F) << 12) | ((utf8[1] & 0x3F) << 6) | (utf8[2] & 0x3F);
      t[static_cast<std::size_t>(byte)] = static_cast<std::uint16_t>(cp);
    }
    return t;
  }();
  return table;
}

int CompareKeyNames(std::string_view a, std::string_view b) {
  const auto& lower = LowerCharacters();
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const int x = lower[static_cast<unsigned char>(a[i])];
    const int y = lower[static_cast<unsigned char>(b[i])];
    if (x != y) return x - y;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// Orders keys by name without regard to letter case, and finds them by name.
struct NameLess {
  using is_transparent = void;
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const {
    return CompareKeyNames(NameOf(a), NameOf(b)) < 0;
  }
  template <typename N>
  static std::string_view NameOf(const std::shared_ptr<N>& node) {
    return node->name;
  }
  static std::string_view NameOf(std::string_view name) { return name; }
};

// Past this many values a key keeps an index of their names: a key with tens
// of thousands of values must not make every lookup a scan.
constexpr std::size_t kValueIndexThreshold = 16;

}  // namespace

struct RegistryStore::Node {
  using Children = std::set<std::shared_ptr<Node>, NameLess>;

  std::string name;
  Node* parent = nullptr;  // null for a root and for a deleted key
  Children children;
  // Creation order. A large key does not shift its values when one is
  // removed: the slot is marked removed in its book and skipped, and the
  // slots are compacted once the removed outnumber the rest. A removed slot
  // is never the last one.
  std::vector<RegistryValue> values;
  // What a large key keeps about its values; built on demand, and held apart
  // so that the many small keys do not carry it.
  struct ValueBook {
    // The live values' slots by name, without regard to letter case: open
    // addressing with linear probing over slot numbers plus one (0 free,
    // kErased a slot removed since the table was built). Names are compared
    // where they stand in `values`, so the index holds four bytes a value and
    // a lookup touches the table and the one value it finds.
    std::vector<std::uint32_t> table;
    std::size_t occupied = 0;  // entries that are not free
    // As long as `values` while a slot is marked, else empty.
    std::vector<bool> removed;
    std::size_t removed_count = 0;
    std::size_t first_live = 0;  // no live value stands before this slot
    // The value index and slot RegEnumValue last returned while slots are
    // marked removed.
    std::size_t cursor_index = kNoCursor;
    std::size_t cursor_slot = 0;
  };
  std::unique_ptr<ValueBook> book;
  // Where the last RegEnumKey stopped, so that enumerating by increasing
  // index costs one step per key. Reset whenever the subkeys change.
  Children::const_iterator cursor;
  std::size_t cursor_index = kNoCursor;
  std::uint32_t depth = 0;
  std::uint32_t recorded_round = 0;  // the recording that holds its old state
  bool deleted = false;
  // Its values and subkeys are still in the store's source, at `ref`.
  bool pending = false;
  KeyRef ref;

  static constexpr std::size_t kNoCursor = static_cast<std::size_t>(-1);

  ~Node() { DetachSubtree(); }

  // Empties the subtree below this key, marking every key of it deleted (a
  // handle may still hold one). Level by level: taking it apart recursively
  // would put one stack frame per level on the stack.
  void DetachSubtree() {
    std::vector<std::shared_ptr<Node>> pending;
    const auto take_children = [&pending](Node& node) {
      for (auto it = node.children.begin(); it != node.children.end();) {
        pending.push_back(std::move(node.children.extract(it++).value()));
      }
    };
    take_children(*this);
    while (!pending.empty()) {
      std::shared_ptr<Node> next = std::move(pending.back());
      pending.pop_back();
      // A key still held by a handle outlives this tree, detached.
      next->parent = nullptr;
      next->deleted = true;
      next->pending = false;
      take_children(*next);
    }
  }

  void ChildrenChanged() { cursor_index = kNoCursor; }

  std::size_t RemovedCount() const { return book ? book->removed_count : 0; }
  std::size_t ValueCount() const { return values.size() - RemovedCount(); }

  // The live values in creation order.
  std::vector<RegistryValue> LiveValues() const {
    if (RemovedCount() == 0) return values;
    std::vector<RegistryValue> live;
    live.reserve(ValueCount());
    for (std::size_t slot = 0; slot < values.size(); ++slot) {
      if (!book->removed[slot]) live.push_back(values[slot]);
    }
    return live;
  }

  static constexpr std::uint32_t kErased = static_cast<std::uint32_t>(-1);

  // The table entry of `name`, or of the free entry where its probe ends.
  std::size_t Probe(std::string_view name) const {
    const ValueBook& b = *book;
    const std::size_t mask = b.table.size() - 1;
    for (std::size_t at = code_page::HashNoCase(name) & mask;; at = (at + 1) & mask) {
      const std::uint32_t entry = b.table[at];
      if (entry == 0) return at;
      if (entry != kErased && code_page::EqualsNoCase(values[entry - 1].name, name)) return at;
    }
  }

  // Room for the live values at most half full, every erased entry dropped.
  void RebuildIndex() {
    ValueBook& b = *book;
    std::size_t size = 32;
    while (size < 2 * (ValueCount() + 1)) size *= 2;
    b.table.assign(size, 0);
    b.occupied = 0;
    for (std::size_t slot = 0; slot < values.size(); ++slot) {
      if (b.removed_count != 0 && b.removed[slot]) continue;
      b.table[Probe(values[slot].name)] = static_cast<std::uint32_t>(slot + 1);
      ++b.occupied;
    }
  }

  std::vector<RegistryValue>::iterator FindValue(std::string_view value_name) {
    if (!book && values.size() < kValueIndexThreshold) {
      return std::find_if(values.begin(), values.end(),
                          [value_name](const RegistryValue& v) { return code_page::EqualsNoCase(v.name, value_name); });
    }
    if (!book) {
      book = std::make_unique<ValueBook>();
      RebuildIndex();
    }
    const std::uint32_t entry = book->table[Probe(value_name)];
    return entry == 0 ? values.end() : values.begin() + static_cast<std::ptrdiff_t>(entry - 1);
  }

  // `value` is not among the values yet.
  void AddValue(RegistryValue value) {
    values.push_back(std::move(value));
    if (!book) return;
    ValueBook& b = *book;
    if (b.removed_count != 0) b.removed.push_back(false);
    if (2 * (b.occupied + 1) > b.table.size()) {
      RebuildIndex();  // takes the new value in with the rest
      return;
    }
    b.table[Probe(values.back().name)] = static_cast<std::uint32_t>(values.size());
    ++b.occupied;
  }

  // `it` is a live value found by FindValue().
  void EraseValue(std::vector<RegistryValue>::iterator it) {
    if (!book) {
      values.erase(it);  // a small key: shifting costs less than marking
      return;
    }
    ValueBook& b = *book;
    const auto slot = static_cast<std::size_t>(it - values.begin());
    b.table[Probe(it->name)] = kErased;
    *it = RegistryValue{};
    if (b.removed_count == 0) b.removed.assign(values.size(), false);
    b.removed[slot] = true;
    ++b.removed_count;
    if (b.cursor_index != kNoCursor) {
      if (slot < b.cursor_slot) {
        --b.cursor_index;
      } else if (slot == b.cursor_slot) {
        b.cursor_index = kNoCursor;
      }
    }
    while (!values.empty() && b.removed.back()) {
      values.pop_back();
      b.removed.pop_back();
      --b.removed_count;
    }
    if (b.removed_count == 0) {
      b.removed.clear();
      b.first_live = 0;
      b.cursor_index = kNoCursor;
      return;
    }
    while (b.removed[b.first_live]) ++b.first_live;
    if (b.removed_count > ValueCount()) CompactValues();
  }

  void CompactValues() {
    ValueBook& b = *book;
    std::size_t kept = 0;
    for (std::size_t slot = 0; slot < values.size(); ++slot) {
      if (b.removed[slot]) continue;
      if (kept != slot) values[kept] = std::move(values[slot]);
      ++kept;
    }
    values.resize(kept);
    b.removed.clear();
    b.removed_count = 0;
    b.first_live = 0;
    b.cursor_index = kNoCursor;
    RebuildIndex();
  }

  // The value at `index` of the enumeration, or null past the last.
  const RegistryValue* ValueAt(std::size_t index) {
    if (index >= ValueCount()) return nullptr;
    if (RemovedCount() == 0) return &values[index];
    ValueBook& b = *book;
    // Walk from whichever of the first live value, the end and the last
    // position is nearest, so that enumerating by increasing or decreasing
    // index, or always at index 0 while removing, is one step per value.
    std::size_t at = 0;
    std::size_t slot = b.first_live;
    std::size_t distance = index;
    if (ValueCount() - index < distance) {
      at = ValueCount();
      slot = values.size();
      distance = ValueCount() - index;
    }
    if (b.cursor_index != kNoCursor) {
      const std::size_t from_cursor = index > b.cursor_index ? index - b.cursor_index : b.cursor_index - index;
      if (from_cursor < distance) {
        at = b.cursor_index;
        slot = b.cursor_slot;
      }
    }
    for (; at < index; ++at) {
      do ++slot;
      while (b.removed[slot]);
    }
    for (; at > index; --at) {
      do --slot;
      while (b.removed[slot]);
    }
    b.cursor_index = index;
    b.cursor_slot = slot;
    return &values[slot];
  }
};

using platform::HKey;
using platform::Status;
namespace win32 = platform::win32;

namespace {

// Key rights, and the generic rights that stand for several of them.
constexpr std::uint32_t kQueryValue = 0x1;
constexpr std::uint32_t kSetValue = 0x2;
constexpr std::uint32_t kEnumerateSubKeys = 0x8;
constexpr std::uint32_t kKeyRead = 0x20019;
constexpr std::uint32_t kKeyWrite = 0x20006;
constexpr std::uint32_t kMaximumAllowed = 0x02000000;
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kGenericExecute = 0x20000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kGenericRead = 0x80000000;

std::uint32_t Granted(std::uint32_t desired) {
  if (desired & (kMaximumAllowed | kGenericAll)) return platform::kKeyAllAccess;
  std::uint32_t granted = desired;
  if (desired & (kGenericRead | kGenericExecute)) granted |= kKeyRead;
  if (desired & kGenericWrite) granted |= kKeyWrite;
  return granted;
}

// ERROR_NOACCESS: memory that cannot be read.
constexpr Status kNoAccess = 998;

bool IsStringType(std::uint32_t type) {
  return type == platform::kRegSz || type == platform::kRegExpandSz || type == platform::kRegMultiSz;
}

// The store is line-based text; a name with a line break could not be read
// back, so such names are refused rather than saved into a broken store.
bool HasLineBreak(std::string_view name) { return name.find_first_of("\r\n") != std::string_view::npos; }

// Splits a subkey path into its names. Trailing backslashes are allowed, as
// on Windows, and a run of backslashes inside the path separates like one:
// the registry's path parser skips them. Leading backslashes have been dealt
// with by the caller.
Status SplitSubKey(std::string_view path, std::vector<std::string_view>& names) {
  std::size_t from = 0;
  while (from < path.size()) {
    const std::size_t slash = std::min(path.find('\\', from), path.size());
    const std::string_view name = path.substr(from, slash - from);
    from = slash + 1;
    if (name.empty()) continue;
    if (name.size() > RegistryStore::kMaxKeyNameLength || HasLineBreak(name)) return win32::kInvalidParameter;
    names.push_back(name);
  }
  return win32::kSuccess;
}

// The subkey names below `root`, or an error for a malformed path. Only
// HKEY_CLASSES_ROOT tolerates a leading backslash.
Status ParseSubKey(HKey root, const char* sub_key, std::vector<std::string_view>& names) {
  std::string_view path = sub_key ? std::string_view(sub_key) : std::string_view();
  if (!path.empty() && path.front() == '\\') {
    if (root != platform::kHkeyClassesRoot) return win32::kBadPathName;
    while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  }
  return SplitSubKey(path, names);
}

std::vector<std::string_view> SplitFullPath(std::string_view path) {
  std::vector<std::string_view> parts;
  // One allocation, not one for each doubling on the way down a deep path.
  parts.reserve(static_cast<std::size_t>(std::count(path.begin(), path.end(), '\\')) + 1);
  std::size_t from = 0;
  while (from <= path.size()) {
    const std::size_t slash = path.find('\\', from);
    const std::size_t to = slash == std::string_view::npos ? path.size() : slash;
    if (to > from) parts.push_back(path.substr(from, to - from));
    if (slash == std::string_view::npos) break;
    from = slash + 1;
  }
  return parts;
}

void CopyOut(const std::vector<std::uint8_t>& stored, std::uint32_t type, std::uint8_t* data, std::uint32_t capacity) {
  if (!stored.empty()) std::memcpy(data, stored.data(), stored.size());
  // A string stored without its terminator gets one when there is room; the
  // reported size still leaves it out.
  if (IsStringType(type) && !stored.empty() && stored.back() != 0 && capacity > stored.size()) {
    data[stored.size()] = 0;
  }
}

}  // namespace

RegistryStore::~RegistryStore() {
  if (!leave_standing_) return;
  // Held by nothing from now on, on purpose.
  for (std::shared_ptr<Node>* root : {&hklm_, &hkcu_}) static_cast<void>(new std::shared_ptr<Node>(std::move(*root)));
}

RegistryStore::RegistryStore() : hklm_(std::make_shared<Node>()), hkcu_(std::make_shared<Node>()) {
  hklm_->name = std::string(emu::RootKeyName(platform::kHkeyLocalMachine));
  hkcu_->name = std::string(emu::RootKeyName(platform::kHkeyCurrentUser));
  Node* software = AddChild(*hklm_, "SOFTWARE");
  AddChild(*software, "Classes");
  AddChild(*hkcu_, "Software");
  dirty_ = false;
}

const std::shared_ptr<RegistryStore::Node>* RegistryStore::Child(const Node& node, std::string_view name) const {
  Load(node);
  const auto it = node.children.find(name);
  return it == node.children.end() ? nullptr : &*it;
}

RegistryStore::Node* RegistryStore::AddChild(Node& node, std::string_view name) {
  return AddChildShared(node, name).get();
}

const std::shared_ptr<RegistryStore::Node>& RegistryStore::AddChildShared(Node& node, std::string_view name) {
  Load(node);
  const auto it = node.children.lower_bound(name);
  if (it != node.children.end() && CompareKeyNames((*it)->name, name) == 0) return *it;
  auto child = std::make_shared<Node>();
  child->name = std::string(name);
  child->parent = &node;
  child->depth = node.depth + 1;
  const auto added = node.children.insert(it, std::move(child));
  node.ChildrenChanged();
  dirty_ = true;
  if (recording_) Record(**added, false);
  return *added;
}

bool RegistryStore::Pristine() const {
  const auto bare = [](const Node& node, std::size_t children) {
    return node.ValueCount() == 0 && node.children.size() == children;
  };
  if (source_ || recording_ || !handles_.empty() || !bare(*hklm_, 1) || !bare(*hkcu_, 1)) return false;
  const Node& software = **hklm_->children.begin();
  const Node& user_software = **hkcu_->children.begin();
  if (!bare(software, 1) || !bare(user_software, 0)) return false;
  const Node& classes = **software.children.begin();
  return bare(classes, 0) && code_page::EqualsNoCase(software.name, "SOFTWARE") &&
         code_page::EqualsNoCase(classes.name, "Classes") && code_page::EqualsNoCase(user_software.name, "Software");
}

void RegistryStore::TakeTrees(RegistryStore& other) {
  std::swap(hklm_, other.hklm_);
  std::swap(hkcu_, other.hkcu_);
  std::swap(source_, other.source_);
  std::swap(leave_standing_, other.leave_standing_);
  // The nodes keep the recording round they were last recorded in: a store
  // that counted fewer rounds would take them for recorded already in one
  // of its own, and leave their changes out of its record.
  recording_round_ = other.recording_round_ = std::max(recording_round_, other.recording_round_);
  dirty_ = true;
  other.dirty_ = true;
}

std::shared_ptr<RegistryStore::Node> RegistryStore::Root(HKey key) {
  if (key == platform::kHkeyLocalMachine) return hklm_;
  if (key == platform::kHkeyCurrentUser) return hkcu_;
  if (key == platform::kHkeyClassesRoot) {
    Node* software = AddChild(*hklm_, "SOFTWARE");
    AddChild(*software, "Classes");
    return *Child(*software, "Classes");
  }
  return nullptr;
}

std::shared_ptr<RegistryStore::Node> RegistryStore::Resolve(HKey key, Status& status, std::uint32_t needed) {
  std::shared_ptr<Node> node;
  std::uint32_t granted = platform::kKeyAllAccess;
  if (platform::IsPredefinedKey(key)) {
    node = Root(key);
  } else if (const auto it = handles_.find(key); it != handles_.end()) {
    node = it->second.node;
    granted = it->second.access;
  }
  if (!node) {
    status = win32::kInvalidHandle;
    return nullptr;
  }
  // The handle's rights are judged before the key it holds.
  if ((granted & needed) != needed) {
    status = win32::kAccessDenied;
    return nullptr;
  }
  if (node->deleted) {
    status = win32::kKeyDeleted;
    return nullptr;
  }
  Load(*node);
  status = win32::kSuccess;
  return node;
}

HKey RegistryStore::NewHandle(std::shared_ptr<Node> node, std::uint32_t access) {
  HKey handle = next_handle_;
  while (handle == platform::kNoKey || platform::IsPredefinedKey(handle) || handles_.count(handle) != 0) {
    handle = handle + 4 >= 0x80000000u ? 0x100 : handle + 4;
  }
  next_handle_ = handle + 4;
  handles_.emplace(handle, Handle{std::move(node), Granted(access)});
  return handle;
}

Status RegistryStore::CreateKey(HKey key, const char* sub_key, HKey* result) {
  if (!result) return win32::kInvalidParameter;
  if (key == platform::kNoKey) return win32::kInvalidHandle;
  // Past a null handle the result is cleared before anything can fail.
  *result = platform::kNoKey;
  Status status = win32::kSuccess;
  auto node = Resolve(key, status);
  if (!node) return status;
  std::vector<std::string_view> names;
  if (const Status parsed = ParseSubKey(key, sub_key, names); parsed != win32::kSuccess) return parsed;
  if (names.empty()) {
    // Only a predefined root without any subkey comes back as itself; an
    // empty subkey opens a new handle, as it does below any other key.
    *result = platform::IsPredefinedKey(key) && !sub_key ? key : NewHandle(node);
    return win32::kSuccess;
  }
  if (node->depth + names.size() > kMaxDepth) return win32::kInvalidParameter;
  Node* at = node.get();
  for (std::size_t i = 0; i + 1 < names.size(); ++i) at = AddChild(*at, names[i]);
  *result = NewHandle(AddChildShared(*at, names.back()));
  return win32::kSuccess;
}

Status RegistryStore::OpenKey(HKey key, const char* sub_key, HKey* result, std::uint32_t access) {
  if (!result) return win32::kInvalidParameter;
  if (platform::IsPredefinedKey(key) && (!sub_key || sub_key[0] == '\0')) {
    *result = key;
    return win32::kSuccess;
  }
  // A null handle leaves the result alone; past it the result is cleared
  // before anything can fail.
  if (key == platform::kNoKey) return win32::kInvalidHandle;
  *result = platform::kNoKey;
  Status status = win32::kSuccess;
  auto node = Resolve(key, status);
  if (!node) return status;
  std::vector<std::string_view> names;
  if (const Status parsed = ParseSubKey(key, sub_key, names); parsed != win32::kSuccess) return parsed;
  if (names.empty()) {
    *result = NewHandle(node, access);
    return win32::kSuccess;
  }
  Node* at = node.get();
  const std::shared_ptr<Node>* found = nullptr;
  for (const std::string_view name : names) {
    found = Child(*at, name);
    if (!found) return win32::kFileNotFound;
    at = found->get();
  }
  *result = NewHandle(*found, access);
  return win32::kSuccess;
}

Status RegistryStore::CloseKey(HKey key) {
  if (platform::IsPredefinedKey(key)) return win32::kSuccess;
  return handles_.erase(key) == 1 ? win32::kSuccess : win32::kInvalidHandle;
}

Status RegistryStore::EnumKey(HKey key, std::uint32_t index, char* name, std::uint32_t name_size) {
  Status status = win32::kSuccess;
  auto node = Resolve(key, status, kEnumerateSubKeys);
  if (!node) return status;
  if (index >= node->children.size()) return win32::kNoMoreItems;
  // Step from whichever of the first child, the end and the last position is
  // nearest: enumerating upwards or downwards is then one step per key.
  const std::size_t count = node->children.size();
  auto from = node->children.cbegin();
  std::size_t from_index = 0;
  std::size_t distance = index;
  if (count - index < distance) {
    from = node->children.cend();
    from_index = count;
    distance = count - index;
  }
  if (node->cursor_index != Node::kNoCursor) {
    const std::size_t from_cursor =
        index > node->cursor_index ? index - node->cursor_index : node->cursor_index - index;
    if (from_cursor < distance) {
      from = node->cursor;
      from_index = node->cursor_index;
    }
  }
  node->cursor = std::next(from, static_cast<std::ptrdiff_t>(index) - static_cast<std::ptrdiff_t>(from_index));
  node->cursor_index = index;
  const std::string& found = (*node->cursor)->name;
  if (!name) return win32::kInvalidParameter;
  if (name_size <= found.size()) return win32::kMoreData;
  std::memcpy(name, found.c_str(), found.size() + 1);
  return win32::kSuccess;
}

void RegistryStore::Unlink(Node& node) {
  if (recording_) {
    std::vector<Node*> pending{&node};
    while (!pending.empty()) {
      Node* at = pending.back();
      pending.pop_back();
      Record(*at, true);
      for (const auto& child : at->children) pending.push_back(child.get());
    }
  }
  Node* parent = node.parent;
  // Handles may still hold the node; it lives on, detached and marked
  // deleted, until they close. Its subtree goes with it.
  const std::shared_ptr<Node> keep = std::move(parent->children.extract(parent->children.find(node.name)).value());
  parent->ChildrenChanged();
  keep->parent = nullptr;
  keep->deleted = true;
  keep->pending = false;
  keep->DetachSubtree();
  dirty_ = true;
}

Status RegistryStore::DeleteKey(HKey key, const char* sub_key) {
  if (!sub_key) return win32::kInvalidParameter;
  Status status = win32::kSuccess;
  auto node = Resolve(key, status);
  if (!node) return status;
  std::vector<std::string_view> names;
  if (const Status parsed = ParseSubKey(key, sub_key, names); parsed != win32::kSuccess) return parsed;
  if (names.empty() && platform::IsPredefinedKey(key)) return win32::kAccessDenied;
  Node* target = node.get();
  for (const std::string_view name : names) {
    const auto* found = Child(*target, name);
    if (!found) return win32::kFileNotFound;
    target = found->get();
  }
  if (!target->parent) return win32::kAccessDenied;  // a root
  Load(*target);
  if (!target->children.empty()) return win32::kAccessDenied;
  Unlink(*target);
  return win32::kSuccess;
}

void RegistryStore::PutValue(Node& node, std::string_view name, std::uint32_t type, std::vector<std::uint8_t> data) {
  Load(node);
  if (recording_) Record(node, true);
  if (const auto it = node.FindValue(name); it != node.values.end()) {
    it->type = type;
    it->data = std::move(data);
    return;
  }
  node.AddValue({std::string(name), type, std::move(data)});
}

bool RegistryStore::RemoveValue(Node& node, std::string_view name) {
  Load(node);
  const auto it = node.FindValue(name);
  if (it == node.values.end()) return false;
  if (recording_) Record(node, true);
  node.EraseValue(it);
  return true;
}

Status RegistryStore::SetValue(HKey key, const char* value_name, std::uint32_t type, const std::uint8_t* data,
                               std::uint32_t size) {
  if (key == platform::kNoKey) return win32::kInvalidHandle;
  // The name is judged before the handle it is meant for.
  const std::string_view name = value_name ? std::string_view(value_name) : std::string_view();
  if (name.size() > RegistryStore::kMaxValueNameLength || HasLineBreak(name)) return win32::kInvalidParameter;
  // Data that is not there cannot be read, whatever key it was meant for.
  if (!data && size > 0) return kNoAccess;
  Status status = win32::kSuccess;
  auto node = Resolve(key, status, kSetValue);
  if (!node) return status;
  std::uint32_t stored = size;
  // Windows looks one byte past a string that was given without its
  // terminator and keeps the terminator it finds there.
  if (data && IsStringType(type) && size > 0 && data[size - 1] != 0 && data[size] == 0) ++stored;
  std::vector<std::uint8_t> bytes(data, data + stored);
  PutValue(*node, name, type, std::move(bytes));
  dirty_ = true;
  return win32::kSuccess;
}

Status RegistryStore::QueryValue(HKey key, const char* value_name, std::uint32_t* type, std::uint8_t* data,
                                 std::uint32_t* size) {
  Status status = win32::kSuccess;
  auto node = Resolve(key, status, kQueryValue);
  if (!node) return status;
  if (data && !size) return win32::kInvalidParameter;
  const std::string_view name = value_name ? std::string_view(value_name) : std::string_view();
  const auto it = node->FindValue(name);
  if (it == node->values.end()) {
    if (!data && size) *size = 0;
    return win32::kFileNotFound;
  }
  const auto length = static_cast<std::uint32_t>(it->data.size());
  if (type) *type = it->type;
  if (!data) {
    if (size) *size = length;
    return win32::kSuccess;
  }
  if (*size < length) {
    *size = length;
    return win32::kMoreData;
  }
  CopyOut(it->data, it->type, data, *size);
  *size = length;
  return win32::kSuccess;
}

Status RegistryStore::EnumValue(HKey key, std::uint32_t index, char* name, std::uint32_t* name_size,
                                std::uint32_t* type, std::uint8_t* data, std::uint32_t* data_size) {
  Status status = win32::kSuccess;
  auto node = Resolve(key, status, kQueryValue);
  if (!node) return status;
  if (!name || !name_size || (data && !data_size)) return win32::kInvalidParameter;
  const RegistryValue* found = node->ValueAt(index);
  if (!found) return win32::kNoMoreItems;
  const RegistryValue& value = *found;
  if (*name_size <= value.name.size()) return win32::kMoreData;
  const auto length = static_cast<std::uint32_t>(value.data.size());
  if (data && *data_size < length) {
    *data_size = length;
    return win32::kMoreData;
  }
  std::memcpy(name, value.name.c_str(), value.name.size() + 1);
  *name_size = static_cast<std::uint32_t>(value.name.size());
  if (type) *type = value.type;
  if (data) CopyOut(value.data, value.type, data, *data_size);
  if (data_size) *data_size = length;
  return win32::kSuccess;
}

RegistryStore::Node* RegistryStore::EnsureKey(std::string_view full_path) {
  const auto parts = SplitFullPath(full_path);
  if (parts.empty()) return nullptr;
  const auto root = emu::RootKeyByName(parts[0]);
  if (!root) return nullptr;
  Node* at = Root(*root).get();
  if (at->depth + parts.size() - 1 > kMaxDepth) return nullptr;
  for (std::size_t i = 1; i < parts.size(); ++i) at = AddChild(*at, parts[i]);
  return at;
}

RegistryStore::Node* RegistryStore::EnsureKey(std::string_view full_path, KeyTrail& trail) {
  const auto parts = SplitFullPath(full_path);
  std::size_t same = 0;
  // Most names of a run of paths are spelled as in the one before.
  while (same < parts.size() && same < trail.names_.size() &&
         (parts[same] == trail.names_[same] || code_page::EqualsNoCase(parts[same], trail.names_[same]))) {
    ++same;
  }
  if (same == 0) {
    Node* key = EnsureKey(full_path);
    trail.Reset();
    if (!key) return nullptr;
    // Record the way down, for the next path to start from.
    for (Node* at = key; at; at = at->parent) {
      trail.nodes_.push_back(at);
      trail.names_.push_back(at->name);
    }
    std::reverse(trail.nodes_.begin(), trail.nodes_.end());
    std::reverse(trail.names_.begin(), trail.names_.end());
    // HKEY_CLASSES_ROOT\x is HKEY_LOCAL_MACHINE\SOFTWARE\Classes\x: keep the
    // path's own names, which a later path in the same form will match.
    if (trail.names_.size() != parts.size()) trail.Reset();
    return key;
  }
  Node* at = trail.nodes_[same - 1];
  if (at->depth + (parts.size() - same) > kMaxDepth) return nullptr;
  // The names from `same` on are written over where they stand, in the room
  // the last path's names had.
  trail.names_.resize(parts.size());
  trail.nodes_.resize(same);
  for (std::size_t i = same; i < parts.size(); ++i) {
    at = AddChild(*at, parts[i]);
    trail.names_[i].assign(parts[i]);
    trail.nodes_.push_back(at);
  }
  return at;
}

bool RegistryStore::DeleteTree(std::string_view full_path) {
  const auto parts = SplitFullPath(full_path);
  if (parts.empty()) return false;
  const auto root = emu::RootKeyByName(parts[0]);
  if (!root) return false;
  if (parts.size() == 1) return false;
  Node* at = Root(*root).get();
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const auto* found = Child(*at, parts[i]);
    if (!found) return true;
    at = found->get();
  }
  Unlink(*at);
  return true;
}

void RegistryStore::Walk(void (*visit)(void*, const std::string&, const std::vector<RegistryValue>&),
                         void* context) const {
  struct Level {
    Node::Children::const_iterator next;
    Node::Children::const_iterator end;
    std::size_t path_size;  // the path's length at this level
  };
  std::string path;
  std::vector<Level> levels;
  // Values marked removed are the store's own business: a key holding some
  // is shown through a copy of the rest.
  std::vector<RegistryValue> live;
  const auto values_of = [&live](const Node& node) -> const std::vector<RegistryValue>& {
    if (node.RemovedCount() == 0) return node.values;
    live = node.LiveValues();
    return live;
  };
  for (const Node* root : {hklm_.get(), hkcu_.get()}) {
    Load(*root);
    path = root->name;
    if (root->ValueCount() != 0) visit(context, path, values_of(*root));
    levels.push_back({root->children.begin(), root->children.end(), path.size()});
    while (!levels.empty()) {
      Level& level = levels.back();
      if (level.next == level.end) {
        levels.pop_back();
        continue;
      }
      const Node& child = **level.next++;
      Load(child);
      path.resize(level.path_size);
      path.append("\\").append(child.name);
      visit(context, path, values_of(child));
      levels.push_back({child.children.begin(), child.children.end(), path.size()});
    }
  }
}

std::string RegistryStore::PathOf(const Node& node) {
  std::vector<const Node*> chain;
  for (const Node* at = &node; at; at = at->parent) chain.push_back(at);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += '\\';
    path += (*it)->name;
  }
  return path;
}

std::string RegistryStore::KeyPath(HKey key) const {
  if (key == platform::kHkeyLocalMachine) return PathOf(*hklm_);
  if (key == platform::kHkeyCurrentUser) return PathOf(*hkcu_);
  if (key == platform::kHkeyClassesRoot) {
    const std::shared_ptr<Node>* software = Child(*hklm_, "SOFTWARE");
    const std::shared_ptr<Node>* classes = software ? Child(**software, "Classes") : nullptr;
    return classes ? PathOf(**classes) : PathOf(*hklm_) + "\\SOFTWARE\\Classes";
  }
  const auto it = handles_.find(key);
  return it == handles_.end() ? "" : PathOf(*it->second.node);
}

void RegistryStore::StartRecording() {
  recording_ = true;
  ++recording_round_;
  recorded_.clear();
  recorded_paths_.clear();
}

void RegistryStore::Record(Node& node, bool existed) {
  if (node.recorded_round == recording_round_) return;
  Load(node);
  node.recorded_round = recording_round_;
  std::string path = PathOf(node);
  // A key deleted and made again is a new node under a path already kept.
  const auto [it, added] = recorded_paths_.try_emplace(code_page::Lower(path), recorded_.size());
  if (!added) return;
  const bool root = node.parent == nullptr;
  recorded_.push_back({std::move(path), existed && (!root || node.ValueCount() != 0),
                       existed ? node.LiveValues() : std::vector<RegistryValue>{}});
}

std::vector<RegistryStore::RecordedKey> RegistryStore::RecordedKeys() const {
  std::vector<RecordedKey> out;
  out.reserve(recorded_.size());
  for (const Recorded& was : recorded_) {
    RecordedKey key{was.existed, was.path, was.values, false, {}, {}};
    const auto parts = SplitFullPath(was.path);
    const Node* at = nullptr;
    if (const auto root = emu::RootKeyByName(parts.front()); root && *root != platform::kHkeyClassesRoot) {
      at = *root == platform::kHkeyLocalMachine ? hklm_.get() : hkcu_.get();
    }
    for (std::size_t i = 1; at && i < parts.size(); ++i) {
      const auto* child = Child(*at, parts[i]);
      at = child ? child->get() : nullptr;
    }
    if (at) Load(*at);
    if (at && (at->parent || at->ValueCount() != 0)) {
      key.exists = true;
      key.path_now = PathOf(*at);
      key.values_now = at->LiveValues();
    }
    if (key.existed || key.exists) out.push_back(std::move(key));
  }
  return out;
}

std::vector<RegistryKey> RegistryStore::Snapshot() const {
  std::vector<RegistryKey> out;
  ForEachKey([&out](const std::string& path, const std::vector<RegistryValue>& values) {
    out.push_back({path, values});
  });
  return out;
}

void RegistryStore::ReadFrom(std::shared_ptr<KeySource> source, const KeyRef& hklm, const KeyRef& hkcu) {
  for (auto [root, ref] : {std::pair{&hklm_, hklm}, std::pair{&hkcu_, hkcu}}) {
    auto fresh = std::make_shared<Node>();
    fresh->name = (*root)->name;
    fresh->pending = true;
    fresh->ref = ref;
    *root = std::move(fresh);
  }
  source_ = std::move(source);
  dirty_ = false;
}

bool RegistryStore::Adopt(Node& node, std::vector<RegistryValue>& values, std::vector<KeySource::Subkey>& subkeys,
                          std::string& why) const {
  node.values.clear();
  node.book.reset();
  node.children.clear();
  for (RegistryValue& value : values) {
    if (value.name.size() > kMaxValueNameLength || HasLineBreak(value.name)) {
      why = "a value name no key may hold";
    } else if (node.FindValue(value.name) != node.values.end()) {
      why = "two values named \"" + value.name + "\"";
    } else {
      node.AddValue(std::move(value));
      continue;
    }
    return false;
  }
  if (!subkeys.empty() && node.depth + 1 > kMaxDepth) {
    why = "keys deeper than " + std::to_string(kMaxDepth) + " levels";
    return false;
  }
  for (KeySource::Subkey& subkey : subkeys) {
    const std::string_view name = subkey.name;
    if (name.empty() || name.size() > kMaxKeyNameLength || HasLineBreak(name) ||
        name.find('\\') != std::string_view::npos) {
      why = "a key name no key may hold";
      return false;
    }
    // In enumeration order, each once: the order the set keeps them in.
    if (!node.children.empty() && CompareKeyNames((*node.children.rbegin())->name, name) >= 0) {
      why = "subkeys out of order or twice";
      return false;
    }
    auto child = std::make_shared<Node>();
    child->name = std::move(subkey.name);
    child->parent = &node;
    child->depth = node.depth + 1;
    child->pending = true;
    child->ref = subkey.ref;
    node.children.emplace_hint(node.children.end(), std::move(child));
  }
  return true;
}

void RegistryStore::Load(const Node& const_node) const {
  if (!const_node.pending) return;
  // Reading a key fills in what it always held: no change of the store.
  Node& node = const_cast<Node&>(const_node);
  std::vector<RegistryValue> values;
  std::vector<KeySource::Subkey> subkeys;
  std::string why;
  if (source_->Read(node.ref, values, subkeys) && Adopt(node, values, subkeys, why)) {
    node.pending = false;
    return;
  }
  const std::string path = PathOf(node);
  if (!why.empty()) source_->Damaged(path + ": " + why);
  values.clear();
  subkeys.clear();
  if (!source_->ReadPath(path, values, subkeys)) {
    values.clear();
    subkeys.clear();
  }
  if (!Adopt(node, values, subkeys, why)) throw MachineError(path + ": " + why);
  node.pending = false;
}

bool RegistryStore::ReadKey(std::string_view full_path, RegistryKey& out, std::vector<std::string>* subkeys) const {
  const auto parts = SplitFullPath(full_path);
  if (parts.empty()) return false;
  const auto root = emu::RootKeyByName(parts[0]);
  if (!root) return false;
  const Node* at = *root == platform::kHkeyCurrentUser ? hkcu_.get() : hklm_.get();
  // HKEY_CLASSES_ROOT\x is HKEY_LOCAL_MACHINE\SOFTWARE\Classes\x.
  static constexpr std::string_view kClasses[] = {"SOFTWARE", "Classes"};
  for (std::size_t i = 0; *root == platform::kHkeyClassesRoot && at && i < 2; ++i) {
    const auto* child = Child(*at, kClasses[i]);
    at = child ? child->get() : nullptr;
  }
  for (std::size_t i = 1; at && i < parts.size(); ++i) {
    const auto* child = Child(*at, parts[i]);
    at = child ? child->get() : nullptr;
  }
  if (!at) return false;
  Load(*at);
  if (!at->parent && at->ValueCount() == 0 && !subkeys) return false;
  out.path = PathOf(*at);
  out.values = at->LiveValues();
  if (subkeys) {
    subkeys->clear();
    for (const auto& child : at->children) subkeys->push_back(child->name);
  }
  return true;
}

void RegistryStore::WalkChildrenFirst(
    void (*visit)(void*, const std::string&, const std::vector<RegistryValue>&, std::size_t), void* context) const {
  struct Level {
    const Node* node;
    Node::Children::const_iterator next;
  };
  std::vector<Level> levels;
  for (const Node* root : {hklm_.get(), hkcu_.get()}) {
    Load(*root);
    levels.push_back({root, root->children.begin()});
    while (!levels.empty()) {
      Level& level = levels.back();
      if (level.next != level.node->children.end()) {
        const Node& child = **level.next++;
        Load(child);
        levels.push_back({&child, child.children.begin()});
        continue;
      }
      const Node& done = *level.node;
      levels.pop_back();
      if (done.RemovedCount() == 0) {
        visit(context, done.name, done.values, done.children.size());
      } else {
        visit(context, done.name, done.LiveValues(), done.children.size());
      }
    }
  }
}

}  // namespace qvi::emu
