#include "formats/part_spool.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "testing/temp_dir.h"

namespace larkpost {
namespace {

std::string Pattern(size_t size, char seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7 % 251);
  return bytes;
}

// Parts of one file, written across the spool's buffer flushes and read back in any order,
// each exactly, and compared by content with parts held elsewhere.
TEST(PartSpool, EachPartReadsBackExactlyAndComparesByContent) {
  testing::TempDir dir;
  PartSpool spool(dir.File("out.zip"));
  auto file = spool.NewFile();
  const std::string big = Pattern(700 * 1024, 'a');
  const std::string small = Pattern(10, 'z');
  for (size_t at = 0; at < big.size(); at += 5000) {
    file->Append(std::string_view(big).substr(at, 5000));
  }
  auto first = file->End();
  file->Append(small);
  auto second = file->End();
  auto empty = file->End();
  file.reset();  // the parts keep the file
  EXPECT_TRUE(dir.Names().empty());  // and the file has no name

  EXPECT_EQ(ReadAllBytes(*second), small);
  EXPECT_EQ(ReadAllBytes(*first), big);
  EXPECT_EQ(empty->size(), 0u);

  Multimedia a, b;
  a.parts.emplace_back().data = first;
  b.parts.emplace_back().data = BytesInMemory(big);
  EXPECT_TRUE(SameMultimedia(a, b));
  std::string changed = big;
  changed[600 * 1024] ^= 1;
  b.parts[0].data = BytesInMemory(changed);
  EXPECT_FALSE(SameMultimedia(a, b));
}

TEST(PartSpool, CountOnlyKeepsSizesAndRefusesToOpen) {
  auto file = PartSpool::CountOnly()->NewFile();
  file->Append(Pattern(300 * 1024, 'q'));
  auto part = file->End();
  EXPECT_EQ(part->size(), 300u * 1024);
  EXPECT_THROW(part->Open(), std::logic_error);
}

}  // namespace
}  // namespace larkpost
