#include "emu/reg_text.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <variant>

#include "emu/root_keys.h"
#include "platform/win32_types.h"
#include "runtime/code_page.h"

namespace qvi::emu {

namespace {

constexpr std::string_view kRegedit4 = "REGEDIT4";
constexpr std::string_view kRegedit5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kCrLf = "\r\n";
constexpr std::size_t kHexLineLimit = 77;

struct ParseError {
  std::size_t line;
  std::string message;
};

// Value operations apply to the key of the last CreateKeyOp before them.
struct SetOp {
  std::string name;
  std::uint32_t type;
  std::vector<std::uint8_t> data;
};
struct DeleteValueOp {
  std::string name;
};
struct CreateKeyOp {
  std::string key;
};
struct DeleteKeyOp {
  std::string key;
};
using Op = std::variant<CreateKeyOp, DeleteKeyOp, SetOp, DeleteValueOp>;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::uint32_t> ParseHexNumber(std::string_view s) {
  if (s.empty() || s.size() > 8) return std::nullopt;
  std::uint32_t v = 0;
  for (const char c : s) {
    const int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    v = (v << 4) | static_cast<std::uint32_t>(d);
  }
  return v;
}

// Reads a quoted string at s[pos] == '"', with the escapes \\ and \".
std::optional<std::string> ReadQuoted(std::string_view s, std::size_t& pos, std::string& error) {
  std::string out;
  for (++pos; pos < s.size(); ++pos) {
    const char c = s[pos];
    if (c == '"') {
      ++pos;
      return out;
    }
    if (c == '\\') {
      if (pos + 1 >= s.size() || (s[pos + 1] != '\\' && s[pos + 1] != '"')) {
        error = "unknown escape in quoted text (only \\\\ and \\\" are allowed)";
        return std::nullopt;
      }
      out += s[++pos];
      continue;
    }
    out += c;
  }
  error = "quoted text has no closing quote";
  return std::nullopt;
}

// A key path from a section header: a known root and non-empty names.
std::optional<std::string> CheckKeyPath(std::string_view path, std::string& error) {
  std::size_t from = 0;
  std::size_t index = 0;
  while (true) {
    const std::size_t slash = path.find('\\', from);
    const std::string_view name = path.substr(from, slash == std::string_view::npos ? path.npos : slash - from);
    if (index == 0) {
      if (!emu::RootKeyByName(name)) {
        error = "unsupported root key \"" + std::string(name) + "\"";
        return std::nullopt;
      }
    } else if (name.empty()) {
      error = "empty key name in \"" + std::string(path) + "\"";
      return std::nullopt;
    } else if (name.size() > RegistryStore::kMaxKeyNameLength) {
      error = "key name longer than 255 characters";
      return std::nullopt;
    }
    ++index;
    if (slash == std::string_view::npos) break;
    from = slash + 1;
    // HKEY_CLASSES_ROOT lies two levels down HKEY_LOCAL_MACHINE.
    const std::size_t above = code_page::EqualsNoCase(path.substr(0, path.find('\\')), "HKEY_CLASSES_ROOT") ? 2 : 0;
    if (index + above > RegistryStore::kMaxDepth) {
      error = "key more than " + std::to_string(RegistryStore::kMaxDepth) + " levels deep";
      return std::nullopt;
    }
  }
  return std::string(path);
}

std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view s, std::string& error) {
  std::vector<std::uint8_t> out;
  s = Trim(s);
  if (s.empty()) return out;
  std::size_t from = 0;
  while (true) {
    const std::size_t comma = s.find(',', from);
    const std::string_view item = Trim(s.substr(from, comma == std::string_view::npos ? s.npos : comma - from));
    if (item.empty() && comma == std::string_view::npos) break;  // a trailing comma
    const auto v = ParseHexNumber(item);
    if (!v || item.size() > 2) {
      error = "bad hex byte \"" + std::string(item) + "\"";
      return std::nullopt;
    }
    out.push_back(static_cast<std::uint8_t>(*v));
    if (comma == std::string_view::npos) break;
    from = comma + 1;
  }
  return out;
}

class Parser {
 public:
  // Each operation goes to `emit` as soon as its line is read.
  Parser(std::string_view text, std::size_t first_line, std::function<void(Op&&)> emit)
      : text_(text), line_number_(first_line), emit_(std::move(emit)) {}
  // Reads the text a piece at a time, holding little more than one piece:
  // `start` is its beginning, and `more` appends the next piece to the string
  // it is given, returning false once there is none.
  Parser(std::string start, std::function<bool(std::string&)> more, std::function<void(Op&&)> emit)
      : buffer_(std::move(start)), more_(std::move(more)), line_number_(0), emit_(std::move(emit)) {
    text_ = buffer_;
  }

