// Recordings made under Wine (recorder_test, the recorder in front of the
// virtual device) replayed through the host build: each must end as the run
// it was recorded from, with the same events, and make exactly the recorded
// calls. A recording changed or cut short must say so, never crash.
#include "testing/upgrade/recorded_session.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <sstream>
#include <string>

#include "testing/upgrade/recorded_scenarios.h"

namespace {

std::string kept(const std::string& name) {
  std::ifstream file(std::string(VELUNOR_RECORDINGS_DIR) + "/" + name + ".txt",
                     std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The line of call `number`, and where it starts.
size_t lineOfCall(const std::string& text, int number) {
  std::string mark = "\n" + std::to_string(number) + " ";
  size_t at = text.find(mark);
  return at == std::string::npos ? at : at + 1;
}

std::string replaced(std::string text, const std::string& from,
                     const std::string& to, size_t after = 0) {
  size_t at = text.find(from, after);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

struct Expected {
  const char* name;
  int32_t result;
};

void PrintTo(const Expected& expected, std::ostream* out) {
  *out << expected.name;
}

class KeptRecordingTest : public testing::TestWithParam<Expected> {};

TEST_P(KeptRecordingTest, ReplaysAsTheRecordedRunEnded) {
  const RecordedScenario* scenario = nullptr;
  for (const RecordedScenario& s : kRecordedScenarios) {
    if (std::string(s.name) == GetParam().name) scenario = &s;
  }
  ASSERT_NE(scenario, nullptr);
  std::string recording = kept(scenario->name);
  ASSERT_FALSE(recording.empty());
  SessionRun run;
  std::string problem;
  ASSERT_TRUE(recordedRun(recording, &run, &problem)) << problem;
  EXPECT_EQ(run.imageSize, scenario->imageSize);

  SessionOutcome replayed = replaySession(recording);
  SessionOutcome live = playSession(scenario->script, run);

  ASSERT_TRUE(replayed.ran) << replayed.problem;
  EXPECT_TRUE(replayed.whole) << replayed.problem;
  EXPECT_EQ(replayed.problem, "");
  EXPECT_EQ(replayed.result, GetParam().result);
  EXPECT_EQ(live.result, GetParam().result);
  EXPECT_EQ(replayed.events, live.events);
  EXPECT_FALSE(replayed.events.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, KeptRecordingTest,
    testing::Values(Expected{"clean-upgrade", 0},
                    Expected{"busy-three-announcements", 0},
                    Expected{"short-status-answer", 0},
                    Expected{"pulled-mid-write", 2}),
    [](const testing::TestParamInfo<Expected>& info) {
      std::string name;
      for (const char* c = info.param.name; *c; ++c) {
        if (*c != '-') name += *c;
      }
      return name;
    });

// One status byte of a recorded answer changed: the library goes another way,
// or leaves the recorded path and the replay names where.
TEST(ChangedRecordingTest, OneStatusByteChangesTheOutcomeOrDiverges) {
  struct Case {
    const char* what;
    int call;                // whose answer is changed
    const char* answer;      // as recorded
    const char* changed;
  };
  const Case cases[] = {
      // The announcement's status: failed instead of accepted.
      {"announcement refused", 14, "answer=0002", "answer=0202"},
      // The digest check's status: failed instead of verified.
      {"digest check failed", 22, "answer=0004", "answer=0204"},
      // The last status, after the start: failed instead of updating.
      {"start failed", 24, "answer=0005", "answer=0205"},
  };
  std::string original = kept("clean-upgrade");
  SessionOutcome unchanged = replaySession(original);
  ASSERT_TRUE(unchanged.whole) << unchanged.problem;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    size_t line = lineOfCall(original, c.call);
    ASSERT_NE(line, std::string::npos);
    std::string text = replaced(original, c.answer, c.changed, line);
    ASSERT_NE(text, original);
    SessionOutcome outcome = replaySession(text);
    ASSERT_TRUE(outcome.ran) << outcome.problem;
    EXPECT_TRUE(outcome.result != unchanged.result || !outcome.whole)
        << "result " << outcome.result;
    EXPECT_NE(outcome.events, unchanged.events);
    if (!outcome.whole) {
      EXPECT_NE(outcome.problem.find("call "), std::string::npos)
          << outcome.problem;
    }
  }
}

// The library asked for something else than the recording holds: the first
// difference ends the replay and is named.
TEST(ChangedRecordingTest, TheFirstDivergenceIsNamed) {
  struct Case {
    const char* what;
    std::string recording;
    const char* message;
  };
  std::string original = kept("clean-upgrade");
  const Case cases[] = {
      {"another version announced", replaced(original, "version=V1.0.7", "version=V1.0.8"),
       "call 13 (AdbDefaultEndpointReadWriteSync): data is 56312e302e38"},
      {"other image bytes", replaced(original, "sha256=0c73456e", "sha256=1c73456e"),
       "call 15 (AdbWriteEndpointSync): sha256 is 0c73456e"},
      {"recording cut after a whole line",
       original.substr(0, lineOfCall(original, 20)),
       "call 20: the library called AdbDefaultEndpointReadWriteSync after "
       "the recording's last call (19)"},
      {"another call recorded",
       replaced(original, "13 AdbDefaultEndpointReadWriteSync",
                "13 AdbReadEndpointSync"),
       "call 13: the library called AdbDefaultEndpointReadWriteSync where the "
       "recording has AdbReadEndpointSync"},
      {"a call the library does not make",
       original + "28 AdbCloseHandle handle=h9 -> result=1 error=0 us=1\n",
       "the library stopped after call 27; the recording goes on with call "
       "28 (AdbCloseHandle)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(c.recording, original);
    SessionOutcome outcome = replaySession(c.recording);
    ASSERT_TRUE(outcome.ran) << outcome.problem;
    EXPECT_FALSE(outcome.whole);
    EXPECT_EQ(outcome.problem.rfind(c.message, 0), 0u) << outcome.problem;
  }
}

// A recording that is not one, or is broken inside: a clear error, no crash,
// nothing sent on as though the device had answered.
TEST(MalformedRecordingTest, ReportedClearly) {
  std::string original = kept("clean-upgrade");
  size_t call13 = lineOfCall(original, 13);
  struct Case {
    const char* what;
    std::string recording;
    const char* message;
  };
  const Case cases[] = {
      {"empty", "", "not a recording: no \"velunor-usb-recording 1\" line"},
      {"other version", replaced(original, "recording 1", "recording 2"),
       "not a recording of this version"},
      {"cut in the middle of a line", original.substr(0, call13 + 40),
       "the recording ends in the middle of line 16: it was cut short"},
      {"no run line", replaced(original, "\nrun ", "\n# "),
       "the recording's run line is missing or incomplete"},
      {"unknown call", replaced(original, "AdbCloseHandle", "AdbFormatDisk"),
       "line 15: call 12: unknown call \"AdbFormatDisk\""},
      {"call out of order", replaced(original, "\n5 Adb", "\n6 Adb"),
       "line 8: call 6 where call 5 belongs"},
      {"field without key", replaced(original, " us=", " =", call13),
       "line 16: call 13: \"="},
      {"no results", replaced(original, " -> result=h1", " result=h1"),
       "line 4: call 1 (AdbEnumInterfaces): no results"},
      {"answer not hexadecimal", replaced(original, "answer=0002", "answer=zz02"),
       "call 14 (AdbDefaultEndpointReadWriteSync): the recording is "
       "malformed: answer is missing or not hexadecimal"},
      {"answer longer than the buffer",
       replaced(original, "answer=0002", "answer=00000000000000000002"),
       "call 14 (AdbDefaultEndpointReadWriteSync): the recording is "
       "malformed: answer holds more bytes than the buffer"},
      {"serial longer than the buffer",
       replaced(original, "size_out=15 text=VLNR-SN-000123",
                "size_out=15 text=" + std::string(300, 'S')),
       "call 11 (AdbGetSerialNumber): the recording is malformed: the text "
       "is longer than the buffer"},
      {"handle that is no handle", replaced(original, "result=h2", "result=hx"),
       "call 3 (AdbCreateInterfaceByName): the recording is malformed: "
       "result is \"hx\", not a handle"},
      {"image too large to make",
       replaced(original, "409c0000", "00000010", call13),
       "the recorded image is larger than a replay makes (67108864 bytes)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(c.recording, original);
    SessionOutcome outcome = replaySession(c.recording);
    EXPECT_FALSE(outcome.whole);
    EXPECT_EQ(outcome.problem.rfind(c.message, 0), 0u) << outcome.problem;
    if (outcome.ran) {
      EXPECT_NE(outcome.result, 0);
    }
  }
}

}  // namespace
