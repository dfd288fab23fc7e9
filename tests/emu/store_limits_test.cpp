// The registry store and its text form at the edges: deep, wide and long
// input, and text that does not convert.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "emu/emu_types.h"
#include "emu/reg_text.h"
#include "emu/registry_store.h"
#include "testing/error_of.h"

namespace qvi::emu {
namespace {

using namespace qvi::platform;

const std::uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

// What ImportRegText says about `text`; "(accepted)" when it takes it.
std::string ImportError(RegistryStore& store, const std::string& text) {
  return testing::ErrorOf<MachineError>([&] { ImportRegText(store, text, "x.reg"); });
}

// "a\a\a..." with `levels` names.
std::string Chain(std::size_t levels) {
  std::string path = "a";
  for (std::size_t i = 1; i < levels; ++i) path += "\\a";
  return path;
}

// `narrow` as UTF-16 after its byte order mark, then the raw bytes `tail`.
std::string Utf16(const std::string& narrow, const std::string& tail = "") {
  std::string out = "\xFF\xFE";
  for (const char c : narrow) out += std::string{c, '\0'};
  return out + tail;
}

std::vector<std::string> SubkeysOf(RegistryStore& store, HKey key) {
  std::vector<std::string> names;
  char name[256];
  for (std::uint32_t i = 0; store.EnumKey(key, i, name, sizeof name) == win32::kSuccess; ++i) names.emplace_back(name);
  return names;
}

// A path is refused where it crosses the limit, whether made through a handle
// or read from a file, and makes none of its levels; one within it makes them.
TEST(StoreDepth, KeysGoDownToTheLimitAndNoFurther) {
  const std::string too_deep = "x.reg:3: key more than 512 levels deep";
  struct Case {
    HKey root;
    std::string section;  // the root as a file names it
    std::size_t levels;   // below the root
    Status expected;
  };
  const Case cases[] = {
      {kHkeyCurrentUser, "HKEY_CURRENT_USER", RegistryStore::kMaxDepth, win32::kSuccess},
      {kHkeyCurrentUser, "HKEY_CURRENT_USER", RegistryStore::kMaxDepth + 1, win32::kInvalidParameter},
      // HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes.
      {kHkeyClassesRoot, "HKEY_CLASSES_ROOT", RegistryStore::kMaxDepth - 2, win32::kSuccess},
      {kHkeyClassesRoot, "HKEY_CLASSES_ROOT", RegistryStore::kMaxDepth - 1, win32::kInvalidParameter},
      {kHkeyCurrentUser, "-HKEY_CURRENT_USER", RegistryStore::kMaxDepth + 1, win32::kInvalidParameter},
      // 400 KB on one line: refused where the limit is crossed, not after a
      // walk of all of it.
      {kHkeyCurrentUser, "HKEY_CURRENT_USER", 200000, win32::kInvalidParameter},
  };
  for (const Case& c : cases) {
    RegistryStore store;
    const auto before = store.Snapshot();
    HKey key = kNoKey;
    EXPECT_EQ(store.CreateKey(c.root, Chain(c.levels).c_str(), &key), c.expected) << c.levels;
    const bool refused = c.expected != win32::kSuccess;
    EXPECT_EQ(store.Snapshot() == before, refused) << c.levels;
    RegistryStore imported;
    const std::string text = "REGEDIT4\r\n\r\n[" + c.section + "\\" + Chain(c.levels) + "]\r\n\"v\"=dword:00000001\r\n";
    EXPECT_EQ(ImportError(imported, text), refused ? too_deep : "(accepted)") << c.section << " " << c.levels;
    EXPECT_EQ(imported.Snapshot() == before, refused) << c.section << " " << c.levels;
  }
}

TEST(StoreDepth, ADeepTreeGoesWholeAndItsOpenHandlesDieWithIt) {
  RegistryStore store;
  // Relative to a deep handle the limit still counts from the root.
  HKey deep = kNoKey;
  ASSERT_EQ(store.CreateKey(kHkeyCurrentUser, ("Software\\" + Chain(RegistryStore::kMaxDepth - 2)).c_str(), &deep),
            win32::kSuccess);
  HKey leaf = kNoKey;
  ASSERT_EQ(store.CreateKey(deep, "a", &leaf), win32::kSuccess);
  HKey beyond = kNoKey;
  EXPECT_EQ(store.CreateKey(leaf, "beyond", &beyond), win32::kInvalidParameter);
  HKey middle = kNoKey;
  ASSERT_EQ(store.OpenKey(kHkeyCurrentUser, ("Software\\" + Chain(200)).c_str(), &middle), win32::kSuccess);
  const auto keys = store.Snapshot();
  ASSERT_EQ(keys.size(), 3 + RegistryStore::kMaxDepth - 1);  // SOFTWARE, Classes, Software and the chain
  EXPECT_EQ(keys[3].path, "HKEY_CURRENT_USER\\Software\\a");
  EXPECT_EQ(keys.back().path, "HKEY_CURRENT_USER\\Software\\" + Chain(RegistryStore::kMaxDepth - 1));

  ASSERT_TRUE(store.DeleteTree("HKEY_CURRENT_USER\\Software\\a"));
  EXPECT_EQ(store.Snapshot().size(), 3u);
  char name[8];
  EXPECT_EQ(store.EnumKey(middle, 0, name, sizeof name), win32::kKeyDeleted);
  EXPECT_EQ(store.SetValue(leaf, "v", kRegDword, Bytes("\1\0\0\0"), 4), win32::kKeyDeleted);
  EXPECT_EQ(store.CloseKey(leaf), win32::kSuccess);
  EXPECT_EQ(store.CloseKey(middle), win32::kSuccess);
}

TEST(StoreNames, LengthLimitsAsWindowsHasThem) {
  const std::string longest_value(RegistryStore::kMaxValueNameLength, 'v');
  const std::string too_long_value = longest_value + "v";
  const std::string longest_key(RegistryStore::kMaxKeyNameLength, 'k');
  const std::string too_long_key = longest_key + "k";
  RegistryStore store;
  HKey key = kNoKey;
  EXPECT_EQ(store.CreateKey(kHkeyCurrentUser, longest_key.c_str(), &key), win32::kSuccess);
  EXPECT_EQ(store.CreateKey(kHkeyCurrentUser, ("x\\" + too_long_key).c_str(), &key), win32::kInvalidParameter);
  EXPECT_EQ(store.SetValue(kHkeyCurrentUser, longest_value.c_str(), kRegSz, Bytes("a"), 2), win32::kSuccess);
  EXPECT_EQ(store.SetValue(kHkeyCurrentUser, too_long_value.c_str(), kRegSz, Bytes("a"), 2), win32::kInvalidParameter);

  const std::pair<std::string, std::string> texts[] = {
      {"[HKEY_CURRENT_USER\\" + longest_key + "]\r\n\"" + longest_value + "\"=\"a\"\r\n", "(accepted)"},
      {"[HKEY_CURRENT_USER\\" + too_long_key + "]\r\n", "x.reg:2: key name longer than 255 characters"},
      {"[HKEY_CURRENT_USER\\x]\r\n\"" + too_long_value + "\"=\"a\"\r\n",
       "x.reg:3: value name longer than 16383 characters"},
      {"[HKEY_CURRENT_USER\\x]\r\n\"" + too_long_value + "\"=-\r\n", "x.reg:3: value name longer than 16383 characters"},
  };
  for (const auto& [text, expected] : texts) {
    RegistryStore fresh;
    EXPECT_EQ(ImportError(fresh, "REGEDIT4\r\n" + text), expected) << expected;
  }
}

// Sections are found from the one before where their paths agree; any
// order of paths lands every value in its own key.
TEST(RegText, SectionsLandInTheirKeysWhateverPrecedesThem) {
  const std::vector<std::string> sections = {
      "HKEY_CURRENT_USER\\Software\\A\\B", "HKEY_CURRENT_USER\\SOFTWARE\\a\\C", "HKEY_CURRENT_USER\\Software\\A",
      "HKEY_CURRENT_USER\\Software\\A\\B\\D", "-HKEY_CURRENT_USER\\Software\\A\\B",
      "HKEY_CURRENT_USER\\Software\\A\\B\\E", "HKEY_CLASSES_ROOT\\.x", "HKEY_CLASSES_ROOT\\.x\\Shell",
      "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.X", "HKEY_CURRENT_USER\\Software\\A\\C",
  };
  std::string text = "REGEDIT4\r\n";
  RegistryStore expected;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    text += "[" + sections[i] + "]\r\n";
    if (sections[i][0] == '-') {
      expected.DeleteTree(sections[i].substr(1));
      continue;
    }
    const std::string value = "v" + std::to_string(i);
    text += "\"" + value + "\"=dword:00000001\r\n";
    expected.PutValue(*expected.EnsureKey(sections[i]), value, kRegDword, {1, 0, 0, 0});
  }
  RegistryStore store;
  ImportRegText(store, text, "x.reg");
  EXPECT_EQ(store.Snapshot(), expected.Snapshot());
}

// An import into a store that holds only its first keys reads into a fresh
// store and takes its trees; any other store is changed in place. Either way
// what the store held stays, and open handles keep working.
TEST(RegText, ImportKeepsWhatTheStoreHeld) {
  const std::string text = "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\New]\r\n\"v\"=dword:00000002\r\n";
  HKey software = kNoKey;  // opened by the last case
  const std::pair<const char*, std::function<void(RegistryStore&)>> cases[] = {  // what the store holds, how
      {"first keys only", [](RegistryStore&) {}},
      {"first keys replaced by others of the same shape",
       [](RegistryStore& s) {
         s.DeleteTree("HKEY_LOCAL_MACHINE\\SOFTWARE");
         s.EnsureKey("HKEY_LOCAL_MACHINE\\X\\Y");
       }},
      {"a value", [](RegistryStore& s) { s.PutValue(*s.EnsureKey("HKEY_CURRENT_USER"), "root", kRegDword, {1}); }},
      {"an open handle",
       [&software](RegistryStore& s) { ASSERT_EQ(s.OpenKey(kHkeyCurrentUser, "Software", &software), win32::kSuccess); }},
  };
  for (const auto& [name, prepare] : cases) {
    RegistryStore store;
    prepare(store);
    auto expected = store.Snapshot();
    expected.push_back({"HKEY_CURRENT_USER\\Software\\New", {{"v", kRegDword, {2, 0, 0, 0}}}});
    store.MarkClean();
    ImportRegText(store, text, "x.reg");
    EXPECT_EQ(store.Snapshot(), expected) << name;
    EXPECT_TRUE(store.dirty()) << name;
    // The open handle still reaches the key it was opened on.
    if (software != kNoKey) {
      EXPECT_EQ(SubkeysOf(store, software), std::vector<std::string>{"New"});
    }
  }
}

// A store read a piece at a time, as a machine reads its registry.reg, is
// the store read whole, whatever the piece size: line ends, continuation
// lines and long lines split anywhere; and errors name the same line.
TEST(RegText, PiecewiseReadingEqualsReadingWhole) {
  std::string long_value = "\"big\"=hex:";
  for (int i = 0; i < 3000; ++i) long_value += i ? ",7f" : "7f";
  // UTF-16 is converted as it is read: a piece may end inside a character
  // or a surrogate pair, and 64 KB pieces of a whole text break anywhere.
  const std::string v5 = "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\W]\r\n";
  std::string big = v5;
  for (const char* name : {"\"a\"", "\"b\"", "\"c\"", "\"d\""}) big += name + long_value.substr(5) + "\r\n";
  const std::string texts[] = {
      "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\A]\r\n\"s\"=\"x\"\r\n\"d\"=dword:00000010\r\n\r\n"
      "[HKEY_CURRENT_USER\\Software\\A\\B]\r\n@=\"default\"\r\n\"bin\"=hex:01,02,\\\r\n  03,04,\\\r\n  05\r\n",
      "REGEDIT4\r[HKEY_CURRENT_USER\\Software\\Cr]\r\"a\"=\"1\"\r\r[-HKEY_CURRENT_USER\\Software\\Cr]\r",
      "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Software\\Lf]\n\"w\"=hex(2):25,00,00,00\n"
      "\"gone\"=\"x\"\n\"gone\"=-\n; a comment\n" + long_value + "\n\"tail\"=\"no line end\"",
      "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\E]\r\n\"v\"=hex:01,\\\r\n",
      "",
      "REGEDIT4",
      Utf16(v5 + "\"caf\xE9\"=\"na\xEFve\"\r\n\"m\"=hex(7):41,00,00,00,00,00\r\n"),
      Utf16("Win\r\rows ", "R"),
  };
  const std::string not_in_code_page = "UTF-16 text holds a character that code page 1252 cannot hold";
  const std::string lines = "REGEDIT4\r\n[HKEY_CURRENT_USER\\x]\r\n\"v\"=\"";
  // Texts refused, with what reading them whole or in pieces says.
  const std::pair<std::string, std::string> refused[] = {
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\E]\r\n\"ok\"=\"1\"\r\n\"bad\"=dword:xyz\r\n",
       "x.reg:4: bad dword \"xyz\""},
      // Of two errors, the first in the file is told.
      {Utf16(v5 + "\"bad\"=dword:xyz\r\n\"after\"=\"", std::string("\x00\xDE", 2)), "x.reg:3: bad dword \"xyz\""},
      {Utf16(v5 + "\"v\"=\"", std::string("\x3D\xD8\x00\xDE", 4)), "x.reg:3: " + not_in_code_page},
      {Utf16(big + "\"e\"=\"\xE9\"\r\n\"x\"=\"", std::string("\x00\x4E", 2)), "x.reg:8: " + not_in_code_page},
      // U+1F600, a pair the code page lacks.
      {Utf16(lines, std::string("\x3D\xD8\x00\xDE", 4)), "x.reg:3: " + not_in_code_page},
      {Utf16(lines, std::string("\x3D\xD8\x41\x00", 4)), "x.reg:3: invalid UTF-16: a high surrogate without its low surrogate"},
      {Utf16(lines, std::string("\x00\xDE", 2)), "x.reg:3: invalid UTF-16: a low surrogate without its high surrogate"},
      {Utf16(lines, "\x41"), "x.reg:3: invalid UTF-16: the file ends in half a character"},
      {Utf16(lines, std::string("\x00\x4E", 2)), "x.reg:3: " + not_in_code_page},
  };
  // The store as text, or what refused it.
  const auto read = [](const std::string& text, std::size_t piece) {
    RegistryStore store;
    std::size_t at = 0;
    const std::string error = testing::ErrorOf<MachineError>(
        [&] {
          if (piece == 0) {
            ImportRegText(store, text, "x.reg");
          } else {
            ImportRegText(
                store,
                [&](std::string& out) {
                  if (at >= text.size()) return false;
                  out.append(text, at, piece);
                  at += piece;
                  return true;
                },
                "x.reg");
          }
        },
        "");
    return error.empty() ? ExportRegText(store) : error;
  };
  for (const std::string& text : texts) {
    const std::string whole = read(text, 0);
    for (const std::size_t piece : {1, 2, 3, 5, 64, 4096}) {
      EXPECT_EQ(read(text, piece), whole) << "piece " << piece << " of " << text.substr(0, 60);
    }
  }
  for (const auto& [text, expected] : refused) {
    for (const std::size_t piece : {0, 1, 2, 3, 5, 64, 4096}) {
      EXPECT_EQ(read(text, piece), expected) << "piece " << piece << " of " << text.substr(0, 60);
    }
  }
  EXPECT_NE(read(texts[0], 0).find("\"bin\"=hex:01,02,03,04,05"), std::string::npos);
  EXPECT_NE(read(texts[6], 0).find("\"caf\xE9\"=\"na\xEFve\"\r\n\"m\"=hex(7):41,00,00"), std::string::npos);
  EXPECT_EQ(read(texts[7], 0).rfind("x.reg:1: not a registry file", 0), 0u);
}

}  // namespace
}  // namespace qvi::emu
