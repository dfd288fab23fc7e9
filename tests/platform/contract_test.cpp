#include "platform/contract_test.h"

#include <array>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <random>
#include <tuple>
#include <vector>

namespace qvi::platform::contract {

namespace {

constexpr const char* kTestRoot = "Software\\QviConsoleTest-";

void DeleteTree(Platform& os, HKey parent, const std::string& name) {
  HKey key = kNoKey;
  if (os.RegOpenKeyExA(parent, name.c_str(), 0, kKeyAllAccess, &key) != win32::kSuccess) return;
  char child[256];
  while (os.RegEnumKeyA(key, 0, child, sizeof child) == win32::kSuccess) DeleteTree(os, key, child);
  os.RegCloseKey(key);
  os.RegDeleteKeyA(parent, name.c_str());
}

// A tag that keeps two runs of the suite at once apart on one registry.
const std::string& RunTag() {
  static const std::string tag = std::to_string(std::random_device{}());
  return tag;
}

const std::uint8_t* Bytes(const char* s) { return reinterpret_cast<const std::uint8_t*>(s); }
std::uint8_t* Bytes(char* s) { return reinterpret_cast<std::uint8_t*>(s); }

}  // namespace

void PlatformContract::SetUp() {
  backend_ = GetParam().make();
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  root_path_ = std::string(kTestRoot) + info->name() + "-" + RunTag();
  for (char& c : root_path_) {
    if (c == '/') c = '_';
  }
  DeleteTree(os(), kHkeyCurrentUser, root_path_);
  ASSERT_EQ(os().RegCreateKeyA(kHkeyCurrentUser, root_path_.c_str(), &root_), win32::kSuccess);
}

void PlatformContract::TearDown() {
  if (!backend_) return;
  if (root_ != kNoKey) os().RegCloseKey(root_);
  DeleteTree(os(), kHkeyCurrentUser, root_path_);
}

HKey PlatformContract::Create(const std::string& sub_key) {
  HKey key = kNoKey;
  EXPECT_EQ(os().RegCreateKeyA(root_, sub_key.c_str(), &key), win32::kSuccess) << sub_key;
  return key;
}

bool PlatformContract::Exists(const std::string& sub_key) {
  HKey key = kNoKey;
  if (os().RegOpenKeyExA(root_, sub_key.c_str(), 0, kKeyAllAccess, &key) != win32::kSuccess) return false;
  os().RegCloseKey(key);
  return true;
}

void PlatformContract::SetString(HKey key, const std::string& name, const std::string& text) {
  ASSERT_EQ(os().RegSetValueExA(key, name.c_str(), 0, kRegSz, Bytes(text.c_str()),
                                static_cast<std::uint32_t>(text.size() + 1)),
            win32::kSuccess);
}

std::vector<std::string> PlatformContract::SubKeys(HKey key) {
  std::vector<std::string> names;
  char name[256];
  for (std::uint32_t i = 0;; ++i) {
    const Status status = os().RegEnumKeyA(key, i, name, sizeof name);
    if (status != win32::kSuccess) {
      EXPECT_EQ(status, win32::kNoMoreItems) << "after " << i << " subkeys";
      return names;
    }
    names.push_back(name);
  }
}

std::vector<std::string> PlatformContract::Values(HKey key) {
  std::vector<std::string> values;
  char name[256];
  char data[256];
  for (std::uint32_t i = 0;; ++i) {
    std::uint32_t name_size = sizeof name;
    std::uint32_t data_size = sizeof data;
    const Status status =
        reader().RegEnumValueA(key, i, name, &name_size, nullptr, reinterpret_cast<std::uint8_t*>(data), &data_size);
    if (status != win32::kSuccess) {
      EXPECT_EQ(status, win32::kNoMoreItems) << "after " << i << " values";
      return values;
    }
    values.push_back(std::string(name) + "=" + std::string(data, ::strnlen(data, data_size)));
  }
}

std::string PlatformContract::Read(const char* section, const char* key, const char* fallback,
                                   const std::string& file, std::uint32_t size) {
  std::string buffer(size, '#');
  const std::uint32_t n = os().GetPrivateProfileStringA(section, key, fallback, buffer.data(), size, file.c_str());
  EXPECT_LT(n, size);
  EXPECT_EQ(buffer[n], '\0') << "result not terminated";
  return buffer.substr(0, n);
}

using Names = std::vector<std::string>;

TEST_P(PlatformContract, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
  os().RegCloseKey(Create("Foo"));
  const HKey upper = Create("FOO");
  SetString(upper, "Name", "first");
  SetString(upper, "NAME", "second");
  EXPECT_EQ(SubKeys(root_), Names{"Foo"});
  EXPECT_EQ(Values(upper), Names{"Name=second"});
  os().RegCloseKey(upper);
}

TEST_P(PlatformContract, SubKeysEnumerateAlphabeticallyIntoBigEnoughBuffers) {
  for (const char* name : {"b", "C", "a"}) os().RegCloseKey(Create(name));
  EXPECT_EQ(SubKeys(root_), (Names{"a", "b", "C"}));
  // A name buffer too small for the name and its NUL is left untouched.
  char name[8];
  std::memset(name, '#', sizeof name);
  EXPECT_EQ(os().RegEnumKeyA(root_, 0, name, 1), win32::kMoreData);
  EXPECT_EQ(std::string(name, sizeof name), "########");
  EXPECT_EQ(os().RegEnumKeyA(root_, 0, name, 2), win32::kSuccess);
  EXPECT_STREQ(name, "a");
}

TEST_P(PlatformContract, ValuesEnumerateInCreationOrder) {
  if (backend_->IsWine()) GTEST_SKIP() << "Windows enumerates values in creation order; Wine sorts them by name";
  for (const char* value : {"A", "C", "D", "B"}) SetString(root_, value, "x");
  EXPECT_EQ(Values(root_), (Names{"A=x", "C=x", "D=x", "B=x"}));
}

TEST_P(PlatformContract, SetValueStoresExactlyTheBytesGiven) {
  // The byte after the 15th is the literal's NUL, which Windows keeps; with
  // "FullString" and 9 the byte after is 'g', so nothing is added.
  const std::tuple<const char*, std::uint32_t, std::uint32_t> cases[] = {
      {"ThisNeverBreaks", 16, 16}, {"ThisNeverBreaks", 15, 16}, {"", 0, 0}, {"FullString", 9, 9}};
  for (const auto& [text, given, stored] : cases) {
    ASSERT_EQ(os().RegSetValueExA(root_, "v", 0, kRegSz, Bytes(text), given), win32::kSuccess);
    std::uint32_t size = 0;
    ASSERT_EQ(reader().RegQueryValueExA(root_, "v", nullptr, nullptr, &size), win32::kSuccess);
    EXPECT_EQ(size, stored) << text << " / " << given;
  }
  char data[10];
  std::memset(data, '#', sizeof data);
  std::uint32_t size = sizeof data;
  std::uint32_t type = 0;
  ASSERT_EQ(reader().RegQueryValueExA(root_, "v", &type, Bytes(data), &size), win32::kSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, 9u);
  EXPECT_STREQ(data, "FullStrin");

  std::memset(data, '#', sizeof data);
  size = 5;
  EXPECT_EQ(reader().RegQueryValueExA(root_, "v", nullptr, Bytes(data), &size), win32::kMoreData);
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(data[0], '#');
}

void PlatformContract::ExpectWrites(const WriteCase& c) {
  const std::string file = Scratch(std::string(c.name) + ".ini");
  if (c.initial) backend_->PutFile(file, *c.initial);
  for (const auto& [section, key, value] : c.writes) {
    ASSERT_NE(os().WritePrivateProfileStringA(section, key, value, file.c_str()), 0) << c.name;
  }
  EXPECT_EQ(backend_->FileBytes(file), c.expected) << c.name;
}

TEST_P(PlatformContract, WritesEditTheFileInPlace) {
  const std::string built =
      "[App1]\r\nkey1=string1\r\nkey2=string2\r\nkey3=string3\r\n[App2]\r\nkey4=string4\r\nempty=\r\n"
      "[App3]\r\nkey5=string5\r\n";
  const WriteCase cases[] = {
      {"build", "",
       {{"App1", "key1", "string1"}, {"App1", "key2", "string2"}, {"App1", "key3", "string3"},
        {"App2", "key4", "string4"}, {"App3", "key5", "string5"}, {"App2", "empty", ""}},
       built},
      {"delete", built,
       {{"App1", "key2", nullptr}, {"App1", "key2", nullptr}, {"App2", nullptr, "ignored"}, {"App3", "key5", nullptr}},
       "[App1]\r\nkey1=string1\r\nkey3=string3\r\n[App3]\r\n"},
      {"unchanged", "[s]\n  k =  v  \n", {{"S", "K", "v"}}, "[s]\n  k =  v  \n"},
  };
  for (const WriteCase& c : cases) ExpectWrites(c);
}

TEST_P(PlatformContract, WritesKeepEveryByteTheyDoNotChange) {
  if (backend_->IsWine()) {
    GTEST_SKIP() << "Windows keeps every byte it did not change (line ends, blanks, blank lines, NULs) and a "
                    "delete from a missing file leaves an empty file; Wine rewrites the file from what it parsed "
                    "and leaves none";
  }
  const std::string nuls("Data \0 before \0 first \0 section", 31);
  const WriteCase cases[] = {
      {"keep",
       "free text before\nany section\n; a comment\n[One]\n  Key = old value  ; tail\n\n; inner note\n"
       "Other = 2\n\n[Two]\nx=1",
       {{"one", "KEY", "new"}, {"One", "Added", "3"}, {"Three", "y", "4"}},
       "free text before\nany section\n; a comment\n[One]\nKey=new\r\n\n; inner note\nOther = 2\nAdded=3\r\n"
       "\n[Two]\nx=1\r\n[Three]\r\ny=4\r\n"},
      {"nuls", nuls, {{"section1", "key1", "string1"}}, nuls + "\r\n[section1]\r\nkey1=string1\r\n"},
      {"delete from a missing file", std::nullopt, {{"App", "key", nullptr}}, ""},
  };
  for (const WriteCase& c : cases) ExpectWrites(c);
}

// UTF-16LE text with its byte-order mark, from ASCII and UTF-16 code units.
std::string Utf16(const std::string& ascii, std::initializer_list<std::uint16_t> more = {}) {
  std::string out = "\xFF\xFE";
  for (const char c : ascii) out += std::string{c, '\0'};
  for (const std::uint16_t unit : more) out += std::string{static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  return out;
}

TEST_P(PlatformContract, AUtf16FileIsReadAndWrittenAsUtf16) {
  const std::string file = Scratch("unicode.ini");
  // key=Wert + a-umlaut; other= a character the code page lacks; astral= one
  // beyond 16 bits (a surrogate pair), which a write must keep as it is.
  const std::string before = Utf16("[Sec]\r\nkey=Wert", {0xE4, '\r', '\n'}) + Utf16("other=", {0x4E00, '\r', '\n'}).substr(2) +
                             Utf16("astral=", {0xD83D, 0xDE00, '\r', '\n'}).substr(2);
  backend_->PutFile(file, before);
  EXPECT_EQ(Read("Sec", "key", "", file), "Wert\xE4");
  EXPECT_EQ(Read("Sec", "other", "", file), "?");
  ASSERT_NE(os().WritePrivateProfileStringA("Sec", "new", "n\xE9", file.c_str()), 0);
  EXPECT_EQ(backend_->FileBytes(file), before + Utf16("new=n", {0xE9, '\r', '\n'}).substr(2));
}

// Windows does not know the UTF-8 byte-order mark: it belongs to the first
// line, so the first section cannot be found and a write adds another.
TEST_P(PlatformContract, AUtf8ByteOrderMarkHidesTheFirstSection) {
  if (backend_->IsWine()) {
    GTEST_SKIP() << "Windows takes a UTF-8 byte-order mark as part of the first line, hiding the first section; "
                    "Wine recognises the mark";
  }
  const std::string file = Scratch("utf8.ini");
  const std::string before = "\xEF\xBB\xBF[First]\r\nk=v\r\n[Second]\r\nk=w\r\n";
  backend_->PutFile(file, before);
  EXPECT_EQ(Read("First", "k", "none", file), "none");
  EXPECT_EQ(Read("Second", "k", "none", file), "w");
  ASSERT_NE(os().WritePrivateProfileStringA("First", "k", "x", file.c_str()), 0);
  EXPECT_EQ(backend_->FileBytes(file), before + "[First]\r\nk=x\r\n");
}

TEST_P(PlatformContract, ABareFileNameMeansTheWindowsDirectory) {
  const std::string bare = "qvi-contract-" + RunTag() + ".ini";
  ASSERT_NE(os().WritePrivateProfileStringA("App", "key", "string", bare.c_str()), 0);
  const std::string full = backend_->windows_directory() + "\\" + bare;
  EXPECT_EQ(backend_->FileBytes(full), "[App]\r\nkey=string\r\n");
  EXPECT_EQ(Read("App", "key", "", full), "string");
  backend_->RemoveFile(full);
}

TEST_P(PlatformContract, AListCutToItsBufferEndsInTwoNuls) {
  if (backend_->IsWine()) GTEST_SKIP() << "Windows ends a cut list with two NULs; Wine with one";
  const std::string file = Scratch("lists.ini");
  backend_->PutFile(file, "[section1]\r\nname1=val1\r\nname2=\r\nname4=a\r\n");
  std::string buffer(64, '#');
  EXPECT_EQ(os().GetPrivateProfileStringA("section1", nullptr, "d", buffer.data(), 16, file.c_str()), 14u);
  EXPECT_EQ(buffer.substr(0, 16), std::string("name1\0name2\0na\0\0", 16));
}

TEST_P(PlatformContract, AppendLineCreatesThenAppends) {
  const std::string file = Scratch("log.txt");
  ASSERT_EQ(os().AppendLine(file, "first"), win32::kSuccess);
  ASSERT_EQ(os().AppendLine(file, "second"), win32::kSuccess);
  EXPECT_EQ(backend_->FileBytes(file), "first\r\nsecond\r\n");
  EXPECT_EQ(os().AppendLine(Scratch("no-such-folder\\log.txt"), "x"), win32::kPathNotFound);
}

}  // namespace qvi::platform::contract
