#include "update/update.h"

#include "update/manifest_rules.h"

#include <windows.h>

#include <climits>

std::wstring Utf8ToWide(std::string_view text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                             static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<size_t>(length), L'\0');
    const int converted = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                                static_cast<int>(text.size()), wide.data(), length);
    if (converted != length) return {};
    return wide;
}

bool ParseUpdateManifest(std::string_view body, std::vector<ManifestEntry>& entries) {
    // The byte rules are shared with the release tool; the platform then has the last word on
    // the UTF-8 of the two path fields.
    std::vector<ManifestRecord> records;
    if (!ParseManifestRecords(body, records)) return false;
    for (const ManifestRecord& record : records) {
        ManifestEntry entry;
        entry.relativePath = Utf8ToWide(record.relativePath);
        entry.remotePath = Utf8ToWide(record.remotePath);
        if (entry.relativePath.empty() || entry.remotePath.empty()) return false;
        entry.size = record.size;
        entry.sha256 = record.sha256;
        entries.push_back(std::move(entry));
    }
    return true;
}
