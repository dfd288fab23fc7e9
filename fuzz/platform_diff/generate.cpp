// Sequences from seeds. The generator draws from small vocabularies on
// purpose: names that collide only in letter case or in a code-page-1252
// letter, sizes at and around every edge, so that a few calls already meet
// each other's keys, files and buffers.
#include <array>

#include "fuzz/platform_diff/platform_diff.h"

namespace qvi::fuzz {

namespace {

// SplitMix64: the same numbers from a seed on every compiler and width.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }
  bool Chance(std::uint32_t percent) { return Below(100) < percent; }
  template <typename T, std::size_t N>
  const T& Pick(const std::array<T, N>& from) {
    return from[Below(N)];
  }

 private:
  std::uint64_t state_;
};

const std::string kLong255(255, 'L');

// Subkey paths below a key, null included.
Text KeyPath(Random& r) {
  static const std::array<const char*, 26> names = {
      "k", "K", "k\\sub", "K\\SUB\\deep", "k\\sub\\deep\\er", "\xE9t\xE9", "\xC9T\xC9", "\x9A", "\x8A",
      "\xFF", "\x9F", "_x", "Ab", "[", "a b", "k\\", "k\\\\", "\\k", "k\\\\x", "\xDF", "SS", "\xB5",
      "*?", "a.b", " k", "\x80"};
  switch (r.Below(12)) {
    case 0: return std::nullopt;
    case 1: return std::string();
    case 2: return r.Chance(50) ? kLong255 : std::string(256, 'L');
    case 3: return std::string(r.Pick(names)) + "\\" + r.Pick(names);
    default: return std::string(r.Pick(names));
  }
}

Text ValueName(Random& r) {
  static const std::array<const char*, 9> names = {"v", "V", "w", "\xE9", "\xC9", "a b", "=", "v\\w", "\xFF"};
  switch (r.Below(14)) {
    case 0: return std::nullopt;
    case 1: return std::string();
    case 2: return std::string(255 + r.Below(2), 'n');
    case 3: return std::string(r.Chance(50) ? 16383 : 16384, 'n');
    default: return std::string(r.Pick(names));
  }
}

void Value(Random& r, Op& op) {
  static const std::array<std::uint32_t, 10> types = {0, 1, 1, 2, 3, 4, 4, 5, 7, 11};
  op.type = r.Chance(3) ? 0x12345u : r.Pick(types);
  op.reserved = r.Chance(3) ? 1 : 0;
  std::string bytes;
  switch (r.Below(7)) {
    case 0: bytes = "abc"; break;
    case 1: bytes = std::string("abc\0", 4); break;
    case 2: bytes = std::string("a\0b\0\0", 5); break;
    case 3: bytes = std::string("a\0b", 3); break;
    case 4: bytes = std::string("\x01\x02\x03\x04\x05", 5); break;
    case 5: bytes = std::string(r.Below(3) + 1, '\0'); break;
    default: bytes = std::string(300 + r.Below(3000), 'd'); break;
  }
  // The size given: the whole, around it, or a DWORD's edges.
  static const std::array<int, 5> deltas = {0, 0, -1, -2, 1};
  int size = r.Chance(25) ? static_cast<int>(r.Below(6)) : static_cast<int>(bytes.size()) + r.Pick(deltas);
  if (size < 0) size = 0;
  op.size = static_cast<std::uint32_t>(size);
  // The byte just past the size, which Windows peeks at for strings.
  while (bytes.size() <= op.size) bytes.push_back('\0');
  if (r.Chance(40)) bytes[op.size] = 'x';
  bytes.push_back('\0');
  op.data = bytes;
  // No data, and so no size: Windows reads a string's last byte, and Wine's
  // client aborts the process on a size without its bytes.
  if (r.Chance(4)) {
    op.null_buffer = true;
    op.size = 0;
  }
}

Text Section(Random& r) {
  static const std::array<const char*, 14> names = {"s",  "S",      " s ", "sec",    "\xE9", "\xC9", "[x]",
                                                    "a;b", "\ts\t", "dup", "s]", "[s", "\x9F", "=s"};
  switch (r.Below(16)) {
    case 0: return std::nullopt;
    case 1: return std::string(300, 'S');
    default: return std::string(r.Pick(names));
  }
}

Text IniKey(Random& r) {
  static const std::array<const char*, 13> names = {"k", "K", " k ", "key", "\xE9", "\xC9", "dup",
                                                    ";c", "a=b", "[k]", "k k", "\x9F", "\xFF"};
  switch (r.Below(16)) {
    case 0: return std::nullopt;
    case 1: return std::string(300, 'K');
    default: return std::string(r.Pick(names));
  }
}

Text IniValue(Random& r, bool for_default) {
  static const std::array<const char*, 14> values = {"v",  "",       " v ",  "\"q\"", "'q'",  "\"",  "a;b",
                                                     "x=y", "\xE9", "v  ", "  v", "\"q'", "'", "\tv\t"};
  switch (r.Below(14)) {
    case 0: return std::nullopt;
    case 1: return std::string(r.Chance(50) ? 1023 : 1100, for_default ? 'D' : 'V');
    default: return std::string(r.Pick(values));
  }
}

std::uint32_t BufferSize(Random& r) {
  static const std::array<std::uint32_t, 14> sizes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 16, 32, 256, 1024};
  return r.Pick(sizes);
}

