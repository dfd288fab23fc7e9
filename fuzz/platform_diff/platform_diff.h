// The differential fuzzer of the platform seam: random sequences of the ten
// functions, run on the emulated machine and on the real Win32 API, every
// result compared. What the pieces share.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qvi::fuzz {

using Text = std::optional<std::string>;  // nothing: a null pointer

enum class Call : std::uint8_t {
  kPlant,  // a file or folder put in place before the calls, behind the seam's back
  kCreateKey,
  kSetValue,
  kCloseKey,
  kOpenKey,
  kEnumKey,
  kDeleteKey,
  kConnect,
  kGetString,
  kWriteString,
  kComputerName,
};

// A handle argument: a slot of the run's handle table (0 .. kSlots - 1), or
// one of these.
inline constexpr int kHkcu = -1;
inline constexpr int kHklm = -2;
inline constexpr int kHkcr = -3;
inline constexpr int kNullKey = -4;
// Slots below kOutsideSlots hold keys inside the sandbox; the others hold
// roots (from a connection, or an open of a root's own key), through which
// only paths into the sandbox are taken, so no call can change the registry
// outside it.
inline constexpr int kSandboxSlots = 5;
inline constexpr int kSlots = 7;

struct Op {
  Call call = Call::kPlant;
  int key = kNullKey;   // handle argument
  int out = -1;         // slot that receives the handle made
  bool rooted = false;  // `sub` is below the sandbox key: "<sandbox>" or "<sandbox>\sub"
  Text sub;             // subkey, value name, section, machine name
  Text name;            // key (profile); unused elsewhere
  Text value;           // value or default (profile)
  std::uint32_t type = 0;      // RegSetValueExA type; RegOpenKeyExA access
  std::uint32_t reserved = 0;  // RegSetValueExA reserved; RegOpenKeyExA options
  std::uint32_t size = 0;      // data size, buffer size
  std::uint32_t index = 0;     // RegEnumKeyA index
  bool null_buffer = false;    // data or buffer passed as a null pointer
  std::string data;            // RegSetValueExA bytes, one more than `size` at least; planted bytes
  int file = -1;               // index into Files()
};
using Sequence = std::vector<Op>;

// The files and folders a sequence may name, relative to the run's scratch
// folder; some name the same file in other spellings.
const std::vector<std::string>& Files();
// True when Files()[i] is a folder, not a file.
bool IsFolder(int file);

// The sequence a seed stands for.
Sequence Generate(std::uint64_t seed);

// What one call left: its fields in a fixed order ("status", "handle",
// "buffer", ...), each as text.
struct Observed {
  std::vector<std::pair<std::string, std::string>> fields;
  void Put(std::string field, std::string value) { fields.emplace_back(std::move(field), std::move(value)); }
  std::string Get(const std::string& field) const;
};

// A registry key below a sandbox, with its values as "name|type|hex" in
// enumeration order.
struct KeyState {
  std::string path;
  std::vector<std::string> values;
  bool operator==(const KeyState&) const = default;
};

struct Outcome {
  std::vector<Observed> calls;
  std::vector<KeyState> registry;                 // both sandboxes, parents first
  std::map<std::string, std::string> files;       // scratch-relative name -> bytes
  std::vector<std::string> folders;               // scratch-relative
};

// The run's fixed facts, the same on both sides.
struct World {
  std::string sandbox;   // "Software\QviDiff-<tag>", below HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE
  std::string scratch;   // Windows path of this sequence's scratch folder
  std::string computer_name;
  std::string windows_directory;
};

// One side of the comparison: a platform with its files.
class Side {
 public:
  virtual ~Side() = default;
  // Prepares a fresh machine state for one sequence: no sandbox keys and
  // an empty scratch folder.
  virtual void Begin(const World& world) = 0;
  virtual platform::Platform& os() = 0;
  virtual platform::RegistryReader& reader() = 0;
  // Puts bytes at a scratch-relative path, or makes the folder when nothing.
  virtual void Plant(const std::string& relative, const Text& bytes) = 0;
  // Every file and folder below the scratch folder, after the calls.
  virtual void ListScratch(Outcome& out) = 0;
  // Removes what Begin() and the sequence made.
  virtual void End() = 0;
};

// Runs a sequence on one side, between its Begin() and End().
Outcome Run(Side& side, const World& world, const Sequence& sequence);

// A difference that no departure of Wine explains.
struct Difference {
  std::size_t op = 0;  // index of the call, or the sequence's size for the end state
  std::string field;   // "status", ..., or "registry", "file NAME", "folders"
  std::string windows;
  std::string emulated;
  std::vector<std::size_t> masked;  // calls before it that a departure explained
  // What a shrunk sequence must still show to count as the same fault.
  std::string Signature(const Sequence& sequence) const;
};

// The departures of Wine from Windows that are masked, each by name, and
// how often each applied.
using DepartureCounts = std::map<std::string, std::uint64_t>;

// Compares the real run with the emulated one. `shadow` is the emulated run
// of the same sequence with every UTF-8 byte-order mark taken off the files
// planted with one (only when wine and one was planted).
std::optional<Difference> Compare(const Sequence& sequence, const Outcome& real, const Outcome& emulated,
                                  const Outcome* shadow, bool wine, DepartureCounts& departures);

// The sequence with every planted file that starts with a UTF-8 byte-order
// mark planted without it.
bool StripUtf8Marks(Sequence& sequence);

// Text helpers shared by the pieces.
std::string Hex(const std::string& bytes);
// A buffer after a call: its bytes in hex, the fill left at its end counted
// ("6100+cc*9"); Unshown() gives the bytes back.
std::string Shown(const std::string& buffer);
std::string Unshown(const std::string& shown);
std::string Quote(const std::string& bytes);  // a C-style string literal
std::string Describe(const Op& op);

}  // namespace qvi::fuzz
