#include "dialup/EventId.h"

#include "platform/Exceptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace harbolt;

namespace {

TSystemTime MakeTime(int year, int month, int day, int hour, int minute, int second) {
    TSystemTime t;
    t.Year = static_cast<std::uint16_t>(year);
    t.Month = static_cast<std::uint16_t>(month);
    t.Day = static_cast<std::uint16_t>(day);
    t.Hour = static_cast<std::uint16_t>(hour);
    t.Minute = static_cast<std::uint16_t>(minute);
    t.Second = static_cast<std::uint16_t>(second);
    return t;
}

TEventID MakeId(int year, int month, int day, int hour, int minute, int second, int serial) {
    return TEventID{year, month, day, hour, minute, second, serial};
}

// Every test starts from the state the program starts with.
class EventIdTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::lock_guard<std::mutex> lock(EventIDLock);
        LastEventID = TEventID{};
    }
};

TEST_F(EventIdTest, IdsWithinOneSecondGetRisingSerials) {
    const TSystemTime second = MakeTime(2026, 12, 7, 23, 14, 2);
    // Two connections first seen in one pass: New and Online of each.
    std::vector<std::string> keys;
    for (int i = 0; i < 4; ++i)
        keys.push_back(EventIDToString(NewEventIDAt(second)));
    EXPECT_EQ(keys,
              (std::vector<std::string>{"$2026-12-07/23:14.02", "$2026-12-07/23:14.02#0001",
                                        "$2026-12-07/23:14.02#0002", "$2026-12-07/23:14.02#0003"}));

    // The milliseconds and the day of the week do not make a new second.
    TSystemTime sameSecondLater = second;
    sameSecondLater.Milliseconds = 999;
    sameSecondLater.DayOfWeek = 1;
    EXPECT_EQ(NewEventIDAt(sameSecondLater).Serial, 4);

    // The next second starts again at 0 and becomes the one remembered.
    const TEventID next = NewEventIDAt(MakeTime(2026, 12, 7, 23, 14, 3));
    EXPECT_EQ(next, MakeId(2026, 12, 7, 23, 14, 3, 0));
    {
        const std::lock_guard<std::mutex> lock(EventIDLock);
        EXPECT_EQ(LastEventID, next);
    }
    EXPECT_EQ(NewEventIDAt(MakeTime(2026, 12, 7, 23, 14, 3)).Serial, 1);
}

TEST_F(EventIdTest, ConcurrentCallsNeverShareAnId) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    std::vector<std::vector<std::string>> made(kThreads);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&made, t] {
                for (int i = 0; i < kPerThread; ++i)
                    made[t].push_back(EventIDToString(NewEventID()));
            });
    }
    std::set<std::string> unique;
    for (const auto& keys : made)
        for (const auto& key : keys) {
            EXPECT_TRUE(IsEventID(key)) << key;
            unique.insert(key);
        }
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

TEST_F(EventIdTest, ConcurrentCallsInOneSecondUseEverySerialOnce) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 250;
    const TSystemTime second = MakeTime(2030, 1, 2, 3, 4, 5);
    std::vector<std::vector<int>> serials(kThreads);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&serials, &second, t] {
                for (int i = 0; i < kPerThread; ++i)
                    serials[t].push_back(NewEventIDAt(second).Serial);
            });
    }
    std::vector<int> all;
    for (const auto& s : serials)
        all.insert(all.end(), s.begin(), s.end());
    std::sort(all.begin(), all.end());
    for (int i = 0; i < kThreads * kPerThread; ++i)
        ASSERT_EQ(all[static_cast<std::size_t>(i)], i);
}

TEST(EventIdText, FixedWidthFormat) {
    EXPECT_EQ(EventIDToString(MakeId(2026, 12, 7, 23, 14, 2, 1)), "$2026-12-07/23:14.02#0001");
    EXPECT_EQ(EventIDToString(MakeId(1999, 1, 2, 3, 4, 5, 0)), "$1999-01-02/03:04.05");
    EXPECT_EQ(EventIDToString(MakeId(2026, 1, 1, 0, 0, 0, 9999)), "$2026-01-01/00:00.00#9999");
}

