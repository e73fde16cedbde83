#include "app/window.h"
#include "common/process_seams.h"
#include "status/probe.h"
#include "tests/harness/test_support.h"
#include "tests/status/listeners.h"
#include "vantor_config.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const WinsockForTests winsock;

unsigned short GamePort() {
    return static_cast<unsigned short>(_wtoi(GameServerPort));
}

struct ProbeCase {
    const char* name;
    // Prepares the server side; returns host and port for the probe.
    std::function<bool(Listener&, FullBacklog&, std::wstring&, std::wstring&)> arrange;
    bool reachable;
    bool waitsFullTimeout;
};

void PrintTo(const ProbeCase& c, std::ostream* out) {
    *out << c.name;
}

class ProbeServerTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeServerTest, Reachability) {
    const ProbeCase& c = GetParam();
    Listener listener;
    FullBacklog backlog;
    std::wstring host;
    std::wstring port;
    ASSERT_TRUE(c.arrange(listener, backlog, host, port));

    const auto start = Clock::now();
    EXPECT_EQ(ProbeServer(host.c_str(), port.c_str()), c.reachable);
    const auto elapsed = Clock::now() - start;
    if (c.waitsFullTimeout) {
        // It must have waited for the connect rather than given up early.
        EXPECT_GE(elapsed, 1150ms);
        EXPECT_LT(elapsed, 10s);
    } else {
        EXPECT_LT(elapsed, 1s);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProbeServerTest,
    ::testing::Values(
        ProbeCase{"AcceptingListener",
                  [](Listener& l, FullBacklog&, std::wstring& host, std::wstring& port) {
                      host = L"localhost";
                      if (!l.Open(0)) return false;
                      port = l.PortText();
                      return true;
                  },
                  true, false},
        ProbeCase{"NumericAddress",
                  [](Listener& l, FullBacklog&, std::wstring& host, std::wstring& port) {
                      host = L"127.0.0.1";
                      if (!l.Open(0)) return false;
                      port = l.PortText();
                      return true;
                  },
                  true, false},
        ProbeCase{"RefusedPort",
                  [](Listener&, FullBacklog&, std::wstring& host, std::wstring& port) {
                      host = L"localhost";
                      port = std::to_wstring(RefusingPort());
                      return port != L"0";
                  },
                  false, false},
        ProbeCase{"HostDoesNotResolve",
                  [](Listener&, FullBacklog&, std::wstring& host, std::wstring& port) {
                      host = L"vantor-no-such-host.invalid";
                      port = L"6900";
                      return true;
                  },
                  false, false},
        ProbeCase{"ServiceIsNotAPort",
                  [](Listener&, FullBacklog&, std::wstring& host, std::wstring& port) {
                      host = L"localhost";
                      port = L"no-such-service-vantor";
                      return true;
                  },
                  false, false},
        ProbeCase{"ConnectNeverCompletes",
                  [](Listener&, FullBacklog& b, std::wstring& host, std::wstring& port) {
                      host = L"127.0.0.1";
                      if (!b.Open(0)) return false;
                      port = b.listener.PortText();
                      return true;
                  },
                  false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProbeServer, SendsNothingAndClosesTheConnection) {
    Listener listener;
    ASSERT_TRUE(listener.Open(0));
    ASSERT_TRUE(ProbeServer(L"localhost", listener.PortText().c_str()));
    unique_socket accepted = listener.Accept(2000);
    ASSERT_TRUE(accepted.valid());
    DWORD limit = 3000;
    ::setsockopt(accepted.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                 sizeof limit);
    char byte = 0;
    // An orderly close with no data reads as 0; any byte or a reset would show otherwise.
    EXPECT_EQ(::recv(accepted.get(), &byte, 1, 0), 0);
}

TEST(ProbeServer, GameServerIsProbedAtTheConfiguredHostAndPort) {
    Listener listener;
    ASSERT_TRUE(listener.Open(GamePort()));
    EXPECT_TRUE(ProbeGameServer());
    EXPECT_TRUE(listener.Accept(2000).valid());
    listener.socket.reset();
    EXPECT_FALSE(ProbeGameServer());
}

// The real probe behind a real launcher window; the update run is a fake that succeeds.
class ProbeWindowTest : public ::testing::Test {
protected:
    static UpdateResult& SucceedingUpdate(UpdateResult& result) {
        result.succeeded = true;
        result.message = L"Up to date";
        return result;
    }
    // Counts and fails only the probe's threads; the window's update worker starts as usual.
    static HANDLE CountingThread(LPTHREAD_START_ROUTINE body, LPVOID argument) {
        if (body == &ServerProbeThread) {
            ++threadsCreated;
            if (failThreads) return nullptr;
        }
        return DefaultProcessSeams().createThread(body, argument);
    }

    void SetUp() override {
        static const bool registered = RegisterLauncherClass(::GetModuleHandleW(nullptr)) != 0;
        ASSERT_TRUE(registered);
        launcherState.serverState = Checking;
        launcherState.updateSucceeded = 0;
        launcherState.probeRunning = 0;
        threadsCreated = 0;
        failThreads = false;
        launcherServices.runUpdate = &SucceedingUpdate;
        processSeams.createThread = &CountingThread;
    }

    void TearDown() override {
        if (window && ::IsWindow(window)) ::DestroyWindow(window);
        // A probe still running posts to the dead window and clears the guard.
        PumpUntil([] { return launcherState.probeRunning.load() == 0; }, 5s);
        MSG message;
        while (::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }

    void Create() {
        window = CreateMainWindow(::GetModuleHandleW(nullptr));
        ASSERT_NE(window, nullptr);
        launcherState.mainWindow = window;
    }
    std::wstring Label() const { return WindowText(launcherState.serverStatusLabel); }
    bool WaitForLabel(const wchar_t* text) {
        return PumpUntil([&] { return Label() == text; }, 10s);
    }
    void Tick() { ::SendMessageW(window, WM_TIMER, ProbeTimerId, 0); }

    ScopedSeams seams{launcherServices, processSeams};
    HWND window = nullptr;
    static std::atomic<int> threadsCreated;
    static bool failThreads;
};
std::atomic<int> ProbeWindowTest::threadsCreated{0};
bool ProbeWindowTest::failThreads = false;

TEST_F(ProbeWindowTest, ReachableServerReadsReadyAndEnablesStartGame) {
    Listener listener;
    ASSERT_TRUE(listener.Open(GamePort()));
    Create();
    ASSERT_TRUE(WaitForLabel(L"Ready"));
    EXPECT_TRUE(PumpUntil([] { return ::IsWindowEnabled(launcherState.startGameButton); }, 10s));
    EXPECT_EQ(launcherState.serverState.load(), Reachable);
}

TEST_F(ProbeWindowTest, RefusingServerReadsServerOffline) {
    Create();
    ASSERT_TRUE(WaitForLabel(L"Server Offline"));
    EXPECT_EQ(launcherState.serverState.load(), Offline);
    EXPECT_FALSE(::IsWindowEnabled(launcherState.startGameButton));
}

TEST_F(ProbeWindowTest, TickDuringAProbeChangesNothing) {
    FullBacklog backlog;
    ASSERT_TRUE(backlog.Open(GamePort()));
    Create();
    ASSERT_EQ(Label(), L"Checking...");
    ASSERT_EQ(launcherState.probeRunning.load(), 1);
    // Mark the label so that a second StartServerProbe would show by rewriting it.
    ::SetWindowTextW(launcherState.serverStatusLabel, L"marker");
    Tick();
    EXPECT_EQ(Label(), L"marker");
    EXPECT_EQ(threadsCreated.load(), 1);

    ASSERT_TRUE(WaitForLabel(L"Server Offline"));
    ASSERT_TRUE(PumpUntil([] { return launcherState.probeRunning.load() == 0; }, 5s));
    Tick();
    EXPECT_EQ(threadsCreated.load(), 2);
    EXPECT_EQ(Label(), L"Checking...");
}

TEST_F(ProbeWindowTest, ThreadThatCannotStartReadsOfflineAtOnceAndNextTickProbesAgain) {
    Listener listener;
    ASSERT_TRUE(listener.Open(GamePort()));
    failThreads = true;
    Create();
    // No pumping: the main thread itself has already applied the failure.
    EXPECT_EQ(Label(), L"Server Offline");
    EXPECT_EQ(launcherState.serverState.load(), Offline);
    EXPECT_EQ(launcherState.probeRunning.load(), 0);
    EXPECT_FALSE(::IsWindowEnabled(launcherState.startGameButton));

    failThreads = false;
    Tick();
    EXPECT_EQ(Label(), L"Checking...");
    EXPECT_TRUE(WaitForLabel(L"Ready"));
    EXPECT_EQ(threadsCreated.load(), 2);
}

}  // namespace
