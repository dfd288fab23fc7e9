// Work done in child processes forked from this one (POSIX): each child
// starts from a copy-on-write image of this process, so what was read before
// the fork (a large registry seed) is read once for all of them, and a child
// costs only the pages it changes. Children send back bytes.
#pragma once

#ifndef _WIN32

#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qvi::scenario {

// A child's reply, as bytes: counts and length-prefixed strings.
class Packer {
 public:
  void Number(std::uint64_t n) { out_.append(reinterpret_cast<const char*>(&n), sizeof n); }
  void Text(std::string_view s) {
    Number(s.size());
    out_.append(s);
  }
  void Texts(const std::vector<std::string>& lines) {
    Number(lines.size());
    for (const std::string& line : lines) Text(line);
  }
  std::string& bytes() { return out_; }

 private:
  std::string out_;
};

class Unpacker {
 public:
  explicit Unpacker(std::string_view in) : in_(in) {}
  std::uint64_t Number() {
    std::uint64_t n = 0;
    if (in_.size() < sizeof n) throw std::runtime_error("a run's reply is cut short");
    std::memcpy(&n, in_.data(), sizeof n);
    in_.remove_prefix(sizeof n);
    return n;
  }
  std::string Text() {
    const std::uint64_t size = Number();
    if (in_.size() < size) throw std::runtime_error("a run's reply is cut short");
    std::string s(in_.substr(0, size));
    in_.remove_prefix(size);
    return s;
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> lines(Number());
    for (std::string& line : lines) line = Text();
    return lines;
  }
  bool done() const { return in_.empty(); }

 private:
  std::string_view in_;
};

// A child's reply that carries what it threw: `pack` writes the result, or
// the error it throws is sent in its place, marked with its kind so that the
// parent can tell bad input from an internal fault as the run in-process
// would have.
std::string PackedReply(const std::function<void(Packer&)>& pack);
// The error a PackedReply carries instead of a result, read past its mark;
// nothing when it carries a result, which `in` is then at.
std::optional<std::string> ThrownInReply(Unpacker& in);
// The same, thrown here as the kind of error the child threw.
void RethrowFromReply(Unpacker& in);

// How a child ended: its reply, or why there is none.
struct ChildEnd {
  bool replied = false;
  std::string reply;
  std::string failure;  // why there is no reply
};
// Runs `body(i)` for each i below `count`, `jobs` at a time, each in a
// child process forked from this one; a child's reply is what `body`
// returns. Each child ends with _exit: it neither flushes the parent's
// buffered output a second time nor takes apart the machine it inherited.
// A body that throws ends its child without a reply.
std::vector<ChildEnd> RunInChildren(std::size_t count, int jobs, const std::function<std::string(std::size_t)>& body);

// Backs this process's large anonymous mappings (the heap with the seed
// read into it) with huge pages, so that each fork copies a page table
// entry for 2 MB instead of one for each 4 KB: with a seed of 400,000
// keys, copying the page tables was most of a forked run's cost. A child's
// write still copies only the small page it touches. Best effort: a system
// without huge pages forks as before; other systems too.
void CollapseIntoHugePages();

}  // namespace qvi::scenario

#endif
