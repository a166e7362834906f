#include "zones/zone_passwords.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/tick_clock.h"

namespace kelvaro {
namespace {


TEST(ZoneNamesMatchTest, CaseIsIgnoredButLengthIsNot) {
    EXPECT_TRUE(zoneNamesMatch("Alpha Zone", "ALPHA zone"));
    EXPECT_FALSE(zoneNamesMatch("Alpha", "Alpha2"));
    EXPECT_FALSE(zoneNamesMatch("Alpha2", "Alpha"));
    EXPECT_FALSE(zoneNamesMatch("Alpha", "Alphb"));
}

TEST(ZoneNamesMatchTest, OnlyTheFirstTwentyOneCharactersCount) {
    const std::string stem = "abcdefghijklmnopqrstu";  // 21 characters
    ASSERT_EQ(stem.size(), kNameCompareLength);
    EXPECT_TRUE(zoneNamesMatch(stem + "vwxy", stem + "VWXZ"));
    EXPECT_TRUE(zoneNamesMatch(stem, stem + "tail"));
    EXPECT_FALSE(zoneNamesMatch(stem.substr(0, 20), stem));
    EXPECT_FALSE(zoneNamesMatch(stem, "abcdefghijklmnopqrstX"));
}

TEST(ZoneNamesMatchTest, TwoCharacterTagNeedsOneIncomingCapital) {
    EXPECT_TRUE(zoneNamesMatch("xy Alpha", "Xy Beta"));
    EXPECT_TRUE(zoneNamesMatch("xy Alpha", "xY Beta"));
    EXPECT_FALSE(zoneNamesMatch("xy Alpha", "xy Beta"));
}

TEST(ZoneNamesMatchTest, ThreeAndFourCharacterTagsNeedTwoIncomingCapitals) {
    EXPECT_TRUE(zoneNamesMatch("ABC One", "ABc Two"));
    EXPECT_FALSE(zoneNamesMatch("ABC One", "Abc Two"));
    EXPECT_TRUE(zoneNamesMatch("abcd One", "AbCd Two"));
    EXPECT_FALSE(zoneNamesMatch("abcd One", "Abcd Two"));
}

TEST(ZoneNamesMatchTest, CapitalsCountInTheIncomingNameOnly) {
    EXPECT_FALSE(zoneNamesMatch("AB one", "ab two"));
    EXPECT_TRUE(zoneNamesMatch("ab one", "AB two"));
}

TEST(ZoneNamesMatchTest, SpacesOutsideTheTagPositionsDoNotEndTheComparison) {
    EXPECT_FALSE(zoneNamesMatch("A x", "A y"));          // position 1
    EXPECT_FALSE(zoneNamesMatch("ABCDE x", "ABCDE y"));  // position 5
    EXPECT_FALSE(zoneNamesMatch("ABCDEF x", "ABCDEF y"));
    // A space at position 1 is compared like any character; the capitals
    // before a later space at position 3 still count, both of them.
    EXPECT_TRUE(zoneNamesMatch("a b x", "A B y"));
    EXPECT_FALSE(zoneNamesMatch("a b x", "A b y"));
}

TEST(PasswordsMatchTest, ExactCaseSensitiveAndLengthChecked) {
    EXPECT_TRUE(passwordsMatch("secret", "secret"));
    EXPECT_FALSE(passwordsMatch("secret", "Secret"));
    EXPECT_FALSE(passwordsMatch("secret", "secret2"));
    EXPECT_FALSE(passwordsMatch("secret2", "secret"));
    EXPECT_TRUE(passwordsMatch("", ""));
    EXPECT_FALSE(passwordsMatch("", "x"));
    EXPECT_TRUE(passwordsMatch("123456789012345", "123456789012345extra"));
}

class ZonePasswordsTest : public ::testing::Test {
protected:
    static constexpr uint32_t kDelay = 5000;

