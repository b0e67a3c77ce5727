#include "net/name_resolution.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/library_startup.h"
#include "net/socket_component.h"
#include "platform/library.h"

namespace {

using tw::NetEntries;

class NameResolutionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tw::LibraryStartup();
    ASSERT_EQ(tw::WinsockStatus(), 0);
    ASSERT_NE(NetEntries().getaddrinfo, nullptr);
    saved_ = NetEntries().getaddrinfo;
  }
  void TearDown() override { NetEntries().getaddrinfo = saved_; }

  tw::NetEntryPoints::GetAddrInfoFn saved_ = nullptr;
};

// Names under ".invalid" never exist (RFC 6761); they are answered as numeric-only lookups so
// that no query leaves the machine, and the platform's own error comes back.
int NoDnsGetAddrInfo(const char* node, const char* service, const win::addrinfo* hints,
                     win::addrinfo** result) {
  win::addrinfo h = hints != nullptr ? *hints : win::addrinfo{};
  const size_t n = node != nullptr ? std::strlen(node) : 0;
  if (n < 8 || std::strcmp(node + n - 8, ".invalid") != 0) {
    ADD_FAILURE() << "only .invalid names may reach the system resolver here";
    return win::WSANO_RECOVERY;
  }
  h.ai_flags |= win::AI_NUMERICHOST;
  return win::getaddrinfo(node, service, &h, result);
}

std::string Dotted(uint32_t address) {
  char text[tw::kIpv4TextSize];
  return tw::Ipv4Text(address, text, sizeof text);
}

std::string Text6(const win::sockaddr_in6& a) {
  char text[tw::kIpv6TextSize];
  tw::Ipv6Text(a, text, sizeof text);
  return text;
}

TEST_F(NameResolutionTest, LocalhostNamesGiveLoopback) {
  for (const char* name : {"localhost", "x.blob.localhost", "Account.Blob.LOCALHOST"}) {
    uint32_t address = 1;
    EXPECT_EQ(tw::ResolveIPv4(name, &address, 0, win::SOCK_STREAM), 0) << name;
    EXPECT_EQ(Dotted(address), "127.0.0.1") << name;
  }
  uint32_t address = 0;
  EXPECT_EQ(tw::LegacyResolve("x.blob.localhost", &address), 0);
  EXPECT_EQ(Dotted(address), "127.0.0.1");
}

TEST_F(NameResolutionTest, ResolvingBeforeTheNetworkLibraryStartsIsAnError) {
  int stops = 0;
  while (win::WSACleanup() == 0) ++stops;
  uint32_t address = 7;
  const int rc = tw::LegacyResolve("x.blob.localhost", &address);
  for (int i = 0; i < stops; ++i) {
    win::WSADATA data;
    win::WSAStartup(0x0202, &data);
  }
  EXPECT_EQ(rc, win::WSANOTINITIALISED);
  EXPECT_EQ(address, 0u);
}

TEST_F(NameResolutionTest, EmptyNamesResolveToNothing) {
  uint32_t address = 5;
  EXPECT_EQ(tw::ResolveIPv4("", &address, 0, win::SOCK_STREAM), 0);
  EXPECT_EQ(address, 0u);
  win::sockaddr_in6 a6;
  std::memset(&a6, 0xAB, sizeof a6);
  EXPECT_EQ(tw::ResolveIPv6("", &a6, 0, 0), 0);
  EXPECT_EQ(a6.sin6_family, win::AF_INET6);
  EXPECT_EQ(a6.sin6_scope_id, 0u);
  EXPECT_EQ(a6.sin6_addr.s6_addr[0], 0);
}

TEST_F(NameResolutionTest, Ipv6Literals) {
  win::sockaddr_in6 a{};
  ASSERT_EQ(tw::ResolveIPv6("::1", &a, 0, win::SOCK_STREAM), 0);
  EXPECT_EQ(a.sin6_family, win::AF_INET6);
  EXPECT_EQ(Text6(a), "::1");
  ASSERT_EQ(tw::ResolveIPv6("2001:DB8::5", &a, 0, 0), 0);
  EXPECT_EQ(Text6(a), "2001:db8::5");
  // The scope after "%" is taken as given.
  ASSERT_EQ(tw::ResolveIPv6("fe80::1%12", &a, 0, 0), 0);
  EXPECT_EQ(a.sin6_scope_id, 12u);
  EXPECT_EQ(a.sin6_addr.s6_addr[0], 0xFE);
  EXPECT_EQ(a.sin6_addr.s6_addr[15], 1);
  ASSERT_EQ(tw::ResolveIPv6("::1", &a, 0, 0), 0);
  EXPECT_EQ(a.sin6_scope_id, 0u);
}

TEST_F(NameResolutionTest, UnknownHostGivesTheResolverError) {
  NetEntries().getaddrinfo = &NoDnsGetAddrInfo;
  uint32_t address = 9;
  EXPECT_EQ(tw::ResolveIPv4("no-such-host.invalid", &address, 0, win::SOCK_STREAM),
            win::WSAHOST_NOT_FOUND);
  EXPECT_EQ(address, 0u);
  win::sockaddr_in6 a6{};
  EXPECT_EQ(tw::ResolveIPv6("no-such-host.invalid%3", &a6, 0, 0), win::WSAHOST_NOT_FOUND);

  // Through the component: IPv6 resolution of LocalHost reports the Winsock text.
  tw::SocketComponent c;
  ASSERT_EQ(c.ConfigText("UseIPv6=true", nullptr), 0);
  EXPECT_EQ(c.SetLocalHost("no-such-host.invalid"), win::WSAHOST_NOT_FOUND);
  EXPECT_STREQ(c.error_text().c_str(), "[11001] Host not found");
}

