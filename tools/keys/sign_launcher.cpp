// sign-launcher: osslsigncode signs and checks; this file picks its arguments, refuses what it
// would fail on with a clearer message, and makes OUT appear whole or not at all.

// A key on a token is read through OpenSSL's PKCS#11 engine, the one osslsigncode signs through,
// so that a wrong PIN or address is named before it runs. OpenSSL 3 marks engines deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "tools/release_tool.h"

#include "tools/keys/openssl_owners.h"

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/ui.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Cert = OpenSslOwner<X509, X509_free>;
using Pkcs12 = OpenSslOwner<PKCS12, PKCS12_free>;
using Engine = OpenSslOwner<ENGINE, ENGINE_free>;
using UiMethod = OpenSslOwner<UI_METHOD, UI_destroy_method>;

constexpr char Description[] = "Vantor Launcher";
constexpr char InstallHint[] = "osslsigncode is not installed: sudo apt-get install osslsigncode";
constexpr char EngineHint[] =
    "OpenSSL's PKCS#11 engine is not installed: sudo apt-get install libengine-pkcs11-openssl";

// What the operator gave, read and checked before osslsigncode runs.
struct Signer {
    std::vector<Cert> certificates;  // the signing certificate first, then its chain
    std::vector<X509*> roots;        // the self-signed ones among them
};

constexpr char ScratchPrefix[] = ".vantor-sign-";

// SIGINT, SIGTERM or SIGHUP: osslsigncode is stopped and the scratch folder removed on the way
// out, instead of dying with both left behind.
volatile sig_atomic_t interruptedBy = 0;

void NoteInterruption(int signal) {
    interruptedBy = signal;
}

void CatchInterruptions() {
    struct sigaction action = {};
    action.sa_handler = NoteInterruption;  // no SA_RESTART: waitpid returns EINTR
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool Interrupted(std::string& error) {
    if (interruptedBy) error = "interrupted by signal " + std::to_string(interruptedBy);
    return interruptedBy != 0;
}

std::string NameOf(const X509_NAME* name) {
    Bio bio(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

// osslsigncode -readpass takes the file's text without its line end; so does this.
bool ReadPassword(const std::string& path, std::string& password, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot read: " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    password = text.str();
    while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) {
        password.pop_back();
    }
    return true;
}

int GivePassword(char* buffer, int size, int, void* context) {
    const auto* password = static_cast<const std::string*>(context);
    if (!password || password->size() > static_cast<size_t>(size)) return -1;
    std::memcpy(buffer, password->data(), password->size());
    return static_cast<int>(password->size());
}

bool ReadCertificates(const std::string& path, std::vector<Cert>& out, std::string& error) {
    Bio bio(BIO_new_file(path.c_str(), "rb"));
    if (!bio) {
        error = path + ": cannot read: " + std::strerror(errno);
        return false;
    }
    const size_t before = out.size();
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        out.emplace_back(cert);
    }
    const unsigned long last = ERR_peek_last_error();
    const bool ended =
        ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE;
    ERR_clear_error();
    if (out.size() == before || !ended) {
        error = path + ": not a file of PEM certificates";
        return false;
    }
    return true;
}

bool IsTokenAddress(const std::string& value) {
    return value.rfind("pkcs11:", 0) == 0;
}

// The reasons the engine and the module left in OpenSSL's error queue, once each.
std::string QueuedReasons() {
    std::string reasons;
    while (const unsigned long code = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(code);
        if (reason && reasons.find(reason) == std::string::npos) {
            reasons += (reasons.empty() ? "" : "; ") + std::string(reason);
        }
    }
    return reasons.empty() ? "no reason given" : reasons;
}

// The engine says only that it could not load a module; the loader says why.
bool CheckModuleLoads(const std::string& module, std::string& error) {
    void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        error = module + ": the PKCS#11 module does not load: " + dlerror();
        return false;
    }
    const bool isModule = dlsym(handle, "C_GetFunctionList") != nullptr;
    dlclose(handle);
    if (!isModule) error = module + ": not a PKCS#11 module (it has no C_GetFunctionList)";
    return isModule;
}

// Without --pin-file the engine would ask on the terminal; the tool never asks, and says so.
bool pinAsked = false;

int RefusePin(UI*, UI_STRING*) {
    pinAsked = true;
    return 0;
}

