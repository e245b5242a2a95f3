#include "common/event_report.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testing/event_recorder.h"

namespace {

// Runs first in the process (CTest runs each case in a process of its own).
TEST(EventReportTest, FirstEventOfTheProcessHasIdOne) {
  EventRecorder recorder;
  reportEvent(EVENTLOG_INFORMATION_TYPE, U16("first"));
  ASSERT_EQ(recorder.events().size(), 1u);
  EXPECT_EQ(recorder.events()[0].id, 1u);
}

TEST(EventReportTest, WideEventCarriesTheConventionalArguments) {
  registerEventSource(U16("VelunorUpdateService"));
  EventRecorder recorder;
  reportEvent(EVENTLOG_ERROR_TYPE, U16("OpenSCManager fail"));
  std::vector<RecordedEvent> events = recorder.events();
  ASSERT_EQ(events.size(), 1u);
  const RecordedEvent& event = events[0];
  EXPECT_TRUE(event.wide);
  EXPECT_NE(event.source, nullptr);
  EXPECT_EQ(event.source, eventSource);
  EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(event.category, 0);
  EXPECT_EQ(event.sid, nullptr);
  EXPECT_EQ(event.dataSize, 0u);
  EXPECT_EQ(event.rawData, nullptr);
  EXPECT_EQ(event.strings, std::vector<std::string>{"OpenSCManager fail"});
}

TEST(EventReportTest, NarrowEventCarriesEveryStringInOrder) {
  EventRecorder recorder;
  const char* strings[] = {"update file : ", "fw.bin", "bForce : ", "1"};
  reportEventStrings(EVENTLOG_INFORMATION_TYPE, strings, 4);
  std::vector<RecordedEvent> events = recorder.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].wide);
  EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(events[0].category, 0);
  EXPECT_EQ(events[0].sid, nullptr);
  EXPECT_EQ(events[0].dataSize, 0u);
  EXPECT_EQ(events[0].rawData, nullptr);
  EXPECT_EQ(events[0].strings,
            (std::vector<std::string>{"update file : ", "fw.bin", "bForce : ",
                                      "1"}));
}

// The Event ID a viewer shows (the low word) rises by one whatever the
// event; an event of several strings carries their number in the high word,
// by which the message file finds the message that shows them all.
TEST(EventReportTest, IdsRiseByOneAcrossBothKindsOfEvent) {
  EventRecorder recorder;
  const char* two[] = {"serial_number : ", "ABC"};
  const char* one[] = {"letsStartUpgrade() entry"};
  DWORD first = eventCounter.load();
  reportEvent(EVENTLOG_SUCCESS, U16("one"));
  reportEventStrings(EVENTLOG_INFORMATION_TYPE, two, 2);
  reportEventFormat(EVENTLOG_ERROR_TYPE, "errno: %d", 6);
  reportEventStrings(EVENTLOG_INFORMATION_TYPE, one, 1);
  std::vector<RecordedEvent> events = recorder.events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].id, first);
  EXPECT_EQ(events[1].id, (DWORD{2} << 16) | (first + 1));
  EXPECT_EQ(events[2].id, first + 2);
  EXPECT_EQ(events[3].id, first + 3);
  EXPECT_EQ(eventCounter.load(), first + 4);
  EXPECT_EQ(events[2].text(), "errno: 6");
}

TEST(EventReportTest, TheIdKeepsTheSequenceInTheLowWordAndTheStringsAbove) {
  EXPECT_EQ(eventIdentifier(5, 0), 5u);
  EXPECT_EQ(eventIdentifier(5, 1), 5u);
  EXPECT_EQ(eventIdentifier(5, 8), 0x00080005u);
  // Past 65535 events a viewer shows the low word, as it always did; the
  // high word stays the strings' number, so no other message is found.
  EXPECT_EQ(eventIdentifier(0x10003, 1), 3u);
  EXPECT_EQ(eventIdentifier(0x20003, 2), 0x00020003u);
}

TEST(EventReportTest, ConcurrentReportersNeverShareAnId) {
  EventRecorder recorder;
  constexpr int kThreads = 4;
  constexpr int kEventsEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kEventsEach; ++i) {
        reportEvent(EVENTLOG_INFORMATION_TYPE, U16("tick"));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<DWORD> ids;
  for (const RecordedEvent& event : recorder.events()) ids.insert(event.id);
  ASSERT_EQ(ids.size(), size_t{kThreads * kEventsEach});
  EXPECT_EQ(*ids.rbegin() - *ids.begin() + 1, DWORD{kThreads * kEventsEach});
}

TEST(EventReportTest, FormattedTextIsCutTo255UnitsAndTerminated) {
  EventRecorder recorder;
  std::string long_value(400, 'x');
  reportEventFormat(EVENTLOG_ERROR_TYPE, "value: %s", long_value.c_str());
  std::vector<RecordedEvent> events = recorder.events();
  ASSERT_EQ(events.size(), 1u);
  std::string expected = "value: " + std::string(255 - 7, 'x');
  EXPECT_EQ(events[0].text(), expected);
}

TEST(EventReportTest, FormattedTextKeepsItsLineFeed) {
  WCHAR text[kEventTextUnits];
  auto format = [&text](const char* f, ...) {
    va_list values;
    va_start(values, f);
    formatEventText(text, f, values);
    va_end(values);
  };
  format("usb_read %zd\n", static_cast<size_t>(1048577));
  EXPECT_EQ(toUtf8(text), "usb_read 1048577\n");
  EXPECT_EQ(wideLength(text), 17u);
}

}  // namespace