  void Parse() {
    std::string line;
    std::size_t line_no = 0;
    bool header_seen = false;
    while (NextLogical(line, line_no)) {
      const std::string_view t = Trim(line);
      if (t.empty() || t.front() == ';') continue;
      if (!header_seen) {
        if (t == kRegedit4) {
          unicode_ = false;
        } else if (t == kRegedit5) {
          unicode_ = true;
        } else {
          throw ParseError{line_no, "not a registry file: the first line must be REGEDIT4 or \"" +
                                        std::string(kRegedit5) + "\""};
        }
        header_seen = true;
        continue;
      }
      if (t.front() == '[') {
        Section(t, line_no);
      } else {
        Value(t, line_no);
      }
    }
    if (!header_seen) throw ParseError{line_number_ == 0 ? 1 : line_number_, "empty registry file"};
    return;
  }

 private:
  // Joins "\"-continued lines; reports the number of the first physical line.
  bool NextLogical(std::string& out, std::size_t& first) {
    out.clear();
    if (pos_ >= text_.size() && !Refill()) return false;
    bool continuing = false;
    while (pos_ < text_.size() || Refill()) {
      const std::size_t end = LineEnd();
      const std::string_view physical = text_.substr(pos_, end - pos_);
      std::size_t next = end;
      if (next < text_.size()) {
        next += (text_[next] == '\r' && next + 1 < text_.size() && text_[next + 1] == '\n') ? 2 : 1;
      }
      pos_ = next;
      ++line_number_;
      if (!continuing) first = line_number_;
      const std::string_view trimmed = Trim(physical);
      // Once a value's data has begun, every further line is more of it:
      // only the first line needs the look at what it holds.
      if (!trimmed.empty() && trimmed.back() == '\\' && (continuing || IsValueLine(trimmed))) {
        out.append(trimmed.substr(0, trimmed.size() - 1));
        continuing = true;
        continue;
      }
      out.append(continuing ? trimmed : physical);
      return true;
    }
    return true;
  }

  // Where the line at pos_ ends (its CR or LF, or the end of the text),
  // reading more of a piecewise text until the whole line end is in view: a
  // CR last in the buffer may be the first half of a CR LF.
  std::size_t LineEnd() {
    std::size_t from = pos_;
    while (true) {
      const std::size_t end = text_.find_first_of("\r\n", from);
      const bool complete = end != std::string_view::npos && (text_[end] == '\n' || end + 1 < text_.size());
      if (complete || !more_) return end == std::string_view::npos ? text_.size() : end;
      // Compaction moves the line to the front of the buffer.
      const std::size_t scanned = (end == std::string_view::npos ? text_.size() : end) - pos_;
      Refill();
      from = pos_ + scanned;
    }
  }

  // Drops what has been read and appends the next piece of a piecewise
  // text; false when there was none.
  bool Refill() {
    if (!more_) return false;
    buffer_.erase(0, pos_);
    pos_ = 0;
    const std::size_t had = buffer_.size();
    if (!more_(buffer_)) more_ = nullptr;
    text_ = buffer_;
    return buffer_.size() > had;
  }

  // A line continues only where data is being listed, after the "=" of a
  // value; a backslash at the end of quoted text is part of the text.
  static bool IsValueLine(std::string_view t) {
    std::size_t pos = 0;
    if (t.front() == '"') {
      std::string ignored;
      if (!ReadQuoted(t, pos, ignored)) return false;
    } else if (t.front() == '@') {
      pos = 1;
    } else {
      return false;
    }
    const std::string_view rest = Trim(t.substr(pos));
    if (rest.empty() || rest.front() != '=') return false;
    const std::string_view data = Trim(rest.substr(1));
    return code_page::StartsWithNoCase(data, "hex");
  }

