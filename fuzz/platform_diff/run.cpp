// A sequence on one side: every call made as the snap-in would make it,
// every result and out-parameter kept as text, then the sandboxes and the
// scratch folder as the calls left them.
#include <algorithm>
#include <cstring>

#include "fuzz/platform_diff/platform_diff.h"
#include "runtime/code_page.h"

namespace qvi::fuzz {

using platform::HKey;
using platform::Status;

namespace {

// What an out-parameter holds before a call, to tell "left alone" from
// "cleared".
constexpr HKey kSentinel = 0x0DDBA11;
// What a closed slot is passed as: Windows hands a closed handle's value out
// again, and a call through it would then reach whatever key holds it now.
constexpr HKey kStale = 0x0BADF00C;
constexpr char kFill = '\xCC';
// Bytes past a buffer's declared size, to catch writes beyond it.
constexpr std::uint32_t kGuard = 8;

struct Handles {
  HKey value[kSlots] = {};
  bool closed[kSlots] = {};
  std::vector<HKey> open;  // made and not closed, to close at the end
};

HKey Arg(const Handles& h, int key) {
  switch (key) {
    case kHkcu: return platform::kHkeyCurrentUser;
    case kHklm: return platform::kHkeyLocalMachine;
    case kHkcr: return platform::kHkeyClassesRoot;
    case kNullKey: return platform::kNoKey;
    default: return h.closed[key] ? kStale : h.value[key];
  }
}

Text SubKey(const World& world, const Op& op) {
  if (!op.rooted) return op.sub;
  if (!op.sub || op.sub->empty()) return world.sandbox;
  return world.sandbox + "\\" + *op.sub;
}

const char* Ptr(const Text& text) { return text ? text->c_str() : nullptr; }

std::string Role(const Handles& h, HKey value) {
  if (value == platform::kNoKey) return "null";
  if (value == kSentinel) return "unchanged";
  if (value == platform::kHkeyCurrentUser) return "HKEY_CURRENT_USER";
  if (value == platform::kHkeyLocalMachine) return "HKEY_LOCAL_MACHINE";
  if (value == platform::kHkeyClassesRoot) return "HKEY_CLASSES_ROOT";
  if (platform::IsPredefinedKey(value)) return "another predefined key";
  if (std::find(h.open.begin(), h.open.end(), value) != h.open.end()) return "a handle already open";
  return "new";
}

// A call that makes a handle: the slot takes what the out-parameter holds
// afterwards, as the caller's variable would.
template <typename Call>
void MakeHandle(Handles& h, const Op& op, Observed& seen, Call call) {
  HKey result = kSentinel;
  const Status status = call(&result);
  seen.Put("status", std::to_string(status));
  const std::string role = Role(h, result);
  seen.Put("handle", role);
  if (status == platform::win32::kSuccess && role == "new") h.open.push_back(result);
  h.value[op.out] = result;
  h.closed[op.out] = false;
}

std::string FileName(const World& world, int file) {
  const std::string& name = Files()[file];
  return name.empty() ? name : world.scratch + "\\" + name;
}

// Each key is opened below its parent: a full path could pass the length
// the ANSI calls take.
void SnapKey(platform::Platform& os, platform::RegistryReader& reader, HKey parent, const std::string& sub,
             const std::string& path, std::vector<KeyState>& out) {
  HKey key = platform::kNoKey;
  if (os.RegOpenKeyExA(parent, sub.c_str(), 0, 0x20019, &key) != platform::win32::kSuccess) return;
  KeyState state{path, {}};
  std::vector<char> name(16385);
  std::string data(65536, '\0');
  for (std::uint32_t i = 0;; ++i) {
    auto name_size = static_cast<std::uint32_t>(name.size());
    auto data_size = static_cast<std::uint32_t>(data.size());
    std::uint32_t type = 0;
    const Status status = reader.RegEnumValueA(key, i, name.data(), &name_size, &type,
                                               reinterpret_cast<std::uint8_t*>(data.data()), &data_size);
    if (status != platform::win32::kSuccess) {
      if (status != platform::win32::kNoMoreItems) state.values.push_back("enumeration ends with " + std::to_string(status));
      break;
    }
    state.values.push_back(std::string(name.data(), name_size) + "|" + std::to_string(type) + "|" +
                           Hex(data.substr(0, data_size)));
  }
  out.push_back(std::move(state));
  std::vector<std::string> children;
  char child[300];
  for (std::uint32_t i = 0;; ++i) {
    const Status status = os.RegEnumKeyA(key, i, child, sizeof child);
    if (status != platform::win32::kSuccess) {
      if (status != platform::win32::kNoMoreItems) out.back().values.push_back("subkeys end with " + std::to_string(status));
      break;
    }
    children.emplace_back(child);
  }
  for (const std::string& c : children) SnapKey(os, reader, key, c, path + "\\" + c, out);
  os.RegCloseKey(key);
}

}  // namespace

std::string Observed::Get(const std::string& field) const {
  for (const auto& [name, value] : fields) {
    if (name == field) return value;
  }
  return {};
}

std::string Shown(const std::string& buffer) {
  std::size_t end = buffer.size();
  while (end > 0 && buffer[end - 1] == kFill) --end;
  std::string shown = Hex(buffer.substr(0, end));
  if (end < buffer.size()) shown += "+cc*" + std::to_string(buffer.size() - end);
  return shown;
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    out += kDigits[u >> 4];
    out += kDigits[u & 15];
  }
  return out;
}

