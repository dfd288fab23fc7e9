#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/emu/machine.h"
#include "support/temp_dir.h"

namespace qvi::emu {
namespace {

using namespace qvi::platform;

std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const RegistryKey* FindKey(const std::vector<RegistryKey>& keys, const std::string& path) {
  for (const RegistryKey& key : keys) {
    if (key.path == path) return &key;
  }
  return nullptr;
}

std::vector<std::uint8_t> B(std::string_view s) { return {s.begin(), s.end()}; }

class RegFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<Machine> Open() { return Machine::Open(dir_.path() / "m"); }
  std::filesystem::path RegPath() const { return dir_.path() / "m" / "registry.reg"; }
  testing::TempDir dir_;
};

TEST_F(RegFileTest, EveryValueSurvivesSaveAndReopenByteForByte) {
  auto m = Open();
  HKey key = kNoKey;
  ASSERT_EQ(m->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Odd \"Name\"\\Sub", &key), win32::kSuccess);
  struct Value {
    const char* name;
    std::uint32_t type;
    std::string bytes;
  };
  const Value values[] = {
      {"plain", kRegSz, std::string("C:\\Path \"quoted\"\0", 17)},
      {"", kRegSz, std::string("default\0", 8)},
      {"no terminator", kRegSz, "abc"},
      {"two terminators", kRegSz, std::string("abc\0\0", 5)},
      {"inner nul", kRegSz, std::string("a\0b\0", 4)},
      {"empty", kRegSz, ""},
      {"line break", kRegSz, std::string("a\r\nb\0", 5)},
      {"dword", kRegDword, std::string("\x01\x02\x03\x84", 4)},
      {"short dword", kRegDword, "\x01\x02"},
      {"binary", kRegBinary, std::string(100, '\xAB')},
      {"expand", kRegExpandSz, std::string("%SystemRoot%\0", 13)},
      {"type 0x1234", 0x1234, "xyz"},
  };
  for (const Value& v : values) {
    // A copy with a guard byte so the look past the end sees no NUL.
    std::string padded = v.bytes + "#";
    ASSERT_EQ(m->RegSetValueExA(key, v.name, 0, v.type, reinterpret_cast<const std::uint8_t*>(padded.data()),
                                static_cast<std::uint32_t>(v.bytes.size())),
              win32::kSuccess);
  }
  m->RegCloseKey(key);
  const auto before = m->SnapshotRegistry();
  m->Save();
  const std::string text = Slurp(RegPath());
  EXPECT_EQ(text.rfind("REGEDIT4\r\n\r\n", 0), 0u);
  EXPECT_NE(text.find("\"plain\"=\"C:\\\\Path \\\"quoted\\\"\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"no terminator\"=hex(1):61,62,63\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"dword\"=dword:84030201\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"type 0x1234\"=hex(1234):78,79,7a\r\n"), std::string::npos);
  EXPECT_NE(text.find("@=\"default\""), std::string::npos);
  for (std::size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    EXPECT_LE(end - start, 80u) << "long line in the store";
  }
  m.reset();

  const auto reopened = Open()->SnapshotRegistry();
  EXPECT_EQ(reopened, before);
  const RegistryKey* sub = FindKey(reopened, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Odd \"Name\"\\Sub");
  ASSERT_NE(sub, nullptr);
  ASSERT_EQ(sub->values.size(), std::size(values));
  for (std::size_t i = 0; i < std::size(values); ++i) {
    EXPECT_EQ(sub->values[i].data, B(values[i].bytes)) << values[i].name;
  }
}

TEST_F(RegFileTest, NamesTheStoreCouldNotHoldAreRefused) {
  auto m = Open();
  HKey key = kNoKey;
  EXPECT_EQ(m->RegCreateKeyA(kHkeyCurrentUser, "Software\\two\nlines", &key), win32::kInvalidParameter);
  EXPECT_EQ(m->RegSetValueExA(kHkeyCurrentUser, "a\rb", 0, kRegDword,
                              reinterpret_cast<const std::uint8_t*>("\1\0\0\0"), 4),
            win32::kInvalidParameter);
  m->Save();
  EXPECT_NO_THROW(Open());
}