  void Section(std::string_view t, std::size_t line_no) {
    if (t.back() != ']') throw ParseError{line_no, "section header without closing ]"};
    std::string_view inner = t.substr(1, t.size() - 2);
    bool remove = false;
    if (!inner.empty() && inner.front() == '-') {
      remove = true;
      inner.remove_prefix(1);
    }
    while (!inner.empty() && inner.back() == '\\') inner.remove_suffix(1);
    std::string error;
    const auto path = CheckKeyPath(inner, error);
    if (!path) throw ParseError{line_no, error};
    if (remove) {
      if (path->find('\\') == std::string::npos) throw ParseError{line_no, "a root key cannot be deleted"};
      emit_(DeleteKeyOp{*path});
      in_key_ = false;
    } else {
      emit_(CreateKeyOp{*path});
      in_key_ = true;
    }
  }

  void Value(std::string_view t, std::size_t line_no) {
    if (!in_key_) throw ParseError{line_no, "value outside a key section"};
    std::string name;
    std::size_t pos = 0;
    std::string error;
    if (t.front() == '@') {
      pos = 1;
    } else if (t.front() == '"') {
      const auto quoted = ReadQuoted(t, pos, error);
      if (!quoted) throw ParseError{line_no, error};
      name = *quoted;
      if (name.size() > RegistryStore::kMaxValueNameLength) {
        throw ParseError{line_no, "value name longer than " + std::to_string(RegistryStore::kMaxValueNameLength) +
                                      " characters"};
      }
    } else {
      throw ParseError{line_no, "expected a section, a value or a comment"};
    }
    std::string_view rest = Trim(t.substr(pos));
    if (rest.empty() || rest.front() != '=') throw ParseError{line_no, "expected = after the value name"};
    rest = Trim(rest.substr(1));
    if (rest == "-") {
      emit_(DeleteValueOp{name});
      return;
    }
    SetOp op{name, platform::kRegSz, {}};
    if (!rest.empty() && rest.front() == '"') {
      std::size_t at = 0;
      const auto data = ReadQuoted(rest, at, error);
      if (!data) throw ParseError{line_no, error};
      CheckTrailer(rest.substr(at), line_no);
      op.data.assign(data->begin(), data->end());
      op.data.push_back(0);
    } else if (code_page::StartsWithNoCase(rest, "dword:")) {
      const std::string_view digits = StripComment(rest.substr(6));
      const auto v = ParseHexNumber(digits);
      if (!v) throw ParseError{line_no, "bad dword \"" + std::string(digits) + "\""};
      op.type = platform::kRegDword;
      for (int i = 0; i < 4; ++i) op.data.push_back(static_cast<std::uint8_t>(*v >> (8 * i)));
    } else if (code_page::StartsWithNoCase(rest, "hex")) {
      std::string_view after = rest.substr(3);
      op.type = platform::kRegBinary;
      if (!after.empty() && after.front() == '(') {
        const std::size_t close = after.find(')');
        const auto type = close == std::string_view::npos ? std::nullopt : ParseHexNumber(after.substr(1, close - 1));
        if (!type) throw ParseError{line_no, "bad hex(type)"};
        op.type = *type;
        after = after.substr(close + 1);
      }
      if (after.empty() || after.front() != ':') throw ParseError{line_no, "expected : after hex"};
      const auto bytes = ParseHexBytes(StripComment(after.substr(1)), error);
      if (!bytes) throw ParseError{line_no, error};
      op.data = *bytes;
      if (unicode_ && (op.type == platform::kRegSz || op.type == platform::kRegExpandSz ||
                       op.type == platform::kRegMultiSz)) {
        std::string narrow;
        if (!code_page::FromUtf16Le(std::string_view(reinterpret_cast<const char*>(op.data.data()), op.data.size()), narrow)) {
          throw ParseError{line_no, "string data is not UTF-16 text that code page 1252 can hold"};
        }
        op.data.assign(narrow.begin(), narrow.end());
      }
    } else {
      throw ParseError{line_no, "unknown value data \"" + std::string(rest) + "\""};
    }
    emit_(std::move(op));
  }

  static std::string_view StripComment(std::string_view s) {
    const std::size_t semi = s.find(';');
    return Trim(semi == std::string_view::npos ? s : s.substr(0, semi));
  }

