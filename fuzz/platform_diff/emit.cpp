// A found difference as a test of the contract suite: the shrunk sequence
// as plain calls on the seam, each expecting what the real Win32 API gave.
#include <algorithm>
#include <sstream>

#include "fuzz/platform_diff/platform_diff.h"

namespace qvi::fuzz {

namespace {

std::string Hkey(int key) {
  switch (key) {
    case kHkcu: return "kHkeyCurrentUser";
    case kHklm: return "kHkeyLocalMachine";
    case kHkcr: return "kHkeyClassesRoot";
    case kNullKey: return "kNoKey";
    default: return "h[" + std::to_string(key) + "]";
  }
}

// A text argument: a literal, or a string's characters.
std::string Str(const Text& text) {
  if (!text) return "nullptr";
  const std::string quoted = Quote(*text);
  return quoted.starts_with("std::string(") ? quoted + ".c_str()" : quoted;
}

std::string SubKey(const Op& op) {
  if (!op.rooted) return Str(op.sub);
  if (!op.sub || op.sub->empty()) return "root_path_.c_str()";
  return "(root_path_ + \"\\\\\" + " + Quote(*op.sub) + ").c_str()";
}

std::string Machine(const Text& name) {
  if (!name) return "nullptr";
  const std::size_t at = name->find('@');
  if (at == std::string::npos) return Quote(*name);
  // The computer's own name, in the case the fuzzer gave it.
  return "(" + Quote(name->substr(0, at)) + " + " + (name->ends_with("@lower") ? "Lower(ComputerName(os()))" : "ComputerName(os())") + ").c_str()";
}

std::string File(int file) { return Files()[file].empty() ? "\"\"" : "Scratch(" + Quote(Files()[file]) + ").c_str()"; }

std::string Bytes(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

}  // namespace

std::string Unshown(const std::string& shown) {
  const std::size_t plus = shown.find('+');
  std::string bytes = Bytes(shown.substr(0, plus));
  if (plus != std::string::npos) bytes.append(std::stoul(shown.substr(plus + 4)), '\xCC');
  return bytes;
}

namespace {

std::string Handle(const std::string& role, const std::string& slot) {
  if (role == "null") return "EXPECT_EQ(" + slot + ", kNoKey);";
  if (role == "unchanged") return "EXPECT_EQ(" + slot + ", kSentinel);";
  if (role == "HKEY_CURRENT_USER") return "EXPECT_EQ(" + slot + ", kHkeyCurrentUser);";
  if (role == "HKEY_LOCAL_MACHINE") return "EXPECT_EQ(" + slot + ", kHkeyLocalMachine);";
  if (role == "new") return "EXPECT_TRUE(IsNewHandle(" + slot + "));";
  return "// handle: " + role;
}

}  // namespace

std::string Quote(const std::string& bytes) {
  std::string out = "\"";
  bool hex_before = false;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    // A hex escape swallows every hex digit after it.
    const bool hex_digit = std::isxdigit(u) != 0;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u >= 0x20 && u < 0x7F && !(hex_before && hex_digit)) {
      out += c;
    } else if (u >= 0x20 && u < 0x7F) {
      out += "\" \"";
      out += c;
    } else {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      out += "\\x";
      out += kDigits[u >> 4];
      out += kDigits[u & 15];
      hex_before = true;
      continue;
    }
    hex_before = false;
  }
  out += '"';
  if (bytes.size() > 200) {
    // Long runs of one byte read better as their count.
    if (bytes.find_first_not_of(bytes[0]) == std::string::npos) {
      return "std::string(" + std::to_string(bytes.size()) + ", " +
             (bytes[0] == '\0' ? std::string("'\\0'") : "'" + std::string(1, bytes[0]) + "'") + ")";
    }
  }
  if (bytes.find('\0') != std::string::npos) return "std::string(" + out + ", " + std::to_string(bytes.size()) + ")";
  return out;
}

