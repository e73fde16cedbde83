// The operators' release tool: signing keys, publishing a release and checking what is served.
#pragma once

#include "update/manifest_rules.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

using Digest = std::array<unsigned char, 32>;

inline constexpr uint64_t ManifestByteLimit = 65536;
inline constexpr uint64_t SignatureByteLimit = 4096;
inline constexpr size_t ModulusBytes = 256;  // RSA-2048

// Positional arguments and --name value options of one subcommand.
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
};

// crypto.cpp. Every failure leaves a message for the operator in error.
bool GenerateKey(const std::string& path, std::string& modulusBase64, std::string& error);
bool ReadKeyModulus(const std::string& path, std::string& modulusBase64, std::string& error);
bool SignWithKey(const std::string& keyPath, std::string_view message, std::string& signature,
                 std::string& modulusBase64, std::string& error);
// True only for a PKCS#1 v1.5 SHA-256 signature of exactly 256 bytes under that modulus.
bool VerifyWithModulus(const std::string& modulusBase64, std::string_view message,
                       std::string_view signature, std::string& error);
bool CheckModulusText(const std::string& modulusBase64, std::string& error);
bool HashFile(const std::string& path, Digest& digest, uint64_t& size, std::string& error);
Digest HashBytes(std::string_view bytes);
// Sets the file's mode, writes every byte, syncs and closes fd (closed on every path).
// Returns 0, or the errno of the first step that failed.
int WriteSyncClose(int fd, unsigned mode, std::string_view bytes);

// The subcommands; each returns the process exit code.
int RunPublish(const Arguments& args);
int RunVerify(const Arguments& args);
int RunSignLauncher(const Arguments& args);