  static void CheckTrailer(std::string_view rest, std::size_t line_no) {
    rest = Trim(rest);
    if (!rest.empty() && rest.front() != ';') throw ParseError{line_no, "unexpected text after the value"};
  }

  std::string buffer_;  // of a piecewise text
  std::function<bool(std::string&)> more_;
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_number_;
  bool unicode_ = false;
  bool in_key_ = false;
  std::function<void(Op&&)> emit_;
};

void AppendQuoted(std::string& out, std::string_view s) {
  out += '"';
  for (const char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

bool WritableAsText(const RegistryValue& v) {
  if (v.type != platform::kRegSz || v.data.empty() || v.data.back() != 0) return false;
  for (std::size_t i = 0; i + 1 < v.data.size(); ++i) {
    const auto c = v.data[i];
    if (c == 0 || c == '\r' || c == '\n') return false;
  }
  return true;
}

void AppendHex(std::string& out, std::size_t column, const std::vector<std::uint8_t>& data, std::string_view eol) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (column + 3 > kHexLineLimit) {
      out.append("\\").append(eol).append("  ");
      column = 2;
    }
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0F];
    column += 2;
    if (i + 1 < data.size()) {
      out += ',';
      ++column;
    }
  }
}

// "line: reason" for UTF-16 text that does not convert: half a character
// at the end, a surrogate without its partner, or a character the code page
// lacks.
std::string Utf16Failure(std::string_view utf16) {
  std::size_t line = 1;
  std::string ignored;
  const auto unit = [&](std::size_t i) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(utf16[i]) |
                                      (static_cast<unsigned char>(utf16[i + 1]) << 8));
  };
  for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) {
    const std::uint16_t u = unit(i);
    if (u >= 0xD800 && u < 0xDC00) {
      if (i + 3 < utf16.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
        return std::to_string(line) + ": UTF-16 text holds a character that code page 1252 cannot hold";
      }
      return std::to_string(line) + ": invalid UTF-16: a high surrogate without its low surrogate";
    }
    if (u >= 0xDC00 && u < 0xE000) {
      return std::to_string(line) + ": invalid UTF-16: a low surrogate without its high surrogate";
    }
    if (!code_page::FromUtf16Le(utf16.substr(i, 2), ignored)) {
      return std::to_string(line) + ": UTF-16 text holds a character that code page 1252 cannot hold";
    }
    if (u == '\n') ++line;
  }
  return std::to_string(line) + ": invalid UTF-16: the file ends in half a character";
}

// Applies parsed operations to a store. Each section's key is looked up once
// and its values follow it; the parser has checked every path, so no step
// can fail halfway.
class Applier {
 public:
  explicit Applier(RegistryStore& store) : store_(store) {}
  void operator()(Op&& op) {
    if (auto* create = std::get_if<CreateKeyOp>(&op)) {
      key_ = store_.EnsureKey(create->key, trail_);
    } else if (auto* remove = std::get_if<DeleteKeyOp>(&op)) {
      store_.DeleteTree(remove->key);
      trail_.Reset();
      key_ = nullptr;
    } else if (auto* set = std::get_if<SetOp>(&op)) {
      store_.PutValue(*key_, set->name, set->type, std::move(set->data));
    } else if (auto* unset = std::get_if<DeleteValueOp>(&op)) {
      store_.RemoveValue(*key_, unset->name);
    }
  }

 private:
  RegistryStore& store_;
  RegistryStore::Node* key_ = nullptr;
  RegistryStore::KeyTrail trail_;
};

}  // namespace

