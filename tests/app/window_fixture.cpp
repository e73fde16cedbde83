#include "tests/app/window_fixture.h"

#include <utility>

std::atomic<int> LauncherWindowTest::probeStarts{0};
std::atomic<int> LauncherWindowTest::startGameCalls{0};
bool LauncherWindowTest::startGameShowsBox = false;
std::vector<std::wstring> LauncherWindowTest::openedAddresses;
INT_PTR LauncherWindowTest::openResult = 42;
bool LauncherWindowTest::threadFails = false;
HANDLE LauncherWindowTest::updateGate = nullptr;
UpdateResult LauncherWindowTest::scriptedUpdate;
std::atomic<UpdateResult*> LauncherWindowTest::workerRecord{nullptr};

namespace {

UpdateResult& FakeRunUpdate(UpdateResult& result) {
    ::WaitForSingleObject(LauncherWindowTest::updateGate, INFINITE);
    LauncherWindowTest::workerRecord = &result;
    result.succeeded = LauncherWindowTest::scriptedUpdate.succeeded;
    result.filesInstalled = LauncherWindowTest::scriptedUpdate.filesInstalled;
    result.message = LauncherWindowTest::scriptedUpdate.message;
    return result;
}

// The probe's main-thread effects without a network: its result is posted by the test.
void FakeStartServerProbe(HWND) {
    ++LauncherWindowTest::probeStarts;
    SetServerState(Checking);
}

void FakeStartGame(HWND window) {
    ++LauncherWindowTest::startGameCalls;
    if (std::exchange(LauncherWindowTest::startGameShowsBox, false)) {
        ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_START_GAME, BN_CLICKED), 0);
        ShowLauncherError(window,
                          L"Required Vantor client files are missing. Please reinstall Vantor.");
    }
}

HANDLE MaybeFailingThread(LPTHREAD_START_ROUTINE body, LPVOID argument) {
    if (LauncherWindowTest::threadFails) return nullptr;
    return DefaultProcessSeams().createThread(body, argument);
}

INT_PTR RecordAddress(HWND, const wchar_t* address) {
    LauncherWindowTest::openedAddresses.push_back(address);
    return LauncherWindowTest::openResult;
}

void ResetLauncherState() {
    launcherState.serverStatusLabel = launcherState.updateStatusLabel =
        launcherState.startGameButton = nullptr;
    launcherState.mainWindow = nullptr;
    launcherState.serverState = Checking;
    launcherState.updateSucceeded = 0;
    launcherState.probeRunning = 0;
}

}  // namespace

void LauncherWindowTest::SetUp() {
    static const bool registered = RegisterLauncherClass(::GetModuleHandleW(nullptr)) != 0;
    ASSERT_TRUE(registered);
    ResetLauncherState();
    probeStarts = 0;
    startGameCalls = 0;
    startGameShowsBox = false;
    openedAddresses.clear();
    openResult = 42;
    threadFails = false;
    scriptedUpdate = UpdateResult{};
    workerRecord = nullptr;
    updateGate = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    launcherServices.runUpdate = &FakeRunUpdate;
    launcherServices.startServerProbe = &FakeStartServerProbe;
    launcherServices.startGame = &FakeStartGame;
    launcherServices.openAddress = &RecordAddress;
    processSeams.createThread = &MaybeFailingThread;
}

void LauncherWindowTest::TearDown() {
    if (window && ::IsWindow(window)) ::DestroyWindow(window);
    // Let a still-waiting fake update finish; its post to the dead window fails and it frees the
    // record.
    ::SetEvent(updateGate);
    PumpFor(std::chrono::milliseconds(50));
    ::CloseHandle(updateGate);
    MSG message;
    while (::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

HWND LauncherWindowTest::Create() {
    window = CreateMainWindow(::GetModuleHandleW(nullptr));
    launcherState.mainWindow = window;
    return window;
}

void LauncherWindowTest::FinishUpdate(bool succeeded, const std::wstring& message) {
    scriptedUpdate.succeeded = succeeded;
    scriptedUpdate.filesInstalled = false;
    scriptedUpdate.message = message;
    ::SetEvent(updateGate);
    ASSERT_TRUE(PumpUntil([&] { return UpdateLabel() == message; }, std::chrono::seconds(10)));
    Settle();
}

void LauncherWindowTest::PostServerStatus(WPARAM reachable) {
    ::PostMessageW(window, WM_APP_SERVER_STATUS, reachable, 0);
    Settle();
}

void LauncherWindowTest::Tick() {
    ::PostMessageW(window, WM_TIMER, ProbeTimerId, 0);
    Settle();
}