// INI text with the oddities files meet: every line end, blanks, comments,
// lines without '=', duplicates, bytes above 0x7F, NULs, Ctrl-Z, a last line
// without its end.
// "[]" is left out: Wine's rewrite drops the header of a section without a
// name, and its keys then read as the section's before it for good.
std::string IniText(Random& r, bool ascii) {
  static const std::array<const char*, 30> lines = {
      "[s]",     "[ S ]",    "[sec]",    "[dup]", "[DUP]",     "k=v",     " K = V ", "k",     ";c=1",  "=v",
      "  ",      "",         "dup=1",    "dup=2", "k=\"q\"",   "key='x'", "[x",      "x]",    "[y]",   "key=a;b",
      "\tk\t=\t", "[ \xE9 ]", "\xC9=\xE9", "s]=1",  "k= v v ", "K=w",     "[s]x",    "a=b=c", "[s]]", "k=\x1A"};
  std::string text;
  const std::uint32_t count = r.Below(9);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string line = r.Pick(lines);
    if (r.Chance(5)) line += std::string("\0x", 2);
    if (r.Chance(3)) line = std::string(400, 'l') + "=" + line;
    text += line;
    if (i + 1 < count || r.Chance(70)) {
      static const std::array<const char*, 5> ends = {"\r\n", "\r\n", "\n", "\r", "\r\n\r\n"};
      text += r.Pick(ends);
    }
  }
  if (r.Chance(3)) text += "\x1A";
  if (ascii) {
    for (char& c : text) {
      if (static_cast<unsigned char>(c) >= 0x80) c = '_';
    }
  }
  return text;
}

}  // namespace

const std::vector<std::string>& Files() {
  // The last is a folder; "A.INI", "a.ini." and "a.ini " are a.ini.
  static const std::vector<std::string> files = {"a.ini",      "A.INI", "b.ini", "sub\\c.ini", "SUB\\C.INI",
                                                 "none\\d.ini", "",      "a.ini.", "a.ini ",   "sub"};
  return files;
}

bool IsFolder(int file) { return file == static_cast<int>(Files().size()) - 1; }

