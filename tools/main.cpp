// vantor-release: the operators' tool for signing keys, publishing and checking releases.
#include "tools/release_tool.h"

#include "tools/commands/package.h"

#include <curl/curl.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <set>

namespace {

constexpr char MainHelp[] =
    R"(usage: vantor-release COMMAND [ARGS]   (vantor-release COMMAND --help for details)

commands:
  keygen KEY.pem           create a new manifest signing key
  key-modulus KEY.pem      print the key's modulus for VANTOR_MANIFEST_KEY_MODULUS
  client-digest CLIENT.exe print the SHA-256 for VANTOR_CLIENT_SHA256
  publish RELEASE_DIR WEB_ROOT --key KEY.pem [--no-serve] [--no-lock]
                           copy the updatable files and write the signed manifest
  verify SOURCE --modulus B64 [--install DIR] [--cacert CA.pem]
                           check what a web root or update host serves
  releases WEB_ROOT        list the kept releases, oldest first
  serve WEB_ROOT ID --modulus B64 [--no-lock]   (also: rollback)
                           serve a kept release: a staged one, or an earlier one again
  prune WEB_ROOT --keep N [--dry-run] [--no-lock]
                           delete old kept releases and the files only they name
  push WEB_ROOT s3://BUCKET[/PREFIX] --modulus B64 [--endpoint URL] [--cacert CA.pem]
       [--addressing-style S] [--allow-http] [--force] [--dry-run] [--no-lock]
                           make an S3-compatible bucket serve what WEB_ROOT serves
  sign-launcher IN.exe OUT.exe (--cert CERT.pem --key KEY.pem [--chain CHAIN.pem] |
                --pkcs12 FILE) [--password-file F] [--timestamp URL] [--url URL]
                (a token: --key 'pkcs11:...' --pkcs11-module MODULE.so [--pin-file F])
                           Authenticode-sign VANTOR.exe with osslsigncode
  package OUT.exe --launcher VANTOR.exe --client CLIENT.exe --client-info clientinfo.xml
          [--game DIR] [--release DIR] [--version X.Y.Z] [--publisher NAME]
          [--constants F] [signing options of sign-launcher]
                           build the players' setup (per user, with its uninstaller)
)";

constexpr char KeygenHelp[] = R"(usage: vantor-release keygen KEY.pem

Creates a new RSA-2048 signing key (public exponent 65537) and writes it to KEY.pem as an
unencrypted PKCS#8 PEM file with mode 0600. An existing file is never overwritten.
Prints the key's modulus: 344 characters of Base64, the value of VANTOR_MANIFEST_KEY_MODULUS
for the launcher build that must trust this key. Keep KEY.pem off the web server.
)";

constexpr char KeyModulusHelp[] = R"(usage: vantor-release key-modulus KEY.pem

Prints the modulus of an RSA-2048 key (exponent 65537) in KEY.pem, a private key or a public
key in PEM form, as the 344 Base64 characters that VANTOR_MANIFEST_KEY_MODULUS takes.
)";

constexpr char ClientDigestHelp[] = R"(usage: vantor-release client-digest CLIENT.exe

Prints the SHA-256 of the game client executable as 64 hexadecimal digits, the value of
VANTOR_CLIENT_SHA256 for the launcher build.
)";

constexpr char PublishHelp[] =
    R"(usage: vantor-release publish RELEASE_DIR WEB_ROOT --key KEY.pem [--no-serve] [--no-lock]

