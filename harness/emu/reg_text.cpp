#include "emu/reg_text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <utility>
#include <variant>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The value of each byte as a hex digit, -1 for a byte that is none.
const std::array<std::int8_t, 256>& HexDigits() {
  static const std::array<std::int8_t, 256> digits = [] {
    std::array<std::int8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
      t[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c >= '0' && c <= '9'   ? c - '0'
                                                                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                                       : -1);
    }
    return t;
  }();
  return digits;
}

std::optional<std::uint32_t> ParseHexNumber(std::string_view s) {
  if (s.empty() || s.size() > 8) return std::nullopt;
  const auto& digits = HexDigits();
  std::uint32_t v = 0;
  for (const char c : s) {
    const int d = digits[static_cast<unsigned char>(c)];
    if (d < 0) return std::nullopt;
    v = (v << 4) | static_cast<std::uint32_t>(d);
  }
  return v;
}

// regedit writes "dword:" and "hex" in lower case: any other spelling is
// the rare one that needs a comparison letter by letter.
bool StartsWithKeyword(std::string_view s, std::string_view keyword) {
  return s.starts_with(keyword) || code_page::StartsWithNoCase(s, keyword);
}

// A key path from a section header: a known root and non-empty names.
bool CheckKeyPath(std::string_view path, std::string& error) {
  std::size_t from = 0;
  std::size_t index = 0;
  // HKEY_CLASSES_ROOT lies two levels down HKEY_LOCAL_MACHINE.
  const std::size_t above = code_page::EqualsNoCase(path.substr(0, path.find('\\')), "HKEY_CLASSES_ROOT") ? 2 : 0;
  while (true) {
    const std::size_t slash = path.find('\\', from);
    const std::string_view name = path.substr(from, slash == std::string_view::npos ? path.npos : slash - from);
    if (index == 0) {
      if (!emu::RootKeyByName(name)) {
        error = "unsupported root key \"" + std::string(name) + "\"";
        return false;
      }
    } else if (name.empty()) {
      error = "empty key name in \"" + std::string(path) + "\"";
      return false;
    } else if (name.size() > RegistryStore::kMaxKeyNameLength) {
      error = "key name longer than 255 characters";
      return false;
    }
    ++index;
    if (slash == std::string_view::npos) break;
    from = slash + 1;
    if (index + above > RegistryStore::kMaxDepth) {
      error = "key more than " + std::to_string(RegistryStore::kMaxDepth) + " levels deep";
      return false;
    }
  }
  return true;
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

// Where parsed operations go: straight into a store, or into a list that is
// applied once the whole text has parsed.
struct OpList {
  std::vector<Op> ops;
  void CreateKey(std::string_view key) { ops.emplace_back(CreateKeyOp{std::string(key)}); }
  void DeleteKey(std::string_view key) { ops.emplace_back(DeleteKeyOp{std::string(key)}); }
  void Set(std::string_view name, std::uint32_t type, std::vector<std::uint8_t>&& data) {
    ops.emplace_back(SetOp{std::string(name), type, std::move(data)});
  }
  void DeleteValue(std::string_view name) { ops.emplace_back(DeleteValueOp{std::string(name)}); }
};

// Applies parsed operations to a store. Each section's key is looked up once
// and its values follow it; the parser has checked every path, so no step
// can fail halfway.
class Applier {
 public:
  explicit Applier(RegistryStore& store) : store_(store) {}
  void CreateKey(std::string_view key) { key_ = store_.EnsureKey(key, trail_); }
  void DeleteKey(std::string_view key) {
    store_.DeleteTree(key);
    trail_.Reset();
    key_ = nullptr;
  }
  void Set(std::string_view name, std::uint32_t type, std::vector<std::uint8_t>&& data) {
    store_.PutValue(*key_, name, type, std::move(data));
  }
  void DeleteValue(std::string_view name) { store_.RemoveValue(*key_, name); }
  void Apply(Op&& op) {
    if (auto* create = std::get_if<CreateKeyOp>(&op)) {
      CreateKey(create->key);
    } else if (auto* remove = std::get_if<DeleteKeyOp>(&op)) {
      DeleteKey(remove->key);
    } else if (auto* set = std::get_if<SetOp>(&op)) {
      Set(set->name, set->type, std::move(set->data));
    } else if (auto* unset = std::get_if<DeleteValueOp>(&op)) {
      DeleteValue(unset->name);
    }
  }

 private:
  RegistryStore& store_;
  RegistryStore::Node* key_ = nullptr;
  RegistryStore::KeyTrail trail_;
};

std::uint16_t Utf16Unit(std::string_view utf16, std::size_t i) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(utf16[i]) |
                                    (static_cast<unsigned char>(utf16[i + 1]) << 8));
}

