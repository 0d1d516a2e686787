#include "host/suites/string_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

// A descriptor laid out the way an effect ships one: "key=default" texts, then the terminator.
struct Descriptor {
  explicit Descriptor(std::vector<const char*> keys, const char* name = "TEST") {
    for (const char* key : keys) entries.push_back({key, {0, 0, 0}});
    entries.push_back({nullptr, {-1, -1, 0}});
    d = {name, static_cast<intptr_t>(entries.size()), entries.data()};
  }
  std::vector<FxStringTableEntry> entries;
  FxStringTableDescriptor d{};
};

class StringTableTest : public ::testing::Test {
 protected:
  void SetUp() override { live_ = host::LiveStringTableCount(); }
  void TearDown() override {
    host::FailStringTableLoads(FxErr_None);
    EXPECT_EQ(host::LiveStringTableCount(), live_) << "a table was not released";
  }
  // The table handle, or null with the slot left as it was.
  static void* Load(FxStringTableDescriptor& d, int32_t key = kFxStringTableKey) {
    void* slot = &d;
    const FxErr err = host::LoadStringTable(&slot, key);
    EXPECT_EQ(err == FxErr_None, slot != &d) << err;
    return err == FxErr_None ? slot : nullptr;
  }
  int64_t live_ = 0;
};

TEST_F(StringTableTest, TextsAreTheDefaults) {
  Descriptor t({"$$$/T/About=One^nTwo", "$$$/T/Label=Label", "bare key", "k=", "k=a=b", "k=x^ y^"});
  void* table = Load(t.d);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(host::ViewStringTable(table)->name, "TEST");
  EXPECT_EQ(host::ViewStringTable(table)->texts, (Texts{"One\nTwo", "Label", "bare key", "", "a=b", "x^ y^"}));
  EXPECT_STREQ(host::TableString(table, 1, 0, 0), "Label");
  for (int32_t outside : {6, -1, INT32_MAX}) EXPECT_STREQ(host::TableString(table, outside, 0, 0), "");
  EXPECT_STREQ(host::TableString(nullptr, 0, 0, 0), "");

  EXPECT_EQ(host::LiveStringTableCount(), live_ + 1);
  EXPECT_EQ(host::ReleaseStringTable(&table), FxErr_None);
  EXPECT_EQ(table, nullptr);
  EXPECT_NE(host::ReleaseStringTable(&table), FxErr_None);
  EXPECT_NE(host::ReleaseStringTable(nullptr), FxErr_None);
}

TEST_F(StringTableTest, EarlyNullKeyStopsTheWalk) {
  Descriptor t({"a=A", nullptr, "c=C"});
  void* table = Load(t.d);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(host::ViewStringTable(table)->texts, Texts{"A"});
  host::ReleaseStringTable(&table);
}

TEST_F(StringTableTest, MalformedRequestsAreRefused) {
  Descriptor t({"a=A"});
  EXPECT_EQ(Load(t.d, 1234), nullptr);
  EXPECT_NE(host::LoadStringTable(nullptr, kFxStringTableKey), FxErr_None);
  void* empty_slot = nullptr;
  EXPECT_NE(host::LoadStringTable(&empty_slot, kFxStringTableKey), FxErr_None);
  FxStringTableDescriptor no_name = {nullptr, 2, t.entries.data()};
  EXPECT_EQ(Load(no_name), nullptr);
  FxStringTableDescriptor no_entries = {"T", 2, nullptr};
  EXPECT_EQ(Load(no_entries), nullptr);
  // The count is not trusted: the array behind it holds two entries.
  for (intptr_t count : {intptr_t{0}, intptr_t{-1}, intptr_t{1} << 40, INTPTR_MAX}) {
    FxStringTableDescriptor bad_count = {"T", count, t.entries.data()};
    EXPECT_EQ(Load(bad_count), nullptr) << count;
  }
}

TEST_F(StringTableTest, ForcedLoadFailureUntilReset) {
  Descriptor t({"a=A"});
  host::FailStringTableLoads(FxErr_OutOfMemory);
  void* slot = &t.d;
  EXPECT_EQ(host::LoadStringTable(&slot, kFxStringTableKey), FxErr_OutOfMemory);
  host::FailStringTableLoads(FxErr_None);
  void* table = Load(t.d);
  ASSERT_NE(table, nullptr);
  host::ReleaseStringTable(&table);
}

TEST_F(StringTableTest, LastLoadedTableIsReportedWhileLoaded) {
  Descriptor first({"a=first"}, "ONE");
  Descriptor second({"b=second", "c=third"}, "TWO");
  void* t1 = Load(first.d);
  void* t2 = Load(second.d);
  host::StringTableView view;
  ASSERT_TRUE(host::LastLoadedStringTable(view));
  EXPECT_EQ(view.name, "TWO");
  EXPECT_EQ(view.texts, (Texts{"second", "third"}));
  host::ReleaseStringTable(&t1);
  ASSERT_TRUE(host::LastLoadedStringTable(view));
  EXPECT_EQ(view.name, "TWO");
  host::ReleaseStringTable(&t2);
  EXPECT_FALSE(host::LastLoadedStringTable(view));
}

}  // namespace