RELEASE_DIR holds the release laid out like an installation ('/' where the launcher writes
'\'; letter case is ignored as the launcher ignores it). Every file of the launcher's fixed
list of updatable files found there is copied to WEB_ROOT/patch/files/<sha256 in hex>, a
content-addressed path whose content never changes, so caches may keep it forever. Then
the manifest and its signature are kept in WEB_ROOT/patch/releases/<id>/ (not again when the
newest kept release has the same bytes) and served: patch/manifest-v4.txt and
patch/manifest-v4.sig are links to patch/current/, a link to the kept release that one
rename switches. Killed at any moment, the tool leaves the web root serving the pair it
served before or the new one, never a mix; run it again to finish. Files always appear
before the manifest that names them. A player who fetches the manifest just before the
switch and the signature just after sees a signature failure once; the next start succeeds.
A web root whose pair is plain files (earlier versions) first gets the links, serving the
same pair. Folders the tool makes are mode 0755, files 0644, whatever the umask; a folder or
file of patch/ that others cannot read (an earlier version's 0700 releases/) is set so, and
each such repair is printed. What a killed run left under the tool's temporary names
(.NAME.vantor-PID-XXXXXX, beside a name the tool owns) is removed by the next run, which
prints each removal; no other name is touched.

--no-serve stages the release: its files and its kept pair are written, what is served is
not switched. `vantor-release serve WEB_ROOT ID` switches later. With several origins
behind one CDN, stage on every origin first, then switch each: no origin serves a manifest
whose files another origin lacks.

Runs that change one web root are kept apart by an open-file-description lock on
WEB_ROOT/.vantor-release.lock (also on NFS). Where it cannot be taken the command refuses;
--no-lock goes on without it, for when no other run can change the web root meanwhile.
A listed file of RELEASE_DIR that is a link must lead to a file inside RELEASE_DIR. A
static server of the web root must follow links: the served pair is two links.

Nothing is written unless the whole release is one the launcher accepts. Refused:
  - a file in a directory that holds listed files (Data/, System/ and the three
    Data/luafiles514/lua files/ directories, matched ignoring case) that is not itself
    listed: the launcher could never install it, so it is taken for a mistake. Keep
    other files (Data/clientinfo.xml, the client) out of RELEASE_DIR. Files in other
    directories are reported as skipped;
  - an empty file or one over 64 MiB;
  - two files that name the same listed file when letter case is ignored;
  - a name that is not valid UTF-8 or that holds a backslash; anything that is not a
    regular file or directory; a link to a file outside RELEASE_DIR (its target is named);
  - a release without any listed file.
The key must be the RSA-2048 private key whose modulus the launcher was built with.
)";

constexpr char VerifyHelp[] =
    R"(usage: vantor-release verify SOURCE --modulus B64 [--install DIR] [--cacert CA.pem]

SOURCE is a WEB_ROOT directory or an https:// address of the update host. Checks what the
launcher would check: patch/manifest-v4.txt (at most 65,536 bytes) and patch/manifest-v4.sig
(the raw 256-byte signature) under the key whose modulus is B64, the manifest's format by
the launcher's own rules, then fetches every listed file and checks its size and SHA-256.
For a WEB_ROOT, also fails when the served manifest and signature are not one kept release's
pair, and names the release each belongs to, and when others cannot read what is served (a
file without read, or a folder below patch/ without search permission for others): the web
server's own user would get 403.
With --install DIR, also lists which files of the installation in DIR the launcher would
update. --cacert names a PEM file of CA certificates trusted instead of the system's.
Redirects are followed as the launcher follows them on Windows and on Wine alike: 301, 302
and 307 to an https address, at most 10 in a row; any other, and one to http, fails.
Exits with 0 only when every check passed.
)";

constexpr char ReleasesHelp[] = R"(usage: vantor-release releases WEB_ROOT

Lists the releases kept in WEB_ROOT/patch/releases, oldest first, one line each: the id,
the publish date (UTC), the number of files and their total bytes. The line of the release
being served (the one patch/current links to, or whose bytes are served) ends with
(current). Exits with 1 when a kept release cannot be read, or when the served manifest and
signature are not one kept release's pair (it says which release each belongs to).
)";

constexpr char RollbackHelp[] =
    R"(usage: vantor-release rollback WEB_ROOT ID --modulus B64 [--no-lock]
       vantor-release serve WEB_ROOT ID --modulus B64 [--no-lock]

Serves the kept release ID: one staged with publish --no-serve, or an earlier one again
(the two names are one command). First checks, as verify does, the kept manifest's format by
the launcher's rules, its signature under the key whose modulus is B64, and that every file it
names is in WEB_ROOT with its size and SHA-256; on any failure nothing is changed. Then
switches patch/current to it with one rename, as publish does: old pair or new, never a mix.
)";

constexpr char PruneHelp[] =
    R"(usage: vantor-release prune WEB_ROOT --keep N [--dry-run] [--no-lock]

Keeps N (1 or more) kept releases, the one being served and the newest others; deletes the
other kept releases and every file in WEB_ROOT/patch/files that neither a kept release nor
the served manifest names. A release whose manifest or signature is served is always kept.
Nothing else is touched. Prints each deletion and the bytes freed; with --dry-run, only
prints. Refuses, deleting nothing, when the served manifest or a release to keep cannot be
read. A player still updating from a manifest served before the
last publish or rollback may miss a deleted file; that update fails, the next start succeeds.
A release staged with publish --no-serve is one of the others: --keep 2 keeps it beside the
served one. --no-lock as for publish.
)";

