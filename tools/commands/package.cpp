// package: checks what a setup would ship against the constants built into its launcher, then
// has makensis build the setup from installer/vantor.nsi (carried inside the tool) and the
// inputs written here, signed through sign-launcher when signing options are given.
#include "tools/commands/package.h"

#include "installer_script.h"
#include "tools/places/places.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

extern char** environ;

namespace fs = std::filesystem;

const char PackageHelp[] =
    R"(usage: vantor-release package OUT.exe --launcher VANTOR.exe --client CLIENT.exe
                                --client-info clientinfo.xml [--game GAME_DIR]
                                [--release RELEASE_DIR] [--version X.Y.Z] [--publisher NAME]
                                [--constants VANTOR.constants]
                                [the signing options of sign-launcher]

Writes OUT.exe, the players' setup: a per-user installer that asks for no elevation and
installs into %LOCALAPPDATA%\Programs\Vantor by default (a player may choose another folder,
but only one they can write: the launcher updates the game in place). It ships
  VANTOR.exe                      --launcher, the launcher the players start
  2015-11-04aKovexe_patched.exe   --client, the game client
  Data\clientinfo.xml             --client-info, the client's server configuration
  the game's other files          --game: GAME_DIR laid out like the installation, shipped as
                                  they are (the launcher never updates them)
  the release's data files        --release: RELEASE_DIR as publish takes it, only the
                                  launcher's updatable files; the first start then says
                                  "Up to date". Without it the first start downloads them, and
                                  the setup serves every later release unchanged.
and makes a Start Menu and a desktop shortcut, an entry in Apps & features (--version,
default 1.2.2; --publisher, default Vantor) and an uninstaller. Over an installed game it
replaces the launcher, client, configuration and game files and keeps the data the launcher
downloaded. It refuses while the launcher or the installed client runs; so does the
uninstaller, which removes the setup's files, the launcher's updatable files and their
.vantor-new and .vantor-backup leftovers, the shortcuts and the entry, and a folder only once
it is empty: never anything else. Silent: OUT.exe /S [/D=FOLDER], uninstall.exe /S; a silent
run that refuses exits with 2 and changes nothing.

Nothing is built unless the inputs give a launcher that can start the game. Refused:
  - a launcher that VANTOR.constants does not describe. The launcher's build writes that record
    beside VANTOR.exe (its constants and its own SHA-256); --constants names it when the
    launcher was signed elsewhere. A signed launcher is compared without its signature;
  - a launcher without a signature when signing options are given;
  - a client whose SHA-256 is not the one built into the launcher;
  - a clientinfo.xml that does not hold <address>HOST</address> and <port>PORT</port> with the
    launcher's game server exactly (letter case and spaces count), or is empty or over 1 MiB;
  - a file in RELEASE_DIR that is not one of the launcher's updatable files, a file of
    GAME_DIR that the setup ships otherwise or the launcher updates, a name Windows cannot
    hold, two names that differ only in letter case;
  - more than one setup can hold: 2,000,000,000 bytes of files in all.

With the signing options of sign-launcher (--cert and --key, --pkcs12, or a token; see
vantor-release sign-launcher --help) the setup and the uninstaller it writes on the player's
machine are each signed and verified by sign-launcher while makensis builds; the options are
first tried on a copy of the launcher, so a wrong one stops the command before it builds.

Reproducible: the same inputs and makensis give the same unsigned OUT.exe byte for byte. A
signed setup is the unsigned one plus two signatures, its own and its uninstaller's inside:
check it with osslsigncode verify, and its contents by building the unsigned one again.
OUT.exe appears whole or not at all: the setup is made in a folder beside it and renamed; one
a killed run left there is removed by the next run.
Needs makensis (the Debian package nsis).
)";