// Why the UTF-16 unit at `utf16[i]` does not convert: a surrogate without
// its partner, or a character the code page lacks.
std::string Utf16Failure(std::string_view utf16, std::size_t i) {
  const std::uint16_t u = Utf16Unit(utf16, i);
  if (u >= 0xD800 && u < 0xDC00) {
    if (i + 3 < utf16.size() && Utf16Unit(utf16, i + 2) >= 0xDC00 && Utf16Unit(utf16, i + 2) < 0xE000) {
      return "UTF-16 text holds a character that code page 1252 cannot hold";
    }
    return "invalid UTF-16: a high surrogate without its low surrogate";
  }
  if (u >= 0xDC00 && u < 0xE000) return "invalid UTF-16: a low surrogate without its high surrogate";
  return "UTF-16 text holds a character that code page 1252 cannot hold";
}

// Turns UTF-16LE read a piece at a time into code page text a piece at a
// time, so that neither the file nor its conversion is ever held whole. A
// unit that does not convert is an error on the line it stands on.
class Utf16Source {
 public:
  // `raw` appends the next piece of the text after its byte-order mark.
  Utf16Source(std::string start, std::function<bool(std::string&)> raw)
      : pending_(std::move(start)), raw_(std::move(raw)) {}

  bool operator()(std::string& out) {
    if (failed_) throw *failed_;
    // Read at least one whole unit, unless the text ends first.
    while (raw_ && pending_.size() < 4) {
      if (!raw_(pending_)) raw_ = nullptr;
    }
    const bool open = static_cast<bool>(raw_);
    std::size_t units = pending_.size() & ~std::size_t{1};
    // A high surrogate last in the piece waits for its partner.
    if (open && units >= 2) {
      const std::uint16_t last = Utf16Unit(pending_, units - 2);
      if (last >= 0xD800 && last < 0xDC00) units -= 2;
    }
    const std::string_view text(pending_);
    const std::size_t had = out.size();
    out.resize(had + units / 2);
    char* const to = out.data() + had;
    // A block at a time: a character beyond ASCII costs the slow way only
    // for the block it stands in.
    std::string wide;
    std::size_t line_ends = 0;
    for (std::size_t block = 0; block < units; block += kBlock) {
      const std::size_t end = std::min(units, block + kBlock);
      if (ConvertAscii(text.data() + block, end - block, to + block / 2, line_ends)) continue;
      for (std::size_t i = block; i < end; i += 2) {
        const std::uint16_t u = Utf16Unit(text, i);
        if (u < 0x80) {
          to[i / 2] = static_cast<char>(u);
        } else if (code_page::FromUtf16Le(text.substr(i, 2), wide)) {
          to[i / 2] = wide[0];
        } else {
          // The text before it goes first: an error the parser finds there
          // is the one reported, wherever the pieces happen to break.
          ParseError error{lines_ + 1 + static_cast<std::size_t>(std::count(to, to + i / 2, '\n')),
                           Utf16Failure(text, i)};
          if (i == 0) throw error;
          failed_ = std::move(error);
          out.resize(had + i / 2);
          pending_.clear();
          return true;
        }
      }
      line_ends += static_cast<std::size_t>(std::count(to + block / 2, to + end / 2, '\n'));
    }
    lines_ += line_ends;
    pending_.erase(0, units);
    return FinishPiece(open, units > 0);
  }

 private:
  static constexpr std::size_t kBlock = 256;

  // Nearly every export is ASCII: a block that is converts without a
  // branch a character, and its line ends are counted on the way (false,
  // `to` to be overwritten and nothing counted, if it is not).
  static bool ConvertAscii(const char* from, std::size_t bytes, char* to, std::size_t& line_ends) {
    std::size_t i = 0;
    std::size_t ends = 0;
    bool beyond = false;
#if defined(__SSE2__)
    // Sixteen units a step: packed to bytes (a unit past 0xFF saturates,
    // and is caught by the mask), their bits past ASCII gathered.
    __m128i high = _mm_setzero_si128();
    const __m128i past_ascii = _mm_set1_epi16(static_cast<short>(0xFF80));
    // Line ends are counted a byte lane each: a lane counts at most one a
    // step, and a block is far fewer than 256 steps.
    static_assert(kBlock / 32 < 256);
    const __m128i line_end = _mm_set1_epi8('\n');
    __m128i lanes = _mm_setzero_si128();
    for (; i + 32 <= bytes; i += 32) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i + 16));
      high = _mm_or_si128(high, _mm_and_si128(_mm_or_si128(a, b), past_ascii));
      const __m128i packed = _mm_packus_epi16(a, b);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i / 2), packed);
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(packed, line_end));
    }
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    ends = static_cast<std::size_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
    beyond = _mm_movemask_epi8(_mm_cmpeq_epi8(high, _mm_setzero_si128())) != 0xFFFF;
