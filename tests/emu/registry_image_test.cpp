#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emu/crc32.h"
#include "emu/file_io.h"
#include "emu/machine.h"
#include "emu/reg_text.h"
#include "emu/registry_image.h"
#include "emu/registry_store.h"
#include "testing/file_bytes.h"
#include "testing/temp_folder.h"

namespace qvi::emu {
namespace {

namespace fs = std::filesystem;
using qvi::testing::ReadFileBytes;
using qvi::testing::WriteFileBytes;

// Keys of every shape the image lays out: deep and wide, a key past the
// size at which values get an index, names that sort by Unicode rather
// than by byte, binary data, the default value, and a root with values.
std::string Registry() {
  std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n\"AtRoot\"=dword:00000007\r\n\r\n";
  text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Wide]\r\n";
  for (int i = 0; i < 40; ++i) text += "\"v" + std::to_string(i) + "\"=\"" + std::to_string(i * i) + "\"\r\n";
  for (const char* name : {"b", "A", "\x9a", "\x80", "s", "Zed", "_"}) {
    text += "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Wide\\" + std::string(name) + "\\Deep\\Deeper]\r\n@=\"x\"\r\n";
  }
  text += "\r\n[HKEY_CURRENT_USER\\Software\\Bin]\r\n\"b\"=hex:00,ff,0a,0d\r\n\"e\"=\"\"\r\n";
  return text;
}

struct Counting : KeySource {
  explicit Counting(std::shared_ptr<KeySource> to) : inner(std::move(to)) {}
  bool Read(const KeyRef& ref, std::vector<RegistryValue>& values, std::vector<Subkey>& subkeys) override {
    ++reads;
    return inner->Read(ref, values, subkeys);
  }
  bool ReadPath(const std::string& path, std::vector<RegistryValue>& values, std::vector<Subkey>& subkeys) override {
    return inner->ReadPath(path, values, subkeys);
  }
  void Damaged(const std::string& what) override { inner->Damaged(what); }
  std::shared_ptr<KeySource> inner;
  int reads = 0;
};

TEST(RegistryImageTest, AStoreReadsFromItsImageOnlyTheKeysItTouchesAndHoldsWhatItWasMadeFrom) {
  testing::TempFolder dir;
  RegistryStore made;
  ImportRegText(made, Registry(), "made");
  WriteFileBytes(dir.path() / "registry.reg", ExportRegText(made));
  FileReader registry(dir.path() / "registry.reg", 1 << 20);
  const ImageSignature signature = SignatureOf(registry);
  std::string image_bytes;
  WriteRegistryImage(made, signature, [&image_bytes](std::string_view piece) { image_bytes += piece; });
  WriteFileBytes(dir.path() / "registry.img", image_bytes);
  // The checksum the documented formats name, zip's CRC-32.
  EXPECT_EQ(Crc32("123456789"), 0xcbf43926u);

  std::string why;
  auto image = RegistryImage::Open(dir.path() / "registry.img", signature, nullptr, why);
  ASSERT_TRUE(image) << why;
  auto counting = std::make_shared<Counting>(image);
  RegistryStore read;
  read.ReadFrom(counting, image->hklm(), image->hkcu());
  RegistryKey key;
  ASSERT_TRUE(read.ReadKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Wide\\\x9a\\Deep\\Deeper", key));
  EXPECT_EQ(key.values.size(), 1u);
  // The root, SOFTWARE, Vendor, Wide, the subkey, Deep and Deeper.
  EXPECT_EQ(counting->reads, 7);
  EXPECT_EQ(read.Snapshot(), made.Snapshot());
  EXPECT_TRUE(image->damage().empty()) << image->damage();
  // Another registry.reg, or the same one touched, is not what it mirrors.
  ImageSignature other = signature;
  other.modified_ns += 1;
  EXPECT_FALSE(RegistryImage::Open(dir.path() / "registry.img", other, nullptr, why));
  EXPECT_EQ(why, "made for another registry.reg");
}

// An image made by hand, its checksums right, that describes what no store
// may hold: each is found where it is read, and the key read from the text.
TEST(RegistryImageTest, AHandMadeImageWithSoundChecksumsButNoSoundTreeIsCaughtWhereItIsRead) {
  testing::TempFolder dir;
  RegistryStore made;
  ImportRegText(made, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n\"a\"=\"1\"\r\n\"b\"=\"2\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SYSTEM]\r\n", "made");
  std::string good;
  WriteRegistryImage(made, {}, [&good](std::string_view piece) { good += piece; });
  // HKEY_LOCAL_MACHINE's record, which HKEY_CURRENT_USER's subtree follows:
  // two values, then SOFTWARE and SYSTEM.
  const auto trailer_field = [&good](std::size_t at) {
    const std::size_t from = good.size() - 64 + at;
    return static_cast<std::size_t>(static_cast<unsigned char>(good[from])) |
           static_cast<std::size_t>(static_cast<unsigned char>(good[from + 1])) << 8;
  };
  const std::size_t record = trailer_field(40), end = trailer_field(44);
  const struct {
    std::size_t at;  // in the payload
    char to;
    const char* found;
  } cases[] = {{19, 'a', "two values named \"a\""},  {36, 'T', "subkeys out of order or twice"},
               {36, '\\', "a key name no key may hold"}, {44, 1, "malformed"},
               {2, 1, "malformed"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.found);
    std::string bytes = good;
    bytes[record + 8 + c.at] = static_cast<char>(c.at == 44 ? bytes[record + 8 + c.at] + c.to : c.to);
    const std::string payload = bytes.substr(record + 8, end - record - 8);
    const std::uint32_t crc = Crc32(payload);
    for (int i = 0; i < 4; ++i) bytes[record + 4 + static_cast<std::size_t>(i)] = static_cast<char>(crc >> (8 * i));
    WriteFileBytes(dir.path() / "registry.img", bytes);
    std::string why;
    auto image = RegistryImage::Open(
        dir.path() / "registry.img", {}, [] {
          auto text = std::make_unique<RegistryStore>();
          ImportRegText(*text, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\FromText]\r\n", "text");
          return text;
        },
        why);
    ASSERT_TRUE(image) << why;
    RegistryStore read;
    read.ReadFrom(image, image->hklm(), image->hkcu());
    const auto keys = read.Snapshot();
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_EQ(keys[1].path, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes");
    EXPECT_EQ(keys[2].path, "HKEY_LOCAL_MACHINE\\SOFTWARE\\FromText");
    EXPECT_NE(image->damage().find(c.found), std::string::npos) << image->damage();
  }
}

// What a machine folder's image may be found as; each is never trusted,
// the registry is what registry.reg says, and the next save makes the image
// anew.
TEST(RegistryImageTest, AnImageThatIsNotWhatItShouldBeIsMadeAnewAndNeverBelieved) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& image, const fs::path& outside)> spoil;
  };
  const auto flip = [](const fs::path& image, std::size_t from_end) {
    std::string bytes = ReadFileBytes(image);
    bytes[bytes.size() - from_end] ^= 0x10;
    WriteFileBytes(image, bytes);
  };
  const Case cases[] = {
      {"cut short", [](const fs::path& image, const fs::path&) {
         fs::resize_file(image, fs::file_size(image) - 9);
       }},
      {"a bit of its trailer", [&](const fs::path& image, const fs::path&) { flip(image, 40); }},
      {"a bit of the last key written (HKEY_CURRENT_USER)", [&](const fs::path& image, const fs::path&) {
         flip(image, 70);
       }},
      {"a bit in the middle", [&](const fs::path& image, const fs::path&) {
         flip(image, fs::file_size(image) / 2);
       }},
      {"another version", [](const fs::path& image, const fs::path&) {
         std::string bytes = ReadFileBytes(image);
         bytes[8] = 2;
         WriteFileBytes(image, bytes);
       }},
      {"a link to a good image elsewhere", [](const fs::path& image, const fs::path& outside) {
         fs::rename(image, outside);
         fs::create_symlink(outside, image);
       }},
      {"writable by others", [](const fs::path& image, const fs::path&) {
         fs::permissions(image, fs::perms::others_write, fs::perm_options::add);
       }},
      {"missing", [](const fs::path& image, const fs::path&) { fs::remove(image); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempFolder dir;
    const fs::path folder = dir.path() / "m", image = folder / "registry.img", outside = dir.path() / "elsewhere";
    std::vector<RegistryKey> expected;
    {
      auto machine = Machine::Open(folder);
      machine->ImportReg(Registry(), "seed");
      machine->Save();
      expected = machine->SnapshotRegistry();
    }
    const std::string good = ReadFileBytes(image);
    c.spoil(image, outside);
    const std::string outside_before = fs::exists(outside) ? ReadFileBytes(outside) : "";
    {
      auto machine = Machine::Open(folder);
      EXPECT_EQ(machine->SnapshotRegistry(), expected);
      machine->Save();
    }
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(image)));
    EXPECT_EQ(fs::status(image).permissions() & fs::perms::others_write, fs::perms::none);
    if (fs::exists(outside)) {
      EXPECT_EQ(ReadFileBytes(outside), outside_before);
    }
    EXPECT_NE(ReadFileBytes(image), good);
    auto machine = Machine::Open(folder);
    EXPECT_EQ(machine->SnapshotRegistry(), expected);
  }
}

