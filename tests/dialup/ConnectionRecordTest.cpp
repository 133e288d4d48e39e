#include "dialup/EventId.h"

#include "platform/Exceptions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

using namespace harbolt;

namespace {

void ExpectRecord(const std::string& value, TConnectionRecordKind kind, const std::string& name,
                  std::int64_t durationMs) {
    SCOPED_TRACE(value);
    const TConnectionRecord record = ParseConnectionRecord(value);
    EXPECT_TRUE(record.Recognised);
    EXPECT_EQ(record.Kind, kind);
    EXPECT_EQ(record.Name, name);
    EXPECT_EQ(record.DurationMs, durationMs);
}

} // namespace

TEST(ConnectionRecordTest, ValueFormats) {
    EXPECT_EQ(NewConnectionRecord("Home"), "!New Connection! Home");
    EXPECT_EQ(OnlineRecord("Home", 12), "!Online! Home since 12 seconds");
    EXPECT_EQ(DroppedRecord("Office", 75), "!Connection Dropped! Office after 75 seconds");
}

TEST(ConnectionRecordTest, ReadsTheThreeKinds) {
    ExpectRecord("!New Connection! Home", TConnectionRecordKind::New, "Home", 0);
    ExpectRecord("!Online! Home since 0 seconds", TConnectionRecordKind::Online, "Home", 0);
    ExpectRecord("!Connection Dropped! Office after 75 seconds", TConnectionRecordKind::Dropped,
                 "Office", 75000);
    // The character after the marker is skipped whatever it is.
    ExpectRecord("!New Connection!XHome", TConnectionRecordKind::New, "Home", 0);
    ExpectRecord("!New Connection!", TConnectionRecordKind::New, "", 0);
}

TEST(ConnectionRecordTest, NamesSurviveTheRoundTrip) {
    const std::string names[] = {
        "Home",
        "",
        "Up since dawn",           // contains the Online separator
        "Backup after midnight",   // contains the Dropped separator
        "T since 3 seconds after", // both, with a number in between
        "30 seconds",              //
        "DF\xDC-Verbindung 2",     // Windows-1252 bytes
        " leading and trailing ",  //
    };
    for (const std::string& name : names) {
        ExpectRecord(NewConnectionRecord(name), TConnectionRecordKind::New, name, 0);
        ExpectRecord(OnlineRecord(name, 42), TConnectionRecordKind::Online, name, 42000);
        ExpectRecord(DroppedRecord(name, 7), TConnectionRecordKind::Dropped, name, 7000);
    }
}

TEST(ConnectionRecordTest, NewRecordNameIsCutAtThousandCharacters) {
    const std::string name(1500, 'n');
    const TConnectionRecord record = ParseConnectionRecord(NewConnectionRecord(name));
    EXPECT_EQ(record.Name, std::string(1000, 'n'));
}

TEST(ConnectionRecordTest, LongDurationsDoNotOverflow) {
    // About 25 days online: more milliseconds than a 32-bit integer holds.
    ExpectRecord(OnlineRecord("Home", 2147484), TConnectionRecordKind::Online, "Home",
                 INT64_C(2147484000));
    const std::int32_t most = std::numeric_limits<std::int32_t>::max();
    ExpectRecord(DroppedRecord("Home", most), TConnectionRecordKind::Dropped, "Home",
                 static_cast<std::int64_t>(most) * 1000);
}

TEST(ConnectionRecordTest, OtherValuesAreNotRecognised) {
    const char* const others[] = {
        "",
        "yes",
        "Home,Office",
        "!new connection! Home", // markers are case-sensitive
        "!ONLINE! Home since 5 seconds",
        "!Online",
        "Online! Home since 5 seconds",
        "!Connection Dropped Office after 5 seconds",
        " !New Connection! Home",
    };
    for (const char* value : others) {
        const TConnectionRecord record = ParseConnectionRecord(value);
        EXPECT_FALSE(record.Recognised) << value;
        EXPECT_EQ(record.Name, "") << value;
        EXPECT_EQ(record.DurationMs, 0) << value;
    }
}

TEST(ConnectionRecordTest, BadSecondsRaiseConversionError) {
    const char* const broken[] = {
        "!Online!",
        "!Online! Home",
        "!Online! Home since ",
        "!Online! Home since 5",                   // no unit
        "!Online! Home since 5seconds",            //
        "!Online! Home since five seconds",        //
        "!Online! Home since  5 seconds",          // blank before the number
        "!Online! Home since 5.5 seconds",         //
        "!Online! Home since 99999999999 seconds", // beyond 32 bits
        "!Connection Dropped!",
        "!Connection Dropped! Home after",
        "!Connection Dropped! Home since 5 seconds", // separator of the other kind
        "!Connection Dropped! Home after 0x10 seconds",
    };
    for (const char* value : broken)
        EXPECT_THROW(ParseConnectionRecord(value), EConvertError) << value;
}

TEST(ConnectionRecordTest, DialCausesAreNoConnectionRecordAndStayOneSafeLine) {
    const std::string record = DialCauseRecord("10.0.0.5 HTTP PROXY www.example.com:80");
    EXPECT_EQ(record, "!Dial Cause! 10.0.0.5 HTTP PROXY www.example.com:80");
    EXPECT_FALSE(ParseConnectionRecord(record).Recognised);
    EXPECT_EQ(ParseDialCause(record), "10.0.0.5 HTTP PROXY www.example.com:80");
    EXPECT_FALSE(ParseDialCause(NewConnectionRecord("Home")));

    const std::string forged = DialCauseRecord("10.0.0.7 DNS a\r\nb" + std::string(300, 'x'));
    EXPECT_EQ(ParseDialCause(forged)->size(), kMaxDialCauseLength);
    EXPECT_EQ(ParseDialCause(forged)->substr(0, 16), "10.0.0.7 DNS a??");
}
