// Enumeration of a key's values and subkeys while they are removed and added:
// whatever order the calls come in, the store must answer as a plain list in
// creation order (values) or in name order (subkeys) would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "emu/reg_text.h"
#include "emu/registry_store.h"
#include "runtime/code_page.h"

namespace qvi::emu {
namespace {

using namespace qvi::platform;

// "Value7" spelt with every other letter upper case, as another caller might.
std::string OtherCase(const std::string& name) {
  std::string out = name;
  for (std::size_t i = 0; i < out.size(); i += 2) out[i] = static_cast<char>(std::toupper(out[i]));
  for (std::size_t i = 1; i < out.size(); i += 2) out[i] = static_cast<char>(std::tolower(out[i]));
  return out;
}

// A key's values and the list they must read as.
class ValueKey {
 public:
  explicit ValueKey(std::size_t count) {
    EXPECT_EQ(store_.CreateKey(kHkeyCurrentUser, "Software\\Values", &key_), win32::kSuccess);
    node_ = store_.EnsureKey("HKEY_CURRENT_USER\\Software\\Values");
    for (std::size_t i = 0; i < count; ++i) Set("Value" + std::to_string(i), static_cast<std::uint8_t>(i));
  }

  void Set(const std::string& name, std::uint8_t data) {
    ASSERT_EQ(store_.SetValue(key_, name.c_str(), kRegBinary, &data, 1), win32::kSuccess);
    const auto it = Find(name);
    if (it == model_.end()) {
      model_.push_back({name, kRegBinary, {data}});
    } else {
      it->data = {data};  // keeps its place and its first spelling
    }
  }

  void Remove(const std::string& name) {
    const auto it = Find(name);
    ASSERT_EQ(store_.RemoveValue(*node_, name), it != model_.end()) << name;
    if (it != model_.end()) model_.erase(it);
  }

  // RegEnumValue at `index` gives the model's value there, or the end.
  void ExpectAt(std::uint32_t index, const std::string& step) {
    char name[32];
    std::uint32_t name_size = sizeof name;
    std::uint32_t type = 0;
    std::uint8_t data[4];
    std::uint32_t data_size = sizeof data;
    const Status status = store_.EnumValue(key_, index, name, &name_size, &type, data, &data_size);
    if (index >= model_.size()) {
      ASSERT_EQ(status, win32::kNoMoreItems) << step << " index " << index;
      return;
    }
    const RegistryValue seen{std::string(name, name_size), type, std::vector<std::uint8_t>(data, data + data_size)};
    ASSERT_EQ(std::pair(status, seen), std::pair(win32::kSuccess, model_[index])) << step << " index " << index;
  }

  // Every name, removed or not, is found (or not) under another spelling.
  void ExpectLookups(const std::vector<std::string>& names, const std::string& step) {
    for (const std::string& name : names) {
      std::uint8_t data[4];
      std::uint32_t size = sizeof data;
      const auto it = Find(name);
      const Status status = store_.QueryValue(key_, OtherCase(name).c_str(), nullptr, data, &size);
      ASSERT_EQ(status, it == model_.end() ? win32::kFileNotFound : win32::kSuccess) << step << " " << name;
      if (it != model_.end()) {
        ASSERT_EQ(std::vector<std::uint8_t>(data, data + size), it->data) << step << " " << name;
      }
    }
  }

  // The whole-store views hold exactly the live values, in order.
  void ExpectViews(const std::string& step) {
    const auto keys = store_.Snapshot();
    const auto key = std::ranges::find(keys, "HKEY_CURRENT_USER\\Software\\Values", &RegistryKey::path);
    ASSERT_NE(key, keys.end());
    ASSERT_EQ(key->values, model_) << step;
    RegistryStore copy;
    ImportRegText(copy, ExportRegText(store_), "copy.reg");
    ASSERT_EQ(copy.Snapshot(), keys) << step;
  }

  const std::vector<RegistryValue>& model() const { return model_; }
  RegistryStore& store() { return store_; }

 private:
  std::vector<RegistryValue>::iterator Find(const std::string& name) {
    return std::find_if(model_.begin(), model_.end(),
                        [&name](const RegistryValue& v) { return code_page::EqualsNoCase(v.name, name); });
  }

