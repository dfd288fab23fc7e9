// The INI document keeps its index in step with its bytes through any mix of
// edits: after each one it must answer as a document read afresh from the
// same bytes does.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "emu/ini_document.h"
#include "emu/machine.h"
#include "testing/temp_folder.h"

namespace qvi::emu {
namespace {

void ExpectSameAnswers(const IniDocument& edited, const std::vector<std::string>& sections,
                       const std::vector<std::string>& keys, const std::string& step) {
  ASSERT_TRUE(edited.IndexMatchesBytes()) << step;
  const IniDocument fresh(edited.bytes());
  ASSERT_EQ(edited.SectionNames(), fresh.SectionNames()) << step;
  for (const std::string& section : sections) {
    ASSERT_EQ(edited.KeyNames(section), fresh.KeyNames(section)) << step;
    for (const std::string& key : keys) {
      ASSERT_EQ(edited.RawValue(section, key), fresh.RawValue(section, key)) << step << " " << section << "/" << key;
      ASSERT_EQ(edited.LineOf(section, key), fresh.LineOf(section, key)) << step;
    }
  }
}

TEST(IniDocumentIndex, StaysInStepWithTheBytesThroughAnyEdits) {
  const std::vector<std::string> starts = {
      "",
      "[A]\r\nk1=v1\r\n\r\n; note\r\n[B]\r\nk2 = spaced \r\n",
      "top=none\n[a]\nK1=x\n[A]\nk1=duplicate section\n[c]\r\nk3=no line end",
      "[A]\rk1=cr only\r[B]\r",
      // Duplicate keys and sections: deleting the first shows the next.
      "[A]\r\nk1=first\r\nK1=second\r\nk2=x\r\nk1=third\r\n[b]\r\nk3=1\r\n[a]\r\nk1=other section\r\n",
      // A lone CR before a key and an LF line after it join when it goes.
      "[A]\rk1=1\n\nk2=2\r[B]\rk3=3\n\n",
  };
  // Names read back end at a NUL.
  const std::vector<std::string> sections = {"A", "b", "C", "D", std::string("E\0e", 3)};
  const std::vector<std::string> keys = {"k1", "K2", "k3", "k4", "=odd", ";c", "[x", "", std::string("k5\0x", 4)};
  const std::vector<std::string> values = {"v", "  padded  ", "", "  \x1A ", "\"quoted\"", "a=b", "x]", "longer value here"};
  std::mt19937 random(7);
  for (const std::string& start : starts) {
    IniDocument doc(start);
    for (int step = 0; step < 400; ++step) {
      const std::string& section = sections[random() % sections.size()];
      const std::string& key = keys[random() % keys.size()];
      const unsigned action = random() % 10;
      std::string what;
      if (action < 7) {
        const std::string& value = values[random() % values.size()];
        doc.Set(section, key, value);
        what = "set " + section + "/" + key + "=" + value;
      } else if (action < 9) {
        doc.DeleteKey(section, key);
        what = "delete " + section + "/" + key;
      } else {
        doc.DeleteSection(section);
        what = "delete [" + section + "]";
      }
      ExpectSameAnswers(doc, sections, keys, std::to_string(step) + ": " + what);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// A delete leaves exactly the bytes without the line or section, and the
// answers a fresh read of them gives.
TEST(IniDocumentDelete, LeavesTheBytesAndAnswersOfAFreshRead) {
  struct Case {
    const char* name;
    std::string start;
    const char* section;
    const char* key;  // null: the whole section
    std::string bytes;
    // Then `probe_key` of `probe_section` reads `value` on line `line`
    // (0: absent).
    const char* probe_section;
    const char* probe_key;
    std::optional<std::string_view> value;
    std::size_t line;
  };
  const Case cases[] = {
      {"the first of duplicate keys", "[s]\r\na=1\r\nb=x\r\nA=2\r\n", "S", "a", "[s]\r\nb=x\r\nA=2\r\n", "s", "a", "2",
       3},
      {"the first of duplicate sections", "[s]\r\na=1\r\n[t]\r\nb=2\r\n[S]\r\na=3\r\n", "s", nullptr,
       "[t]\r\nb=2\r\n[S]\r\na=3\r\n", "s", "a", "3", 4},
      {"a key between a lone CR and an empty LF line", "[s]\ra=1\n\nb=2\n", "s", "a", "[s]\r\nb=2\n", "s", "b", "2", 2},
      {"the last line, without a line end", "[s]\r\na=1\r\nb=2", "s", "b", "[s]\r\na=1\r\n", "s", "b", std::nullopt, 0},
      {"the last key of a section, which keeps its header", "[s]\r\na=1\r\n[t]\r\nc=3\r\n", "s", "a",
       "[s]\r\n[t]\r\nc=3\r\n", "t", "c", "3", 3},
      {"a middle section", "[s]\r\na=1\r\n\r\n;c\r\n[t]\r\nb=2\r\n[u]\r\nc=3\r\n", "t", nullptr,
       "[s]\r\na=1\r\n\r\n;c\r\n[u]\r\nc=3\r\n", "u", "c", "3", 6},
      {"a key before others of its section", "[s]\r\na=1\r\n b = 2 \r\n[t]\r\nc=3\r\n", "s", "a",
       "[s]\r\n b = 2 \r\n[t]\r\nc=3\r\n", "s", "b", "2", 2},
  };
  for (const Case& c : cases) {
    IniDocument doc(c.start);
    ASSERT_TRUE(c.key ? doc.DeleteKey(c.section, c.key) : doc.DeleteSection(c.section)) << c.name;
    EXPECT_EQ(doc.bytes(), c.bytes) << c.name;
    EXPECT_TRUE(doc.IndexMatchesBytes()) << c.name;
    EXPECT_EQ(doc.Value(c.probe_section, c.probe_key), c.value) << c.name;
    EXPECT_EQ(doc.LineOf(c.probe_section, c.probe_key), c.line) << c.name;
  }
}

// A line break cannot round-trip through a line-based file: a write holding
// one is refused and changes nothing, before or after a save.
TEST(ProfileLineBreaks, AreRefusedAndTouchNothing) {
  testing::TempFolder dir;
  auto machine = Machine::Open(dir.path() / "m");
  ASSERT_NE(machine->WritePrivateProfileStringA("S", "k", "before", "t.ini"), 0);
  machine->Save();
  const std::tuple<const char*, const char*, const char*> cases[] = {  // section, key, value
      {"S", "k", "two\nlines"}, {"S", "k", "cr\r"},     {"S", "new\nkey", "v"},
      {"S\r\n[T]", "k", "v"},   {"S", "k\r\nx", nullptr}, {"S\n", nullptr, nullptr},
  };
  for (const auto& [section, key, value] : cases) {
    EXPECT_EQ(machine->WritePrivateProfileStringA(section, key, value, "t.ini"), 0) << section << key;
    EXPECT_EQ(machine->GetLastError(), 87u);
  }
  char buffer[64];
  EXPECT_EQ(machine->GetPrivateProfileStringA("S", "k", "", buffer, sizeof buffer, "t.ini"), 6u);
  EXPECT_STREQ(buffer, "before");
  machine->Save();
  machine.reset();
  machine = Machine::Open(dir.path() / "m");
  EXPECT_EQ(machine->GetPrivateProfileStringA(nullptr, nullptr, "", buffer, sizeof buffer, "t.ini"), 2u);
  EXPECT_EQ(std::string(buffer, 3), std::string("S\0\0", 3));  // no section but S
}

}  // namespace
}  // namespace qvi::emu