#endif
    unsigned rest = 0;
    for (; i < bytes; i += 2) {
      const auto low = static_cast<unsigned char>(from[i]);
      rest |= static_cast<unsigned char>(from[i + 1]) | (low & 0x80u);
      ends += low == '\n';
      to[i / 2] = static_cast<char>(low);
    }
    if (beyond || rest != 0) return false;
    line_ends += ends;
    return true;
  }

  // `converted`: whether this piece gave the parser any text.
  bool FinishPiece(bool open, bool converted) {
    if (!open && !pending_.empty()) {
      // Told only once the text before it is read: an error the parser
      // finds there comes first in the file.
      ParseError error{lines_ + 1, "invalid UTF-16: the file ends in half a character"};
      if (!converted) throw error;
      failed_ = std::move(error);
      pending_.clear();
      return true;
    }
    if (!raw_) pending_.shrink_to_fit();
    return open;
  }

 public:

 private:
  std::string pending_;  // read and not yet converted
  std::function<bool(std::string&)> raw_;
  std::size_t lines_ = 0;  // line ends converted so far
  std::optional<ParseError> failed_;
};

// Reads a quoted string at s[pos] == '"', with the escapes \\ and \", without
// a copy when it holds no escape. Paths hold one at every backslash: their
// text is copied a character at a time into room made once (it only
// shrinks), going on from the first escape rather than reading it again.
std::optional<std::string_view> ReadQuotedView(std::string_view s, std::size_t& pos, std::string& scratch,
                                               std::string& error) {
  const std::size_t n = s.size();
  std::size_t at = pos + 1;
  while (at < n && s[at] != '"' && s[at] != '\\') ++at;
  if (at < n && s[at] == '"') {
    const std::string_view inner = s.substr(pos + 1, at - pos - 1);
    pos = at + 1;
    return inner;
  }
  scratch.resize(n - pos);
  char* const begin = scratch.data();
  char* out = std::copy(s.data() + pos + 1, s.data() + at, begin);
  for (; at < n; ++at) {
    char c = s[at];
    if (c == '"') {
      pos = at + 1;
      return std::string_view(begin, static_cast<std::size_t>(out - begin));
    }
    if (c == '\\') {
      if (at + 1 >= n || (s[at + 1] != '\\' && s[at + 1] != '"')) {
        error = "unknown escape in quoted text (only \\\\ and \\\" are allowed)";
        return std::nullopt;
      }
      c = s[++at];
    }
    *out++ = c;
  }
  error = "quoted text has no closing quote";
  return std::nullopt;
}

// Steps over a quoted string at s[pos] == '"'; false for one that the
// reader above refuses.
bool SkipQuoted(std::string_view s, std::size_t& pos) {
  std::string scratch;
  std::string error;
  return ReadQuotedView(s, pos, scratch, error).has_value();
}

