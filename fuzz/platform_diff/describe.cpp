// A call as a line a developer reads: the shrunk sequence of a difference is
// shown this way, call by call, with both sides' results under each.
#include <sstream>

#include "fuzz/platform_diff/platform_diff.h"

namespace qvi::fuzz {

namespace {

std::string Hkey(int key) {
  switch (key) {
    case kHkcu: return "HKEY_CURRENT_USER";
    case kHklm: return "HKEY_LOCAL_MACHINE";
    case kHkcr: return "HKEY_CLASSES_ROOT";
    case kNullKey: return "NULL";
    default: return "h[" + std::to_string(key) + "]";
  }
}

std::string Str(const Text& text) { return text ? Quote(*text) : "NULL"; }

std::string SubKey(const Op& op) {
  if (!op.rooted) return Str(op.sub);
  return "<sandbox>" + (op.sub && !op.sub->empty() ? "\\" + Quote(*op.sub) : std::string());
}

}  // namespace

std::string Unshown(const std::string& shown) {
  const std::size_t plus = shown.find('+');
  const std::string hex = shown.substr(0, plus);
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  if (plus != std::string::npos) bytes.append(std::stoul(shown.substr(plus + 4)), '\xCC');
  return bytes;
}

std::string Quote(const std::string& bytes) {
  // Long runs of one byte read better as their count.
  if (bytes.size() > 200 && bytes.find_first_not_of(bytes[0]) == std::string::npos) {
    return Quote(bytes.substr(0, 1)) + "*" + std::to_string(bytes.size());
  }
  std::string out = "\"";
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u >= 0x20 && u < 0x7F) {
      out += c;
    } else {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      out += "\\x";
      out += kDigits[u >> 4];
      out += kDigits[u & 15];
    }
  }
  return out + '"';
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
        << (op.null_buffer ? "NULL" : Quote(op.data)) << ", " << op.size << ")";
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
    case Call::kComputerName: s << "GetComputerNameA(" << (op.null_buffer ? "NULL" : "buffer") << ", " << op.size << ")"; break;
  }
  return s.str();
}

}  // namespace qvi::fuzz