constexpr char PushHelp[] =
    R"help(usage: vantor-release push WEB_ROOT s3://BUCKET[/PREFIX] --modulus B64 [--endpoint URL]
                           [--cacert CA.pem] [--addressing-style path|virtual|auto]
                           [--allow-http] [--force] [--dry-run] [--no-lock]

Makes an S3-compatible bucket serve what WEB_ROOT serves, under the same names below PREFIX:
PREFIX/patch/files/<sha256>, PREFIX/patch/releases/<id>/manifest-v4.{txt,sig}, and the served
pair as two plain objects PREFIX/patch/manifest-v4.txt and PREFIX/patch/manifest-v4.sig.
First the local pair is checked as verify checks it, under the key whose modulus is B64;
when it fails nothing is pushed. Then the bucket is listed, and in this order:
  1. the content-addressed files the bucket lacks, with
     Cache-Control: public, max-age=31536000, immutable
  2. the kept releases it lacks, with Cache-Control: no-cache
  3. the served pair, the signature and then the manifest back to back, with
     Cache-Control: no-cache; the time between the two uploads is printed. A pair whose bytes
     are served already but without no-cache (uploaded by another tool) is put again
  4. only then, the deletion of files and kept releases that WEB_ROOT no longer keeps and
     the new pair does not name. Other objects are never touched.
What the bucket has already is not uploaded again. Killed at any point, the bucket serves
its old pair or the new one; only between the two pair uploads can a player fetch one half of
each, and fail the signature check once. Run it again to finish. A player still updating from
the old manifest may miss a file deleted in step 4; that update fails, the next succeeds.
With --dry-run the steps are printed, nothing is changed.

Two pushes to one bucket (a CI job and an operator) never leave it serving a manifest whose
files are gone: a push whose WEB_ROOT does not know the release the bucket serves (a stale
copy, or the wrong web root) is refused, naming that release, unless --force. Just before it
switches, push reads the bucket's pair again and switches only if it is still the one it
started from; after switching it puts back any file the new pair names that went meanwhile;
just before deleting, it reads the pair again and deletes nothing unless it is still this
push's, and never a file that a release kept in the bucket names. There is no lock object.

Settings come as the AWS CLI takes them, never secrets on the command line; the first found:
  credentials  AWS_ACCESS_KEY_ID + AWS_SECRET_ACCESS_KEY (+ AWS_SESSION_TOKEN), else
               aws_access_key_id, aws_secret_access_key, aws_session_token of the profile
               AWS_PROFILE (default "default") in AWS_SHARED_CREDENTIALS_FILE
               (~/.aws/credentials), else in AWS_CONFIG_FILE (~/.aws/config). For single
               sign-on: eval "$(aws configure export-credentials --format env)"
  region       AWS_REGION, AWS_DEFAULT_REGION, the profile's region, us-east-1
  endpoint     --endpoint, AWS_ENDPOINT_URL_S3, AWS_ENDPOINT_URL, the profile's services
               section (s3 = endpoint_url = ...), the profile's endpoint_url; none: Amazon S3
  CA bundle    --cacert, AWS_CA_BUNDLE, the profile's ca_bundle; none: the system's CAs
  addressing   --addressing-style, the profile's s3 = addressing_style = ...; auto: path-style
               (URL/BUCKET/KEY) with an endpoint, virtual-hosted (BUCKET.HOST/KEY) on Amazon S3
               unless the bucket's name has a dot (its certificate covers one label only)
Alibaba OSS and Tencent COS want --addressing-style virtual with their endpoint; Ceph, MinIO,
R2, B2 and Spaces take path. A bucket in another region than the one set is named with the
region to set. http:// to a host outside the loopback range is refused unless --allow-http:
a forged listing could make push skip uploads and serve a manifest naming missing files.
Every request is signed with AWS Signature Version 4 by push itself, the body's SHA-256
included, so the store refuses a body damaged on the way. A few uploads run at once; a 5xx,
SlowDown, RequestTimeout or a connection broken after the store first answered is tried
again up to five times, after growing pauses with a random part, or after the store's
Retry-After. Refused credentials, a missing bucket or an endpoint that cannot be reached are
named, and exit with 1 before anything is changed.
Making the bucket readable to the CDN (a read-only bucket policy allowing s3:GetObject, or
the CDN's own access to the bucket) is the operator's; push sets no policy and no ACL.
--no-lock as for publish: push holds the web root's lock while it reads it.
)help";

