#include "upgrade/file_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "testing/event_recorder.h"
#include "testing/upgrade/test_drivers_folder.h"

namespace {

using Strings = std::vector<std::string>;

// What the search handed to the per-file download.
struct SendCall {
  Transport* transport;
  std::string path;
  std::string version;
  uint8_t bUpdate;
  uint8_t bSegmented;
  uint8_t bForce;
};

std::vector<SendCall> sent;
std::vector<int32_t> sendResults;  // by call, 0 when not given

int32_t recordSend(Transport* transport, const char* imagePath,
                   const char* version, uint8_t bUpdate, uint8_t bSegmented,
                   uint8_t bForce) {
  size_t call = sent.size();
  sent.push_back(
      SendCall{transport, imagePath, version, bUpdate, bSegmented, bForce});
  return call < sendResults.size() ? sendResults[call] : 0;
}

Strings sentPaths() {
  Strings paths;
  for (const SendCall& call : sent) paths.push_back(call.path);
  return paths;
}

// A directory bit besides 0x10. Wine keeps no read-only bit on a directory,
// so there the system bit stands in; the host has no system bit.
#ifdef _WIN32
constexpr unsigned kFurtherBit = TestDriversFolder::kSystem;
#else
constexpr unsigned kFurtherBit = TestDriversFolder::kReadOnly;
#endif

// A transport address that is only passed through, never used.
Transport* const kTransport = reinterpret_cast<Transport*>(0x5EED0);

class FileSearchTest : public testing::Test {
 protected:
  void SetUp() override {
    sent.clear();
    sendResults.clear();
    // Each test searches a folder of its own below the drivers folder, so
    // tests running at once in the same prefix never see each other.
    dir_ = TestDriversFolder::nameOfThisTest();
    ASSERT_TRUE(drivers_.addDirectory(dir_));
  }

  std::string at(const std::string& relative) const {
    return TestDriversFolder::path(dir_ + "\\" + relative);
  }

  int32_t search(const char* updateFile) {
    return traverseUpdateFiles(TestDriversFolder::path(dir_).c_str(),
                               updateFile, recordSend, kTransport, "V1.2.3", 1,
                               1, 0, &matches_);
  }

  TestDriversFolder drivers_;
  std::string dir_;
  int32_t matches_ = 0;
  EventRecorder events_;
};

// The platform's directory search -------------------------------------------

TEST_F(FileSearchTest, DirectorySearchDeliversDotsFirstAndRealAttributes) {
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\a.bin", "a"));
  ASSERT_TRUE(drivers_.addDirectory(dir_ + "\\plain"));
  ASSERT_TRUE(drivers_.addDirectory(dir_ + "\\.hidden"));
  ASSERT_TRUE(drivers_.addDirectory(dir_ + "\\locked"));
  ASSERT_TRUE(
      drivers_.markDirectory(dir_ + "\\.hidden", TestDriversFolder::kHidden));
  ASSERT_TRUE(drivers_.markDirectory(dir_ + "\\locked", kFurtherBit));
  _finddata_t entry{};
  intptr_t search = _findfirst(at("*.*").c_str(), &entry);
  ASSERT_NE(search, -1);
  EXPECT_STREQ(entry.name, ".");
  EXPECT_EQ(entry.attrib, 0x10u);
  ASSERT_EQ(_findnext(search, &entry), 0);
  EXPECT_STREQ(entry.name, "..");
  std::vector<std::pair<std::string, unsigned>> rest;
  while (_findnext(search, &entry) == 0)
    rest.emplace_back(entry.name, entry.attrib);
  EXPECT_EQ(_findclose(search), 0);
  ASSERT_EQ(rest.size(), 4u);
  std::sort(rest.begin(), rest.end());
  EXPECT_EQ(rest[0].first, ".hidden");
  EXPECT_EQ(rest[0].second & 0x12u, 0x12u);
  EXPECT_EQ(rest[1].first, "a.bin");
  EXPECT_EQ(rest[1].second & 0x10u, 0u);
  EXPECT_EQ(rest[2].first, "locked");
  EXPECT_EQ(rest[2].second & (0x10u | kFurtherBit), 0x10u | kFurtherBit);
  EXPECT_EQ(rest[3].first, "plain");
  EXPECT_EQ(rest[3].second, 0x10u);
}

TEST_F(FileSearchTest, MissingDirectoryGivesNothing) {
  EXPECT_EQ(traverseUpdateFiles(at("absent").c_str(), "fw.bin", recordSend,
                                kTransport, "V1", 0, 1, 0, &matches_),
            0);
  EXPECT_EQ(matches_, 0);
  EXPECT_TRUE(sent.empty());
  EXPECT_TRUE(events_.events().empty());
}

TEST_F(FileSearchTest, EmptyDirectoryGivesNothing) {
  EXPECT_EQ(search(""), 0);
  EXPECT_EQ(matches_, 0);
  EXPECT_TRUE(sent.empty());
}

// Matching --------------------------------------------------------------------

TEST_F(FileSearchTest, EveryMatchSendsTheUpdateFileItself) {
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\fw.bin", "new"));
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\fw.bin.old", "old"));
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\readme.txt", "text"));
  EXPECT_EQ(search("fw.bin"), 2);
  EXPECT_EQ(matches_, 2);
  EXPECT_EQ(sentPaths(), Strings({at("fw.bin"), at("fw.bin")}));
  for (const SendCall& call : sent) {
    EXPECT_EQ(call.transport, kTransport);
    EXPECT_EQ(call.version, "V1.2.3");
    EXPECT_EQ(call.bUpdate, 1);
    EXPECT_EQ(call.bSegmented, 1);
    EXPECT_EQ(call.bForce, 0);
  }
  EXPECT_EQ(events_.texts(), Strings({"veluSendImageFile success",
                                      "veluSendImageFile success"}));
  for (const RecordedEvent& event : events_.events()) {
    EXPECT_EQ(event.type, EVENTLOG_INFORMATION_TYPE);
  }
}

TEST_F(FileSearchTest, NamesAreComparedWithTheirCase) {
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\FW.BIN", "upper"));
  EXPECT_EQ(search("fw.bin"), 0);
  EXPECT_EQ(matches_, 0);
  EXPECT_TRUE(sent.empty());
  EXPECT_TRUE(events_.events().empty());
}

TEST_F(FileSearchTest, EmptyNameMatchesEveryFileAndAsksForTheFolder) {
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\one", "1"));
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\two", "2"));
  ASSERT_TRUE(drivers_.addDirectory(dir_ + "\\sub"));
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\sub\\three", "3"));
  sendResults = {-2, -2, -2};
  EXPECT_EQ(search(""), 0);
  EXPECT_EQ(matches_, 3);
  Strings paths = sentPaths();
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, Strings({at(""), at(""), at("sub\\")}));
  EXPECT_EQ(events_.texts(), Strings(3, "veluSendImageFile fail"));
}

