#include "studio/request_guard.h"

#include <gtest/gtest.h>

namespace studio {
namespace {

constexpr uint16_t kPort = 8123;
const std::string kToken = "0123456789abcdef0123456789abcdef";

TEST(RequestGuard, OnlyThisMachinesPageWithTheTokenGetsIn) {
  const std::string good = "/frame.png?n=3&token=" + kToken;
  EXPECT_TRUE(CheckRequest({good, "127.0.0.1:8123", ""}, kToken, kPort).allowed);
  EXPECT_TRUE(CheckRequest({good, "localhost:8123", "http://localhost:8123"}, kToken, kPort).allowed);

  const GuardVerdict no_token = CheckRequest({"/frame.png?n=3", "127.0.0.1:8123", ""}, kToken, kPort);
  EXPECT_FALSE(no_token.allowed);
  EXPECT_EQ(no_token.status, 401);
  EXPECT_FALSE(CheckRequest({"/?token=" + kToken.substr(1), "127.0.0.1:8123", ""}, kToken, kPort).allowed);
  EXPECT_FALSE(CheckRequest({"/?token=", "127.0.0.1:8123", ""}, "", kPort).allowed);  // never an empty token

  // A page elsewhere that learnt the address (DNS rebinding, a malicious site) is refused.
  const GuardVerdict rebound = CheckRequest({good, "evil.example:8123", ""}, kToken, kPort);
  EXPECT_FALSE(rebound.allowed);
  EXPECT_EQ(rebound.status, 403);
  EXPECT_FALSE(CheckRequest({good, "127.0.0.1:9999", ""}, kToken, kPort).allowed);
  EXPECT_FALSE(CheckRequest({good, "", ""}, kToken, kPort).allowed);
  EXPECT_FALSE(CheckRequest({good, "127.0.0.1:8123", "http://evil.example"}, kToken, kPort).allowed);
  EXPECT_FALSE(CheckRequest({good, "127.0.0.1:8123", "null"}, kToken, kPort).allowed);
}

// Listening elsewhere than 127.0.0.1, the studio refused its own address; a host name is
// still refused everywhere (a page rebinding its name to this machine would send one).
TEST(RequestGuard, TheListenAddressIsTheStudiosToo) {
  const std::string good = "/?token=" + kToken;
  const ListenSite lan{"192.168.1.5", kPort};
  EXPECT_TRUE(CheckRequest({good, "192.168.1.5:8123", "http://192.168.1.5:8123"}, kToken, lan).allowed);
  EXPECT_TRUE(CheckRequest({good, "127.0.0.1:8123", ""}, kToken, lan).allowed);
  EXPECT_FALSE(CheckRequest({good, "192.168.1.6:8123", ""}, kToken, lan).allowed);
  EXPECT_FALSE(CheckRequest({good, "192.168.1.5:8123", "http://evil.example"}, kToken, lan).allowed);
  EXPECT_FALSE(CheckRequest({good, "192.168.1.5:80", ""}, kToken, lan).allowed);

  const ListenSite v6{"::0:1", kPort};
  EXPECT_TRUE(CheckRequest({good, "[::1]:8123", "http://[::1]:8123"}, kToken, v6).allowed);
  EXPECT_TRUE(CheckRequest({good, "[0::1]:8123", ""}, kToken, v6).allowed);  // the same address spelt otherwise

  const ListenSite every{"0.0.0.0", kPort};
  EXPECT_TRUE(CheckRequest({good, "10.1.2.3:8123", ""}, kToken, every).allowed);
  EXPECT_TRUE(CheckRequest({good, "[fe80::1]:8123", ""}, kToken, every).allowed);
  EXPECT_FALSE(CheckRequest({good, "evil.example:8123", ""}, kToken, every).allowed);
  EXPECT_FALSE(CheckRequest({good, "10.1.2.3.evil.example:8123", ""}, kToken, every).allowed);
  EXPECT_FALSE(CheckRequest({good, "10.1.2.3:8123", "http://evil.example:8123"}, kToken, every).allowed);
  EXPECT_FALSE(CheckRequest({"/", "10.1.2.3:8123", ""}, kToken, every).allowed);

  EXPECT_EQ(UrlHost("::1"), "[::1]");
  EXPECT_EQ(UrlHost("0:0::1"), "[::1]");
  EXPECT_EQ(UrlHost("127.0.0.2"), "127.0.0.2");
  EXPECT_EQ(UrlHost("fe80::1%lo"), "");
  EXPECT_EQ(UrlHost("localhost"), "");
  EXPECT_TRUE(IsEveryAddress("::"));
  EXPECT_TRUE(IsLoopback("127.0.0.2"));
  EXPECT_FALSE(IsLoopback("0.0.0.0"));
}

TEST(RequestGuard, QueriesAreReadWhole) {
  EXPECT_EQ(QueryValue("/x?a=1&token=ab%20c+d", "token"), "ab c d");
  EXPECT_EQ(QueryValue("/x?tokenx=1&token=2", "token"), "2");
  EXPECT_EQ(QueryValue("/x?a=%zz", "a"), "%zz");
  EXPECT_EQ(QueryValue("/x", "a"), "");
  EXPECT_EQ(TargetPath("/ws?token=1"), "/ws");
  EXPECT_EQ(NewToken().size(), 32u);
  EXPECT_NE(NewToken(), NewToken());
}

}  // namespace
}  // namespace studio