  RegistryStore store_;
  HKey key_ = kNoKey;
  RegistryStore::Node* node_ = nullptr;
  std::vector<RegistryValue> model_;
};

// Any mix of setting, removing (under any spelling) and enumerating at any
// index and in either direction, through compactions, against a plain list.
TEST(StoreValueRemoval, RandomEditsAnswerAsAPlainListDoes) {
  for (const std::size_t start : {0u, 10u, 17u, 200u}) {
    std::mt19937 random(static_cast<unsigned>(start) + 1);
    ValueKey key(start);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < start + 40; ++i) names.push_back("Value" + std::to_string(i));
    std::uint32_t last = 0;  // the index enumerated last
    for (int step = 0; step < 3000; ++step) {
      const std::string label = std::to_string(start) + "/" + std::to_string(step);
      const std::string& name = names[random() % names.size()];
      const auto count = static_cast<std::uint32_t>(key.model().size());
      const unsigned action = random() % 20;
      if (action < 6) {
        key.Set(random() % 2 ? name : OtherCase(name), static_cast<std::uint8_t>(step));
      } else if (action < 14) {
        key.Remove(random() % 2 ? name : OtherCase(name));
      } else if (action < 16) {
        last = static_cast<std::uint32_t>(random() % (count + 2));
      } else if (action == 16) {
        last = 0;
      } else if (action == 17) {
        last = count == 0 ? 0 : count - 1;
      } else if (action == 18) {
        for (std::uint32_t i = 0; i <= count; ++i) key.ExpectAt(i, label + " up");
      } else {
        for (std::uint32_t i = count + 1; i-- > 0;) key.ExpectAt(i, label + " down");
      }
      // Next to where the last call stopped, which a removal may just have
      // moved.
      last = last + (random() % 3) - std::min(last, 1u);
      key.ExpectAt(last, label);
      if (step % 50 == 0) {
        key.ExpectLookups(names, label);
        key.ExpectViews(label);
      }
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// A key whose values were removed shows what it held before and after in a
// recording, without the removed ones.
TEST(StoreValueRemoval, RecordedStatesHoldOnlyLiveValues) {
  ValueKey key(30);
  for (int i = 0; i < 10; ++i) key.Remove("Value" + std::to_string(i * 2));
  const std::vector<RegistryValue> then = key.model();
  key.store().StartRecording();
  for (int i = 0; i < 5; ++i) key.Remove("Value" + std::to_string(i * 2 + 1));
  key.Set("Value0", 9);
  const auto recorded = key.store().RecordedKeys();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_TRUE(recorded[0].existed);
  EXPECT_EQ(recorded[0].values_then, then);
  EXPECT_EQ(recorded[0].values_now, key.model());
}

// Subkeys in name order, reached at any index in any order, while the level
// changes between calls.
TEST(StoreSubkeyEnumeration, AnyOrderOfIndexesGivesTheNameAtThatIndex) {
  RegistryStore store;
  HKey level = kNoKey;
  ASSERT_EQ(store.CreateKey(kHkeyCurrentUser, "Software\\Level", &level), win32::kSuccess);
  std::vector<std::string> model;
  const auto add = [&](const std::string& name) {
    HKey key = kNoKey;
    ASSERT_EQ(store.CreateKey(level, name.c_str(), &key), win32::kSuccess);
    store.CloseKey(key);
    const auto at = std::lower_bound(model.begin(), model.end(), name, [](const std::string& a, const std::string& b) {
      return code_page::CompareNoCase(a, b) < 0;
    });
    if (at == model.end() || !code_page::EqualsNoCase(*at, name)) model.insert(at, name);
  };
  const auto expect_at = [&](std::uint32_t index, const std::string& step) {
    char name[16] = "";
    const Status status = store.EnumKey(level, index, name, sizeof name);
    if (index >= model.size()) {
      ASSERT_EQ(status, win32::kNoMoreItems) << step;
    } else {
      ASSERT_EQ(std::pair(status, std::string(name)), std::pair(win32::kSuccess, model[index])) << step << " index " << index;
    }
  };
  std::mt19937 random(11);
  const auto name_of = [&random] {
    const char* const shapes[] = {"k%03u", "K%03u", "x%03u", "A%03u"};
    char name[16];
    std::snprintf(name, sizeof name, shapes[random() % 4], static_cast<unsigned>(random() % 300));
    return std::string(name);
  };
  for (int i = 0; i < 200; ++i) add(name_of());
  for (int step = 0; step < 600; ++step) {
    const std::string label = "step " + std::to_string(step);
    const auto count = static_cast<std::uint32_t>(model.size());
    switch (random() % 5) {
      case 0:  // a whole pass downwards
        for (std::uint32_t i = count; i-- > 0;) expect_at(i, label + " down");
        break;
      case 1:  // a whole pass upwards, and one past the end
        for (std::uint32_t i = 0; i <= count; ++i) expect_at(i, label + " up");
        break;
      case 2:
        add(name_of());
        break;
      case 3:
        if (!model.empty()) {
          const std::size_t gone = random() % model.size();
          ASSERT_EQ(store.DeleteKey(level, OtherCase(model[gone]).c_str()), win32::kSuccess);
          model.erase(model.begin() + static_cast<std::ptrdiff_t>(gone));
        }
        break;
      default:  // jumps near either end and anywhere
        expect_at(static_cast<std::uint32_t>(random() % (count + 1)), label + " jump");
        if (count > 2) expect_at(count - 2, label + " near the end");
        expect_at(1, label + " near the start");
    }
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace qvi::emu