constexpr char SignLauncherHelp[] =
    R"(usage: vantor-release sign-launcher IN.exe OUT.exe --cert CERT.pem --key KEY.pem
                                     [--chain CHAIN.pem] [--timestamp URL] [--url URL]
       vantor-release sign-launcher IN.exe OUT.exe --pkcs12 FILE [--password-file F]
                                     [--timestamp URL] [--url URL]
       vantor-release sign-launcher IN.exe OUT.exe --cert (CERT.pem | 'pkcs11:...')
                                     --key 'pkcs11:...' --pkcs11-module MODULE.so
                                     [--pin-file F] [--chain CHAIN.pem] [--timestamp URL]
                                     [--url URL]

Writes OUT.exe, IN.exe with an Authenticode signature made by osslsigncode (the Debian
package osslsigncode): SHA-256, the description "Vantor Launcher", and --url (the launcher's
WebsiteBase) as the publisher's address. A signature IN.exe already has is replaced, not
nested. OUT.exe may be IN.exe.
  --cert      the code-signing certificate, PEM, alone
  --key       its private key, PEM; an encrypted one takes --password-file
  --chain     the certificates between --cert and its root, PEM; they go into the signature so
              that Windows can build the chain. The root may end the file (see below)
  --pkcs12    the certificate, its chain and key in one PKCS#12 (.pfx/.p12) file
  --password-file  a file holding the password of --pkcs12 or of --key (a line end after it
              is ignored); osslsigncode reads the file, the password is never on a command line
  --timestamp the address of an RFC 3161 time-stamp server. Without a time stamp Windows
              stops trusting the signature when the certificate expires
A key on a hardware token or HSM (as code-signing certificates are now issued): --key is its
PKCS#11 URI ('pkcs11:token=...;object=...;type=private', quoted for the shell), --cert a PEM
file or the certificate's URI on the token ('...;type=cert'), and
  --pkcs11-module  the token's PKCS#11 module, for example /usr/lib/softhsm/libsofthsm2.so
              or the vendor's; signing goes through OpenSSL's PKCS#11 engine (the Debian
              package libengine-pkcs11-openssl)
  --pin-file  a file holding the token's PIN (a line end after it is ignored); as with
              --password-file, osslsigncode reads the file and the PIN is on no command line.
              A wrong PIN is tried once only: tokens lock after a few
pkcs11-tool --module MODULE.so --list-objects --login (the Debian package opensc) lists what
a token holds.
First the signing certificate must allow code signing (codeSigning in its extended key
usage and digitalSignature in its key usage, where it has them) and be within its validity
period, and the key must be the certificate's (on a token too); otherwise the tool says
which, before osslsigncode runs.
Then `osslsigncode verify` checks what was written: the signature, the digest of the file
and the chain from the certificate through the embedded ones to a root. The roots are the
self-signed certificates among those given, so a chain that lacks an intermediate fails
here; if none was given, the roots of this system's CA bundle. This proves the file is
signed as meant; whether Windows trusts the root, and SmartScreen's reputation of the
certificate, can only be seen on Windows. Any failure exits with 1 and leaves OUT.exe as
it was: the signed file is made in a temporary directory beside OUT.exe and renamed over it.
That directory goes on every way out, also on SIGINT, SIGTERM or SIGHUP (osslsigncode is
stopped first); one a killed run left is removed by the next run beside the same OUT.exe.
)";

// A flag takes no value; every other option takes one.
const std::set<std::string> Flags = {"--dry-run", "--no-serve", "--no-lock", "--force",
                                     "--allow-http"};

bool ParseArguments(int argc, char** argv, const std::set<std::string>& valueOptions,
                    Arguments& args, bool& help, std::string& error) {
    help = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg.rfind("--", 0) == 0) {
            if (!valueOptions.count(arg)) {
                error = "unknown option " + arg;
                return false;
            }
            if (Flags.count(arg)) {
                args.options.emplace(arg, "");
                continue;
            }
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            if (!args.options.emplace(arg, argv[++i]).second) {
                error = arg + " given twice";
                return false;
            }
        } else if (arg.empty()) {
            error = "an argument is empty";
            return false;
        } else {
            args.positional.push_back(arg);
        }
    }
    return true;
}

int Fail(const std::string& message) {
    std::cerr << "vantor-release: " << message << "\n";
    return 1;
}

int RunKeygen(const Arguments& args) {
    std::string modulus, error;
    if (!GenerateKey(args.positional[0], modulus, error)) return Fail(error);
    std::cout << modulus << "\n";
    return 0;
}