// The engine with the token's module, initialised; released (and the token's session with it)
// before osslsigncode opens its own.
struct TokenSession {
    Engine engine;
    bool initialised = false;
    ~TokenSession() {
        if (initialised) ENGINE_finish(engine.get());
    }
};

bool OpenToken(const std::string& module, const std::string* pin, TokenSession& token,
               std::string& error) {
    if (!CheckModuleLoads(module, error)) return false;
    token.engine.reset(ENGINE_by_id("pkcs11"));
    if (!token.engine) {
        ERR_clear_error();
        error = EngineHint;
        return false;
    }
    ENGINE* engine = token.engine.get();
    // Its own lines on stderr would only repeat, less plainly, what the tool says.
    if (ENGINE_ctrl_cmd_string(engine, "QUIET", nullptr, 0) != 1) ERR_clear_error();
    token.initialised = ENGINE_ctrl_cmd_string(engine, "MODULE_PATH", module.c_str(), 0) == 1 &&
                        (!pin || ENGINE_ctrl_cmd_string(engine, "PIN", pin->c_str(), 0) == 1) &&
                        ENGINE_init(engine) == 1;
    if (!token.initialised)
        error = module + ": the PKCS#11 engine does not start: " + QueuedReasons();
    return token.initialised;
}

// A wrong PIN is tried once: tokens lock after a few, and a second try here would count twice.
Pkey ReadTokenKey(const Arguments& args, TokenSession& token, std::string& error) {
    const std::string& address = args.options.at("--key");
    UiMethod refuse(UI_create_method("vantor-release"));
    if (refuse) UI_method_set_reader(refuse.get(), RefusePin);
    pinAsked = false;
    Pkey key(ENGINE_load_private_key(token.engine.get(), address.c_str(), refuse.get(), nullptr));
    if (key) return key;
    const std::string reasons = QueuedReasons();
    const std::string module = args.options.at("--pkcs11-module");
    if (pinAsked) {
        error = address + ": the token wants its PIN: give it with --pin-file";
    } else if (reasons.find("PIN") != std::string::npos && args.options.count("--pin-file")) {
        error = args.options.at("--pin-file") + ": the token refused this PIN (" + reasons +
                "); it was tried once, and a token locks after a few wrong ones";
    } else {
        error = address + ": no private key at this address on a token of " + module + " (" +
                reasons + "); pkcs11-tool --module " + module +
                " --list-objects --login lists them";
    }
    return nullptr;
}

Pkey ReadFileKey(const std::string& keyPath, const std::string* password, std::string& error) {
    Bio bio(BIO_new_file(keyPath.c_str(), "rb"));
    if (!bio) {
        error = keyPath + ": cannot read: " + std::strerror(errno);
        return nullptr;
    }
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, GivePassword,
                                     const_cast<std::string*>(password)));
    if (!key) {
        ERR_clear_error();
        error = keyPath + (password ? ": not a PEM private key, or the password is wrong"
                                    : ": not a PEM private key, or an encrypted one (give its "
                                      "password with --password-file)");
    }
    return key;
}

// --cert and --key as files, or either on the token; the chain always from --chain.
bool ReadCertAndKeySigner(const Arguments& args, const std::string* secret, Signer& signer,
                          std::string& error) {
    const std::string& certPath = args.options.at("--cert");
    const std::string& keyPath = args.options.at("--key");
    TokenSession token;
    if (IsTokenAddress(keyPath) &&
        !OpenToken(args.options.at("--pkcs11-module"), secret, token, error)) {
        return false;
    }
    if (IsTokenAddress(certPath)) {
        struct {
            const char* address;
            X509* cert;
        } wanted = {certPath.c_str(), nullptr};
        ENGINE_ctrl_cmd(token.engine.get(), "LOAD_CERT_CTRL", 0, &wanted, nullptr, 1);
        if (!wanted.cert) {
            error = certPath + ": no certificate at this address on the token (" + QueuedReasons() +
                    ")";
            return false;
        }
        signer.certificates.emplace_back(wanted.cert);
    } else if (!ReadCertificates(certPath, signer.certificates, error)) {
        return false;
    }
    if (signer.certificates.size() != 1) {
        error = certPath + ": holds " + std::to_string(signer.certificates.size()) +
                " certificates; give the signing certificate alone and the others with --chain";
        return false;
    }
    if (const auto chain = args.options.find("--chain"); chain != args.options.end()) {
        if (!ReadCertificates(chain->second, signer.certificates, error)) return false;
    }
    const Pkey key =
        token.engine ? ReadTokenKey(args, token, error) : ReadFileKey(keyPath, secret, error);
    if (!key) return false;
    if (X509_check_private_key(signer.certificates[0].get(), key.get()) != 1) {
        ERR_clear_error();
        error = keyPath + " is not the private key of the certificate in " + certPath;
        return false;
    }
    return true;
}