void ImportRegText(RegistryStore& store, std::string_view text, const std::string& source_name) {
  std::string converted;
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE) {
    if (!code_page::FromUtf16Le(text.substr(2), converted)) {
      throw MachineError(source_name + ":" + Utf16Failure(text.substr(2)));
    }
    text = converted;
  } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
    throw MachineError(source_name + ":1: UTF-8 registry files are not supported; save as ANSI or UTF-16");
  }
  const auto fail = [&source_name](const ParseError& error) {
    return MachineError(source_name + ":" + std::to_string(error.line) + ": " + error.message);
  };
  if (store.Pristine()) {
    // Nothing in the store to keep: read straight into a fresh one and take
    // its trees when the whole text has been read, with no list of
    // operations held in between.
    RegistryStore fresh;
    Applier apply(fresh);
    try {
      Parser(text, 0, [&apply](Op&& op) { apply(std::move(op)); }).Parse();
    } catch (const ParseError& error) {
      throw fail(error);
    }
    store.TakeTrees(fresh);
    return;
  }
  std::vector<Op> ops;
  try {
    Parser(text, 0, [&ops](Op&& op) { ops.push_back(std::move(op)); }).Parse();
  } catch (const ParseError& error) {
    throw fail(error);
  }
  Applier apply(store);
  for (Op& op : ops) apply(std::move(op));
  store.Touch();
}

void ImportRegText(RegistryStore& store, const std::function<bool(std::string&)>& more,
                   const std::string& source_name) {
  std::string start;
  bool open = true;
  while (open && start.size() < 3) open = more(start);
  const std::string_view head(start);
  const bool marked = head.starts_with("\xFF\xFE") || head.starts_with("\xEF\xBB\xBF");
  if (marked || !store.Pristine()) {
    // A UTF-16 text is converted whole, and operations on a store that holds
    // something are applied only once all of them have been read.
    while (open) open = more(start);
    ImportRegText(store, start, source_name);
    return;
  }
  RegistryStore fresh;
  Applier apply(fresh);
  try {
    Parser(std::move(start), open ? more : std::function<bool(std::string&)>(),
           [&apply](Op&& op) { apply(std::move(op)); })
        .Parse();
  } catch (const ParseError& error) {
    throw MachineError(source_name + ":" + std::to_string(error.line) + ": " + error.message);
  }
  store.TakeTrees(fresh);
}

std::string RegValueText(const RegistryValue& value, std::string_view eol) {
  std::string out;
  if (value.name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, value.name);
  }
  out += '=';
  static constexpr char kDigits[] = "0123456789abcdef";
  if (WritableAsText(value)) {
    AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1));
  } else if (value.type == platform::kRegDword && value.data.size() == 4) {
    const std::uint32_t v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                            (static_cast<std::uint32_t>(value.data[3]) << 24);
    out += "dword:";
    for (int shift = 28; shift >= 0; shift -= 4) out += kDigits[(v >> shift) & 0x0F];
  } else {
    if (value.type == platform::kRegBinary) {
      out += "hex:";
    } else {
      std::string type;
      for (std::uint32_t t = value.type; t != 0; t >>= 4) type.insert(type.begin(), kDigits[t & 0x0F]);
      if (type.empty()) type = "0";
      out.append("hex(").append(type).append("):");
    }
    AppendHex(out, out.size(), value.data, eol);
  }
  return out;
}

std::string RegValueDeletionText(std::string_view name) {
  std::string out;
  if (name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, name);
  }
  return out + "=-";
}

namespace {

void AppendKey(std::string& out, const std::string& path, const std::vector<RegistryValue>& values) {
  out.append("[").append(path).append("]").append(kCrLf);
  for (const RegistryValue& value : values) out.append(RegValueText(value, kCrLf)).append(kCrLf);
  out.append(kCrLf);
}

}  // namespace

std::string ExportRegText(const std::vector<RegistryKey>& keys) {
  std::string out;
  out.append(kRegedit4).append(kCrLf).append(kCrLf);
  for (const RegistryKey& key : keys) AppendKey(out, key.path, key.values);
  return out;
}

std::string ExportRegText(const RegistryStore& store) {
  std::string out;
  ExportRegText(store, [&out](std::string_view piece) { out.append(piece); });
  return out;
}

void ExportRegText(const RegistryStore& store, const std::function<void(std::string_view)>& put) {
  // Large enough that a big store costs few writes; a small store's text
  // stays as small as it is.
  constexpr std::size_t kPiece = 64 << 10;
  std::string out;
  out.append(kRegedit4).append(kCrLf).append(kCrLf);
  store.ForEachKey([&](const std::string& path, const std::vector<RegistryValue>& values) {
    AppendKey(out, path, values);
    if (out.size() >= kPiece) {
      put(out);
      out.clear();
    }
  });
  put(out);
}

}  // namespace qvi::emu
