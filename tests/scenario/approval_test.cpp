#include "scenario/approval.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "testing/golden.h"

namespace qvi::scenario {
namespace {

using ojson = nlohmann::ordered_json;

// Approvals rewrite only what changed, in the file's own hand: a group equal
// to what was observed keeps its bytes (an escape, odd spacing), an array
// keeps the elements around a change, a new member goes last with the file's
// indentation and line ending, and nothing outside the expectations moves.
TEST(ApprovalTest, OnlyTheChangedValuesAreRewrittenInTheFilesOwnHand) {
  const struct {
    const char* name;
    bool crlf;  // the file's lines end in CR LF
    std::string text;
    const char* expect;  // observed: the document's, then each step's
    std::vector<const char*> steps;
    const char* approved;  // the file in golden/
  } cases[] = {
      {"CRLF, four spaces, braces and quotes in strings, UTF-8", true,
       "{\n"
       "    \"name\": \"tricky {\\\"x\\\": [1]}\",\n"
       "    \"expect\": {\n"
       "        \"log\": {\"match\": \"exactly\", \"lines\": [\"caf\\u00e9 {\", \"line \\\"two\\\"\"]},\n"
       "        \"host_calls\": {\"match\": \"exactly\", \"calls\": [\"a\", \"b\", \"c\"]},\n"
       "        \"events\": [\n"
       "            {\"event\": \"creation\", \"outcome\": \"completed\"},\n"
       "            {\"event\": \"qviSetup\",   \"outcome\": \"failed\", \"reason\": \"5: x\"}\n"
       "        ],\n"
       "        \"registry\": [{\"key\": \"K\", \"value\": \"v\", \"type\": \"REG_SZ\", \"size\": 2}],\n"
       "        \"message_boxes\": [ ]\n"
       "    },\n"
       "    \"description\": \"a \\\\ b ] } ,\"\n"
       "}\n",
       R"({"log": {"match": "exactly", "lines": ["café {", "line \"two\"", "€ three"]},
           "host_calls": {"match": "exactly", "calls": ["a", "c"]},
           "events": [{"event": "creation", "outcome": "completed"}, {"event": "qviSetup", "outcome": "completed"}],
           "registry": [{"key": "K", "value": "v", "type": "REG_SZ", "data": "6", "size": 2}],
           "message_boxes": [], "files": [{"folder": "C:\\", "match": "exactly"}]})",
       {},
       "approval-crlf.json"},
      {"a life cycle indented by tabs, without expectations", false,
       "{\n\t\"steps\": [\n\t\t{\"base\": \"install-nt\"},\n\t\t{\"base\": \"upgrade\", \"expect\": {\"message_boxes\": []}}\n"
       "\t]\n}",
       R"({"left_behind": {"registry": []}})",
       {R"({"message_boxes": []})", R"({"message_boxes": [], "events": []})"},
       "approval-tabs.json"},
      {"a long one-line list grown", false,
       "{\"events\": [], \"expect\": {\"log\": {\"match\": \"contains\", \"lines\": [\"a\", \"b\"]}}}",
       R"({"log": {"match": "exactly", "lines": ["a", "b", "a line long enough to break the line of its list",
                                                 "and another as long, to be written over lines of its own"]}})",
       {},
       "approval-long-list.json"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto ends = [&c](const std::string& text) {
      return c.crlf ? std::regex_replace(text, std::regex("\n"), "\r\n") : text;
    };
    ObservedDocument observed{ojson::parse(c.expect), {}};
    for (const char* step : c.steps) observed.steps.push_back(ojson::parse(step));
    const std::string approved = ApprovedText(ends(c.text), observed, "s.json");
    qvi::testing::ExpectApproved(std::filesystem::path(QVI_GOLDEN_DIR) / c.approved, approved);
    // Approved again, nothing changes.
    EXPECT_EQ(ApprovedText(approved, observed, "s.json"), approved);
  }
  // Steps that are a base's are approved there.
  EXPECT_THROW(ApprovedText(R"({"base": "cycle.json"})", {ojson::object(), {ojson::object()}}, "s.json"), ScenarioError);
}

// An annotation points at the line where the file writes the expectation:
// its group's key or its entry; one the file inherits, at the nearest field
// above it that the file writes.
TEST(ApprovalTest, AFieldIsFoundOnItsLine) {
  const std::string text =
      "{\n"
      "  \"steps\": [{\"base\": \"a\"},\n"
      "    {\"base\": \"b\",\n"
      "     \"expect\": {\"log\": {\"match\": \"exactly\", \"lines\": []},\n"
      "       \"registry\":\n"
      "         [{\"key\": \"K\", \"match\": \"exactly\"},\n"
      "         {\"key\": \"K\\\\[0]\", \"present\": true}]}}],\n"
      "  \"expect\": {\"left_behind\": {\"files\": [{\"folder\": \"C:\\\\\", \"match\": \"exactly\"}]}}\n"
      "}\n";
  const std::pair<const char*, std::size_t> cases[] = {
      {"steps[1].expect.log", 4},         {"steps[1].expect.registry", 5}, {"steps[1].expect.registry[1]", 7},
      {"steps[1].expect.registry[0]", 6}, {"steps[0].expect.events", 2},   {"expect.left_behind.files[0]", 8},
      {"expect.left_behind.registry[2]", 8}, {"steps[7].expect", 2},       {"base", 1},
  };
  for (const auto& [path, line] : cases) EXPECT_EQ(LineOfField(text, path), line) << path;
}

}  // namespace
}  // namespace qvi::scenario
