// Network endpoint URLs: what is taken, and what is refused with which words.
#include "host/net/net_url.h"

#include <gtest/gtest.h>

namespace zolhost::net {
namespace {

TEST(NetUrl, GoodUrlsAreTakenAndWrittenBack) {
    struct Case {
        const char* text;
        UrlUse use;
        const char* written;
    };
    const Case cases[] = {
        {"rfc2217://127.0.0.1:41234", UrlUse::Connect, "rfc2217://127.0.0.1:41234"},
        {"TCP://lab-pc.example:5000", UrlUse::Connect, "tcp://lab-pc.example:5000"},
        {"rfc2217://[::1]:7000", UrlUse::Connect, "rfc2217://[::1]:7000"},
        {"rfc2217://:0", UrlUse::Listen, "rfc2217://127.0.0.1:0"},  // loopback, a free port
        {"tcp://0.0.0.0:65535", UrlUse::Listen, "tcp://0.0.0.0:65535"},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto url = ParseNetUrl(c.text, c.use, &error);
        ASSERT_TRUE(url) << c.text << ": " << error;
        EXPECT_EQ(UrlText(*url), c.written);
    }
    EXPECT_TRUE(LooksLikeUrl("rfc2217://x:1"));
    EXPECT_TRUE(LooksLikeUrl("socket://x:1"));
    EXPECT_FALSE(LooksLikeUrl("/tmp/zol/hostport"));
    EXPECT_FALSE(LooksLikeUrl("dir/a://b"));
}

TEST(NetUrl, BadUrlsSayWhatIsWrong) {
    struct Case {
        const char* text;
        UrlUse use;
        const char* words;
    };
    const Case cases[] = {
        {"/dev/ttyUSB0", UrlUse::Connect, "not a URL"},
        {"socket://localhost:7000", UrlUse::Connect, "unknown scheme 'socket'"},
        {"rfc2217://localhost", UrlUse::Connect, "no ':PORT'"},
        {"rfc2217://localhost:", UrlUse::Connect, "no port after ':'"},
        {"rfc2217://localhost:70000", UrlUse::Connect, "out of range"},
        {"rfc2217://localhost:99999999999999999999", UrlUse::Connect, "out of range"},
        {"rfc2217://localhost:7000?ign_set_control", UrlUse::Connect, "unexpected '?ign_set_control'"},
        {"tcp://localhost:70a", UrlUse::Connect, "unexpected 'a'"},
        {"tcp://local host:7000", UrlUse::Connect, "bad character ' '"},
        {"tcp://[::1:7000", UrlUse::Connect, "without ']'"},
        {"tcp://[zz]:7000", UrlUse::Connect, "not an IPv6 address"},
        {"tcp://[::1]7000", UrlUse::Connect, "no ':PORT' after"},
        {"tcp://:7000", UrlUse::Connect, "no host"},
        {"tcp://localhost:0", UrlUse::Connect, "port 0 cannot"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(ParseNetUrl(c.text, c.use, &error)) << c.text;
        EXPECT_NE(error.find(c.words), std::string::npos) << c.text << ": " << error;
        EXPECT_EQ(error.rfind(std::string("'") + c.text + "'", 0), 0u) << error;
    }
}

}  // namespace
}  // namespace zolhost::net