// Comma-separated hex bytes; on anything unusual the careful reader above
// decides, so that its messages stay the only ones.
std::optional<std::vector<std::uint8_t>> ParseHexBytesFast(std::string_view s, std::string& error) {
  // Each byte as regedit writes it, "xx," with no blank; the rest, and any
  // doubt, goes to the careful reader.
  const auto& digit = HexDigits();
  const std::size_t n = s.size();
  std::vector<std::uint8_t> out((n + 1) / 3);
  std::size_t count = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t i = 0;
  for (; i + 3 <= n && count < out.size(); i += 3) {
    const int hi = digit[p[i]];
    const int lo = digit[p[i + 1]];
    if ((hi | lo) < 0 || p[i + 2] != ',') break;
    out[count++] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  // The last byte, without its comma.
  if (i + 2 == n && count < out.size() && (digit[p[i]] | digit[p[i + 1]]) >= 0) {
    out[count++] = static_cast<std::uint8_t>(digit[p[i]] << 4 | digit[p[i + 1]]);
    i = n;
  }
  if (i != n || count != out.size()) return ParseHexBytes(s, error);
  return out;
}

template <typename Sink>
class Parser {
 public:
  // Each operation goes to `sink` as soon as its line is read.
  Parser(std::string_view text, Sink& sink) : text_(text), sink_(sink) {}
  // Reads the text a piece at a time, holding little more than one piece:
  // `start` is its beginning, and `more` appends the next piece to the string
  // it is given, returning false once there is none.
  Parser(std::string start, std::function<bool(std::string&)> more, Sink& sink)
      : buffer_(std::move(start)), more_(std::move(more)), sink_(sink) {
    text_ = buffer_;
  }

  void Parse() {
    std::string_view line;
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
  }

 private:
  // Joins "\"-continued lines; reports the number of the first physical
  // line. The line stays valid until the next call.
  bool NextLogical(std::string_view& out, std::size_t& first) {
    if (pos_ >= text_.size() && !Refill()) return false;
    bool continuing = false;
    joined_.clear();
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
        joined_.append(trimmed.substr(0, trimmed.size() - 1));
        continuing = true;
        continue;
      }
      if (!continuing) {
        out = physical;
        return true;
      }
      joined_.append(trimmed);
      out = joined_;
      return true;
    }
    out = joined_;
    return true;
  }

  // Where the line at pos_ ends (its CR or LF, or the end of the text),
  // reading more of a piecewise text until the whole line end is in view: a
  // CR last in the buffer may be the first half of a CR LF.
  std::size_t LineEnd() {
    std::size_t from = pos_;
    while (true) {
      const std::size_t end = FindLineBreak(from);
      const bool complete = end != std::string_view::npos && (text_[end] == '\n' || end + 1 < text_.size());
      if (complete || !more_) return end == std::string_view::npos ? text_.size() : end;
      // Compaction moves the line to the front of the buffer.
      const std::size_t scanned = (end == std::string_view::npos ? text_.size() : end) - pos_;
      Refill();
      from = pos_ + scanned;
    }
  }

  // The first CR or LF from `from`. Most lines are a few dozen characters:
  // one pass sixteen bytes a step, where two memchr calls (one for each
  // character) would cost more in their setting out than in their scans.
  std::size_t FindLineBreak(std::size_t from) const {
    const char* const data = text_.data();
    const std::size_t size = text_.size();
    std::size_t at = from;
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    for (; at + 16 <= size; at += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
      const auto hits = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, cr))));
      if (hits != 0) return at + static_cast<std::size_t>(std::countr_zero(hits));
    }