Outcome Run(Side& side, const World& world, const Sequence& sequence) {
  platform::Platform& os = side.os();
  Outcome out;
  Handles h;
  for (const Op& op : sequence) {
    Observed seen;
    switch (op.call) {
      case Call::kPlant:
        side.Plant(Files()[op.file], IsFolder(op.file) ? Text() : Text(op.data));
        break;
      case Call::kCreateKey: {
        const Text sub = SubKey(world, op);
        MakeHandle(h, op, seen, [&](HKey* result) { return os.RegCreateKeyA(Arg(h, op.key), Ptr(sub), result); });
        break;
      }
      case Call::kOpenKey: {
        const Text sub = SubKey(world, op);
        MakeHandle(h, op, seen, [&](HKey* result) {
          return os.RegOpenKeyExA(Arg(h, op.key), Ptr(sub), op.reserved, op.type, result);
        });
        break;
      }
      case Call::kSetValue: {
        const std::vector<std::uint8_t> data(op.data.begin(), op.data.end());
        seen.Put("status", std::to_string(os.RegSetValueExA(Arg(h, op.key), Ptr(op.sub), op.reserved, op.type,
                                                            op.null_buffer ? nullptr : data.data(), op.size)));
        break;
      }
      case Call::kCloseKey: {
        const HKey key = Arg(h, op.key);
        const Status status = os.RegCloseKey(key);
        seen.Put("status", std::to_string(status));
        if (status == platform::win32::kSuccess && op.key >= 0) {
          if (const auto it = std::find(h.open.begin(), h.open.end(), key); it != h.open.end()) h.open.erase(it);
          h.closed[op.key] = true;
        }
        break;
      }
      case Call::kEnumKey: {
        std::string buffer(op.size + kGuard, kFill);
        seen.Put("status", std::to_string(os.RegEnumKeyA(Arg(h, op.key), op.index, buffer.data(), op.size)));
        seen.Put("buffer", Shown(buffer));
        break;
      }
      case Call::kDeleteKey: {
        const Text sub = SubKey(world, op);
        seen.Put("status", std::to_string(os.RegDeleteKeyA(Arg(h, op.key), Ptr(sub))));
        break;
      }
      case Call::kConnect: {
        Text machine = op.sub;
        if (machine) {
          const std::size_t at = machine->find('@');
          if (at != std::string::npos) {
            const bool lower = machine->ends_with("@lower");
            machine->replace(at, std::string::npos,
                             lower ? code_page::Lower(world.computer_name) : world.computer_name);
          }
        }
        const HKey root = Arg(h, op.key);
        MakeHandle(h, op, seen, [&](HKey* result) { return os.RegConnectRegistryA(Ptr(machine), root, result); });
        break;
      }
      case Call::kGetString: {
        std::string buffer(op.size + kGuard, kFill);
        const std::string file = FileName(world, op.file);
        const std::uint32_t n =
            os.GetPrivateProfileStringA(Ptr(op.sub), Ptr(op.name), Ptr(op.value), buffer.data(), op.size, file.c_str());
        seen.Put("returned", std::to_string(n));
        seen.Put("buffer", Shown(buffer));
        break;
      }
      case Call::kWriteString: {
        const std::string file = FileName(world, op.file);
        const bool done = os.WritePrivateProfileStringA(Ptr(op.sub), Ptr(op.name), Ptr(op.value), file.c_str()) != 0;
        seen.Put("result", done ? "TRUE" : "FALSE");
        if (!done) seen.Put("last_error", std::to_string(os.GetLastError()));
        break;
      }
      case Call::kComputerName: {
        std::string buffer(op.size + kGuard, kFill);
        std::uint32_t size = op.size;
        const bool done = os.GetComputerNameA(op.null_buffer ? nullptr : buffer.data(), &size) != 0;
        seen.Put("result", done ? "TRUE" : "FALSE");
        seen.Put("size", std::to_string(size));
        seen.Put("buffer", Shown(buffer));
        if (!done) seen.Put("last_error", std::to_string(os.GetLastError()));
        break;
      }
    }
    out.calls.push_back(std::move(seen));
  }
  for (const HKey key : h.open) os.RegCloseKey(key);
  for (const auto& [root, label] : {std::pair{platform::kHkeyCurrentUser, "HKCU\\"},
                                    std::pair{platform::kHkeyLocalMachine, "HKLM\\"}}) {
    SnapKey(os, side.reader(), root, world.sandbox, label + world.sandbox, out.registry);
  }
  side.ListScratch(out);
  return out;
}

}  // namespace qvi::fuzz
