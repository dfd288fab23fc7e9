#include "scenario/approval.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "scenario/check.h"
#include "scenario/scenario.h"

namespace qvi::scenario {

namespace {

using ojson = nlohmann::ordered_json;

// Hands the JSON reader the text a byte at a time and counts them: when the
// reader reports a value, the count says where it stopped reading.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* at, std::size_t* read) : at_(at), read_(read) {}
  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    ++at_;
    ++*read_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator was = *this;
    ++*this;
    return was;
  }
  bool operator==(const CountingIterator& other) const { return at_ == other.at_; }
  bool operator!=(const CountingIterator& other) const { return at_ != other.at_; }

 private:
  const char* at_;
  std::size_t* read_;
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The spans, built from the reader's events. The reader reports a value
// once it has read its last byte, and reads nothing further first, but for
// a number, which it knows to be whole only at the byte after it.
class SpanBuilder {
 public:
  SpanBuilder(std::string_view text, const std::size_t* read) : text_(text), read_(read) {
    if (text_.starts_with("\xEF\xBB\xBF")) cursor_ = 3;
  }
  JsonSpan Take() { return std::move(root_); }

  bool null() { return Scalar(); }
  bool boolean(bool) { return Scalar(); }
  bool number_integer(nlohmann::json::number_integer_t) { return Number(); }
  bool number_unsigned(nlohmann::json::number_unsigned_t) { return Number(); }
  bool number_float(nlohmann::json::number_float_t, const std::string&) { return Number(); }
  bool string(std::string&) { return Scalar(); }
  bool binary(nlohmann::json::binary_t&) { return Scalar(); }
  bool start_object(std::size_t) { return Open(); }
  bool start_array(std::size_t) { return Open(); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool key(std::string& name) {
    key_begin_ = Next(cursor_);
    key_end_ = cursor_ = *read_;
    name_ = name;
    keyed_ = true;
    return true;
  }
  template <typename Error>
  bool parse_error(std::size_t, const std::string&, const Error& error) {
    throw error;
  }

 private:
  // The first byte of the token after `at`: past white space and the one
  // comma or colon that may stand before it.
  std::size_t Next(std::size_t at) const {
    while (at < text_.size() && IsSpace(text_[at])) ++at;
    if (at < text_.size() && (text_[at] == ',' || text_[at] == ':')) ++at;
    while (at < text_.size() && IsSpace(text_[at])) ++at;
    return at;
  }
  JsonSpan& Add() {
    JsonSpan span;
    span.begin = Next(cursor_);
    if (keyed_) {
      span.member = true;
      span.name = std::move(name_);
      span.key_begin = key_begin_;
      span.key_end = key_end_;
      keyed_ = false;
    }
    if (open_.empty()) {
      root_ = std::move(span);
      return root_;
    }
    return open_.back()->items.emplace_back(std::move(span));
  }
  bool Scalar() {
    JsonSpan& span = Add();
    span.end = cursor_ = *read_;
    return true;
  }
  bool Number() {
    JsonSpan& span = Add();
    std::size_t end = span.begin;
    while (end < text_.size() && std::strchr("0123456789+-.eE", text_[end]) != nullptr && text_[end] != '\0') ++end;
    span.end = cursor_ = end;
    return true;
  }
  bool Open() {
    // The open spans' parents take no new element while they are open, so
    // the pointers stay good.
    open_.push_back(&Add());
    cursor_ = *read_;
    return true;
  }
  bool Close() {
    open_.back()->end = cursor_ = *read_;
    open_.pop_back();
    return true;
  }

  std::string_view text_;
  const std::size_t* read_;
  std::size_t cursor_ = 0;  // the end of the last token reported
  JsonSpan root_;
  std::vector<JsonSpan*> open_;
  bool keyed_ = false;
  std::string name_;
  std::size_t key_begin_ = 0;
  std::size_t key_end_ = 0;
};

constexpr std::size_t kWidth = 120;  // the longest line written on one

struct Style {
  std::string unit = "  ";  // one level of indentation
  std::string eol = "\n";
};

// The text's own habits: its line ending, and the white space that begins
// its first indented line.
Style StyleOf(std::string_view text) {
  Style style;
  if (text.find("\r\n") != std::string_view::npos) style.eol = "\r\n";
  for (std::size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) {
    std::size_t end = at + 1;
    while (end < text.size() && (text[end] == ' ' || text[end] == '\t')) ++end;
    if (end > at + 1 && end < text.size() && !IsSpace(text[end])) {
      style.unit = std::string(text.substr(at + 1, end - at - 1));
      break;
    }
  }
  return style;
}

std::string Compact(const ojson& value) {
  if (!value.is_structured() || value.empty()) return value.dump();
  std::string out = value.is_object() ? "{" : "[";
  for (auto it = value.begin(); it != value.end(); ++it) {
    if (it != value.begin()) out += ", ";
    if (value.is_object()) out += ojson(it.key()).dump() + ": ";
    out += Compact(it.value());
  }
  return out + (value.is_object() ? "}" : "]");
}

std::string Pretty(const ojson& value, const std::string& indent, const Style& style) {
  if (!value.is_structured() || value.empty()) return value.dump();
  const std::string inner = indent + style.unit;
  std::string out = value.is_object() ? "{" : "[";
  for (auto it = value.begin(); it != value.end(); ++it) {
    out += (it == value.begin() ? "" : ",") + style.eol + inner;
    if (value.is_object()) out += ojson(it.key()).dump() + ": ";
    out += Pretty(it.value(), inner, style);
  }
  return out + style.eol + indent + (value.is_object() ? "}" : "]");
}

// The edits that turn the text into the new document, each inside the span
// of a value that changed, applied together at the end.
class Splicer {
 public:
  explicit Splicer(std::string_view text) : text_(text), style_(StyleOf(text)) {}