#endif
    for (; at < size; ++at) {
      if (data[at] == '\n' || data[at] == '\r') return at;
    }
    return std::string_view::npos;
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
      if (!SkipQuoted(t, pos)) return false;
    } else if (t.front() == '@') {
      pos = 1;
    } else {
      return false;
    }
    const std::string_view rest = Trim(t.substr(pos));
    if (rest.empty() || rest.front() != '=') return false;
    const std::string_view data = Trim(rest.substr(1));
    return StartsWithKeyword(data, "hex");
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
    if (!CheckKeyPath(inner, error)) throw ParseError{line_no, error};
    if (remove) {
      if (inner.find('\\') == std::string_view::npos) throw ParseError{line_no, "a root key cannot be deleted"};
      sink_.DeleteKey(inner);
      in_key_ = false;
    } else {
      sink_.CreateKey(inner);
      in_key_ = true;
    }
  }

  void Value(std::string_view t, std::size_t line_no) {
    if (!in_key_) throw ParseError{line_no, "value outside a key section"};
    std::string_view name;
    std::size_t pos = 0;
    std::string error;
    if (t.front() == '@') {
      pos = 1;
    } else if (t.front() == '"') {
      const auto quoted = ReadQuotedView(t, pos, name_scratch_, error);
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
      sink_.DeleteValue(name);
      return;
    }
    std::uint32_t type = platform::kRegSz;
    std::vector<std::uint8_t> data;
    if (!rest.empty() && rest.front() == '"') {
      std::size_t at = 0;
      const auto text = ReadQuotedView(rest, at, data_scratch_, error);
      if (!text) throw ParseError{line_no, error};
      CheckTrailer(rest.substr(at), line_no);
      data.resize(text->size() + 1);
      if (!text->empty()) std::memcpy(data.data(), text->data(), text->size());
    } else if (StartsWithKeyword(rest, "dword:")) {
      const std::string_view digits = StripComment(rest.substr(6));
      const auto v = ParseHexNumber(digits);
      if (!v) throw ParseError{line_no, "bad dword \"" + std::string(digits) + "\""};
      type = platform::kRegDword;
      data.resize(4);
      for (int i = 0; i < 4; ++i) data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(*v >> (8 * i));
    } else if (StartsWithKeyword(rest, "hex")) {
      std::string_view after = rest.substr(3);
      type = platform::kRegBinary;
      if (!after.empty() && after.front() == '(') {
        const std::size_t close = after.find(')');
        const auto parsed = close == std::string_view::npos ? std::nullopt : ParseHexNumber(after.substr(1, close - 1));
        if (!parsed) throw ParseError{line_no, "bad hex(type)"};
        type = *parsed;
        after = after.substr(close + 1);
      }
      if (after.empty() || after.front() != ':') throw ParseError{line_no, "expected : after hex"};
      auto bytes = ParseHexBytesFast(StripComment(after.substr(1)), error);
      if (!bytes) throw ParseError{line_no, error};
      data = std::move(*bytes);
      if (unicode_ &&
          (type == platform::kRegSz || type == platform::kRegExpandSz || type == platform::kRegMultiSz)) {
        std::string narrow;
        if (!code_page::FromUtf16Le(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
                                    narrow)) {
          throw ParseError{line_no, "string data is not UTF-16 text that code page 1252 can hold"};
        }
        data.assign(narrow.begin(), narrow.end());
      }
    } else {
      throw ParseError{line_no, "unknown value data \"" + std::string(rest) + "\""};
    }
    sink_.Set(name, type, std::move(data));
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
  std::size_t line_number_ = 0;
  std::string joined_;  // a line and its continuations
  std::string name_scratch_;
  std::string data_scratch_;
  bool unicode_ = false;
  bool in_key_ = false;
  Sink& sink_;
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


// The text parsed into `sink`: UTF-16 (after its byte-order mark) turned
// into the code page a piece at a time as the parser reads on.
template <typename Sink>
void ParseText(std::string_view text, Sink& sink) {
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE) {
    std::string_view rest = text.substr(2);
    Utf16Source source({}, [&rest](std::string& out) {
      const std::size_t piece = std::min<std::size_t>(rest.size(), 1 << 16);
      out.append(rest.substr(0, piece));
      rest.remove_prefix(piece);
      return !rest.empty();
    });
    Parser<Sink>({}, [&source](std::string& out) { return source(out); }, sink).Parse();
    return;
  }
  Parser<Sink>(text, sink).Parse();
}

void RefuseUtf8(std::string_view head, const std::string& source_name) {
  if (head.starts_with("\xEF\xBB\xBF")) {
    throw MachineError(source_name + ":1: UTF-8 registry files are not supported; save as ANSI or UTF-16");
  }
}

MachineError Failure(const std::string& source_name, const ParseError& error) {
  return MachineError(source_name + ":" + std::to_string(error.line) + ": " + error.message);
}

}  // namespace

void ImportRegText(RegistryStore& store, std::string_view text, const std::string& source_name) {
  RefuseUtf8(text, source_name);
  try {
    if (store.Pristine()) {
      // Nothing in the store to keep: read straight into a fresh one and
      // take its trees when the whole text has been read, with no list of
      // operations held in between.
      RegistryStore fresh;
      Applier apply(fresh);
      ParseText(text, apply);
      store.TakeTrees(fresh);
      return;
    }
    OpList list;
    ParseText(text, list);
    Applier apply(store);
    for (Op& op : list.ops) apply.Apply(std::move(op));
    store.Touch();
  } catch (const ParseError& error) {
    throw Failure(source_name, error);
  }
}

void ImportRegText(RegistryStore& store, const std::function<bool(std::string&)>& more,
                   const std::string& source_name) {
  std::string start;
  bool open = true;
  while (open && start.size() < 3) open = more(start);
  RefuseUtf8(start, source_name);
  if (!store.Pristine()) {
    // Operations on a store that holds something are applied only once all
    // of them have been read.
    while (open) open = more(start);
    ImportRegText(store, start, source_name);
    return;
  }
  RegistryStore fresh;
  Applier apply(fresh);
  try {
    if (start.starts_with("\xFF\xFE")) {
      Utf16Source source(start.substr(2), open ? more : std::function<bool(std::string&)>());
      Parser<Applier>({}, [&source](std::string& out) { return source(out); }, apply).Parse();
    } else {
      Parser<Applier>(std::move(start), open ? more : std::function<bool(std::string&)>(), apply).Parse();
    }
  } catch (const ParseError& error) {
    throw Failure(source_name, error);
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