bool ReadPkcs12Signer(const std::string& path, const std::string* password, Signer& signer,
                      std::string& error) {
    // Keys exported by older Windows use ciphers that OpenSSL 3 keeps in its legacy provider.
    OSSL_PROVIDER_try_load(nullptr, "legacy", 1);
    Bio bio(BIO_new_file(path.c_str(), "rb"));
    if (!bio) {
        error = path + ": cannot read: " + std::strerror(errno);
        return false;
    }
    Pkcs12 p12(d2i_PKCS12_bio(bio.get(), nullptr));
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    STACK_OF(X509)* chain = nullptr;
    if (!p12 || !PKCS12_parse(p12.get(), password ? password->c_str() : "", &key, &cert, &chain)) {
        ERR_clear_error();
        error = path + (password ? ": not a PKCS#12 file, or the password is wrong"
                                 : ": not a PKCS#12 file, or one with a password (give it "
                                   "with --password-file)");
        return false;
    }
    Pkey owned(key);
    if (cert) signer.certificates.emplace_back(cert);
    for (int i = 0; i < sk_X509_num(chain); ++i)
        signer.certificates.emplace_back(sk_X509_value(chain, i));
    sk_X509_free(chain);
    if (!key || !cert) {
        error = path + ": holds no private key with its certificate";
        return false;
    }
    return true;
}

std::string TimeText(const ASN1_TIME* time) {
    Bio bio(BIO_new(BIO_s_mem()));
    ASN1_TIME_print(bio.get(), time);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

// What Windows would refuse and osslsigncode would only report as a chain that does not verify.
bool CheckSigningCertificate(X509* cert, std::string& error) {
    const std::string name = "the certificate " + NameOf(X509_get_subject_name(cert));
    const uint32_t extensions = X509_get_extension_flags(cert);
    if ((extensions & EXFLAG_XKUSAGE) && !(X509_get_extended_key_usage(cert) & XKU_CODE_SIGN)) {
        error = name + " does not allow code signing: its extended key usage lacks codeSigning";
    } else if ((extensions & EXFLAG_KUSAGE) && !(X509_get_key_usage(cert) & KU_DIGITAL_SIGNATURE)) {
        error = name + " does not allow code signing: its key usage lacks digitalSignature";
    } else if (X509_cmp_current_time(X509_get0_notBefore(cert)) >= 0) {
        error = name + " is not valid before " + TimeText(X509_get0_notBefore(cert));
    } else if (X509_cmp_current_time(X509_get0_notAfter(cert)) <= 0) {
        error = name + " expired on " + TimeText(X509_get0_notAfter(cert));
    }
    return error.empty();
}

bool WriteCertificates(const fs::path& path, const std::vector<X509*>& certificates,
                       std::string& error) {
    Bio bio(BIO_new_file(path.c_str(), "wb"));
    bool ok = static_cast<bool>(bio);
    for (X509* cert : certificates) ok = ok && PEM_write_bio_X509(bio.get(), cert) == 1;
    ok = ok && BIO_flush(bio.get()) == 1;
    if (!ok) {
        ERR_clear_error();
        error = path.string() + ": cannot write";
    }
    return ok;
}

// Runs osslsigncode with args, no shell, its output into logPath. False when it could not run.
bool RunOsslsigncode(const std::vector<std::string>& args, const fs::path& logPath, int& exitCode,
                     std::string& error) {
    std::vector<char*> argv;
    std::string program = "osslsigncode";
    argv.push_back(program.data());
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    if (Interrupted(error)) return false;
    const int started = posix_spawnp(&pid, "osslsigncode", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) {
        error = started == ENOENT
                    ? InstallHint
                    : std::string("cannot run osslsigncode: ") + std::strerror(started);
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno == EINTR && interruptedBy) {
            kill(pid, SIGTERM);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) continue;
            Interrupted(error);
            return false;
        }
        if (errno != EINTR) {
            error = std::string("waiting for osslsigncode: ") + std::strerror(errno);
            return false;
        }
    }
    if (!WIFEXITED(status)) {
        error = "osslsigncode was killed by signal " + std::to_string(WTERMSIG(status));
        return false;
    }
    exitCode = WEXITSTATUS(status);
    return true;
}

