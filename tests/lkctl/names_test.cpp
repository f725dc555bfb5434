#include "lkctl/names.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

TEST(Names, AccessPointFieldsAsPeopleReadThem) {
    const std::tuple<int64_t, int64_t, int64_t, const char*> securities[] = {
        {0, 0, 0, "open"},           {1, 0, 0, "WEP"},      {1, 0x188, 0, "WPA"},
        {1, 0x188, 0x188, "WPA2"},   {1, 0, 0x488, "WPA3"}, {1, 0, 0x588, "WPA2/WPA3"},
        {1, 0, 0x288, "enterprise"}, {0, 0, 0x800, "OWE"}};
    for (auto [ap, wpa, rsn, name] : securities) EXPECT_STREQ(securityName(ap, wpa, rsn), name);
    const std::tuple<int64_t, const char*> channels[] = {{2412, "2.4 GHz 1"}, {2484, "2.4 GHz 14"},
                                                         {5180, "5 GHz 36"},  {5935, "6 GHz 2"},
                                                         {5975, "6 GHz 5"},   {900, "- 0"}};
    for (auto [mhz, text] : channels) {
        WifiChannel got = wifiChannel(mhz);
        EXPECT_EQ(std::string(got.band ? got.band : "-") + " " + std::to_string(got.channel), text);
    }
    std::string bytes;
    ASSERT_TRUE(base64Decode(base64Encode("caf\xc3\xa9\x01\\\xff"), &bytes));
    EXPECT_EQ(printableSsid(bytes), "caf\xc3\xa9\\x01\\\\\\xff");
    for (const char* bad : {"abc", "a===", "ab=c", "ab!c"}) EXPECT_FALSE(base64Decode(bad, &bytes));
    EXPECT_EQ(stateReasonName(39), "user-requested");
}
