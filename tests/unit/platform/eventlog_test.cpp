#include <gtest/gtest.h>

#include "platform/eventlog.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

class EventLogTest : public test::RootTest {};

TEST_F(EventLogTest, RecordsTypeNumberAndInsertionStrings) {
  EventSource source;
  ASSERT_EQ(RegisterEventSource("Corvane SMTP Server", source), 0);
  ASSERT_EQ(ReportEvent(source, EventType::Error, 0, 435, {"a", "tab\there", nullptr}), 0);
  ASSERT_EQ(ReportEvent(source, EventType::Information, 0, 436, {}), 0);
  std::vector<EventRecord> records;
  ASSERT_EQ(ReadEventLog(records), 0);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].source, "Corvane SMTP Server");
  EXPECT_EQ(records[0].type, EventType::Error);
  EXPECT_EQ(records[0].eventId, 435u);
  ASSERT_EQ(records[0].strings.size(), 3u);
  EXPECT_EQ(records[0].strings[1], "tab\there");
  EXPECT_TRUE(records[0].nullString[2]);
  EXPECT_FALSE(records[0].nullString[0]);
  EXPECT_TRUE(records[1].strings.empty());
  EXPECT_EQ(records[1].type, EventType::Information);
}

TEST_F(EventLogTest, UnregisteredSourceIsRefused) {
  EventSource source;
  EXPECT_NE(ReportEvent(source, EventType::Error, 0, 1, {}), 0);
  EXPECT_NE(RegisterEventSource("", source), 0);
}

}  // namespace
}  // namespace faxmail::platform
