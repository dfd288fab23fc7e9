// The registry of an emulated machine, in memory: the HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER trees, the open handles, and the Win32 registry calls on
// them. HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes.
//
// Keys and values are matched without regard to ANSI letter case and keep
// the spelling they were created with. Subkeys enumerate in the order of
// their names' lower-case Unicode characters, values in creation order. A deleted key stays alive
// while handles refer to it; every operation through such a handle but
// closing it gives ERROR_KEY_DELETED.
//
// Keys may lie at most kMaxDepth levels below their root, as on Windows; a
// deeper key is refused with ERROR_INVALID_PARAMETER. Nothing here recurses
// over the tree, so no shape of input can exhaust the stack.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "emu/emu_types.h"
#include "platform/win32_types.h"

namespace qvi::emu {

// Where a key not read yet lies in the source it comes from: numbers only
// the source gives meaning to.
struct KeyRef {
  std::uint32_t start = 0;
  std::uint32_t record = 0;
  std::uint32_t end = 0;
};

// Keys read only when first needed, from a file the store was opened on
// (registry_image.h): a run then reads the keys it touches, not the store.
class KeySource {
 public:
  struct Subkey {
    std::string name;
    KeyRef ref;
  };
  virtual ~KeySource() = default;
  // The values (creation order) and subkeys (enumeration order) of the key
  // at `ref`. False when the source finds itself damaged there; from then on
  // only ReadPath is asked.
  virtual bool Read(const KeyRef& ref, std::vector<RegistryValue>& values, std::vector<Subkey>& subkeys) = 0;
  // The same by the key's full path, from what the source falls back on;
  // false for a key it does not hold. Throws MachineError when it cannot.
  virtual bool ReadPath(const std::string& path, std::vector<RegistryValue>& values, std::vector<Subkey>& subkeys) = 0;
  // What Read gave breaks the store's rules (`what` says which): the source
  // is to take itself for damaged, as if Read had answered false.
  virtual void Damaged(const std::string& what) = 0;
};

class RegistryStore {
 public:
  // A key of the store, opaque to its users.
  struct Node;

  RegistryStore();
  ~RegistryStore();
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // Win32 calls; same codes and out-parameter rules as Windows.
  platform::Status CreateKey(platform::HKey key, const char* sub_key, platform::HKey* result);
  // The handle made keeps `access`: enumerating subkeys through it needs
  // KEY_ENUMERATE_SUB_KEYS, setting a value KEY_SET_VALUE, reading values
  // KEY_QUERY_VALUE (else ERROR_ACCESS_DENIED); creating, opening and
  // deleting keys below it need none of its rights, as on Windows.
  platform::Status OpenKey(platform::HKey key, const char* sub_key, platform::HKey* result,
                           std::uint32_t access = platform::kKeyAllAccess);
  platform::Status CloseKey(platform::HKey key);
  platform::Status EnumKey(platform::HKey key, std::uint32_t index, char* name, std::uint32_t name_size);
  platform::Status DeleteKey(platform::HKey key, const char* sub_key);
  platform::Status SetValue(platform::HKey key, const char* value_name, std::uint32_t type, const std::uint8_t* data,
                            std::uint32_t size);
  platform::Status QueryValue(platform::HKey key, const char* value_name, std::uint32_t* type, std::uint8_t* data,
                              std::uint32_t* size);
  platform::Status EnumValue(platform::HKey key, std::uint32_t index, char* name, std::uint32_t* name_size,
                             std::uint32_t* type, std::uint8_t* data, std::uint32_t* data_size);

  // Whole-tree access for import, export and snapshots. Paths are full
  // ("HKEY_LOCAL_MACHINE\SOFTWARE\X"; HKEY_CLASSES_ROOT is accepted).
  // Returns null for an unknown root or a key deeper than kMaxDepth.
  Node* EnsureKey(std::string_view full_path);
  // The keys of the last path a KeyTrail was used for, so that a run of
  // related paths (as in a .reg file) looks up only the names that differ
  // from the previous one. Invalid once a key is deleted: Reset() it then.
  class KeyTrail {
   public:
    void Reset() {
      names_.clear();
      nodes_.clear();
    }

   private:
    friend class RegistryStore;
    std::vector<std::string> names_;  // root first
    std::vector<Node*> nodes_;
  };
  Node* EnsureKey(std::string_view full_path, KeyTrail& trail);
  // Removes a key and everything below it; a missing key is no error.
  // Returns false for an unknown root.
  bool DeleteTree(std::string_view full_path);
  void PutValue(Node& node, std::string_view name, std::uint32_t type, std::vector<std::uint8_t> data);
  bool RemoveValue(Node& node, std::string_view name);
  std::vector<RegistryKey> Snapshot() const;
  // The key at `full_path` as it stands (path as spelled in the store, live
  // values), reading no other key; false when there is none. A root counts
  // only while it holds values, as in Snapshot(), unless its `subkeys` (their
  // names, in enumeration order) are asked for too.
  bool ReadKey(std::string_view full_path, RegistryKey& out, std::vector<std::string>* subkeys = nullptr) const;
  // The full path of the key an open handle or a root holds (HKEY_CLASSES_ROOT
  // as the key it stands for), "" for a handle the store does not know.
  std::string KeyPath(platform::HKey key) const;

