// Run by probe_two_address.sh, which gives VANTOR_TWO_ADDRESS_HOST the addresses ::1 and
// 127.0.0.1 in that order. Nothing listens on ::1, so the first address refuses.
#include "status/probe.h"
#include "tests/harness/test_support.h"
#include "tests/status/listeners.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const WinsockForTests winsock;

std::wstring TwoAddressHost() {
    wchar_t buffer[256] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"VANTOR_TWO_ADDRESS_HOST", buffer, 256);
    return length > 0 && length < 256 ? std::wstring(buffer, length) : std::wstring();
}

std::vector<int> ResolvedFamilies(const std::wstring& host, const std::wstring& port) {
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    unique_addrinfo list;
    std::vector<int> families;
    if (::GetAddrInfoW(host.c_str(), port.c_str(), &hints, list.put()) != 0) return families;
    for (const ADDRINFOW* entry = list.get(); entry != nullptr; entry = entry->ai_next)
        families.push_back(entry->ai_family);
    return families;
}

TEST(ProbeTwoAddresses, RefusingFirstAddressThenAcceptingSecondIsReachable) {
    const std::wstring host = TwoAddressHost();
    ASSERT_FALSE(host.empty()) << "run through probe_two_address.sh";
    Listener listener;
    ASSERT_TRUE(listener.Open(0));
    // The premise: the resolver hands out the refusing address first.
    ASSERT_EQ(ResolvedFamilies(host, listener.PortText()), (std::vector<int>{AF_INET6, AF_INET}));

    EXPECT_TRUE(ProbeServer(host.c_str(), listener.PortText().c_str()));
    EXPECT_TRUE(listener.Accept(2000).valid());
}

TEST(ProbeTwoAddresses, BothAddressesRefusingIsNotReachable) {
    const std::wstring host = TwoAddressHost();
    ASSERT_FALSE(host.empty()) << "run through probe_two_address.sh";
    const std::wstring port = std::to_wstring(RefusingPort());
    ASSERT_EQ(ResolvedFamilies(host, port).size(), 2u);
    EXPECT_FALSE(ProbeServer(host.c_str(), port.c_str()));
}

}  // namespace