Sequence Generate(std::uint64_t seed) {
  Random r(seed);
  Sequence ops;
  // Files and the folder, put in place beforehand.
  const auto plant = [](int file) {
    Op op;
    op.call = Call::kPlant;
    op.file = file;
    return op;
  };
  if (r.Chance(50)) ops.push_back(plant(static_cast<int>(Files().size()) - 1));
  for (const int file : {0, 2, 3}) {
    if (!r.Chance(45)) continue;
    Op op = plant(file);
    if (r.Chance(6)) {
      op.data = "\xEF\xBB\xBF" + IniText(r, true);
    } else if (r.Chance(4)) {
      const std::string text = IniText(r, true);
      op.data = "\xFF\xFE";
      for (const char c : text) op.data += std::string{c, '\0'};
    } else {
      op.data = IniText(r, false);
    }
    ops.push_back(std::move(op));
  }

  const std::uint32_t count = 4 + r.Below(24);
  for (std::uint32_t i = 0; i < count; ++i) {
    Op op;
    // A handle argument and, where a subkey goes with it, whether the path
    // starts at the sandbox: always from a root, never from a sandbox slot.
    const auto pick_key = [&](bool sandbox_only) {
      const std::uint32_t roll = r.Below(100);
      if (roll < 55) {
        op.key = static_cast<int>(r.Below(kSandboxSlots));
      } else if (roll < 75 || sandbox_only) {
        op.key = r.Chance(50) ? kHkcu : kHklm;
      } else if (roll < 90) {
        op.key = kSandboxSlots + static_cast<int>(r.Below(kSlots - kSandboxSlots));
      } else if (roll < 95) {
        op.key = kNullKey;
      } else {
        op.key = kHkcr;
      }
      op.rooted = op.key < 0 || op.key >= kSandboxSlots;
    };
    const std::uint32_t roll = r.Below(100);
    if (roll < 16) {
      op.call = Call::kCreateKey;
      pick_key(false);
      op.sub = KeyPath(r);
      op.out = static_cast<int>(r.Below(kSandboxSlots));
      if (op.key == kHkcr) op.key = kHkcu;  // HKEY_CLASSES_ROOT lies outside both sandboxes
      // Wine makes a key of a 256-character name, which Windows refuses: the
      // sequences would part there for good.
      if (op.sub && op.sub->size() == 256 && op.sub->find('\\') == std::string::npos) op.sub->push_back('L');
    } else if (roll < 28) {
      op.call = Call::kOpenKey;
      pick_key(false);
      op.sub = KeyPath(r);
      op.out = static_cast<int>(r.Below(kSandboxSlots));
      static const std::array<std::uint32_t, 6> access = {0xF003F, 0xF003F, 0x20019, 0x20006, 0x1, 0};
      op.type = r.Pick(access);
      op.reserved = r.Chance(5) ? 1 : 0;
    } else if (roll < 33) {
      // A root's own key, by a null or empty subkey: a handle to a root.
      op.call = r.Chance(50) ? Call::kOpenKey : Call::kCreateKey;
      op.key = r.Chance(50) ? kHkcu : kHklm;
      op.sub = r.Chance(50) ? Text() : Text(std::string());
      op.out = kSandboxSlots + static_cast<int>(r.Below(kSlots - kSandboxSlots));
      op.type = 0xF003F;
    } else if (roll < 48) {
      op.call = Call::kSetValue;
      op.key = static_cast<int>(r.Below(kSandboxSlots));
      if (r.Chance(5)) op.key = kNullKey;
      op.sub = ValueName(r);
      Value(r, op);
    } else if (roll < 53) {
      op.call = Call::kCloseKey;
      op.key = static_cast<int>(r.Below(kSlots));
      if (r.Chance(10)) op.key = r.Chance(50) ? kHkcr : kNullKey;
    } else if (roll < 60) {
      op.call = Call::kEnumKey;
      op.key = static_cast<int>(r.Below(kSandboxSlots));
      static const std::array<std::uint32_t, 7> indexes = {0, 0, 1, 1, 2, 3, 100};
      op.index = r.Pick(indexes);
      static const std::array<std::uint32_t, 12> sizes = {0, 1, 2, 3, 4, 5, 6, 7, 255, 256, 257, 2};
      op.size = r.Pick(sizes);
    } else if (roll < 68) {
      op.call = Call::kDeleteKey;
      pick_key(false);
      if (op.key == kHkcr) op.key = kHklm;
      op.sub = KeyPath(r);
      // Only a key in the sandbox may be named from a root: never the root itself.
      if (op.rooted && !op.sub) op.sub = std::string();
    } else if (roll < 71) {
      op.call = Call::kConnect;
      static const std::array<int, 8> names = {0, 1, 2, 3, 4, 5, 6, 7};
      switch (r.Pick(names)) {
        case 0: op.sub = std::nullopt; break;
        case 1: op.sub = ""; break;
        case 2: op.sub = "@"; break;  // the computer's name
        case 3: op.sub = "\\\\@"; break;
        case 4: op.sub = "\\\\@lower"; break;
        case 5: op.sub = "\\\\QVI-NO-SUCH-HOST"; break;
        case 6: op.sub = "\\\\"; break;
        default: op.sub = "@lower"; break;
      }
      op.key = r.Chance(70) ? kHklm : kHkcu;
      op.out = kSandboxSlots + static_cast<int>(r.Below(kSlots - kSandboxSlots));
    } else if (roll < 86) {
      op.call = Call::kGetString;
      op.sub = Section(r);
      op.name = IniKey(r);
      op.value = IniValue(r, true);
      op.size = BufferSize(r);
      op.file = static_cast<int>(r.Below(static_cast<std::uint32_t>(Files().size()) - 1));
    } else if (roll < 97) {
      op.call = Call::kWriteString;
      op.sub = Section(r);
      // The empty section name crashes Windows NT's write.
      if (op.sub && op.sub->empty()) op.sub = "s";
      op.name = IniKey(r);
      op.value = IniValue(r, false);
      // Wine's write dereferences a null section when the key is null too;
      // all three null is the flush.
      if (!op.sub && !op.name && op.value) op.name = "k";
      op.file = static_cast<int>(r.Below(static_cast<std::uint32_t>(Files().size()) - 1));
    } else {
      op.call = Call::kComputerName;
      op.size = r.Below(20);
      if (r.Chance(20)) op.size = 261;
    }
    ops.push_back(std::move(op));
  }
  return ops;
}

}  // namespace qvi::fuzz