TEST_F(FileSearchTest, PlainSubdirectoryIsSearchedWithItsPath) {
  ASSERT_TRUE(drivers_.addDirectory(dir_ + "\\sub"));
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\sub\\fw.bin", "image"));
  EXPECT_EQ(search("fw.bin"), 1);
  EXPECT_EQ(matches_, 1);
  EXPECT_EQ(sentPaths(), Strings({at("sub\\fw.bin")}));
}

TEST_F(FileSearchTest, PlainSubdirectoryNamedLikeTheFileIsOnlyDescended) {
  ASSERT_TRUE(drivers_.addDirectory(dir_ + "\\fw.bin.d"));
  EXPECT_EQ(search("fw.bin"), 0);
  EXPECT_EQ(matches_, 0);
  EXPECT_TRUE(sent.empty());
}

TEST_F(FileSearchTest, HiddenSubdirectoryIsMatchedByNameNotDescended) {
  ASSERT_TRUE(drivers_.addDirectory(dir_ + "\\.fw.bin.d"));
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\.fw.bin.d\\fw.bin", "inner"));
  ASSERT_TRUE(
      drivers_.markDirectory(dir_ + "\\.fw.bin.d", TestDriversFolder::kHidden));
  EXPECT_EQ(search("fw.bin"), 1);
  EXPECT_EQ(matches_, 1);
  EXPECT_EQ(sentPaths(), Strings({at("fw.bin")}));
}

TEST_F(FileSearchTest, SubdirectoryWithAFurtherBitIsMatchedNotDescended) {
  ASSERT_TRUE(drivers_.addDirectory(dir_ + "\\old_fw.bin_dir"));
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\old_fw.bin_dir\\fw.bin", "inner"));
  ASSERT_TRUE(drivers_.markDirectory(dir_ + "\\old_fw.bin_dir", kFurtherBit));
  EXPECT_EQ(search("fw.bin"), 1);
  EXPECT_EQ(matches_, 1);
  EXPECT_EQ(sentPaths(), Strings({at("fw.bin")}));
}

TEST_F(FileSearchTest, FailedSendIsCountedAsMatchButNotAsSuccess) {
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\fw.bin", "a"));
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\fw.bin.1", "b"));
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\fw.bin.2", "c"));
  sendResults = {0, -7, 0};
  matches_ = 4;  // matches of earlier levels are kept
  EXPECT_EQ(search("fw.bin"), 2);
  EXPECT_EQ(matches_, 7);
  EXPECT_EQ(events_.texts(),
            Strings({"veluSendImageFile success", "veluSendImageFile fail",
                     "veluSendImageFile success"}));
  EXPECT_EQ(events_.events()[1].type, EVENTLOG_ERROR_TYPE);
}

// Long paths ------------------------------------------------------------------

TEST_F(FileSearchTest, DirectoryPathBeyondTheBufferIsCutAndNotFound) {
  std::string longName(600, 'x');
  std::string directory = TestDriversFolder::path(dir_) + "\\" + longName;
  EXPECT_EQ(traverseUpdateFiles(directory.c_str(), "fw.bin", recordSend,
                                kTransport, "V1", 0, 1, 0, &matches_),
            0);
  EXPECT_EQ(matches_, 0);
  EXPECT_TRUE(sent.empty());
}

TEST_F(FileSearchTest, ImagePathBeyondTheBufferIsCutTo511Characters) {
  ASSERT_TRUE(drivers_.addFile(dir_ + "\\fw.bin", "image"));
  // "\." segments make a long spelling of the same folder: its prefix
  // leaves room for only part of the file name.
  std::string directory = TestDriversFolder::path(dir_);
  while (directory.size() < 507) directory += "\\.";
  traverseUpdateFiles(directory.c_str(), "fw.bin", recordSend, kTransport, "V1",
                      0, 1, 0, &matches_);
#ifdef _WIN32
  // The runtime's narrow search refuses a pattern beyond MAX_PATH.
  EXPECT_TRUE(sent.empty());
#else
  EXPECT_EQ(sentPaths(), Strings({(directory + "\\fw.bin").substr(0, 511)}));
#endif
}

}  // namespace