  // From now on, keeps each key's state from before its first change, so
  // that what changed can be told without a copy of the whole store; a
  // second call starts afresh.
  void StartRecording();
  // A key changed since StartRecording(): its path and values then and now.
  // A root counts as present only while it holds values, as in Snapshot().
  struct RecordedKey {
    bool existed = false;
    std::string path_then;
    std::vector<RegistryValue> values_then;
    bool exists = false;
    std::string path_now;
    std::vector<RegistryValue> values_now;
  };
  std::vector<RecordedKey> RecordedKeys() const;
  // Which recording is under way (0 for none): another StartRecording() gives
  // another number, so a user of RecordedKeys() can tell it began afresh.
  std::uint32_t recording_round() const { return recording_ ? recording_round_ : 0; }
  // Visits every key that is not a root, and a root that holds values, in
  // tree order (parents first, subkeys alphabetical), with its full path.
  // `visit` must not change the store.
  template <typename Visit>
  void ForEachKey(Visit&& visit) const;

  // Visits every key, the two roots included, subkeys before the key they
  // are below (in enumeration order), with its name, live values and how many
  // subkeys it has: what a writer that lists each key's subkeys needs. `visit`
  // must not change the store.
  template <typename Visit>
  void ForEachKeyChildrenFirst(Visit&& visit) const;

  // Opens a Pristine() store on `source`: the roots' values and subkeys are
  // read from it when first needed, and so on down; a key nobody touches is
  // never read.
  void ReadFrom(std::shared_ptr<KeySource> source, const KeyRef& hklm, const KeyRef& hkcu);

  // True when the store holds nothing but the keys it starts with, no handle
  // is open and nothing is being recorded.
  bool Pristine() const;
  // Takes the trees of `other` (which must have no open handles) in place of
  // this store's, which `other` gets; whether they are left standing at the
  // end goes with them.
  void TakeTrees(RegistryStore& other);
  // The trees are not taken apart when the store goes: a forked process
  // about to end would otherwise touch, and so copy, every page of a large
  // store it shares with its parent.
  void LeaveTreesStanding() { leave_standing_ = true; }

  // True when the trees changed since the last MarkClean().
  bool dirty() const { return dirty_; }
  void MarkClean() { dirty_ = false; }
  void Touch() { dirty_ = true; }

  static constexpr std::size_t kMaxKeyNameLength = 255;
  static constexpr std::size_t kMaxValueNameLength = 16383;
  // Levels below a root (HKEY_CLASSES_ROOT's keys count the two above it).
  static constexpr std::size_t kMaxDepth = 512;

 private:
  // Resolves a handle or predefined root whose rights include `needed`; null
  // with `status` set on failure.
  std::shared_ptr<Node> Resolve(platform::HKey key, platform::Status& status, std::uint32_t needed = 0);
  std::shared_ptr<Node> Root(platform::HKey key);
  platform::HKey NewHandle(std::shared_ptr<Node> node, std::uint32_t access = platform::kKeyAllAccess);
  const std::shared_ptr<Node>* Child(const Node& node, std::string_view name) const;
  Node* AddChild(Node& node, std::string_view name);
  const std::shared_ptr<Node>& AddChildShared(Node& node, std::string_view name);
  // Takes a key that is not a root out of its parent.
  void Unlink(Node& node);
  // The tree-order walk behind ForEachKey, through a type-erased callback.
  void Walk(void (*visit)(void*, const std::string&, const std::vector<RegistryValue>&), void* context) const;
  // Reads a key from the source the first time its values or subkeys are
  // needed. Throws MachineError when neither the source nor what it falls
  // back on can give them.
  void Load(const Node& node) const;
  // The Node::pending keys below `node` made from `subkeys`; false (with
  // `why`) when they break the store's rules.
  bool Adopt(Node& node, std::vector<RegistryValue>& values, std::vector<KeySource::Subkey>& subkeys,
             std::string& why) const;
  void WalkChildrenFirst(void (*visit)(void*, const std::string&, const std::vector<RegistryValue>&, std::size_t),
                         void* context) const;
  // Keeps the state of `node` before a change, once per recording.
  void Record(Node& node, bool existed);
  static std::string PathOf(const Node& node);

  struct Recorded {
    std::string path;
    bool existed;
    std::vector<RegistryValue> values;
  };
  bool recording_ = false;
  std::uint32_t recording_round_ = 0;
  std::vector<Recorded> recorded_;
  std::unordered_map<std::string, std::size_t> recorded_paths_;  // folded path -> recorded_ index

  std::shared_ptr<Node> hklm_;
  std::shared_ptr<Node> hkcu_;
  std::shared_ptr<KeySource> source_;
  struct Handle {
    std::shared_ptr<Node> node;
    std::uint32_t access;
  };
  std::unordered_map<platform::HKey, Handle> handles_;
  platform::HKey next_handle_ = 0x100;
  bool dirty_ = false;
  bool leave_standing_ = false;
};

template <typename Visit>
void RegistryStore::ForEachKey(Visit&& visit) const {
  Walk(
      [](void* context, const std::string& path, const std::vector<RegistryValue>& values) {
        (*static_cast<std::remove_reference_t<Visit>*>(context))(path, values);
      },
      &visit);
}

template <typename Visit>
void RegistryStore::ForEachKeyChildrenFirst(Visit&& visit) const {
  WalkChildrenFirst(
      [](void* context, const std::string& name, const std::vector<RegistryValue>& values, std::size_t subkeys) {
        (*static_cast<std::remove_reference_t<Visit>*>(context))(name, values, subkeys);
      },
      &visit);
}

}  // namespace qvi::emu
