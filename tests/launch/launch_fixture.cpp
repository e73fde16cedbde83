#include "tests/launch/launch_fixture.h"

#include "vantor_config.h"

using namespace std::chrono_literals;

std::wstring StartGameTest::installDir;
bool StartGameTest::installDirFails = false;
LPTHREAD_START_ROUTINE StartGameTest::failingThreadBody = nullptr;

namespace {

UpdateResult& SucceedingUpdate(UpdateResult& result) {
    result.succeeded = true;
    result.message = L"Up to date";
    return result;
}

void ReachableProbe(HWND window) {
    SetServerState(Checking);
    ::PostMessageW(window, WM_APP_SERVER_STATUS, 1, 0);
}

bool InjectedInstallDirectory(std::wstring& out) {
    if (StartGameTest::installDirFails) return false;
    out = StartGameTest::installDir;
    return true;
}

HANDLE MaybeFailingThread(LPTHREAD_START_ROUTINE body, LPVOID argument) {
    if (body == StartGameTest::failingThreadBody) return nullptr;
    return DefaultProcessSeams().createThread(body, argument);
}

BOOL CALLBACK CollectTitles(HWND window, LPARAM lParam) {
    auto* search = reinterpret_cast<std::pair<DWORD, std::multiset<std::wstring>>*>(lParam);
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    // The system adds windows of its own (input method) to every GUI thread.
    if (processId == search->first && wcscmp(className, L"VantorStubClient") == 0) {
        search->second.insert(WindowText(window));
    }
    return TRUE;
}

}  // namespace

std::string ValidServerConfiguration() {
    return std::string(
               "<?xml version=\"1.0\"?>\r\n<clientinfo>\r\n  <connection>\r\n    "
               "<address>") +
           GameServerHostBytes + "</address>\r\n    <port>" + GameServerPortBytes +
           "</port>\r\n  </connection>\r\n</clientinfo>\r\n";
}

void PrepareInstallation(const std::wstring& dir, const char* mode) {
    ASSERT_TRUE(CopyInto(BuildPath(L"stub\\2015-11-04aKovexe_patched.exe"),
                         dir + L"\\" + ClientExecutableName));
    ASSERT_TRUE(WriteBytes(dir + L"\\Data\\clientinfo.xml", ValidServerConfiguration()));
    ASSERT_TRUE(WriteBytes(dir + L"\\stub-client-mode.txt", mode));
}

std::optional<ClientRecord> ReadClientRecord(const std::wstring& dir) {
    const auto bytes = ReadBytes(dir + L"\\stub-client-record.txt");
    if (!bytes) return std::nullopt;
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes->data()),
                            bytes->size() / sizeof(wchar_t));
    ClientRecord record;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(L'\n', at);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(at, end - at);
        const size_t equals = line.find(L'=');
        if (equals != std::wstring::npos) record[line.substr(0, equals)] = line.substr(equals + 1);
        at = end + 1;
    }
    return record;
}

std::optional<ClientRecord> WaitForClientRecord(const std::wstring& dir,
                                                std::chrono::milliseconds limit) {
    std::optional<ClientRecord> record;
    PumpUntil([&] { return (record = ReadClientRecord(dir)).has_value(); }, limit);
    return record;
}

std::multiset<std::wstring> ProcessWindowTitles(DWORD processId) {
    std::pair<DWORD, std::multiset<std::wstring>> search{processId, {}};
    ::EnumWindows(&CollectTitles, reinterpret_cast<LPARAM>(&search));
    return search.second;
}

std::optional<std::wstring> CompatLayerOfThisProcess() {
    const std::wstring prefix = std::wstring(CompatLayerVariable) + L"=";
    wchar_t* block = ::GetEnvironmentStringsW();
    std::optional<std::wstring> found;
    for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
        if (_wcsnicmp(entry, prefix.c_str(), prefix.size()) == 0) found = entry + prefix.size();
    }
    ::FreeEnvironmentStringsW(block);
    return found;
}

void StartGameTest::SetUp() {
    static const bool registered = RegisterLauncherClass(::GetModuleHandleW(nullptr)) != 0;
    ASSERT_TRUE(registered);
    launcherState.serverState = Checking;
    launcherState.updateSucceeded = 0;
    launcherState.probeRunning = 0;
    launcherServices.runUpdate = &SucceedingUpdate;
    launcherServices.startServerProbe = &ReachableProbe;
    processSeams.getInstallDirectory = &InjectedInstallDirectory;
    processSeams.createThread = &MaybeFailingThread;
    installDirFails = false;
    failingThreadBody = nullptr;
    install = std::make_unique<TempDir>();
    installDir = install->path();
}

void StartGameTest::Open() {
    window = CreateMainWindow(::GetModuleHandleW(nullptr));
    ASSERT_NE(window, nullptr);
    launcherState.mainWindow = window;
    ::ShowWindow(window, SW_SHOWNORMAL);
    ASSERT_TRUE(
        PumpUntil([] { return ::IsWindowEnabled(launcherState.startGameButton) != FALSE; }, 10s));
}

std::optional<WPARAM> StartGameTest::PumpUntilQuit(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    std::optional<WPARAM> code;
    while (std::chrono::steady_clock::now() < end) {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) code = message.wParam;
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        if (code && !::IsWindow(window)) return code;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return code;
}

void StartGameTest::EndClient(const std::wstring& dir) {
    WriteBytes(dir + L"\\stub-client-quit", "");
    const auto record = ReadClientRecord(dir);
    if (!record || !record->count(L"pid")) return;
    unique_process client(
        ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(_wtoi(record->at(L"pid").c_str()))));
    if (client) ::WaitForSingleObject(client.get(), 10000);
}

void StartGameTest::TearDown() {
    if (install) EndClient(install->path());
    if (window && ::IsWindow(window)) {
        // The client has gone, so the exit watcher ends the launcher window by itself.
        PumpUntil([&] { return !::IsWindow(window); }, 2s);
        if (::IsWindow(window)) ::DestroyWindow(window);
    }
    MSG message;
    while (::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    launcherState.gameProcess.reset();
    ::SetEnvironmentVariableW(CompatLayerVariable, nullptr);
    install.reset();
}
