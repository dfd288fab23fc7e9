#include "emu/digest.h"

#include <algorithm>
#include <cstring>

namespace qvi::emu {

namespace {

// An odd constant with its bits spread over the whole word; the rotation
// carries what the multiplication gathered in the high bits back down, so
// that no bit of the input reaches only the top of the digest.
constexpr std::uint64_t kMultiplier = 0x9e3779b97f4a7c15ull;

std::uint64_t Round(std::uint64_t lane, std::uint64_t word) {
  const std::uint64_t mixed = (lane ^ word) * kMultiplier;
  return mixed << 29 | mixed >> 35;
}

// In the host's byte order: the value is never stored.
std::uint64_t WordAt(const unsigned char* from) {
  std::uint64_t word = 0;
  std::memcpy(&word, from, sizeof word);
  return word;
}

}  // namespace

void WordDigest::Steps(const unsigned char* from, std::size_t steps) {
  // In locals, so that the four chains stay in registers.
  std::uint64_t a = lanes_[0];
  std::uint64_t b = lanes_[1];
  std::uint64_t c = lanes_[2];
  std::uint64_t d = lanes_[3];
  for (; steps != 0; --steps, from += kStep) {
    a = Round(a, WordAt(from));
    b = Round(b, WordAt(from + 8));
    c = Round(c, WordAt(from + 16));
    d = Round(d, WordAt(from + 24));
  }
  lanes_[0] = a;
  lanes_[1] = b;
  lanes_[2] = c;
  lanes_[3] = d;
}

void WordDigest::Add(std::string_view bytes) {
  const auto* from = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t size = bytes.size();
  length_ += size;
  if (held_count_ != 0) {
    const std::size_t take = std::min(size, kStep - held_count_);
    std::memcpy(held_ + held_count_, from, take);
    held_count_ += take;
    from += take;
    size -= take;
    if (held_count_ < kStep) return;
    Steps(held_, 1);
    held_count_ = 0;
  }
  Steps(from, size / kStep);
  held_count_ = size % kStep;
  if (held_count_ != 0) std::memcpy(held_, from + size - held_count_, held_count_);
}

std::uint64_t WordDigest::Value() const {
  std::uint64_t d = kDigestStart;
  // The lanes in order, then the bytes of the last step, then the length
  // (which tells a short last step from one padded with zeros).
  for (const std::uint64_t lane : lanes_) d = Round(d, lane);
  unsigned char last[kStep] = {};
  std::memcpy(last, held_, held_count_);
  for (std::size_t at = 0; at < held_count_; at += 8) d = Round(d, WordAt(last + at));
  d = Round(d, length_);
  // A last mixing, so that every input bit reaches every output bit.
  d = (d ^ (d >> 33)) * 0xff51afd7ed558ccdull;
  return d ^ (d >> 33);
}

}  // namespace qvi::emu
