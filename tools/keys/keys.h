// Keys and digests: the manifest signing key, signatures under a modulus, SHA-256 of files.
// Every failure leaves a message for the operator in error.
#pragma once

#include "update/manifest_rules.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

inline constexpr size_t ModulusBytes = 256;  // RSA-2048

bool GenerateKey(const std::string& path, std::string& modulusBase64, std::string& error);
bool ReadKeyModulus(const std::string& path, std::string& modulusBase64, std::string& error);
bool SignWithKey(const std::string& keyPath, std::string_view message, std::string& signature,
                 std::string& modulusBase64, std::string& error);
// True only for a PKCS#1 v1.5 SHA-256 signature of exactly 256 bytes under that modulus.
bool VerifyWithModulus(const std::string& modulusBase64, std::string_view message,
                       std::string_view signature, std::string& error);
bool CheckModulusText(const std::string& modulusBase64, std::string& error);
bool HashFile(const std::string& path, Sha256Digest& digest, uint64_t& size, std::string& error);
Sha256Digest HashBytes(std::string_view bytes);
// HMAC-SHA-256 of message under key, raw.
std::string HmacSha256(std::string_view key, std::string_view message);
// Sets the file's mode, writes every byte, syncs and closes fd (closed on every path).
// Returns 0, or the errno of the first step that failed.
int WriteSyncClose(int fd, unsigned mode, std::string_view bytes);

// A folder of one run beside what it writes: DIR/PREFIX and six characters, locked while it
// lives and removed with it, so that a later run tells a killed run's folder from a running one's.
struct ScratchFolder {
    std::filesystem::path path;
    int lock = -1;
    ScratchFolder() = default;
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder();
};
// Removes what killed runs left in dir under prefix (folders no running process holds), then
// makes and locks a new one.
bool MakeScratchFolder(const std::filesystem::path& dir, const std::string& prefix,
                       ScratchFolder& folder, std::string& error);