std::string ReadLog(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string indented;
    std::istringstream lines(text.str());
    for (std::string line; std::getline(lines, line);) indented += "  | " + line + "\n";
    return indented;
}

bool SyncPath(const fs::path& path, int flags) {
    const int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

int Usage(const std::string& message) {
    std::cerr << "vantor-release sign-launcher: " << message
              << "\n(vantor-release sign-launcher --help for details)\n";
    return 2;
}

int Fail(const std::string& message) {
    std::cerr << "vantor-release sign-launcher: " << message << "\n";
    return 1;
}

}  // namespace

int RunSignLauncher(const Arguments& args) {
    // A closed pipe on stderr must not kill the tool before it removes its temporary directory.
    signal(SIGPIPE, SIG_IGN);
    const auto has = [&args](const char* name) { return args.options.count(name) != 0; };
    const std::string& inPath = args.positional[0];
    const fs::path outPath = fs::absolute(args.positional[1]);
    if (has("--pkcs12") == (has("--cert") || has("--key"))) {
        return Usage("give either --cert and --key, or --pkcs12");
    }
    if (has("--cert") != has("--key")) return Usage("--cert and --key go together");
    if (has("--pkcs12") && has("--chain")) {
        return Usage("--chain goes with --cert; a PKCS#12 file carries its own chain");
    }
    const bool onToken = has("--key") && IsTokenAddress(args.options.at("--key"));
    if (onToken != has("--pkcs11-module")) {
        return Usage(onToken ? "a --key on a token (pkcs11:...) needs --pkcs11-module MODULE.so"
                             : "--pkcs11-module goes with a --key that is a pkcs11: address");
    }
    if (!onToken && has("--cert") && IsTokenAddress(args.options.at("--cert"))) {
        return Usage("a --cert on a token goes with its --key there (pkcs11:...)");
    }
    if (has(onToken ? "--password-file" : "--pin-file")) {
        return Usage(onToken ? "a key on a token takes its PIN with --pin-file"
                             : "--pin-file is a token's PIN; files take --password-file");
    }
    if (has("--timestamp") && args.options.at("--timestamp").rfind("http", 0) != 0) {
        return Usage("--timestamp takes the http:// or https:// address of an RFC 3161 server");
    }

    std::string error;
    std::string password;
    const std::string* passwordGiven = nullptr;
    // The password of a key file or the PIN of a token: one of them at most is given.
    const char* secretOption = onToken ? "--pin-file" : "--password-file";
    if (has(secretOption)) {
        if (!ReadPassword(args.options.at(secretOption), password, error)) return Fail(error);
        passwordGiven = &password;
    }
    std::error_code ec;
    std::ifstream in(inPath, std::ios::binary);
    char magic[2] = {};
    if (!fs::is_regular_file(inPath, ec) || !in.read(magic, 2)) {
        return Fail(inPath + ": not found or empty");
    }
    if (magic[0] != 'M' || magic[1] != 'Z') return Fail(inPath + ": not a Windows executable");
    in.close();
    Signer signer;
    const bool read = has("--pkcs12") ? ReadPkcs12Signer(args.options.at("--pkcs12"), passwordGiven,
                                                         signer, error)
                                      : ReadCertAndKeySigner(args, passwordGiven, signer, error);
    if (!read || !CheckSigningCertificate(signer.certificates[0].get(), error)) return Fail(error);
    for (const Cert& cert : signer.certificates) {
        if (X509_self_signed(cert.get(), 1) == 1) signer.roots.push_back(cert.get());
    }
    ERR_clear_error();

    CatchInterruptions();
    ScratchFolder scratch;
    if (!MakeScratchFolder(outPath.parent_path(), ScratchPrefix, scratch, error))
        return Fail(error);
    const fs::path signedPath = scratch.path / "signed.exe";
    const fs::path logPath = scratch.path / "osslsigncode.log";
    const fs::path rootsPath = scratch.path / "roots.pem";

    std::vector<std::string> sign = {"sign", "-h", "sha256", "-n", Description};
    if (has("--url")) sign.insert(sign.end(), {"-i", args.options.at("--url")});
    if (has("--pkcs12")) {
        sign.insert(sign.end(), {"-pkcs12", args.options.at("--pkcs12")});
    } else {
        const fs::path certsPath = scratch.path / "certificates.pem";
        std::vector<X509*> all;
        for (const Cert& cert : signer.certificates) all.push_back(cert.get());
        if (!WriteCertificates(certsPath, all, error)) return Fail(error);
        if (onToken) sign.insert(sign.end(), {"-pkcs11module", args.options.at("--pkcs11-module")});
        sign.insert(sign.end(), {"-certs", certsPath.string(), "-key", args.options.at("--key")});
    }
    // The password or PIN travels in its file, never on a command line that ps would show:
    // osslsigncode reads it and hands a PIN to the engine itself.
    if (passwordGiven) sign.insert(sign.end(), {"-readpass", args.options.at(secretOption)});
    if (has("--timestamp")) sign.insert(sign.end(), {"-ts", args.options.at("--timestamp")});
    sign.insert(sign.end(), {"-in", inPath, "-out", signedPath.string()});
    int code = 0;
    if (!RunOsslsigncode(sign, logPath, code, error)) return Fail(error + "; nothing was written");
    if (code != 0) {
        return Fail("osslsigncode sign failed (exit " + std::to_string(code) +
                    "); nothing was written. It said:\n" + ReadLog(logPath));
    }

    // Checked against the roots the operator gave, so a chain missing an intermediate fails
    // here rather than on players' machines; without one, against this system's CA bundle.
    std::vector<std::string> verify = {"verify", "-in", signedPath.string()};
    std::string anchors = "a root in this system's CA bundle";
    if (!signer.roots.empty()) {
        if (!WriteCertificates(rootsPath, signer.roots, error)) return Fail(error);
        verify.insert(verify.end(), {"-CAfile", rootsPath.string()});
        anchors.clear();
        for (X509* root : signer.roots) {
            anchors += (anchors.empty() ? "" : "; ") + NameOf(X509_get_subject_name(root));
        }
    }
    if (!RunOsslsigncode(verify, logPath, code, error))
        return Fail(error + "; nothing was written");
    if (code != 0) {
        std::string advice = signer.roots.empty()
                                 ? " (if your root is not in it, end --chain with the root "
                                   "certificate)"
                                 : "";
        return Fail("the signed file does not verify with a chain to " + anchors + advice +
                    "; nothing was written. osslsigncode verify said:\n" + ReadLog(logPath));
    }

    const auto mode = fs::status(inPath, ec).permissions();
    if (!ec) fs::permissions(signedPath, mode & fs::perms::all, ec);
    if (Interrupted(error)) return Fail(error + "; nothing was written");
    if (!SyncPath(signedPath, O_RDONLY) || rename(signedPath.c_str(), outPath.c_str()) != 0) {
        return Fail("cannot replace " + outPath.string() + ": " + std::strerror(errno));
    }
    SyncPath(outPath.parent_path(), O_RDONLY | O_DIRECTORY);

    std::cout << "signed     " << outPath.string() << "\n"
              << "signer     " << NameOf(X509_get_subject_name(signer.certificates[0].get()))
              << "\n"
              << "verified   chain to " << anchors << "\n"
              << "timestamp  "
              << (has("--timestamp") ? args.options.at("--timestamp")
                                     : "none: Windows stops trusting the signature when the "
                                       "certificate expires")
              << "\n";
    return 0;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
    if (lock >= 0) close(lock);
}

bool MakeScratchFolder(const fs::path& dir, const std::string& prefix, ScratchFolder& folder,
                       std::string& error) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() != prefix.size() + 6 || name.rfind(prefix, 0) != 0) continue;
        const int fd = open(it->path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        std::error_code ignored;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) fs::remove_all(it->path(), ignored);
        close(fd);
    }
    std::string pattern = (dir / prefix).string() + "XXXXXX";
    if (!mkdtemp(pattern.data())) {
        error =
            "cannot make a temporary directory in " + dir.string() + ": " + std::strerror(errno);
        return false;
    }
    folder.path = pattern;
    folder.lock = open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder.lock >= 0) flock(folder.lock, LOCK_EX | LOCK_NB);
    return true;
}
