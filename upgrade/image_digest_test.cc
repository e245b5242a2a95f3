// letsStartUpgradeChecked sends only the image with the caller's SHA-256:
// a file of the update file's name planted elsewhere in the drivers folder
// is named and not sent.
#include "upgrade/image_digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "testing/event_recorder.h"
#include "testing/upgrade/test_drivers_folder.h"
#include "testing/virtual_clock.h"
#include "testing/virtual_device/virtual_device.h"
#include "upgrade/file_search.h"
#include "upgrade/upgrade_entry.h"

namespace {

using Strings = std::vector<std::string>;

// SHA-256 of "abc" and of the empty file.
constexpr char kAbc[] =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr char kEmpty[] =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(ImageDigestTest, OnlySixtyFourLowerCaseHexDigitsAreADigest) {
  std::string upper(kAbc);
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  EXPECT_TRUE(isSha256Text(kAbc));
  EXPECT_FALSE(isSha256Text(nullptr));
  EXPECT_FALSE(isSha256Text(""));
  EXPECT_FALSE(isSha256Text(upper.c_str()));
  EXPECT_FALSE(isSha256Text(std::string(kAbc, 63).c_str()));
  EXPECT_FALSE(isSha256Text((std::string(kAbc) + "0").c_str()));
  EXPECT_FALSE(isSha256Text((std::string(kAbc, 63) + "g").c_str()));
}

TEST(ImageDigestTest, TheFilesDigestIsReadInPieces) {
  TestDriversFolder drivers;
  std::string name = TestDriversFolder::nameOfThisTest(".bin");
  ASSERT_TRUE(drivers.addFile(name + ".abc", "abc"));
  ASSERT_TRUE(drivers.addFile(name + ".empty", ""));
  // Three reads and a bit.
  ASSERT_TRUE(drivers.addFile(name + ".long",
                              std::string(3 * kSha256ReadSize + 5, 'x')));
  Sha256Text digest;
  ASSERT_TRUE(sha256OfFile(TestDriversFolder::path(name + ".abc").c_str(),
                           &digest));
  EXPECT_STREQ(digest.hex, kAbc);
  ASSERT_TRUE(sha256OfFile(TestDriversFolder::path(name + ".empty").c_str(),
                           &digest));
  EXPECT_STREQ(digest.hex, kEmpty);
  ASSERT_TRUE(sha256OfFile(TestDriversFolder::path(name + ".long").c_str(),
                           &digest));
  EXPECT_STREQ(digest.hex,
               "9f73b912c89ce5e2f30e9c293a7d9e36"
               "14c19e9c4e4c83e3a15bb2c3c1c2d6ef");
  EXPECT_FALSE(sha256OfFile(TestDriversFolder::path(name + ".none").c_str(),
                            &digest));
}

#ifdef _WIN32
// What another process could do to the image while it was being sent.
struct ChangeTried {
  bool written;
  bool renamed;
  bool deleted;
};
std::vector<ChangeTried> changesTried;

int32_t tryChangingTheImage(Transport*, const char* imagePath, const char*,
                            uint8_t, uint8_t, uint8_t) {
  ChangeTried tried{};
  HANDLE file = CreateFileA(imagePath, GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE |
                                FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  tried.written = file != INVALID_HANDLE_VALUE;
  if (tried.written) CloseHandle(file);
  std::string moved = std::string(imagePath) + ".moved";
  tried.renamed = MoveFileA(imagePath, moved.c_str()) != 0;
  if (tried.renamed) MoveFileA(moved.c_str(), imagePath);
  tried.deleted = DeleteFileA(imagePath) != 0;
  changesTried.push_back(tried);
  return kImageSent;
}

// Checked and then sent from the same held file: in between nobody can
// write, rename or delete it (a folder others may write could otherwise
// swap the image after its check). Without a digest nothing is held, as
// before; after the send the file is let go.
TEST(HeldImageTest, TheCheckedImageCannotBeChangedUntilItIsSent) {
  TestDriversFolder drivers;
  const std::string dir = TestDriversFolder::nameOfThisTest();
  ASSERT_TRUE(drivers.addDirectory(dir));
  ASSERT_TRUE(drivers.addFile(dir + "\\fw.bin", "abc"));
  const std::string folder = TestDriversFolder::path(dir);
  const std::string image = TestDriversFolder::path(dir + "\\fw.bin");
  struct Case {
    const char* sha256;
    bool held;
  };
  for (const Case& c : {Case{nullptr, false}, Case{kAbc, true}}) {
    SCOPED_TRACE(c.held ? "digest expected" : "no digest");
    changesTried.clear();
    int32_t matches = 0;
    {
      ExpectedImageDigest expected(c.sha256);
      EXPECT_EQ(traverseUpdateFiles(folder.c_str(), "fw.bin",
                                    tryChangingTheImage, nullptr, "V1", 1, 1,
                                    0, &matches),
                1);
    }
    ASSERT_EQ(changesTried.size(), 1u);
    EXPECT_EQ(changesTried[0].written, !c.held);
    EXPECT_EQ(changesTried[0].renamed, !c.held);
    EXPECT_EQ(changesTried[0].deleted, !c.held);
    if (!c.held) {
      ASSERT_TRUE(drivers.addFile(dir + "\\fw.bin", "abc"));
    }
  }
  // Let go: the service may delete the image after a success.
  EXPECT_NE(DeleteFileA(image.c_str()), 0);
}
#endif

class CheckedUpgradeTest : public testing::Test {
 protected:
  void SetUp() override {
    vdev::reset();
    key_ = TestDriversFolder::nameOfThisTest("_fw.bin");
    sub_ = "vlnr_sub_" + key_;
    ASSERT_TRUE(drivers_.addDirectory(sub_));
  }

  int32_t upgrade(const char* sha256) {
    return letsStartUpgradeChecked(0, 1, vdev::defaultInterfaceName(),
                                   key_.c_str(), "V6.1", kUpdateDeviceClass,
                                   sha256, nullptr, nullptr);
  }

  static size_t count(const Strings& texts, const std::string& text) {
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
  }

  TestDriversFolder drivers_;
  std::string key_;
  std::string sub_;
  EventRecorder events_;
  VirtualClock clock_;
};

// As the event shows it: cut to the event's length, the path last.
std::string wrongDigestText(const std::string& path) {
  std::string text = std::string("update file not sent, its SHA-256 ") +
                     kEmpty + " is not the image's " + kAbc + ": " + path;
  return text.substr(0, kEventTextUnits - 1);
}

// The shipped image ("abc") at the top, an empty file of the same name
// planted in a subfolder: with the digest only the shipped one goes out.
TEST_F(CheckedUpgradeTest, APlantedFileIsNamedAndNotSent) {
  ASSERT_TRUE(drivers_.addFile(key_, "abc"));
  ASSERT_TRUE(drivers_.addFile(sub_ + "\\" + key_, ""));
  // Not sent, whatever its content: any other digest is not the image's.
  EXPECT_EQ(upgrade(kAbc), kUpgradeSucceeded);
  vdev::Verdict verdict = vdev::verdict();
  EXPECT_EQ(verdict.announcements, 1u);
  EXPECT_EQ(verdict.image_size, 3u);
  EXPECT_TRUE(verdict.update_started);
  Strings texts = events_.texts();
  std::string planted = TestDriversFolder::path(sub_ + "\\" + key_);
  EXPECT_EQ(count(texts, wrongDigestText(planted)), 1u);
  EXPECT_EQ(count(texts, "veluSendImageFile success"), 1u);
}

// Only the planted file: nothing matches the digest, nothing is sent.
TEST_F(CheckedUpgradeTest, NoFileWithTheDigestIsAFailureWithNothingSent) {
  ASSERT_TRUE(drivers_.addFile(sub_ + "\\" + key_, ""));
  EXPECT_EQ(upgrade(kAbc), kUpgradeDownloadFailed);
  EXPECT_TRUE(vdev::calls(vdev::Call::kDefaultEndpointReadWriteSync).empty());
  EXPECT_FALSE(vdev::verdict().announced);
  Strings texts = events_.texts();
  std::string planted = TestDriversFolder::path(sub_ + "\\" + key_);
  EXPECT_EQ(count(texts, wrongDigestText(planted)), 1u);
  EXPECT_EQ(count(texts, "no update file matches " + key_ + " with SHA-256 " +
                             kAbc + " in C:\\Windows\\System32\\drivers"),
            1u);
  EXPECT_EQ(texts.back(), "Finished traverse update file");
}

// The planted file in the subfolder is the right one (the shipped image
// may be anywhere the search looks); without a digest both go as always.
TEST_F(CheckedUpgradeTest, TheRightFileIsSentWhereverItIs) {
  ASSERT_TRUE(drivers_.addFile(sub_ + "\\" + key_, "abc"));
  EXPECT_EQ(upgrade(kAbc), kUpgradeSucceeded);
  EXPECT_EQ(vdev::verdict().image_size, 3u);
  EXPECT_TRUE(vdev::verdict().md5_verified);

  vdev::reset();
  events_.clear();
  EXPECT_EQ(upgrade(nullptr), kUpgradeSucceeded);
  EXPECT_EQ(vdev::verdict().image_size, 3u);
  for (const std::string& text : events_.texts()) {
    EXPECT_EQ(text.find("SHA-256"), std::string::npos) << text;
  }
}

TEST_F(CheckedUpgradeTest, ATextThatIsNoDigestSendsNothing) {
  ASSERT_TRUE(drivers_.addFile(key_, "abc"));
  std::string upper(kAbc);
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  for (const std::string& given : {upper, std::string("abc"), std::string()}) {
    SCOPED_TRACE(given);
    vdev::reset();
    events_.clear();
    EXPECT_EQ(upgrade(given.c_str()), kUpgradeDownloadFailed);
    EXPECT_TRUE(vdev::calls().empty());
    Strings texts = events_.texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(),
              "the image's SHA-256 is not 64 lower-case hexadecimal digits, "
              "nothing sent: " +
                  given);
  }
}

}  // namespace