  void Rewrite(const ojson& was, const ojson& now, const JsonSpan& span) {
    if (was == now) return;
    if (was.is_object() && now.is_object()) return RewriteObject(was, now, span);
    if (was.is_array() && now.is_array()) return RewriteArray(was, now, span);
    Replace(span.begin, span.end, now);
  }

  std::string Result() && {
    std::sort(edits_.begin(), edits_.end(), [](const Edit& a, const Edit& b) { return a.begin > b.begin; });
    std::string out(text_);
    for (const Edit& edit : edits_) out.replace(edit.begin, edit.end - edit.begin, edit.text);
    return out;
  }

 private:
  struct Edit {
    std::size_t begin;
    std::size_t end;
    std::string text;
  };

  std::size_t LineStart(std::size_t at) const {
    const std::size_t newline = text_.rfind('\n', at == 0 ? 0 : at - 1);
    return at == 0 || newline == std::string_view::npos ? 0 : newline + 1;
  }
  // The white space that begins the line `at` is on.
  std::string IndentAt(std::size_t at) const {
    std::size_t end = LineStart(at);
    while (end < at && (text_[end] == ' ' || text_[end] == '\t')) ++end;
    return std::string(text_.substr(LineStart(at), end - LineStart(at)));
  }
  bool OneLine(std::size_t begin, std::size_t end) const {
    return text_.substr(begin, end - begin).find('\n') == std::string_view::npos;
  }
  // `value` to stand at `at`: on one line where the text was on one line
  // there and the line stays short enough, else over lines as indented there.
  std::string Format(const ojson& value, std::size_t at, bool one_line, std::size_t old_size) const {
    const std::string compact = Compact(value);
    if (one_line && (at - LineStart(at) + compact.size() <= kWidth || compact.size() <= old_size)) return compact;
    return Pretty(value, IndentAt(at), style_);
  }
  void Replace(std::size_t begin, std::size_t end, const ojson& now) {
    edits_.push_back({begin, end, Format(now, begin, OneLine(begin, end), end - begin)});
  }
  std::string Text(std::size_t begin, std::size_t end) const { return std::string(text_.substr(begin, end - begin)); }

  void RewriteObject(const ojson& was, const ojson& now, const JsonSpan& span) {
    if (span.items.size() != was.size()) throw std::runtime_error("an object gives a key twice");
    // A member taken away, or the first one added: the object is written anew.
    bool shrinks = span.items.empty();
    for (auto it = was.begin(); it != was.end(); ++it) shrinks = shrinks || !now.contains(it.key());
    if (shrinks) return Replace(span.begin, span.end, now);
    for (const JsonSpan& item : span.items) Rewrite(was.at(item.name), now.at(item.name), item);
    const std::size_t n = span.items.size();
    const JsonSpan& last = span.items.back();
    const bool one_line = OneLine(span.begin, last.key_begin);
    const std::string separator = n >= 2             ? Text(span.items[n - 2].end, last.key_begin)
                                  : one_line         ? std::string(", ")
                                                     : "," + style_.eol + IndentAt(last.key_begin);
    const std::string colon = Text(last.key_end, last.begin);
    std::string added;
    for (auto it = now.begin(); it != now.end(); ++it) {
      if (was.contains(it.key())) continue;
      added += separator + ojson(it.key()).dump() + colon + Format(it.value(), last.key_begin, one_line, 0);
    }
    if (!added.empty()) edits_.push_back({last.end, last.end, added});
  }

