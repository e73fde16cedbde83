#include "tests/update/update_test_support.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

namespace {

std::wstring WebPathToFile(const std::string& webPath) {
    std::wstring relative = Widen(webPath.substr(1));
    for (wchar_t& c : relative) {
        if (c == L'/') c = L'\\';
    }
    return HostStateDir() + L"\\www\\" + relative;
}

std::wstring injectedInstallDirectory;

bool InjectedInstallDirectory(std::wstring& installDir) {
    installDir = injectedInstallDirectory;
    return true;
}

}  // namespace

std::wstring HostStateDir() {
    return BuildPath(L"harness\\update-host");
}

unsigned short HostPort(const std::string& name) {
    // scripts/test starts the host beside the first test; it writes ports.txt once listening.
    for (int attempt = 0; attempt < 300; ++attempt) {
        if (auto ports = ReadBytes(HostStateDir() + L"\\ports.txt")) {
            std::istringstream lines(*ports);
            std::string key;
            unsigned short port = 0;
            while (lines >> key >> port) {
                if (key == name) return port;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << "the test update host is not running (no ports.txt)";
    return 0;
}

void ResetHost() {
    HostPort("main");
    RemoveTree(HostStateDir() + L"\\www");
    ::CreateDirectoryW((HostStateDir() + L"\\www").c_str(), nullptr);
    ::DeleteFileW((HostStateDir() + L"\\scenario.json").c_str());
    ::DeleteFileW((HostStateDir() + L"\\log.txt").c_str());
}

void PutHostFile(const std::string& webPath, const Bytes& bytes) {
    ASSERT_TRUE(WriteBytes(WebPathToFile(webPath), bytes)) << webPath;
}

void SetHostScenario(const std::string& json) {
    ASSERT_TRUE(WriteBytes(HostStateDir() + L"\\scenario.json", json));
}

std::vector<HostRequest> HostLog() {
    std::vector<HostRequest> requests;
    std::istringstream lines(ReadBytes(HostStateDir() + L"\\log.txt").value_or(""));
    std::string line;
    while (std::getline(lines, line)) {
        HostRequest request;
        std::istringstream fields(line);
        std::getline(fields, request.path, '\t');
        fields >> request.status >> request.bytes;
        requests.push_back(request);
    }
    return requests;
}

std::vector<std::string> HostLogPaths() {
    std::vector<std::string> paths;
    for (const HostRequest& request : HostLog()) paths.push_back(request.path);
    return paths;
}

Sha256Digest DigestOf(const Bytes& content) {
    TempDir dir;
    Sha256Digest digest{};
    EXPECT_TRUE(WriteBytes(dir / L"content", content));
    EXPECT_TRUE(HashFileSha256(dir / L"content", digest));
    return digest;
}

std::string DigestHex(const Bytes& content) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : DigestOf(content)) {
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 15]);
    }
    return hex;
}

std::string ManifestLine(const std::string& relativePath, const std::string& remotePath,
                         const Bytes& content) {
    return relativePath + "|" + remotePath + "|" + std::to_string(content.size()) + "|" +
           DigestHex(content) + "\n";
}

void PublishManifest(const Bytes& manifest, const std::string& key,
                     const std::string& extraScenario) {
    PutHostFile("/patch/manifest-v4.txt", manifest);
    std::string scenario =
        R"({"/patch/manifest-v4.sig": {"sign": "/patch/manifest-v4.txt", "key": ")" + key + "\"}";
    if (!extraScenario.empty()) scenario += ", " + extraScenario;
    SetHostScenario(scenario + "}");
}

bool HoldOpenInAnotherProcess(ChildProcess& holder, const std::wstring& path, DWORD glanceMs,
                              bool whenItAppears, bool mapped) {
    const std::wstring arguments = L"\"" + path + L"\"" +
                                   (glanceMs ? L" " + std::to_wstring(glanceMs) : L"") +
                                   (mapped ? L" map" : L"");
    if (!holder.Start(BuildPath(L"tests\\harness\\hold_open_child.exe"), arguments, L"")) {
        ADD_FAILURE() << "cannot start hold_open_child: " << holder.error;
        return false;
    }
    if (whenItAppears) return true;
    if (mapped) {
        // A mapping shares every access, so no open can tell it: the holder says so itself.
        const std::wstring name = L"Local\\VantorHoldMapped" + std::to_wstring(holder.id);
        for (int attempt = 0; attempt < 500; ++attempt) {
            const unique_handle event(::OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
            if (event && ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0) return true;
            if (holder.Wait(std::chrono::milliseconds(0))) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ADD_FAILURE() << "hold_open_child never mapped " << Narrow(path);
        return false;
    }
    DWORD lastProbe = 0;
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (const auto code = holder.Wait(std::chrono::milliseconds(0))) {
            ADD_FAILURE() << "hold_open_child ended with " << *code << " on " << Narrow(path);
            return false;
        }
        // The holder never shares delete access, whatever else it shares.
        unique_file probe(::CreateFileW(path.c_str(), DELETE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        lastProbe = probe ? 0 : ::GetLastError();
        if (lastProbe == ERROR_SHARING_VIOLATION) return true;
        probe.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "hold_open_child never held " << Narrow(path) << "; last error " << lastProbe;
    return false;
}

ScopedInstallDirectory::ScopedInstallDirectory(const std::wstring& directory) {
    injectedInstallDirectory = directory;
    processSeams.getInstallDirectory = &InjectedInstallDirectory;
}

UpdateResult RunUpdateOnce() {
    UpdateResult result;
    RunUpdate(result);
    return result;
}

Bytes ManifestOf(const std::vector<ListedFile>& files) {
    Bytes manifest = "VANTOR-MANIFEST-V1\r\n";
    for (const ListedFile& file : files) {
        manifest += ManifestLine(file.relativePath, file.remotePath, file.release);
    }
    return manifest;
}

void ServeRelease(const std::vector<ListedFile>& files, const std::string& extraScenario) {
    for (const ListedFile& file : files) PutHostFile(file.remotePath, file.release);
    PublishManifest(ManifestOf(files), "test", extraScenario);
}