TEST_F(RegFileTest, ReadsWhatRegeditWrites) {
  const std::string text =
      "Windows Registry Editor Version 5.00\n"
      "; a comment\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software\\Gone]\n"
      "\"x\"=\"1\"\n"
      "[HKEY_CURRENT_USER\\Software\\Kept]\n"
      "\"bin\"=hex:01,02,\\\n"
      "  03,04\n"
      "\"str\"=\"ends with \\\\\"\n"
      "\"wide\"=hex(2):25,00,41,00,25,00,00,00\n"
      "\"removed\"=\"soon\"\n"
      "\"removed\"=-\n"
      "[-HKEY_CURRENT_USER\\Software\\Gone]\n"
      "[HKEY_CLASSES_ROOT\\.qvi]\r\n"
      "@=\"QviFile\"\r\n";
  auto m = Open();
  m->ImportReg(text, "seed.reg");
  const auto keys = m->SnapshotRegistry();
  EXPECT_EQ(FindKey(keys, "HKEY_CURRENT_USER\\Software\\Gone"), nullptr);
  const RegistryKey* kept = FindKey(keys, "HKEY_CURRENT_USER\\Software\\Kept");
  ASSERT_NE(kept, nullptr);
  ASSERT_EQ(kept->values.size(), 3u);
  EXPECT_EQ(kept->values[0].data, (std::vector<std::uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(kept->values[1].data, B(std::string("ends with \\\0", 12)));
  EXPECT_EQ(kept->values[2].data, B(std::string("%A%\0", 4)));
  const RegistryKey* classes = FindKey(keys, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.qvi");
  ASSERT_NE(classes, nullptr);
  EXPECT_EQ(classes->values.at(0).data, B(std::string("QviFile\0", 8)));
}

TEST_F(RegFileTest, AcceptsUtf16WithByteOrderMark) {
  const std::string narrow = "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\U]\r\n\"e\"=\"\x80\"\r\n";
  std::string wide = "\xFF\xFE";
  for (const char c : narrow) {
    if (c == '\x80') {
      wide += "\xAC\x20";  // the euro sign
    } else {
      wide += c;
      wide += '\0';
    }
  }
  auto m = Open();
  m->ImportReg(wide, "wide.reg");
  const auto keys = m->SnapshotRegistry();
  const RegistryKey* key = FindKey(keys, "HKEY_CURRENT_USER\\Software\\U");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->values.at(0).data, B(std::string("\x80\0", 2)));

  std::string bad = wide;
  bad.replace(bad.size() - 10, 2, "\x00\x4E", 2);  // a CJK character, not in code page 1252
  EXPECT_THROW(m->ImportReg(bad, "bad.reg"), MachineError);
}

TEST_F(RegFileTest, ParseErrorsNameFileAndLineAndChangeNothing) {
  struct Case {
    const char* text;
    const char* where;
  };
  const Case cases[] = {
      {"REGEDIT3\r\n", "x.reg:1:"},
      {"REGEDIT4\r\n\r\n\"v\"=\"outside\"\r\n", "x.reg:3:"},
      {"REGEDIT4\r\n[HKEY_USERS\\x]\r\n", "x.reg:2:"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\a]\r\n\"v\"=\"C:\\temp\"\r\n", "x.reg:3:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\a]\n\"v\"=hex:01,\\\n 02\n\"w\"=dword:xyz\n", "x.reg:5:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\a]\n\"v\"=\"open\n", "x.reg:3:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\a\\\\b]\n", "x.reg:2:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\a]\n\"v\"=hex:1ff\n", "x.reg:3:"},
      {"REGEDIT4\n[-HKEY_CURRENT_USER]\n", "x.reg:2:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\a\n", "x.reg:2:"},
  };
  auto m = Open();
  const auto before = m->SnapshotRegistry();
  for (const Case& c : cases) {
    try {
      m->ImportReg(std::string("") + c.text + "", "x.reg");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const MachineError& error) {
      EXPECT_EQ(std::string(error.what()).rfind(c.where, 0), 0u) << error.what();
    }
    EXPECT_EQ(m->SnapshotRegistry(), before) << c.text;
  }
}

TEST_F(RegFileTest, AMalformedStoreIsReportedAndLeftAsItWas) {
  Open()->Save();
  const std::string broken = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\"v\"=bogus\r\n";
  std::ofstream(RegPath(), std::ios::binary) << broken;
  try {
    Open();
    ADD_FAILURE() << "a broken store opened";
  } catch (const MachineError& error) {
    EXPECT_NE(std::string(error.what()).find("registry.reg:4:"), std::string::npos) << error.what();
  }
  EXPECT_EQ(Slurp(RegPath()), broken);
}

}  // namespace
}  // namespace qvi::emu
