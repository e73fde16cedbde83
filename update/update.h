// Client update: the manifest's records and digests, and the operations of the update run.
#pragma once

#include "update/manifest_rules.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ManifestEntry {
    std::wstring relativePath;
    std::wstring remotePath;
    uint64_t size = 0;
    Sha256Digest sha256{};
};

using ByteBuffer = std::vector<unsigned char>;

// How an update run ended: the window shows message and allows Start Game only on success.
struct UpdateResult {
    bool succeeded = false;
    bool filesInstalled = false;
    std::wstring message;
};

// What an update run is doing, for the player's taskbar button.
enum class UpdatePhase : int {
    Checking = 0,    // the manifest is fetched and the installed files are compared
    Staging = 1,     // done of total bytes are downloaded
    Installing = 2,  // every byte is downloaded and verified
};

// Told by the run, on the run's thread, of each phase and while staging of its bytes. It must
// return at once: the run waits for nobody. The default reports nothing.
struct UpdateProgress {
    void (*report)(void* context, UpdatePhase phase, uint64_t done, uint64_t total) = nullptr;
    // Asked before the first installed file is touched: false leaves every file as it is and
    // fails the run. Told once the last step on installed files (a rollback's too) is done. A
    // process that ends between the two leaves some files new and some old.
    bool (*enterInstall)(void* context) = nullptr;
    void (*leaveInstall)(void* context) = nullptr;
    void* context = nullptr;
};
// Set by whoever starts the run, before it starts.
extern UpdateProgress updateProgress;

// The whole run: manifest, signature, comparison with the disk and the staged install. Fills
// the freshly allocated result with exactly one outcome and returns it.
UpdateResult& RunUpdate(UpdateResult& result);

// HTTPS GET of path on the update host into body; on failure fills error with one fixed text.
bool HttpsGet(const std::wstring& path, uint64_t maxBytes, ByteBuffer& body, std::wstring& error);

// SHA-256 of a whole file; false when it cannot be opened, read or hashed.
bool HashFileSha256(const std::wstring& path, Sha256Digest& digest);

// RSASSA-PKCS1-v1_5 / SHA-256 over the exact manifest bytes with the built-in key.
bool VerifyManifestSignature(std::string_view manifest, std::string_view signature);

// Strict, all-or-nothing parse; entries are appended in manifest order.
bool ParseUpdateManifest(std::string_view body, std::vector<ManifestEntry>& entries);

// UTF-8 to UTF-16; empty for empty or invalid input.
std::wstring Utf8ToWide(std::string_view text);

// What one update run may still spend, in all, on pauses before trying again a file operation
// that another program's hold on the file refused. The reserve is the rollback's alone, so that
// an install that spent the rest still gets its files back.
struct RetryBudget {
    unsigned long remainingMs = 7000;
    unsigned long rollbackReserveMs = 3000;
};

// Stages, verifies and installs every entry, or leaves the installation as it was.
UpdateResult ApplyUpdates(const std::wstring& installDir,
                          const std::vector<ManifestEntry>& updateList, RetryBudget& budget);
// Puts back every updatable file that an interrupted install left only at its backup name.
void RestoreLeftoverBackups(const std::wstring& installDir, RetryBudget& budget);

// Steps of the above, declared for the tests that drive each on its own.
// HttpsGet against any host and port; HttpsGet passes the build's update host.
bool HttpsGetFrom(const wchar_t* host, unsigned short port, const std::wstring& path,
                  uint64_t maxBytes, ByteBuffer& body, std::wstring& error);
// VerifyManifestSignature under any key given as Base64 texts.
bool VerifySignatureWithKey(std::string_view manifest, std::string_view signature,
                            const char* modulusBase64, const char* exponentBase64);
// An absolute path in the form "\\?\" that takes no length limit; any other unchanged.
std::wstring LongPathForm(const std::wstring& path);
bool CreateParentDirectories(const std::wstring& path, const std::wstring& base);
// On failure error holds Windows' text for what stopped it.
bool WriteWholeFile(const std::wstring& path, const ByteBuffer& bytes, RetryBudget& budget,
                    std::wstring& error);
