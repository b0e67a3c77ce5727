// The stand-ins for traffic classes, packet capture, adapter information and the message calls
// with packet information: their refusals and their edge rules.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/iphlpapi.h"
#include "platform/qwave.h"
#include "platform/winsock.h"
#include "platform/wpcap.h"

namespace {

class NetworkStandIns : public ::testing::Test {
 protected:
  void SetUp() override {
    win::WSADATA data;
    ASSERT_EQ(0, win::WSAStartup(win::MAKEWORD(2, 2), &data));
    s_ = win::socket(win::AF_INET, win::SOCK_DGRAM, win::IPPROTO_UDP);
    ASSERT_NE(win::INVALID_SOCKET, s_);
    win::sockaddr_in local{};
    local.sin_family = win::AF_INET;
    local.sin_addr.s_addr = win::htonl(win::INADDR_LOOPBACK);
    ASSERT_EQ(0, win::bind(s_, reinterpret_cast<win::sockaddr*>(&local), sizeof local));
    int len = sizeof local_;
    ASSERT_EQ(0, win::getsockname(s_, reinterpret_cast<win::sockaddr*>(&local_), &len));
  }
  void TearDown() override {
    win::closesocket(s_);
    win::WSACleanup();
  }
  int Tos() {
    int tos = -1;
    int len = sizeof tos;
    win::getsockopt(s_, win::IPPROTO_IP, win::IP_TOS, reinterpret_cast<char*>(&tos), &len);
    return tos;
  }
  template <class Fn>
  Fn Extension(const win::WSAEXTENSIONID& id) {
    Fn fn = nullptr;
    win::DWORD n = 0;
    win::WSAEXTENSIONID in = id;
    EXPECT_EQ(0, win::WSAIoctl(s_, win::SIO_GET_EXTENSION_FUNCTION_POINTER, &in, sizeof in, &fn,
                               sizeof fn, &n, nullptr, nullptr));
    return fn;
  }
  win::SOCKET s_ = win::INVALID_SOCKET;
  win::sockaddr_in local_{};
};

struct QosRefusal {
  const char* name;
  std::function<win::BOOL(win::HANDLE, win::SOCKET, uint32_t)> call;
  win::DWORD error;
};

TEST_F(NetworkStandIns, QosFlowsAndRefusals) {
  const win::QOS_VERSION bad{2, 0};
  win::HANDLE h = nullptr;
  EXPECT_FALSE(win::QOSCreateHandle(&bad, &h));
  EXPECT_EQ(win::ERROR_REVISION_MISMATCH, win::GetLastError());
  const win::QOS_VERSION v{1, 0};
  ASSERT_TRUE(win::QOSCreateHandle(&v, &h));
  uint32_t flow = 0;
  ASSERT_TRUE(win::QOSAddSocketToFlow(h, s_, nullptr, win::QOSTrafficTypeControl,
                                      win::QOS_NON_ADAPTIVE_FLOW, &flow));
  EXPECT_NE(0u, flow);
  EXPECT_EQ(56 << 2, Tos());
  const uint32_t dscp = 10;
  ASSERT_TRUE(win::QOSSetFlow(h, flow, win::QOSSetOutgoingDSCPValue, sizeof dscp, &dscp, 0,
                              nullptr));
  EXPECT_EQ(10 << 2, Tos());

  const uint32_t too_big = 64;
  const QosRefusal refusals[] = {
      {"unknown_type",
       [](win::HANDLE q, win::SOCKET s, uint32_t) {
         uint32_t f = 0;
         return win::QOSAddSocketToFlow(q, s, nullptr, 6, win::QOS_NON_ADAPTIVE_FLOW, &f);
       },
       win::ERROR_INVALID_PARAMETER},
      {"adaptive_unconnected",
       [](win::HANDLE q, win::SOCKET s, uint32_t) {
         uint32_t f = 0;
         return win::QOSAddSocketToFlow(q, s, nullptr, 0, 0, &f);
       },
       win::ERROR_INVALID_PARAMETER},
      {"dscp_above_63",
       [&too_big](win::HANDLE q, win::SOCKET, uint32_t f) {
         return win::QOSSetFlow(q, f, win::QOSSetOutgoingDSCPValue, 4, &too_big, 0, nullptr);
       },
       win::ERROR_INVALID_PARAMETER},
      {"short_buffer",
       [&too_big](win::HANDLE q, win::SOCKET, uint32_t f) {
         return win::QOSSetFlow(q, f, win::QOSSetOutgoingDSCPValue, 2, &too_big, 0, nullptr);
       },
       win::ERROR_INVALID_PARAMETER},
      {"other_operation",
       [&too_big](win::HANDLE q, win::SOCKET, uint32_t f) {
         return win::QOSSetFlow(q, f, 1, 4, &too_big, 0, nullptr);
       },
       win::ERROR_NOT_SUPPORTED},
      {"unknown_flow",
       [](win::HANDLE q, win::SOCKET s, uint32_t f) {
         return win::QOSRemoveSocketFromFlow(q, s, f + 100, 0);
       },
       win::ERROR_NOT_FOUND},
      {"unknown_handle",
       [](win::HANDLE, win::SOCKET s, uint32_t f) {
         return win::QOSRemoveSocketFromFlow(reinterpret_cast<win::HANDLE>(0x7fff0000), s, f, 0);
       },
       win::ERROR_INVALID_HANDLE},
  };
  for (const QosRefusal& r : refusals) {
    win::SetLastError(0);
    EXPECT_FALSE(r.call(h, s_, flow)) << r.name;
    EXPECT_EQ(r.error, win::GetLastError()) << r.name;
  }
  EXPECT_EQ(10 << 2, Tos());  // refusals changed nothing
  ASSERT_TRUE(win::QOSRemoveSocketFromFlow(h, s_, flow, 0));
  EXPECT_EQ(0, Tos());
  EXPECT_FALSE(win::QOSSetFlow(h, flow, win::QOSSetOutgoingDSCPValue, 4, &dscp, 0, nullptr));
  EXPECT_TRUE(win::QOSCloseHandle(h));
}

TEST_F(NetworkStandIns, MessageCallsCarryPacketInformation) {
  auto send_msg = Extension<win::LPFN_WSASENDMSG>(win::WSAID_WSASENDMSG);
  auto recv_msg = Extension<win::LPFN_WSARECVMSG>(win::WSAID_WSARECVMSG);
  ASSERT_NE(nullptr, send_msg);
  ASSERT_NE(nullptr, recv_msg);
  win::WSAEXTENSIONID other = win::WSAID_WSARECVMSG;
  other.data1 ^= 1;
  void* fn = nullptr;
  win::DWORD n = 0;
  EXPECT_NE(0, win::WSAIoctl(s_, win::SIO_GET_EXTENSION_FUNCTION_POINTER, &other, sizeof other,
                             &fn, sizeof fn, &n, nullptr, nullptr));
  EXPECT_EQ(win::WSAEINVAL, win::WSAGetLastError());
  const int on = 1;
  ASSERT_EQ(0, win::setsockopt(s_, win::IPPROTO_IP, win::IP_PKTINFO,
                               reinterpret_cast<const char*>(&on), sizeof on));

  // A block whose length runs past the control buffer is refused, nothing is sent.
  alignas(win::WSACMSGHDR) char control[win::WSA_CMSG_SPACE(sizeof(win::in_pktinfo))] = {};
  auto* header = reinterpret_cast<win::WSACMSGHDR*>(control);
  header->cmsg_level = win::IPPROTO_IP;
  header->cmsg_type = win::IP_PKTINFO;
  header->cmsg_len = sizeof control + 8;
  char payload[] = "info";
  win::WSABUF buffer{4, payload};
  win::WSAMSG msg{reinterpret_cast<win::sockaddr*>(&local_), sizeof local_, &buffer, 1,
                  {sizeof control, control}, 0};
  win::DWORD sent = 0;
  EXPECT_NE(0, send_msg(s_, &msg, 0, &sent, nullptr, nullptr));
  EXPECT_EQ(win::WSAEINVAL, win::WSAGetLastError());

  // A sound block: the datagram goes to ourselves from 127.0.0.1.
  header->cmsg_len = win::WSA_CMSG_LEN(sizeof(win::in_pktinfo));
  win::in_pktinfo info{};
  info.ipi_addr.s_addr = win::htonl(win::INADDR_LOOPBACK);
  std::memcpy(win::WSA_CMSG_DATA(header), &info, sizeof info);
  ASSERT_EQ(0, send_msg(s_, &msg, 0, &sent, nullptr, nullptr)) << win::WSAGetLastError();
  EXPECT_EQ(4u, sent);

  // Received with too little room for the control data: the flag says it was cut.
  char in[16];
  win::WSABUF in_buffer{sizeof in, in};
  win::sockaddr_in from{};
  char small[4];
  win::WSAMSG got{reinterpret_cast<win::sockaddr*>(&from), sizeof from, &in_buffer, 1,
                  {sizeof small, small}, 0};
  win::DWORD received = 0;
  ASSERT_EQ(0, recv_msg(s_, &got, &received, nullptr, nullptr)) << win::WSAGetLastError();
  EXPECT_EQ(4u, received);
  EXPECT_EQ(0u, got.Control.len);
  EXPECT_NE(0u, got.dwFlags & win::MSG_CTRUNC);
  EXPECT_EQ(local_.sin_port, from.sin_port);
}

TEST(NetworkStandInsLibraries, AdaptersCaptureAndArpRefusals) {
  win::ULONG size = 0;
  const win::DWORD rc = win::GetAdaptersInfo(nullptr, &size);
  EXPECT_TRUE(rc == win::ERROR_BUFFER_OVERFLOW || rc == win::ERROR_NO_DATA) << rc;
  if (rc == win::ERROR_BUFFER_OVERFLOW) {
    std::vector<win::IP_ADAPTER_INFO> list(size / sizeof(win::IP_ADAPTER_INFO));
    ASSERT_EQ(0u, win::GetAdaptersInfo(list.data(), &size));
    for (const win::IP_ADAPTER_INFO* a = list.data(); a != nullptr; a = a->Next) {
      EXPECT_EQ(6u, a->AddressLength);
      EXPECT_NE(0, std::strcmp(a->IpAddressList.IpAddress.String, "0.0.0.0"));
    }
  }
  EXPECT_EQ(win::ERROR_INVALID_PARAMETER, win::GetAdaptersInfo(nullptr, nullptr));
  uint8_t mac[6];
  win::ULONG length = 4;
  EXPECT_EQ(win::ERROR_INVALID_PARAMETER, win::SendARP(0x0100007F, 0, mac, &length));
  length = 6;
  EXPECT_EQ(win::ERROR_INVALID_PARAMETER, win::SendARP(0, 0, mac, &length));

  char errbuf[win::PCAP_ERRBUF_SIZE] = {};
  win::pcap_if_t* devices = nullptr;
  EXPECT_EQ(-1, win::pcap_findalldevs_ex("rpcap://remote/", nullptr, &devices, errbuf));
  EXPECT_EQ(nullptr, devices);
  ASSERT_EQ(0, win::pcap_findalldevs_ex(win::PCAP_SRC_IF_STRING, nullptr, &devices, errbuf))
      << errbuf;
  for (win::pcap_if_t* d = devices; d != nullptr; d = d->next) {
    EXPECT_EQ(0, std::strncmp(d->name, "rpcap://", 8));
    EXPECT_STRNE("rpcap://lo", d->name);
  }
  win::pcap_freealldevs(devices);
  EXPECT_EQ(nullptr, win::pcap_open("rpcap://no-such-interface0", 100, 0, 10, nullptr, errbuf));
  EXPECT_NE(0, errbuf[0]);

  // Switched off, the capture library is missing as it would be without libpcap.
  win::SetLibraryEnabled("wpcap.dll", false);
  EXPECT_EQ(nullptr, win::LoadLibraryA("wpcap.dll"));
  EXPECT_EQ(win::ERROR_MOD_NOT_FOUND, win::GetLastError());
  win::SetLibraryEnabled("wpcap.dll", true);
  win::HMODULE pcap = win::LoadLibraryA("WPCAP");
  ASSERT_NE(nullptr, pcap);
  EXPECT_NE(nullptr, win::GetProcAddress(pcap, "pcap_sendpacket"));
  EXPECT_NE(nullptr, win::GetProcAddress(pcap, "pcap_breakloop"));
  EXPECT_TRUE(win::FreeLibrary(pcap));
}

}  // namespace