TEST(EventIdText, RoundTripAndTextOrderIsTimeOrder) {
    std::vector<TEventID> ids = {
        MakeId(1980, 1, 1, 0, 0, 0, 0),    MakeId(1999, 12, 31, 23, 59, 59, 0),
        MakeId(2000, 1, 1, 0, 0, 0, 0),    MakeId(2000, 1, 1, 0, 0, 0, 1),
        MakeId(2000, 1, 1, 0, 0, 0, 10),   MakeId(2000, 1, 1, 0, 0, 1, 0),
        MakeId(2000, 1, 1, 0, 0, 9, 0),    MakeId(2000, 1, 1, 0, 0, 10, 0),
        MakeId(2026, 2, 9, 9, 9, 9, 9999), MakeId(2026, 10, 1, 0, 0, 0, 0),
        MakeId(2026, 12, 7, 23, 14, 2, 1), MakeId(2200, 12, 31, 24, 60, 60, 9999),
    };
    for (const TEventID& id : ids) {
        const std::string key = EventIDToString(id);
        ASSERT_TRUE(IsEventID(key)) << key;
        EXPECT_EQ(StringToEventID(key), id) << key;
    }
    const auto asTuple = [](const TEventID& id) {
        return std::tie(id.Year, id.Month, id.Day, id.Hour, id.Minute, id.Second, id.Serial);
    };
    for (std::size_t i = 0; i < ids.size(); ++i)
        for (std::size_t j = 0; j < ids.size(); ++j)
            EXPECT_EQ(asTuple(ids[i]) < asTuple(ids[j]),
                      EventIDToString(ids[i]) < EventIDToString(ids[j]))
                << i << " " << j;
}

TEST(IsEventIdTest, AcceptsKeysOfBothLengths) {
    EXPECT_TRUE(IsEventID("$2026-12-07/23:14.02"));
    EXPECT_TRUE(IsEventID("$2026-12-07/23:14.02#0001"));
    EXPECT_TRUE(IsEventID("$2026-12-07/23:14.02#0000"));
    // Only the number fields are examined.
    EXPECT_TRUE(IsEventID("$2026x12y07z23a14b02"));
    EXPECT_TRUE(IsEventID("$2026x12y07z23a14b02#9999"));
    // The bounds of every field.
    EXPECT_TRUE(IsEventID("$1980-01-01/00:00.00"));
    EXPECT_TRUE(IsEventID("$2200-12-31/24:60.60"));
}

TEST(IsEventIdTest, RejectsEverythingElse) {
    const char* const rejected[] = {
        "",
        "$",
        "2026-12-07/23:14.02#",       // no dollar sign, though 20 long
        "#2026-12-07/23:14.02",       // other first character
        "$2026-12-07/23:14.0",        // 19: the second runs past the end
        "$2026-12-07/23:14",          //
        "$2026-12-07/23:14.02#001",   // three-digit serial
        "$2026-12-07/23:14.02#",      //
        "$2026-12-07/23:14.02#00001", // five-digit serial
        "$2026-12-07/23:14.02-0001",  // 25 long but no number sign
        "$2026-12-07/23:14.02 ",      // 21 long
        "$2026-12-07/23:14.02#00a1",  //
        "$1979-12-07/23:14.02",       // year range
        "$2201-12-07/23:14.02",       //
        "$2026-13-07/23:14.02",       // month range
        "$2026-00-07/23:14.02",       //
        "$2026-12-32/23:14.02",       // day range
        "$2026-12-00/23:14.02",       //
        "$2026-12-07/25:14.02",       // hour range
        "$2026-12-07/23:61.02",       // minute range
        "$2026-12-07/23:14.61",       // second range
        "$2026-+1-07/23:14.02",       // signs and blanks are not digits
        "$2026- 1-07/23:14.02",       //
        "$2026-12-07/-0:14.02",       //
        "$+026-12-07/23:14.02",       //
        "$2026-1x-07/23:14.02",       //
        "$2026-12-07/23:14.\xB2\xB2", // superscript two in Windows-1252
    };
    for (const char* text : rejected) {
        EXPECT_FALSE(IsEventID(text)) << text;
        try {
            StringToEventID(text);
            ADD_FAILURE() << "no error for " << text;
        } catch (const EConvertError& e) {
            EXPECT_STREQ(e.what(), "Error in StringToEventID");
        }
    }
    // An embedded NUL is an ordinary non-digit.
    EXPECT_FALSE(IsEventID(std::string("$2026-12-07/23:1\0.02", 20)));
}

TEST(IsEventIdTest, SerialReadOnlyAfterNumberSign) {
    EXPECT_EQ(StringToEventID("$2026-12-07/23:14.02").Serial, 0);
    EXPECT_EQ(StringToEventID("$2026-12-07/23:14.02#0042").Serial, 42);
    EXPECT_EQ(StringToEventID("$2026x12y07z23a14b02#0007"), MakeId(2026, 12, 7, 23, 14, 2, 7));
}

TEST(DurationTextTest, HoursOnlyAboveSixtyMinutes) {
    EXPECT_EQ(DurationText(0), "");
    EXPECT_EQ(DurationText(-5), "");
    EXPECT_EQ(DurationText(1), "1 min");
    EXPECT_EQ(DurationText(45), "45 min");
    EXPECT_EQ(DurationText(60), "60 min");
    EXPECT_EQ(DurationText(61), "1 h, 1 min");
    EXPECT_EQ(DurationText(119), "1 h, 59 min");
    EXPECT_EQ(DurationText(120), "2 h");
    EXPECT_EQ(DurationText(1443), "24 h, 3 min");
}

} // namespace