TEST(RegistryImageTest, ARegistryEditedByHandIsReadAndItsImageMadeAgain) {
  testing::TempFolder dir;
  const fs::path folder = dir.path() / "m";
  {
    auto machine = Machine::Open(folder);
    machine->ImportReg(Registry(), "seed");
    machine->Save();
  }
  // As an editor writes it: the same file, a key more, a value changed.
  std::string text = ReadFileBytes(folder / "registry.reg");
  const std::string old_value = "\"v3\"=\"9\"";
  ASSERT_NE(text.find(old_value), std::string::npos);
  text.replace(text.find(old_value), old_value.size(), "\"v3\"=\"nine\"");
  WriteFileBytes(folder / "registry.reg", text + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ByHand]\r\n\"k\"=\"v\"\r\n\r\n");
  for (int open = 0; open < 2; ++open) {
    SCOPED_TRACE(open == 0 ? "first open after the edit" : "through the image made again");
    auto machine = Machine::Open(folder);
    RegistryKey key;
    ASSERT_TRUE(machine->registry().ReadKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\ByHand", key));
    EXPECT_EQ(key.values.at(0).name, "k");
    ASSERT_TRUE(machine->registry().ReadKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Wide", key));
    EXPECT_EQ(key.values.at(3).data, (std::vector<std::uint8_t>{'n', 'i', 'n', 'e', 0}));
    machine->Save();
  }
}

}  // namespace
}  // namespace qvi::emu
