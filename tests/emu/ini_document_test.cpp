// The INI document keeps its index in step with its bytes through any mix of
// edits: after each one it must answer as a document read afresh from the
// same bytes does.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/emu/ini_document.h"
#include "platform/emu/machine.h"
#include "temp_folder.h"

namespace qvi::emu {
namespace {

void ExpectSameAnswers(const IniDocument& edited, const std::vector<std::string>& sections,
                       const std::vector<std::string>& keys, const std::string& step) {
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
  };
  const std::vector<std::string> sections = {"A", "b", "C", "D"};
  const std::vector<std::string> keys = {"k1", "K2", "k3", "k4", "=odd", ";c", "[x", ""};
  const std::vector<std::string> values = {"v", "  padded  ", "", "\"quoted\"", "a=b", "longer value here"};
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

// A line break cannot round-trip through a line-based file: a write holding
// one is refused and changes nothing, before or after a save.
TEST(ProfileLineBreaks, AreRefusedAndTouchNothing) {
  testing::TempFolder dir;
  auto machine = Machine::Open(dir.path() / "m");
  std::filesystem::create_directories(machine->MapPath("C:\\WINNT"));
  ASSERT_NE(machine->WritePrivateProfileStringA("S", "k", "before", "t.ini"), 0);
  machine->Save();
  struct Case {
    const char* section;
    const char* key;
    const char* value;
  };
  const Case cases[] = {
      {"S", "k", "two\nlines"}, {"S", "k", "cr\r"},     {"S", "new\nkey", "v"},
      {"S\r\n[T]", "k", "v"},   {"S", "k\r\nx", nullptr}, {"S\n", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(machine->WritePrivateProfileStringA(c.section, c.key, c.value, "t.ini"), 0) << c.section << c.key;
    EXPECT_EQ(machine->GetLastError(), 87u);
  }
  char buffer[64];
  EXPECT_EQ(machine->GetPrivateProfileStringA("S", "k", "", buffer, sizeof buffer, "t.ini"), 6u);
  EXPECT_STREQ(buffer, "before");
  machine->Save();
  machine.reset();
  EXPECT_EQ(Machine::Open(dir.path() / "m")->GetPrivateProfileStringA(nullptr, nullptr, "", buffer, sizeof buffer,
                                                                      "t.ini"),
            2u);
  EXPECT_EQ(std::string(buffer, 3), std::string("S\0\0", 3));  // no section but S
}

}  // namespace
}  // namespace qvi::emu
