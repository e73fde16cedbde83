#include "common/handles.h"
#include "common/paths.h"
#include "common/process_seams.h"
#include "update/progress.h"
#include "update/update.h"
#include "update/update_seams.h"

UpdateRunSeams updateRunSeams = {&HttpsGet};

namespace {

constexpr wchar_t NoInstallDirectoryText[] =
    L"Unable to determine the Vantor installation directory.";
constexpr wchar_t CheckFailedText[] = L"Unable to securely check for updates.\n";
constexpr wchar_t BadSignatureText[] = L"The Vantor update manifest signature is invalid.";
constexpr wchar_t BadManifestText[] = L"The Vantor update manifest is invalid.";
// Long enough for a host that switches releases to have served both halves of the new one.
constexpr DWORD SecondLookPauseMs = 2000;

std::string_view AsText(const ByteBuffer& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Size first, so that a file of the wrong size is never read.
bool IsCurrent(const std::wstring& installDir, const ManifestEntry& entry) {
    const std::wstring path = JoinPath(installDir, entry.relativePath.c_str());
    {
        unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
            static_cast<uint64_t>(size.QuadPart) != entry.size) {
            return false;
        }
    }  // closed before hashing, which opens the file anew
    Sha256Digest digest{};
    return HashFileSha256(path, digest) && digest == entry.sha256;
}

// The manifest first: a failed manifest means no request for the signature.
bool FetchSignedManifest(ByteBuffer& manifest, ByteBuffer& signature, std::wstring& error) {
    return updateRunSeams.httpsGet(Utf8ToWide(ManifestWebPath), ManifestLimit, manifest, error) &&
           updateRunSeams.httpsGet(Utf8ToWide(SignatureWebPath), SignatureLimit, signature, error);
}

void Fail(UpdateResult& result, std::wstring message) {
    result.succeeded = false;
    result.filesInstalled = false;
    result.message = std::move(message);
}

}  // namespace

UpdateResult& RunUpdate(UpdateResult& result) {
    ReportUpdatePhase(UpdatePhase::Checking);
    std::wstring installDir;
    if (!processSeams.getInstallDirectory(installDir)) {
        Fail(result, NoInstallDirectoryText);
        return result;
    }
    // A deep game folder would otherwise hit the path limit at its longest staging name.
    installDir = LongPathForm(installDir);
    RetryBudget budget;
    // Before anything else: the next release may no longer list a file a crash left aside.
    RestoreLeftoverBackups(installDir, budget);

    ByteBuffer manifest;
    ByteBuffer signature;
    std::wstring downloadError;
    if (!FetchSignedManifest(manifest, signature, downloadError)) {
        Fail(result, CheckFailedText + downloadError);
        return result;
    }
    if (!VerifyManifestSignature(AsText(manifest), AsText(signature))) {
        // The two fetches may have straddled a switch to a new release: a second pair, fetched
        // a little later, tells that apart from a signature that is bad.
        ::Sleep(SecondLookPauseMs);
        if (!FetchSignedManifest(manifest, signature, downloadError)) {
            Fail(result, CheckFailedText + downloadError);
            return result;
        }
        if (!VerifyManifestSignature(AsText(manifest), AsText(signature))) {
            Fail(result, BadSignatureText);
            return result;
        }
    }
    std::vector<ManifestEntry> entries;
    if (!ParseUpdateManifest(AsText(manifest), entries)) {
        Fail(result, BadManifestText);
        return result;
    }

    std::vector<ManifestEntry> updateList;
    for (const ManifestEntry& entry : entries) {
        if (!IsCurrent(installDir, entry)) updateList.push_back(entry);
    }
    if (updateList.empty()) {
        result.succeeded = true;
        result.filesInstalled = false;
        result.message = L"Up to date";
        return result;
    }

    result = ApplyUpdates(installDir, updateList, budget);
    return result;
}