std::string Describe(const Op& op) {
  std::ostringstream s;
  switch (op.call) {
    case Call::kPlant:
      s << "plant " << Files()[op.file] << (IsFolder(op.file) ? " (folder)" : " = " + Quote(op.data));
      break;
    case Call::kCreateKey: s << "RegCreateKeyA(" << Hkey(op.key) << ", " << SubKey(op) << ") -> h[" << op.out << "]"; break;
    case Call::kOpenKey:
      s << "RegOpenKeyExA(" << Hkey(op.key) << ", " << SubKey(op) << ", " << op.reserved << ", 0x" << std::hex
        << op.type << std::dec << ") -> h[" << op.out << "]";
      break;
    case Call::kSetValue:
      s << "RegSetValueExA(" << Hkey(op.key) << ", " << Str(op.sub) << ", " << op.reserved << ", " << op.type << ", "
        << (op.null_buffer ? "nullptr" : Quote(op.data)) << ", " << op.size << ")";
      break;
    case Call::kCloseKey: s << "RegCloseKey(" << Hkey(op.key) << ")"; break;
    case Call::kEnumKey: s << "RegEnumKeyA(" << Hkey(op.key) << ", " << op.index << ", buffer, " << op.size << ")"; break;
    case Call::kDeleteKey: s << "RegDeleteKeyA(" << Hkey(op.key) << ", " << SubKey(op) << ")"; break;
    case Call::kConnect: s << "RegConnectRegistryA(" << Str(op.sub) << ", " << Hkey(op.key) << ") -> h[" << op.out << "]"; break;
    case Call::kGetString:
      s << "GetPrivateProfileStringA(" << Str(op.sub) << ", " << Str(op.name) << ", " << Str(op.value) << ", buffer, "
        << op.size << ", " << Quote(Files()[op.file]) << ")";
      break;
    case Call::kWriteString:
      s << "WritePrivateProfileStringA(" << Str(op.sub) << ", " << Str(op.name) << ", " << Str(op.value) << ", "
        << Quote(Files()[op.file]) << ")";
      break;
    case Call::kComputerName: s << "GetComputerNameA(" << (op.null_buffer ? "nullptr" : "buffer") << ", " << op.size << ")"; break;
  }
  return s.str();
}