namespace {

constexpr char ClientName[] = "2015-11-04aKovexe_patched.exe";
constexpr char ClientInfoName[] = "Data\\clientinfo.xml";
constexpr char LauncherName[] = "VANTOR.exe";
constexpr char UninstallerName[] = "uninstall.exe";
constexpr uint64_t ClientInfoLimit = 1048576;
// NSIS keeps offsets in 32 bits; well below 2 GiB leaves room for its own headers.
constexpr uint64_t SetupLimit = 2000000000;
constexpr std::string_view SigningOptions[] = {"--cert",   "--key",           "--chain",
                                               "--pkcs12", "--password-file", "--timestamp",
                                               "--url",    "--pkcs11-module", "--pin-file"};

int Usage(const std::string& message) {
    std::cerr << "vantor-release package: " << message
              << "\n(vantor-release package --help for details)\n";
    return 2;
}

int Refuse(const std::string& message) {
    std::cerr << "vantor-release package: " << message << "\n";
    return 1;
}

// The record a launcher build writes beside VANTOR.exe.
struct LauncherRecord {
    std::map<std::string, std::string> values;
    const std::string& operator[](const std::string& key) const { return values.at(key); }
};

bool ReadRecord(const fs::path& path, LauncherRecord& record, std::string& error) {
    std::string text;
    if (!ReadWhole(path, text, error)) {
        error +=
            " (the launcher's build writes VANTOR.constants beside VANTOR.exe; give it "
            "with --constants)";
        return false;
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.find(' ');
        if (space != std::string::npos)
            record.values[line.substr(0, space)] = line.substr(space + 1);
    }
    for (const char* key : {"launcher-sha256", "launcher-size", "client-sha256", "game-server-host",
                            "game-server-port", "update-host", "update-port", "website-base"}) {
        if (!record.values.count(key)) {
            error = path.string() + ": not a launcher's record of its constants (no " + key + ")";
            return false;
        }
    }
    return true;
}

uint32_t Read32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void Write32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// Where a 64-bit PE image keeps its checksum and its certificate table's entry.
struct PeFields {
    size_t checksumAt = 0;
    size_t certificatesAt = 0;
};

bool FindPeFields(const std::string& bytes, PeFields& pe) {
    if (bytes.size() < 0x40 || bytes.compare(0, 2, "MZ") != 0) return false;
    const size_t header = Read32(bytes, 0x3c);
    const size_t optional = header + 24;
    if (header > bytes.size() || bytes.size() - header < 24 + 152 ||
        bytes.compare(header, 4, std::string("PE\0\0", 4)) != 0 ||
        Read32(bytes, optional) % 0x10000 != 0x20b || Read32(bytes, optional + 108) < 5) {
        return false;
    }
    pe.checksumAt = optional + 64;
    pe.certificatesAt = optional + 144;
    return true;
}

// The PE checksum as the linker and signing tools compute it.
uint32_t PeChecksum(const std::string& bytes, size_t checksumAt) {
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        if (i >= checksumAt && i < checksumAt + 4) continue;
        uint32_t word = static_cast<unsigned char>(bytes[i]);
        if (i + 1 < bytes.size())
            word |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        sum += word;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint32_t>(sum + bytes.size());
}

// The launcher as its build wrote it: a signature appended later (with its padding, its table
// entry and the checksum it set) taken off again; a build that left the checksum 0 gets 0 back.
// False when the bytes are not a launcher the record can describe.
bool UnsignedLauncher(std::string bytes, uint64_t builtSize, const std::string& builtSha256,
                      std::string& image, bool& isSigned) {
    PeFields pe;
    if (!FindPeFields(bytes, pe)) return false;
    const uint32_t tableAt = Read32(bytes, pe.certificatesAt);
    const uint32_t tableSize = Read32(bytes, pe.certificatesAt + 4);
    isSigned = tableSize != 0;
    if (isSigned) {
        if (tableAt < builtSize || uint64_t{tableAt} + tableSize != bytes.size() ||
            bytes.find_first_not_of('\0', builtSize) < tableAt) {
            return false;
        }
        bytes.resize(builtSize);
        Write32(bytes, pe.certificatesAt, 0);
        Write32(bytes, pe.certificatesAt + 4, 0);
        Write32(bytes, pe.checksumAt, PeChecksum(bytes, pe.checksumAt));
        if (DigestToHex(HashBytes(bytes)) != builtSha256) Write32(bytes, pe.checksumAt, 0);
    }
    image = std::move(bytes);
    return DigestToHex(HashBytes(image)) == builtSha256;
}

bool CheckLauncher(const std::string& path, const LauncherRecord& record, bool wantSigned,
                   std::string& unsignedImage, std::string& error) {
    std::string bytes;
    if (!ReadWhole(path, bytes, error)) return false;
    PeFields pe;
    if (!FindPeFields(bytes, pe)) {
        error = path + ": not a 64-bit Windows program";
        return false;
    }
    bool isSigned = false;
    uint64_t builtSize = 0;
    try {
        builtSize = std::stoull(record["launcher-size"]);
    } catch (const std::exception&) {
        builtSize = 0;
    }
    if (!UnsignedLauncher(bytes, builtSize, record["launcher-sha256"], unsignedImage, isSigned)) {
        error = path +
                " is not the launcher whose record of constants was given: the record "
                "describes a VANTOR.exe of " +
                record["launcher-size"] + " bytes with SHA-256 " + record["launcher-sha256"] +
                (isSigned ? " (compared without the launcher's signature)" : "");
        return false;
    }
    if (wantSigned && !isSigned) {
        error = path +
                ": the launcher is not signed, but the setup is to be: sign the launcher first "
                "(vantor-release sign-launcher), then package the signed one";
        return false;
    }
    return true;
}

bool CheckClient(const std::string& path, const LauncherRecord& record, std::string& error) {
    Sha256Digest digest{};
    uint64_t size = 0;
    if (!HashFile(path, digest, size, error)) return false;
    if (DigestToHex(digest) != record["client-sha256"]) {
        error = path + ": its SHA-256 " + DigestToHex(digest) +
                " is not the one built into the launcher, " + record["client-sha256"] +
                ": the launcher would refuse to start it";
        return false;
    }
    return true;
}

bool CheckClientInfo(const std::string& path, const LauncherRecord& record, std::string& error) {
    std::string bytes;
    if (!ReadWhole(path, bytes, error)) return false;
    if (bytes.empty() || bytes.size() > ClientInfoLimit) {
        error = path + ": " + (bytes.empty() ? "empty" : "over 1 MiB") +
                "; the launcher would call the server configuration invalid";
        return false;
    }
    for (const std::string& fragment : {"<address>" + record["game-server-host"] + "</address>",
                                        "<port>" + record["game-server-port"] + "</port>"}) {
        if (bytes.find(fragment) == std::string::npos) {
            error = path + ": does not hold " + fragment +
                    ", the launcher's game server exactly as built in (letter case and spaces "
                    "count); the launcher would call the server configuration invalid";
            return false;
        }
    }
    return true;
}

// One file the setup installs.
struct Shipped {
    std::string name;  // relative to the installation, with backslashes
    fs::path source;
    uint64_t size = 0;
    bool data = false;  // one of the launcher's updatable files
};

std::string Folded(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

// Windows cannot hold these in a file name, nor a name ending in a dot or a space.
bool IsWindowsName(std::string_view name) {
    size_t start = 0;
    while (start <= name.size()) {
        const size_t end = std::min(name.find('\\', start), name.size());
        const std::string_view part = name.substr(start, end - start);
        if (part.empty() || part.back() == '.' || part.back() == ' ') return false;
        for (const char c : part) {
            if (static_cast<unsigned char>(c) < 32 || std::strchr("<>:\"/|?*", c)) return false;
        }
        start = end + 1;
    }
    return IsValidUtf8(name);
}

// Every file below dir, sorted by name: the setup's bytes must not depend on the order a
// directory lists.
bool ListFiles(const fs::path& dir, const char* option, std::vector<Shipped>& files,
               std::string& error) {
    if (!IsDirectory(dir, error)) {
        error = std::string(option) + " " + error;
        return false;
    }
    std::error_code ec;
    std::vector<Shipped> found;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::file_status status = it->status(ec);
        if (fs::is_directory(status)) continue;
        std::string name = it->path().lexically_relative(dir).generic_string();
        if (!fs::is_regular_file(status)) {
            error = it->path().string() + ": not a regular file";
            return false;
        }
        if (name.find('\\') != std::string::npos) {
            error = it->path().string() + ": a backslash in a name cannot be installed";
            return false;
        }
        std::replace(name.begin(), name.end(), '/', '\\');
        if (!IsWindowsName(name)) {
            error = it->path().string() + ": Windows cannot hold this name";
            return false;
        }
        found.push_back({name, it->path(), static_cast<uint64_t>(it->file_size(ec)), false});
    }
    if (ec) {
        error = dir.string() + ": cannot read: " + ec.message();
        return false;
    }
    std::sort(found.begin(), found.end(),
              [](const Shipped& a, const Shipped& b) { return a.name < b.name; });
    files.insert(files.end(), found.begin(), found.end());
    return true;
}

bool CollectFiles(const Arguments& args, std::vector<Shipped>& files, std::string& error) {
    for (const auto& [option, name] : {std::pair{"--launcher", LauncherName},
                                       {"--client", ClientName},
                                       {"--client-info", ClientInfoName}}) {
        const fs::path source = args.options.at(option);
        std::error_code ec;
        files.push_back({name, source, static_cast<uint64_t>(fs::file_size(source, ec)), false});
    }
    const size_t fixed = files.size();
    if (const auto game = args.options.find("--game"); game != args.options.end()) {
        if (!ListFiles(game->second, "--game", files, error)) return false;
    }
    const size_t releaseStart = files.size();
    if (const auto release = args.options.find("--release"); release != args.options.end()) {
        if (!ListFiles(release->second, "--release", files, error)) return false;
    }
    std::map<std::string, std::string> taken;  // folded name -> how it came
    for (size_t i = 0; i < files.size(); ++i) {
        Shipped& file = files[i];
        const int row = FindUpdatableFile(file.name);
        if (i >= releaseStart) {
            if (row < 0) {
                error = file.source.string() +
                        ": not one of the launcher's updatable files; --release takes only "
                        "those (vantor-release publish --help lists them)";
                return false;
            }
            file.name = UpdatableFiles[row];
            file.data = true;
        } else if (i >= fixed && (row >= 0 || Folded(file.name) == Folded(UninstallerName))) {
            error = file.source.string() + ": " +
                    (row >= 0 ? "a file the launcher updates; it belongs in --release"
                              : "the setup's own uninstaller has this name");
            return false;
        }
        const auto [at, added] = taken.emplace(Folded(file.name), file.source.string());
        if (!added) {
            error = file.source.string() + " and " + at->second + " would both be installed as " +
                    file.name;
            return false;
        }
    }
    uint64_t total = 0;
    for (const Shipped& file : files) total += file.size;
    if (total > SetupLimit) {
        error = "the files come to " + std::to_string(total) + " bytes; one setup holds at most " +
                std::to_string(SetupLimit) +
                " (makensis keeps 32-bit offsets). Ship fewer with the setup: without --release "
                "the launcher downloads the data files at its first start";
        return false;
    }
    return true;
}

std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A value inside an NSIS string at run time: $ starts a variable there.
std::string NsisText(std::string_view text) {
    std::string escaped;
    for (const char c : text) escaped += c == '$' ? std::string("$$") : std::string(1, c);
    return escaped;
}

std::string ParentOf(const std::string& name) {
    const size_t cut = name.rfind('\\');
    return cut == std::string::npos ? "" : name.substr(0, cut);
}

std::string InstallPath(const std::string& name) {
    return "\"$INSTDIR" + std::string(name.empty() ? "" : "\\") + NsisText(name) + "\"";
}

// The setup's inputs as NSIS reads them: the values, and what to install and remove. Sources
// are linked into the build folder under plain names, so no operator path reaches makensis.
std::string InputsScript(const Arguments& args, const LauncherRecord& record,
                         const std::vector<Shipped>& files, bool sign) {
    std::ostringstream out;
    uint64_t total = 0;
    for (const Shipped& file : files) total += file.size;
    const auto option = [&args](const char* name, const char* fallback) {
        const auto it = args.options.find(name);
        return it == args.options.end() ? std::string(fallback) : it->second;
    };
    out << "!define VANTOR_VERSION \"" << option("--version", "1.2.2") << "\"\n"
        << "!define VANTOR_PUBLISHER \"" << NsisText(option("--publisher", "Vantor")) << "\"\n"
        << "!define VANTOR_WEBSITE \"" << NsisText(record["website-base"]) << "\"\n"
        << "!define VANTOR_SIZE_KB " << (total + 1023) / 1024 << "\n"
        << "!define VANTOR_CLIENT \"" << ClientName << "\"\n"
        << "!define VANTOR_OUTFILE \"setup.exe\"\n";
    if (sign) out << "!define VANTOR_SIGN \"./sign.sh\"\n";
    for (const bool data : {false, true}) {
        out << (data ? "!macro VANTOR_RELEASE_FILES\n" : "!macro VANTOR_INSTALL_FILES\n");
        std::string folder = "-";
        for (size_t i = 0; i < files.size(); ++i) {
            if (files[i].data != data) continue;
            if (ParentOf(files[i].name) != folder) {
                folder = ParentOf(files[i].name);
                out << "    SetOutPath " << InstallPath(folder) << "\n";
            }
            const std::string base = files[i].name.substr(folder.empty() ? 0 : folder.size() + 1);
            out << "    File \"/oname=" << NsisText(base) << "\" \"files/" << i << "\"\n";
        }
        out << "!macroend\n";
    }
    // The uninstaller's list: shipped files, and every file the launcher may have downloaded
    // with its staging and backup names.
    std::set<std::string> removed;
    std::vector<std::string> names;
    const auto remove = [&](const std::string& name) {
        if (removed.insert(Folded(name)).second) names.push_back(name);
    };
    for (const Shipped& file : files) remove(file.name);
    for (const std::string_view row : UpdatableFiles) {
        for (const char* suffix : {"", ".vantor-new", ".vantor-backup"})
            remove(std::string(row) + suffix);
    }
    out << "!macro VANTOR_REMOVE_FILES\n";
    for (const std::string& name : names) out << "    Delete " << InstallPath(name) << "\n";
    out << "!macroend\n";
    std::vector<std::string> folders;
    std::set<std::string> seen;
    for (const std::string& name : names) {
        for (std::string folder = ParentOf(name); !folder.empty(); folder = ParentOf(folder)) {
            if (seen.insert(Folded(folder)).second) folders.push_back(folder);
        }
    }
    // Deepest first: a folder can only go once the folders in it have.
    std::sort(folders.begin(), folders.end(), [](const std::string& a, const std::string& b) {
        const auto depth = [](const std::string& s) {
            return std::count(s.begin(), s.end(), '\\');
        };
        return depth(a) != depth(b) ? depth(a) > depth(b) : a < b;
    });
    out << "!macro VANTOR_REMOVE_FOLDERS\n";
    for (const std::string& folder : folders) out << "    RMDir " << InstallPath(folder) << "\n";
    out << "!macroend\n";
    return out.str();
}

constexpr char BuildPrefix[] = ".vantor-package-";

bool WriteText(const fs::path& path, const std::string& text, unsigned mode, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const int failure = fd < 0 ? errno : WriteSyncClose(fd, mode, text);
    if (failure != 0) error = path.string() + ": cannot write: " + std::strerror(failure);
    return failure == 0;
}

// Runs a program in dir with its output into log; its exit code, or -1 when it did not run.
int RunLogged(const std::vector<std::string>& command, const fs::path& dir, const fs::path& log,
              std::string& error) {
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    pid_t pid = 0;
    const int started = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) {
        error = started == ENOENT ? command[0] + " is not installed: sudo apt-get install nsis"
                                  : "cannot run " + command[0] + ": " + std::strerror(started);
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) continue;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string LogText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// sign-launcher with the operator's signing options, as a script makensis runs on the setup and
// on the uninstaller (!finalize, !uninstfinalize); options stay in this file, off its lines.
std::string SignScript(const Arguments& args) {
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::string script = "#!/bin/sh\nexec " + ShellQuoted(self) + " sign-launcher \"$1\" \"$1\"";
    for (const std::string_view name : SigningOptions) {
        const auto it = args.options.find(std::string(name));
        if (it != args.options.end())
            script += " " + std::string(name) + " " + ShellQuoted(it->second);
    }
    return script + "\n";
}

bool IsVersion(const std::string& text) {
    int parts = 0;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, '.'); ++parts) {
        if (part.empty() || part.size() > 5 ||
            part.find_first_not_of("0123456789") != std::string::npos || std::stoul(part) > 65535) {
            return false;
        }
    }
    return parts == 3 && text.back() != '.';
}

}  // namespace

