#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

class OpenBinaryFileTest : public testing::Test {
 protected:
  void SetUp() override {
    FILE* file = std::fopen(kName, "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("image bytes", file);
    std::fclose(file);
  }
  void TearDown() override { std::remove(kName); }

  static constexpr char kName[] = "open_binary_file_test.bin";
};

TEST_F(OpenBinaryFileTest, ReadsTheFileAsBytes) {
  FILE* file = openBinaryFile(kName);
  ASSERT_NE(file, nullptr);
  char bytes[32] = {};
  EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, file), 11u);
  EXPECT_STREQ(bytes, "image bytes");
  std::fclose(file);
}

TEST_F(OpenBinaryFileTest, MissingFilesAndFoldersDoNotOpen) {
  EXPECT_EQ(openBinaryFile("no_such_image.bin"), nullptr);
  EXPECT_EQ(openBinaryFile("."), nullptr);
}

#ifdef _WIN32
// A worker ended during a download never closes its image; the service must
// still be able to delete the update file later.
TEST_F(OpenBinaryFileTest, AnOpenImageCanStillBeDeleted) {
  FILE* file = openBinaryFile(kName);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::remove(kName), 0);
  std::fclose(file);
  EXPECT_EQ(std::fopen(kName, "rb"), nullptr);
}
#endif

}  // namespace