std::string EmitTest(const std::string& name, const std::string& comment, const Sequence& sequence,
                     const Outcome& real, const Difference& difference) {
  std::ostringstream s;
  s << "// " << comment << "\n";
  s << "TEST_P(PlatformContract, " << name << ") {\n";
  s << "  HKey h[" << kSlots << "] = {};\n";
  bool local_machine = false;
  bool current_user = false;
  for (const Op& op : sequence) {
    if (op.rooted) (op.key == kHklm ? local_machine : current_user) = true;
    if (op.rooted && op.key >= 0) local_machine = current_user = true;
  }
  // The sandbox starts absent, as in the fuzzer.
  if (current_user) s << "  os().RegDeleteKeyA(kHkeyCurrentUser, root_path_.c_str());\n";
  if (local_machine) s << "  const LocalMachineKey local_machine(os(), root_path_);\n";
  for (std::size_t i = 0; i < sequence.size(); ++i) {
    const Op& op = sequence[i];
    const Observed& seen = real.calls[i];
    const bool all = i == difference.op;
    // Where Wine departs from Windows there is no Windows outcome to expect:
    // the call is made and its outcome left alone.
    const bool expect = std::find(difference.masked.begin(), difference.masked.end(), i) == difference.masked.end();
    const auto check = [&](const std::string& call, const std::string& value) {
      return expect ? "EXPECT_EQ(" + call + ", " + value + ");" : call + ";  // Wine departs here";
    };
    const std::string status = seen.Get("status");
    switch (op.call) {
      case Call::kPlant:
        if (IsFolder(op.file)) {
          s << "  std::filesystem::create_directory(backend_->HostPath(Scratch(" << Quote(Files()[op.file]) << ")));\n";
        } else {
          s << "  backend_->PutFile(Scratch(" << Quote(Files()[op.file]) << "), " << Quote(op.data) << ");\n";
        }
        break;
      case Call::kCreateKey:
      case Call::kOpenKey:
      case Call::kConnect: {
        std::string call;
        if (op.call == Call::kCreateKey) {
          call = "os().RegCreateKeyA(" + Hkey(op.key) + ", " + SubKey(op) + ", &out)";
        } else if (op.call == Call::kOpenKey) {
          std::ostringstream access;
          access << std::hex << op.type;
          call = "os().RegOpenKeyExA(" + Hkey(op.key) + ", " + SubKey(op) + ", " + std::to_string(op.reserved) +
                 ", 0x" + access.str() + ", &out)";
        } else {
          call = "os().RegConnectRegistryA(" + Machine(op.sub) + ", " + Hkey(op.key) + ", &out)";
        }
        s << "  {\n    HKey out = kSentinel;\n    " << check(call, status) << "\n";
        if (expect && (all || seen.Get("handle") != "new")) s << "    " << Handle(seen.Get("handle"), "out") << "\n";
        s << "    h[" << op.out << "] = out;\n  }\n";
        break;
      }
      case Call::kSetValue:
        s << "  " << check("os().RegSetValueExA(" + Hkey(op.key) + ", " + Str(op.sub) + ", " + std::to_string(op.reserved) +
                               ", " + std::to_string(op.type) + ", " +
                               (op.null_buffer ? "nullptr" : "Data(" + Quote(op.data) + ")") + ", " +
                               std::to_string(op.size) + ")",
                           status)
          << "\n";
        break;
      case Call::kCloseKey:
        s << "  " << check("os().RegCloseKey(" + Hkey(op.key) + ")", status) << "\n";
        if (status == "0" && op.key >= 0) s << "  " << Hkey(op.key) << " = kStale;\n";
        break;
      case Call::kEnumKey:
        s << "  {\n    std::string buffer(" << op.size + 8 << ", '\\xCC');\n    "
          << check("os().RegEnumKeyA(" + Hkey(op.key) + ", " + std::to_string(op.index) + ", buffer.data(), " +
                       std::to_string(op.size) + ")",
                   status)
          << "\n";
        if (expect && (all || status != "0")) s << "    EXPECT_EQ(buffer, " << Quote(Unshown(seen.Get("buffer"))) << ");\n";
        s << "  }\n";
        break;
      case Call::kDeleteKey:
        s << "  " << check("os().RegDeleteKeyA(" + Hkey(op.key) + ", " + SubKey(op) + ")", status) << "\n";
        break;
      case Call::kGetString:
        s << "  {\n    std::string buffer(" << op.size + 8 << ", '\\xCC');\n    "
          << check("os().GetPrivateProfileStringA(" + Str(op.sub) + ", " + Str(op.name) + ", " + Str(op.value) +
                       ", buffer.data(), " + std::to_string(op.size) + ", " + File(op.file) + ")",
                   seen.Get("returned") + "u")
          << "\n";
        if (expect && all) s << "    EXPECT_EQ(buffer, " << Quote(Unshown(seen.Get("buffer"))) << ");\n";
        s << "  }\n";
        break;
      case Call::kWriteString: {
        const std::string call = "os().WritePrivateProfileStringA(" + Str(op.sub) + ", " + Str(op.name) + ", " +
                                 Str(op.value) + ", " + File(op.file) + ") != 0";
        s << "  " << check(call, seen.Get("result") == "TRUE" ? "true" : "false") << "\n";
        if (expect && seen.Get("result") == "FALSE") {
          s << "  EXPECT_EQ(os().GetLastError(), " << seen.Get("last_error") << "u);\n";
        }
        break;
      }
      case Call::kComputerName:
        s << "  {\n    std::string buffer(" << op.size + 8 << ", '\\xCC');\n    std::uint32_t size = " << op.size
          << ";\n    " << check("os().GetComputerNameA(buffer.data(), &size) != 0", seen.Get("result") == "TRUE" ? "true" : "false")
          << "\n    // size " << seen.Get("size") << ", buffer " << Quote(Unshown(seen.Get("buffer"))) << "\n  }\n";
        break;
    }
  }
  if (difference.op >= sequence.size()) {
    const std::size_t colon = difference.windows.find(": ");
    if (difference.field.starts_with("file ") && colon != std::string::npos) {
      s << "  EXPECT_EQ(backend_->FileBytes(Scratch(" << Quote(difference.windows.substr(0, colon)) << ")), "
        << Quote(Bytes(difference.windows.substr(colon + 2))) << ");\n";
    } else if (difference.field.starts_with("file ")) {
      s << "  EXPECT_EQ(backend_->FileBytes(Scratch(" << Quote(difference.field.substr(5)) << ")), std::nullopt);\n";
    } else {
      s << "  // the sandbox keys as Windows left them:\n";
      for (const KeyState& key : real.registry) {
        s << "  //   " << Quote(key.path) << "\n";
        for (const std::string& v : key.values) s << "  //     " << Quote(v) << "\n";
      }
    }
  }
  s << "}\n";
  return s.str();
}

}  // namespace qvi::fuzz