TEST_F(NameResolutionTest, MissingEntryPointFailsWithMinusOne) {
  NetEntries().getaddrinfo = nullptr;
  uint32_t address = 0;
  EXPECT_EQ(tw::ResolveIPv4("localhost", &address, 0, win::SOCK_STREAM), -1);
  win::sockaddr_in6 a6{};
  EXPECT_EQ(tw::ResolveIPv6("::1", &a6, 0, 0), -1);
  // Empty names need no resolver.
  EXPECT_EQ(tw::ResolveIPv4("", &address, 0, 0), 0);
}

TEST_F(NameResolutionTest, SwitchedOffLibraryLeavesEntriesNull) {
  tw::NetEntryPoints& e = NetEntries();
  win::HMODULE held = e.ws2_32;
  e.ws2_32 = nullptr;
  win::SetLibraryEnabled("ws2_32.dll", false);
  tw::BindWs2Entries();
  EXPECT_EQ(e.getaddrinfo, nullptr);
  EXPECT_EQ(e.getnameinfo, nullptr);
  win::sockaddr_in6 a6{};
  a6.sin6_family = win::AF_INET6;
  EXPECT_EQ(Text6(a6), "");
  win::EnableAllLibraries();
  e.ws2_32 = held;
  tw::BindWs2Entries();
  EXPECT_NE(e.getaddrinfo, nullptr);
  saved_ = e.getaddrinfo;
}

TEST_F(NameResolutionTest, NumericTexts) {
  const uint8_t bytes[4] = {192, 0, 2, 255};
  uint32_t address;
  std::memcpy(&address, bytes, 4);
  EXPECT_EQ(Dotted(address), "192.0.2.255");
  EXPECT_EQ(Dotted(0), "0.0.0.0");
  // A numeric text never reaches a resolver on the legacy path.
  tw::NetEntryPoints::GetAddrInfoFn none = nullptr;
  NetEntries().getaddrinfo = none;
  ASSERT_EQ(tw::LegacyResolve("10.1.2.3", &address), 0);
  EXPECT_EQ(Dotted(address), "10.1.2.3");
}

TEST_F(NameResolutionTest, LocalHostSetsTheLocalAddress) {
  tw::SocketComponent c;
  ASSERT_EQ(c.SetLocalHost("127.0.0.1"), 0);
  EXPECT_STREQ(c.GetLocalHost(), "127.0.0.1");
  EXPECT_STREQ(c.GetLocalAddress(), "127.0.0.1");
  ASSERT_EQ(c.SetLocalHost("x.blob.localhost"), 0);
  EXPECT_STREQ(c.GetLocalAddress(), "127.0.0.1");

  ASSERT_EQ(c.ConfigText("UseIPv6=true", nullptr), 0);
  ASSERT_EQ(c.SetLocalHost("::1"), 0);
  EXPECT_STREQ(c.GetLocalAddress(), "::1");

  // Mode 2 falls back to IPv4 when the name has no IPv6 form.
  ASSERT_EQ(c.ConfigText("UseIPv6=2", nullptr), 0);
  ASSERT_EQ(c.SetLocalHost("127.0.0.1"), 0);
  EXPECT_STREQ(c.GetLocalAddress(), "127.0.0.1");

  // None set: the machine's name.
  ASSERT_EQ(c.SetLocalHost(""), 0);
  char host[101] = {};
  ASSERT_EQ(win::gethostname(host, 100), 0);
  EXPECT_STREQ(c.GetLocalAddress(), host);
}

TEST(WindowsVersionFlag, FollowsTheReportedVersion) {
  struct Case {
    win::DWORD major, minor;
    int flag;
  };
  for (const Case& v : {Case{6, 2, 0}, Case{6, 3, 1}, Case{10, 0, 1}, Case{5, 1, 0}, Case{7, 0, 1}}) {
    win::SetReportedVersionForTesting(v.major, v.minor);
    tw::ReadWindowsVersionFlag();
    EXPECT_EQ(tw::Windows81Flag(), v.flag) << v.major << "." << v.minor;
  }
  win::SetReportedVersionForTesting(10, 0);
  tw::ReadWindowsVersionFlag();
}

TEST(LibraryStartupTest, StartsOnceAndRestarts) {
  tw::LibraryStartup();
  tw::LibraryStartup();
  EXPECT_EQ(tw::WinsockStatus(), 0);
  EXPECT_EQ(tw::WinsockVersion(), win::MAKEWORD(2, 2));
  // Traffic classes stand in over socket options; the domain controller lookup has no
  // counterpart here and stays off.
  EXPECT_NE(NetEntries().QOSCreateHandle, nullptr);
  EXPECT_EQ(NetEntries().DsGetDcNameA, nullptr);
  EXPECT_FALSE(NetEntries().have_sspi_table);
  tw::LibraryShutdown();
  EXPECT_NE(tw::WinsockStatus(), 0);
  tw::LibraryStartup();
  EXPECT_EQ(tw::WinsockStatus(), 0);
  tw::SocketComponent c;
  EXPECT_NE(c.window(), nullptr);
}

}  // namespace