int RunPackage(const Arguments& args) {
    const auto has = [&args](const std::string& name) { return args.options.count(name) != 0; };
    for (const char* required : {"--launcher", "--client", "--client-info"}) {
        if (!has(required)) return Usage(std::string(required) + " is required");
    }
    if (has("--version") && !IsVersion(args.options.at("--version"))) {
        return Usage("--version takes X.Y.Z, three numbers up to 65535");
    }
    if (has("--publisher")) {
        const std::string& publisher = args.options.at("--publisher");
        if (publisher.find_first_of("\"\r\n") != std::string::npos || !IsValidUtf8(publisher)) {
            return Usage("--publisher takes one line of UTF-8 text without quotes");
        }
    }
    bool sign = false;
    for (const std::string_view name : SigningOptions) sign = sign || has(std::string(name));
    const fs::path out = fs::absolute(args.positional[0]);

    std::string error;
    const fs::path launcher = args.options.at("--launcher");
    const fs::path recordPath = has("--constants") ? fs::path(args.options.at("--constants"))
                                                   : launcher.parent_path() / "VANTOR.constants";
    LauncherRecord record;
    std::string unsignedLauncher;
    std::vector<Shipped> files;
    if (!ReadRecord(recordPath, record, error) ||
        !CheckLauncher(launcher.string(), record, sign, unsignedLauncher, error) ||
        !CheckClient(args.options.at("--client"), record, error) ||
        !CheckClientInfo(args.options.at("--client-info"), record, error) ||
        !CollectFiles(args, files, error)) {
        return Refuse(error + "\nnothing was built");
    }

    ScratchFolder build;
    if (!MakeScratchFolder(out.parent_path(), BuildPrefix, build, error)) return Refuse(error);
    std::error_code ec;
    fs::create_directory(build.path / "files", ec);
    for (size_t i = 0; i < files.size() && !ec; ++i) {
        fs::create_symlink(fs::absolute(files[i].source), build.path / "files" / std::to_string(i),
                           ec);
    }
    if (ec) return Refuse(build.path.string() + ": " + ec.message());
    if (sign) {
        // The signing options tried first on a copy of the launcher: a wrong one is named before
        // the long build, and a token's PIN is not tried twice in a row when it is wrong.
        Arguments trial;
        trial.positional = {(build.path / "trial.exe").string(),
                            (build.path / "trial.exe").string()};
        for (const std::string_view name : SigningOptions) {
            if (const auto it = args.options.find(std::string(name)); it != args.options.end()) {
                trial.options.insert(*it);
            }
        }
        if (!WriteText(build.path / "trial.exe", unsignedLauncher, 0600, error))
            return Refuse(error);
        // Its report of the copy would only mislead; its errors go to stderr as they are.
        std::ostringstream trialReport;
        std::streambuf* const shown = std::cout.rdbuf(trialReport.rdbuf());
        const int signedCopy = RunSignLauncher(trial);
        std::cout.rdbuf(shown);
        if (signedCopy != 0) return Refuse("the signing options failed; nothing was built");
        if (!WriteText(build.path / "sign.sh", SignScript(args), 0700, error)) return Refuse(error);
    }
    if (!WriteText(build.path / "vantor.nsi", InstallerScript, 0600, error) ||
        !WriteText(build.path / "inputs.nsh", InputsScript(args, record, files, sign), 0600,
                   error)) {
        return Refuse(error);
    }
    const fs::path log = build.path / "makensis.log";
    std::cout << "building the setup with makensis"
              << (sign ? ", signing it and its uninstaller" : "") << "\n";
    const int code = RunLogged({"makensis", "-V2", "-WX", "-INPUTCHARSET", "UTF8",
                                "-DVANTOR_INPUTS=inputs.nsh", "vantor.nsi"},
                               build.path, log, error);
    if (code != 0) {
        if (code < 0) return Refuse(error);
        return Refuse("makensis failed (exit " + std::to_string(code) + "); nothing was written. " +
                      "It said:\n" + LogText(log));
    }
    const fs::path setup = build.path / "setup.exe";
    Sha256Digest digest{};
    uint64_t size = 0;
    if (!HashFile(setup.string(), digest, size, error)) return Refuse(error);
    fs::permissions(setup,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::others_read,
                    ec);
    if (std::rename(setup.c_str(), out.c_str()) != 0) {
        return Refuse("cannot write " + out.string() + ": " + std::strerror(errno));
    }
    if (!SyncDirectory(out.parent_path(), error)) return Refuse(error);

    uint64_t dataFiles = 0;
    for (const Shipped& file : files) dataFiles += file.data;
    std::cout << "setup      " << out.string() << " (" << size << " bytes)\n"
              << "sha256     " << DigestToHex(digest) << "\n"
              << "ships      " << files.size() << " files: the launcher, the client, "
              << ClientInfoName << ", " << files.size() - 3 - dataFiles << " other game file(s), "
              << dataFiles << " data file(s)"
              << (dataFiles ? "" : " (the first start downloads them)") << "\n"
              << "launcher   updates from " << record["update-host"] << ":" << record["update-port"]
              << ", game server " << record["game-server-host"] << ":" << record["game-server-port"]
              << "\n"
              << "installs   per user, into %LOCALAPPDATA%\\Programs\\Vantor unless the player "
                 "chooses another folder they can write; silent: /S [/D=FOLDER]\n"
              << (sign ? "signed     the setup and its uninstaller, each verified by "
                         "sign-launcher\n"
                       : "unsigned   the same inputs give these bytes again\n");
    return 0;
}
