#include "lkctl/request_args.h"
#include "lkctl/command_args.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<unsigned char>;

struct CallCase {
    std::vector<std::string> words;
    uint8_t apiId;
    Bytes payload;
};

class ParseCall : public testing::TestWithParam<CallCase> {};

TEST_P(ParseCall, BuildsThePayloadFromTheFieldsInOrder) {
    LkRequest request;
    std::string error;
    ASSERT_TRUE(parseCall(GetParam().words, &request, &error)) << error;
    EXPECT_EQ(request.apiId, GetParam().apiId);
    EXPECT_EQ(request.payload, GetParam().payload);
    EXPECT_TRUE(request.replyWanted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseCall,
    testing::Values(CallCase{{"7"}, 7, {}}, CallCase{{"classes"}, 7, {}},
                    CallCase{{"details", "--str", "eth0"}, 2, {'e', 't', 'h', '0', 0}},
                    CallCase{{"8", "--flag-name", "1", "lo"}, 8, {1, 'l', 'o', 0}},
                    CallCase{{"radio", "--byte", "0x02"}, 9, {2}},
                    CallCase{
                        {"0xff", "--u32", "258", "--hex", "a0FF"}, 255, {2, 1, 0, 0, 0xa0, 0xff}},
                    CallCase{{"5", "--json", "{}"}, 5, {'{', '}', 0}}));

TEST(ParseCall, ReadsTheCallOptions) {
    LkRequest request;
    std::string error;
    ASSERT_TRUE(
        parseCall({"200", "--no-reply", "--magic", "0x25", "--as", "hex"}, &request, &error));
    EXPECT_FALSE(request.replyWanted);
    EXPECT_EQ(request.magic, 0x25);
    EXPECT_EQ(request.show, ReplyKind::Hex);
}

TEST(ParseCall, RefusesBadWords) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"256"},
        {"-1"},
        {"nosuchname"},
        {"7", "--byte", "256"},
        {"7", "--byte"},
        {"7", "--flag-name", "1"},
        {"7", "--hex", "abc"},
        {"7", "--hex", "zz"},
        {"7", "--as", "yaml"},
        {"7", "--bogus"},
    };
    for (const auto& words : bad) {
        LkRequest request;
        std::string error;
        EXPECT_FALSE(parseCall(words, &request, &error)) << testing::PrintToString(words);
        EXPECT_FALSE(error.empty());
    }
}

TEST(SplitWords, GroupsQuotedTextLikeTheShell) {
    std::vector<std::string> words;
    ASSERT_TRUE(splitWords(R"(call 3 --json '{"a": 1}' --str "x \"y\" \\z" a"b"c)", &words));
    EXPECT_EQ(words, (std::vector<std::string>{"call", "3", "--json", "{\"a\": 1}", "--str",
                                               "x \"y\" \\z", "abc"}));
    EXPECT_FALSE(splitWords("call 'open", &words));
}

}  // namespace

struct VerifyCase {
    const char* option;
    const char* verify;  // the "verify" member sent; null: refused
};
class VerifyOption : public testing::TestWithParam<VerifyCase> {};
TEST_P(VerifyOption, NamesHostAndSecondsOrRefuses) {
    ConnectionArgs args;
    std::string error;
    bool ok = parseConnection({"eth0", "ip4", "auto", GetParam().option}, &args, &error);
    ASSERT_EQ(ok, GetParam().verify != nullptr) << GetParam().option << ": " << error;
    if (!ok) return;
    EXPECT_EQ(args.json, std::string(R"({"interface":"eth0","ip4":{"method":"auto"},)") +
                             R"("verify":)" + GetParam().verify + "}");
}
INSTANTIATE_TEST_SUITE_P(
    Cases, VerifyOption,
    testing::Values(VerifyCase{"--verify=192.0.2.1", R"({"host":"192.0.2.1","seconds":10})"},
                    VerifyCase{"--verify=gw.example:120", R"({"host":"gw.example","seconds":120})"},
                    VerifyCase{"--verify=2001:db8::1", R"({"host":"2001:db8::1","seconds":10})"},
                    VerifyCase{"--verify=[2001:db8::1]:5", R"({"host":"2001:db8::1","seconds":5})"},
                    VerifyCase{"--verify=192.0.2.1:0", nullptr},
                    VerifyCase{"--verify=192.0.2.1:121", nullptr},
                    VerifyCase{"--verify=:10", nullptr}, VerifyCase{"--verify=[::1]x", nullptr}));
