// CountedString: capacity classes, heap traffic, null as the empty text,
// DirectoryPart and DuplicateText.
#include <gtest/gtest.h>

#include "sim_test.h"

#include <string>

#include "job/counted_string.h"
#include "winsim/control.h"

namespace svd {
namespace {

using winsim::Memory;

class CountedStringTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    heapBlocksAtStart_ = winsim::LiveBlocks(Memory::Heap);
  }
  
  void TearDown() override {
    Release(a_);
    Release(b_);
    EXPECT_EQ(winsim::LiveBlocks(Memory::Heap), heapBlocksAtStart_);
    SimTest::TearDown();
  }
  // Resizes a_ and fills it with 'x' so its content is defined.
  void ResizeFilled(size_t n) {
    ASSERT_TRUE(Resize(a_, n));
    WCHAR* text = const_cast<WCHAR*>(Text(a_));
    for (size_t i = 0; i < n; ++i) text[i] = 'x';
  }
  static std::u16string Str(CountedString s) { return std::u16string(Text(s), Length(s)); }

  CountedString a_ = nullptr;
  CountedString b_ = nullptr;
  size_t heapBlocksAtStart_ = 0;
};

TEST_F(CountedStringTest, NullIsTheEmptyText) {
  EXPECT_EQ(Length(nullptr), 0u);
  ASSERT_NE(Text(nullptr), nullptr);
  EXPECT_EQ(Text(nullptr)[0], 0);
}

TEST_F(CountedStringTest, ResizeWithinOneCapacityClassMakesNoHeapCall) {
  winsim::ClearMemoryCalls();
  ResizeFilled(20);
  EXPECT_EQ(winsim::MemoryCalls(Memory::Heap), 1u);  // the first block
  const void* block = a_;
  winsim::ClearMemoryCalls();
  ResizeFilled(31);  // 32 units, terminator included: still capacity 32
  ResizeFilled(1);
  ResizeFilled(31);
  EXPECT_EQ(winsim::MemoryCalls(Memory::Heap), 0u);
  EXPECT_EQ(static_cast<const void*>(a_), block);
  EXPECT_EQ(Text(a_)[31], 0);
}

TEST_F(CountedStringTest, CrossingAClassReallocatesOnceEachWay) {
  ResizeFilled(31);
  winsim::ClearMemoryCalls();
  ResizeFilled(32);  // capacity 64
  EXPECT_EQ(winsim::MemoryCalls(Memory::Heap), 1u);
  ResizeFilled(63);  // still 64
  EXPECT_EQ(winsim::MemoryCalls(Memory::Heap), 1u);
  ResizeFilled(64);  // 96
  EXPECT_EQ(winsim::MemoryCalls(Memory::Heap), 2u);
  ResizeFilled(10);  // shrinks back to 32
  EXPECT_EQ(winsim::MemoryCalls(Memory::Heap), 3u);
  EXPECT_EQ(Length(a_), 10u);
  EXPECT_EQ(Str(a_), u"xxxxxxxxxx");
  EXPECT_EQ(Text(a_)[10], 0);
  EXPECT_EQ(winsim::LiveBlocks(Memory::Heap), heapBlocksAtStart_ + 1);
}

TEST_F(CountedStringTest, ResizeToZeroFreesAndLeavesNull) {
  winsim::ClearMemoryCalls();
  ASSERT_TRUE(Resize(a_, 0));  // null to 0: nothing at all
  EXPECT_EQ(winsim::MemoryCalls(Memory::Heap), 0u);
  ResizeFilled(5);
  ASSERT_TRUE(Resize(a_, 0));
  EXPECT_EQ(a_, nullptr);
  EXPECT_EQ(winsim::LiveBlocks(Memory::Heap), heapBlocksAtStart_);
}

TEST_F(CountedStringTest, ResizeKeepsTheLeadingUnits) {
  Assign(a_, u"abcdefghij");
  ASSERT_TRUE(Resize(a_, 4));
  EXPECT_EQ(Str(a_), u"abcd");
  ASSERT_TRUE(Resize(a_, 40));
  EXPECT_EQ(Str(a_).substr(0, 4), u"abcd");
  EXPECT_EQ(Text(a_)[40], 0);
}