  void RewriteArray(const ojson& was, const ojson& now, const JsonSpan& span) {
    const std::size_t n = was.size();
    const std::size_t m = now.size();
    std::size_t head = 0;
    while (head < n && head < m && was[head] == now[head]) ++head;
    std::size_t tail = 0;
    while (tail < n - head && tail < m - head && was[n - 1 - tail] == now[m - 1 - tail]) ++tail;
    if (n == m) {
      for (std::size_t i = head; i < n - tail; ++i) Rewrite(was[i], now[i], span.items[i]);
      return;
    }
    if (n < 2 || m == 0) return Replace(span.begin, span.end, now);
    const std::vector<JsonSpan>& items = span.items;
    const std::string separator = Text(items[0].end, items[1].begin);
    const bool one_line = separator.find('\n') == std::string::npos;
    std::string middle;
    for (std::size_t i = head; i < m - tail; ++i) {
      middle += (i > head ? separator : "") +
                (one_line ? Compact(now[i]) : Pretty(now[i], IndentAt(items[1].begin), style_));
    }
    const std::size_t old_middle = n - tail > head ? items[n - tail - 1].end - items[head].begin : 0;
    if (one_line && m > n && span.end - LineStart(span.begin) + middle.size() - old_middle > kWidth) {
      return Replace(span.begin, span.end, now);
    }
    if (n - tail > head && m - tail > head) {
      edits_.push_back({items[head].begin, items[n - tail - 1].end, middle});
    } else if (n - tail > head && head > 0) {
      edits_.push_back({items[head - 1].end, items[n - tail - 1].end, ""});
    } else if (n - tail > head) {
      edits_.push_back({items[0].begin, items[n - tail].begin, ""});
    } else if (head > 0) {
      edits_.push_back({items[head - 1].end, items[head - 1].end, separator + middle});
    } else {
      edits_.push_back({items[0].begin, items[0].begin, middle + separator});
    }
  }

  std::string_view text_;
  Style style_;
  std::vector<Edit> edits_;
};

}  // namespace

JsonSpan LocateJson(std::string_view text) {
  std::size_t read = 0;
  SpanBuilder builder(text, &read);
  nlohmann::json::sax_parse(CountingIterator(text.data(), &read), CountingIterator(text.data() + text.size(), &read),
                            &builder);
  return builder.Take();
}

std::string SpliceJson(std::string_view text, const ojson& now) {
  Splicer splicer(text);
  splicer.Rewrite(ojson::parse(text), now, LocateJson(text));
  std::string out = std::move(splicer).Result();
  if (nlohmann::json::parse(out) != nlohmann::json::parse(now.dump())) {
    throw std::runtime_error("the rewritten text does not read back as the document meant");
  }
  return out;
}

std::size_t LineOfField(std::string_view text, const std::string& path) {
  const JsonSpan root = LocateJson(text);
  const JsonSpan* at = &root;
  std::size_t offset = root.begin;
  for (std::size_t i = 0; i < path.size();) {
    const JsonSpan* next = nullptr;
    if (path[i] == '[') {
      const std::size_t close = path.find(']', i);
      if (close == std::string::npos) break;
      const std::size_t index = std::strtoull(path.c_str() + i + 1, nullptr, 10);
      if (index < at->items.size() && !at->items[index].member) next = &at->items[index];
      i = close + 1;
    } else {
      if (path[i] == '.') ++i;
      const std::size_t end = std::min(path.find_first_of(".[", i), path.size());
      const std::string name = path.substr(i, end - i);
      for (const JsonSpan& item : at->items) {
        if (item.member && item.name == name) next = &item;
      }
      i = end;
    }
    if (next == nullptr) break;
    at = next;
    offset = at->member ? at->key_begin : at->begin;
  }
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

ObservedDocument ObservedOf(const RunResult& run) { return {ObservedExpectations(run), {}}; }

ObservedDocument ObservedOf(const LifeCycleResult& run) {
  Expectations own;
  own.left_behind = ObservedLeftBehind(run);
  ObservedDocument observed{own, {}};
  for (const RunResult& step : run.steps) observed.steps.push_back(ObservedExpectations(step));
  return observed;
}

std::string ApprovedText(std::string_view text, const ObservedDocument& observed, const std::string& source) {
  ojson document = ojson::parse(text);
  document["expect"] = observed.expect;
  if (!observed.steps.empty()) {
    const auto steps = document.find("steps");
    if (steps == document.end() || !steps->is_array() || steps->size() != observed.steps.size()) {
      throw ScenarioError(source + ": its steps are its base's; approve them in the base");
    }
    for (std::size_t i = 0; i < observed.steps.size(); ++i) (*steps)[i]["expect"] = observed.steps[i];
  }
  return SpliceJson(text, document);
}

}  // namespace qvi::scenario