int RunKeyModulus(const Arguments& args) {
    std::string modulus, error;
    if (!ReadKeyModulus(args.positional[0], modulus, error)) return Fail(error);
    std::cout << modulus << "\n";
    return 0;
}

int RunClientDigest(const Arguments& args) {
    Sha256Digest digest{};
    uint64_t size = 0;
    std::string error;
    if (!HashFile(args.positional[0], digest, size, error)) return Fail(error);
    if (size == 0) return Fail(args.positional[0] + ": the file is empty");
    std::cout << DigestToHex(digest) << "\n";
    return 0;
}

// libcurl is set up once for the commands that talk to servers.
template <int (*Run)(const Arguments&)>
int WithCurl(const Arguments& args) {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return Fail("libcurl failed to start");
    const int code = Run(args);
    curl_global_cleanup();
    return code;
}

struct Command {
    const char* name;
    const char* help;
    std::set<std::string> options;
    size_t positional;
    const char* required;  // the option the command cannot do without, or nullptr
    int (*run)(const Arguments&);
};

// One entry per command.
const Command Commands[] = {
    {"keygen", KeygenHelp, {}, 1, nullptr, RunKeygen},
    {"key-modulus", KeyModulusHelp, {}, 1, nullptr, RunKeyModulus},
    {"client-digest", ClientDigestHelp, {}, 1, nullptr, RunClientDigest},
    {"publish", PublishHelp, {"--key", "--no-serve", "--no-lock"}, 2, "--key", RunPublish},
    {"verify",
     VerifyHelp,
     {"--modulus", "--install", "--cacert"},
     1,
     "--modulus",
     WithCurl<RunVerify>},
    {"releases", ReleasesHelp, {}, 1, nullptr, RunReleases},
    {"rollback", RollbackHelp, {"--modulus", "--no-lock"}, 2, "--modulus", RunRollback},
    {"serve", RollbackHelp, {"--modulus", "--no-lock"}, 2, "--modulus", RunRollback},
    {"prune", PruneHelp, {"--keep", "--dry-run", "--no-lock"}, 1, "--keep", RunPrune},
    {"push",
     PushHelp,
     {"--modulus", "--endpoint", "--cacert", "--addressing-style", "--allow-http", "--force",
      "--dry-run", "--no-lock"},
     2,
     "--modulus",
     WithCurl<RunPush>},
    {"sign-launcher",
     SignLauncherHelp,
     {"--cert", "--key", "--chain", "--pkcs12", "--password-file", "--timestamp", "--url",
      "--pkcs11-module", "--pin-file"},
     2,
     nullptr,
     RunSignLauncher},
    {"package",
     PackageHelp,
     {"--launcher", "--client", "--client-info", "--game", "--release", "--version", "--publisher",
      "--constants", "--cert", "--key", "--chain", "--pkcs12", "--password-file", "--timestamp",
      "--url", "--pkcs11-module", "--pin-file"},
     1,
     nullptr,
     RunPackage},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << MainHelp;
        return 2;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << MainHelp;
        return 0;
    }
    const Command* chosen = nullptr;
    for (const Command& c : Commands) {
        if (command == c.name) chosen = &c;
    }
    if (!chosen) {
        std::cerr << "vantor-release: unknown command " << command << "\n\n" << MainHelp;
        return 2;
    }
    Arguments args;
    bool help = false;
    std::string error;
    if (!ParseArguments(argc, argv, chosen->options, args, help, error)) {
        std::cerr << "vantor-release " << command << ": " << error << "\n\n" << chosen->help;
        return 2;
    }
    if (help) {
        std::cout << chosen->help;
        return 0;
    }
    if (args.positional.size() != chosen->positional) {
        std::cerr << "vantor-release " << command << ": expected " << chosen->positional
                  << " argument(s)\n\n"
                  << chosen->help;
        return 2;
    }
    if (chosen->required && !args.options.count(chosen->required)) {
        std::cerr << "vantor-release " << command << ": " << chosen->required << " is required\n\n"
                  << chosen->help;
        return 2;
    }

    // Served files must be readable by the web server's own user whatever the operator's
    // umask: folders 0755, files 0644 (files get their mode explicitly).
    ::umask(022);
    try {
        return chosen->run(args);
    } catch (const std::filesystem::filesystem_error& e) {
        return Fail(command + ": " + e.path1().string() + ": " + e.code().message());
    }
}