TEST_F(CountedStringTest, RefusedBlockLeavesTheStringAsItWas) {
  Assign(a_, u"0123456789012345678901234567890");  // 31 units, capacity 32
  winsim::FailCall("HeapReAlloc", ERROR_NOT_ENOUGH_MEMORY);
  Append(a_, u"more");
  EXPECT_EQ(Str(a_), u"0123456789012345678901234567890");
  winsim::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(Resize(b_, 3));
  EXPECT_EQ(b_, nullptr);
}

TEST_F(CountedStringTest, AssignAndAppend) {
  Assign(a_, u"C:\\dir");
  Append(a_, u"\\file.exe");
  EXPECT_EQ(Str(a_), u"C:\\dir\\file.exe");
  EXPECT_EQ(Text(a_)[Length(a_)], 0);

  Assign(a_, u"");
  EXPECT_EQ(a_, nullptr);
  Assign(a_, u"x");
  Assign(a_, nullptr);
  EXPECT_EQ(a_, nullptr);

  winsim::ClearMemoryCalls();
  Append(a_, u"");
  EXPECT_EQ(a_, nullptr);
  EXPECT_EQ(winsim::MemoryCalls(Memory::Heap), 0u);
  Append(a_, u"ab");
  EXPECT_EQ(Str(a_), u"ab");
}

TEST_F(CountedStringTest, AppendingLinesReallocatesOnlyAtClassSteps) {
  Append(a_, u"0123456789");  // 10
  winsim::ClearMemoryCalls();
  for (int i = 0; i < 9; ++i) Append(a_, u"0123456789");  // up to 100 units
  // Classes crossed: 31->32, 63->64, 95->96.
  EXPECT_EQ(winsim::MemoryCalls(Memory::Heap), 3u);
  EXPECT_EQ(Length(a_), 100u);
}

TEST_F(CountedStringTest, FromAnsi) {
  EXPECT_EQ(FromAnsi(""), nullptr);
  EXPECT_EQ(FromAnsi(nullptr), nullptr);
  a_ = FromAnsi("Settings\xE9");  // e acute in code page 1252
  EXPECT_EQ(Str(a_), u"Settings\u00E9");
  EXPECT_EQ(Text(a_)[Length(a_)], 0);
}

TEST_F(CountedStringTest, CopyIsIndependent) {
  EXPECT_EQ(Copy(nullptr), nullptr);
  Assign(a_, u"abc");
  b_ = Copy(a_);
  ASSERT_NE(b_, a_);
  Append(a_, u"def");
  EXPECT_EQ(Str(b_), u"abc");
  EXPECT_EQ(Text(b_)[3], 0);
}

TEST_F(CountedStringTest, DirectoryPart) {
  struct Case {
    const char16_t* path;
    const char16_t* directory;  // null: no directory
  };
  const Case cases[] = {
      {u"C:\\dir\\file.exe", u"C:\\dir"},
      {u"C:\\dir\\", u"C:\\dir"},
      {u"dir/file", u"dir"},
      {u"C:\\a/b", u"C:"},  // any backslash wins over every slash
      {u"\\file", nullptr},
      {u"/file", nullptr},
      {u"file", nullptr},
      {u"a\\", u"a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(&c - cases));
    Assign(a_, c.path);
    b_ = DirectoryPart(a_);
    if (c.directory == nullptr) {
      EXPECT_EQ(b_, nullptr);
    } else {
      EXPECT_EQ(Str(b_), c.directory);
      EXPECT_EQ(Text(b_)[Length(b_)], 0);
    }
    Release(b_);
  }
  EXPECT_EQ(DirectoryPart(nullptr), nullptr);
}

TEST_F(CountedStringTest, DuplicateTextIsAGlobalCopy) {
  EXPECT_EQ(DuplicateText(nullptr), nullptr);
  EXPECT_EQ(DuplicateText(u""), nullptr);
  size_t globalBlocks = winsim::LiveBlocks(Memory::Global);
  LPWSTR copy = DuplicateText(u"C:\\x.dll");
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::u16string(copy), u"C:\\x.dll");
  EXPECT_EQ(winsim::LiveBlocks(Memory::Global), globalBlocks + 1);
  GlobalFree(copy);
  EXPECT_EQ(winsim::LiveBlocks(Memory::Global), globalBlocks);

  winsim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(DuplicateText(u"abc"), nullptr);
}

}  // namespace
}  // namespace svd
