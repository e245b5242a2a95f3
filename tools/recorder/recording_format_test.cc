// The recording's values must come back as they were written: a serial
// number with a blank or a percent sign, an interface path beyond ASCII, a
// GUID, bytes. What cannot be read back is refused, never half read.
#include "tools/recorder/recording_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using recording::escapeText;
using recording::unescapeText;

TEST(RecordingFormatTest, TextsComeBackAsWritten) {
  struct Case {
    std::u16string text;
    const char* written;
  };
  const Case cases[] = {
      {u"VLNR-SN-000123", "VLNR-SN-000123"},
      {u"SN 7", "SN%00207"},
      {u"100%", "100%0025"},
      {u"a=b", "a=b"},
      {u"\u00e9\u4e2d", "%00E9%4E2D"},
      {u"tab\there\n", "tab%0009here%000A"},
      {u"", ""},
  };
  for (const Case& c : cases) {
    std::vector<uint16_t> units(c.text.begin(), c.text.end());
    std::string written = escapeText(units.data(), units.size());
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(written.find(' '), std::string::npos);
    std::vector<uint16_t> read;
    ASSERT_TRUE(unescapeText(written, &read)) << written;
    EXPECT_EQ(read, units) << written;
  }
}

TEST(RecordingFormatTest, BrokenValuesAreRefused) {
  std::vector<uint16_t> units;
  std::vector<uint8_t> bytes;
  uint8_t guid[16];
  uint64_t number = 0;
  for (const char* text : {"%", "%12", "ab%00G0", "%zzzz"}) {
    EXPECT_FALSE(unescapeText(text, &units)) << text;
  }
  for (const char* text : {"0", "0g", "abc"}) {
    EXPECT_FALSE(recording::unhex(text, &bytes)) << text;
  }
  for (const char* text :
       {"", "{6b11e5bb-f5ca-4902-9615-773b3d2f2fe}",
        "6b11e5bb-f5ca-4902-9615-773b3d2f2fec00",
        "{6b11e5bb+f5ca-4902-9615-773b3d2f2fec}",
        "{6B11E5BB-F5CA-4902-9615-773B3D2F2FEC}"}) {
    EXPECT_FALSE(recording::parseGuid(text, guid)) << text;
  }
  for (const char* text : {"", "-1", "1x", "18446744073709551616"}) {
    EXPECT_FALSE(recording::parseNumber(text, &number)) << text;
  }
}

TEST(RecordingFormatTest, GuidsAndBytesComeBackAsWritten) {
  const uint8_t guid[16] = {0xBB, 0xE5, 0x11, 0x6B, 0xCA, 0xF5, 0x02, 0x49,
                            0x96, 0x15, 0x77, 0x3B, 0x3D, 0x2F, 0x2F, 0xEC};
  std::string text = recording::guidText(guid);
  EXPECT_EQ(text, "{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}");
  uint8_t read[16] = {};
  ASSERT_TRUE(recording::parseGuid(text, read));
  EXPECT_EQ(std::vector<uint8_t>(read, read + 16),
            std::vector<uint8_t>(guid, guid + 16));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(recording::unhex(recording::hex(guid, 16), &bytes));
  EXPECT_EQ(bytes, std::vector<uint8_t>(guid, guid + 16));
  EXPECT_EQ(recording::sha256Hex("", 0),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
