// Approvals written into a scenario file's own text: the values of its
// expectations are replaced, and every other byte stays as its author wrote
// it, so an accepted change reads in review as the change it is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "scenario/run.h"

namespace qvi::scenario {

// Where a value of a JSON text lies: its bytes [begin, end) and, for a member
// of an object, its name and its key's bytes [key_begin, key_end).
struct JsonSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool member = false;
  std::string name;
  std::size_t key_begin = 0;
  std::size_t key_end = 0;
  std::vector<JsonSpan> items;  // an object's members or an array's elements, in the text's order
};

// The spans of every value of `text`, as the JSON library's reader finds
// them. Throws nlohmann::json::parse_error for text that is not JSON.
JsonSpan LocateJson(std::string_view text);

// `text` rewritten to hold the document `now`. A value equal to what the
// text holds keeps its bytes; an object keeps its members' order, a new
// member goes last; an array keeps the elements before and after those that
// changed. What is written anew follows the text's line ending and
// indentation, on one line where the value it replaces was. Throws
// std::runtime_error when the result does not read back as `now` (nothing is
// then to be written) and when an object of `text` gives a key twice.
std::string SpliceJson(std::string_view text, const nlohmann::ordered_json& now);

// The line (from 1) on which `text` writes the field at `path`, as check.h
// names fields ("steps[1].expect.registry[3]"): a member's key, an element's
// first byte; where the text lacks the field (it comes from a base), the
// nearest field above it that the text has.
std::size_t LineOfField(std::string_view text, const std::string& path);

// What a run observed, as an approval states it: a run's "expect", or a life
// cycle's own "expect" (what its steps left behind) and each step's.
struct ObservedDocument {
  nlohmann::ordered_json expect;
  std::vector<nlohmann::ordered_json> steps;
};
ObservedDocument ObservedOf(const RunResult& run);
ObservedDocument ObservedOf(const LifeCycleResult& run);

// The scenario text with `observed` in place of its expectations
// (SpliceJson). Throws ScenarioError naming `source` when the document does
// not list the steps observed (a life cycle whose steps are its base's: those
// are approved in the base).
std::string ApprovedText(std::string_view text, const ObservedDocument& observed, const std::string& source);

}  // namespace qvi::scenario