    ManualClock clock{1000};
    ZonePasswords registry{ZoneSettings{.ReclaimDelay = kDelay}};
};

TEST_F(ZonePasswordsTest, FirstAnnouncementRegistersItsPassword) {
    EXPECT_TRUE(registry.checkZonePassword("Alpha", "pw1"));
    EXPECT_FALSE(registry.checkZonePassword("Alpha", "pw2"));
    EXPECT_TRUE(registry.checkZonePassword("Alpha", "pw1"));
    EXPECT_EQ(registry.count(), 1);
}

TEST_F(ZonePasswordsTest, NamesDifferingInCaseShareOneRecord) {
    ASSERT_TRUE(registry.checkZonePassword("alpha zone", "pw1"));
    EXPECT_FALSE(registry.checkZonePassword("ALPHA ZONE", "pw2"));
    EXPECT_TRUE(registry.checkZonePassword("Alpha Zone", "pw1"));
    EXPECT_EQ(registry.count(), 1);
}

TEST_F(ZonePasswordsTest, LongNamesAgreeingInTwentyOneCharactersShareOneRecord) {
    ASSERT_TRUE(registry.checkZonePassword("abcdefghijklmnopqrstuVWXY", "pw1"));
    EXPECT_FALSE(registry.checkZonePassword("abcdefghijklmnopqrstu1234", "pw2"));
    EXPECT_EQ(registry.count(), 1);
}

TEST_F(ZonePasswordsTest, TaggedNameIsCapturedOnlyByATagWithEnoughCapitals) {
    ASSERT_TRUE(registry.checkZonePassword("ABC One", "pw1"));
    EXPECT_FALSE(registry.checkZonePassword("ABc Two", "pw2"));
    EXPECT_TRUE(registry.checkZonePassword("ABc Two", "pw1"));
    EXPECT_EQ(registry.count(), 1);
    EXPECT_TRUE(registry.checkZonePassword("Abc Two", "pw2"));  // a record of its own
    EXPECT_EQ(registry.count(), 2);
}

TEST_F(ZonePasswordsTest, OnlyTheOldestCapturingRecordIsConsulted) {
    ASSERT_TRUE(registry.checkZonePassword("xy alpha", "first"));
    ASSERT_TRUE(registry.checkZonePassword("xy beta", "second"));
    ASSERT_EQ(registry.count(), 2);
    // Both records capture "XY beta"; the newer one would accept "second".
    EXPECT_FALSE(registry.checkZonePassword("XY beta", "second"));
    EXPECT_TRUE(registry.checkZonePassword("XY beta", "first"));
    EXPECT_EQ(registry.count(), 2);
}

TEST_F(ZonePasswordsTest, NameIsReclaimableOnlyAfterMoreThanTheDelay) {
    ASSERT_TRUE(registry.checkZonePassword("Alpha", "old"));
    clock.advance(kDelay);
    EXPECT_FALSE(registry.checkZonePassword("ALPHA", "new"));
    clock.advance(1);
    EXPECT_TRUE(registry.checkZonePassword("ALPHA", "new"));
    EXPECT_FALSE(registry.checkZonePassword("Alpha", "old"));
    EXPECT_TRUE(registry.checkZonePassword("Alpha", "new"));
    EXPECT_EQ(registry.count(), 1);
    EXPECT_STREQ(registry.head()->element->name, "Alpha");
    EXPECT_STREQ(registry.head()->element->password, "new");
}

TEST_F(ZonePasswordsTest, RefusalsDoNotRefreshButAcceptedUsesDo) {
    ASSERT_TRUE(registry.checkZonePassword("Alpha", "old"));
    clock.advance(3000);
    EXPECT_FALSE(registry.checkZonePassword("Alpha", "new"));
    clock.advance(kDelay - 3000 + 1);
    EXPECT_TRUE(registry.checkZonePassword("Alpha", "new"));  // the refusal left the tick

    clock.advance(kDelay);
    EXPECT_TRUE(registry.checkZonePassword("Alpha", "new"));  // refreshed here
    clock.advance(kDelay);
    EXPECT_FALSE(registry.checkZonePassword("Alpha", "third"));
}

TEST_F(ZonePasswordsTest, ReclaimDelayIsMeasuredAcrossTheTickWrap) {
    clock.set(0xFFFFF000u);
    ASSERT_TRUE(registry.checkZonePassword("Alpha", "old"));
    clock.set(0xFFFFF000u + kDelay);  // wraps past zero
    EXPECT_FALSE(registry.checkZonePassword("Alpha", "new"));
    clock.advance(1);
    EXPECT_TRUE(registry.checkZonePassword("Alpha", "new"));
}

TEST(ZonePasswordTest, RecordTextsAreCutToTheirArrays) {
    ManualClock clock(42);
    const ZonePassword record(std::string(40, 'n'), std::string("0123456789abcdefXYZ"));
    EXPECT_EQ(std::string(record.name), std::string(31, 'n'));
    EXPECT_STREQ(record.password, "0123456789abcde");
    EXPECT_EQ(record.lastUseTick, 42u);
}

}  // namespace
}  // namespace kelvaro
