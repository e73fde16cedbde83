// push: an S3-compatible bucket as a place, and the command that makes it serve what a web
// root serves. Requests are signed by libcurl (AWS Signature Version 4); the few XML fields
// the store answers with are read here.
#include "tools/openssl_owners.h"
#include "tools/release_tool.h"

#include <curl/curl.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
using Easy = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using Multi = std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)>;
using Headers = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;
using File = std::unique_ptr<FILE, decltype(&std::fclose)>;

constexpr char ImmutableCache[] = "public, max-age=31536000, immutable";
constexpr char NoCache[] = "no-cache";
constexpr char EmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr size_t Parallel = 4;
constexpr int MaxAttempts = 5;  // pauses of 0.5, 1, 2 and 4 s between them

struct Bucket {
    std::string name;
    std::string prefix;    // "" or ending with '/'
    std::string endpoint;  // as the operator named it
    std::string url;       // of the bucket, ending with '/'
    std::string credentials;
    std::string sigv4;
    std::string sessionToken;
    fs::path patchDir;                         // the local one, where the bodies come from
    Multi multi{nullptr, curl_multi_cleanup};  // its connections serve every request
};

struct Request {
    std::string method;  // GET, PUT or DELETE
    std::string key;     // below the bucket; empty for the bucket itself
    std::string query;   // canonical: names sorted, values encoded
    std::string cacheControl;
    fs::path file;     // a PUT's body, of size bytes whose SHA-256 is sha256, or
    std::string body;  // this one
    uint64_t size = 0;
    std::string sha256 = EmptySha256;
    long status = 0;
    std::string response;
};

struct Transfer {
    Request* request = nullptr;
    Easy easy{nullptr, curl_easy_cleanup};
    Headers headers{nullptr, curl_slist_free_all};
    File in{nullptr, std::fclose};
    MdCtx hash{nullptr};
    uint64_t offset = 0;
    bool changed = false;  // the file's bytes are not those named by sha256
    char error[CURL_ERROR_SIZE] = {};
};

bool IsUnreserved(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ||
           c == '~';
}

// Encoded as Signature Version 4 wants it: every byte but the unreserved ones (and '/' in a
// path) as %XX.
std::string Encode(std::string_view text, bool path) {
    std::string out;
    for (const char c : text) {
        if (IsUnreserved(c) || (path && c == '/')) {
            out += c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof(hex), "%%%02X", static_cast<unsigned char>(c));
            out += hex;
        }
    }
    return out;
}

// The raw text between the first <tag> and its </tag> at or after from; from moves past it.
bool XmlElement(const std::string& xml, const std::string& tag, size_t& from, std::string& raw) {
    const std::string open = "<" + tag + ">";
    const std::string close = "</" + tag + ">";
    const size_t start = xml.find(open, from);
    if (start == std::string::npos) return false;
    const size_t end = xml.find(close, start + open.size());
    if (end == std::string::npos) return false;
    from = end + close.size();
    raw = xml.substr(start + open.size(), end - start - open.size());
    return true;
}

void AppendUtf8(std::string& text, unsigned long code) {
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// An element's text with the five XML entities and character references decoded, once.
bool XmlField(const std::string& xml, const std::string& tag, size_t& from, std::string& text) {
    std::string raw;
    if (!XmlElement(xml, tag, from, raw)) return false;
    static const std::map<std::string, char> named = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    text.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        const size_t semi = raw[i] == '&' ? raw.find(';', i) : std::string::npos;
        if (semi == std::string::npos) {
            text += raw[i];
            continue;
        }
        const std::string entity = raw.substr(i + 1, semi - i - 1);
        if (const auto it = named.find(entity); it != named.end()) {
            text += it->second;
        } else if (entity.size() > 1 && entity[0] == '#') {
            const bool hex = entity[1] == 'x' || entity[1] == 'X';
            AppendUtf8(text, std::strtoul(entity.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10));
        } else {
            text += raw.substr(i, semi - i + 1);
        }
        i = semi;
    }
    return true;
}

std::string ErrorCode(const std::string& xml) {
    size_t from = 0;
    std::string code;
    return XmlField(xml, "Code", from, code) ? code : "";
}

size_t Collect(char* data, size_t size, size_t count, void* context) {
    static_cast<Transfer*>(context)->request->response.append(data, size * count);
    return size * count;
}

// A file's body is hashed as it is sent, and its last bytes are held back unless the whole
// matches its name: read once, and never stored under a name its bytes do not have.
size_t Supply(char* buffer, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const Request& request = *transfer->request;
    if (transfer->in) {
        if (!transfer->hash) return 0;  // all sent and checked
        const uint64_t left = request.size - transfer->offset;
        const size_t n =
            std::fread(buffer, 1, std::min<uint64_t>(size * count, left), transfer->in.get());
        EVP_DigestUpdate(transfer->hash.get(), buffer, n);
        transfer->offset += n;
        if (n == 0 || transfer->offset == request.size) {
            Sha256Digest digest{};
            unsigned int length = 0;
            EVP_DigestFinal_ex(transfer->hash.get(), digest.data(), &length);
            transfer->changed = transfer->offset != request.size ||
                                std::fgetc(transfer->in.get()) != EOF ||
                                DigestToHex(digest) != request.sha256;
            transfer->hash.reset();
            if (transfer->changed) return CURL_READFUNC_ABORT;
        }
        return n;
    }
    const std::string& body = request.body;
    const size_t n = std::min(size * count, body.size() - transfer->offset);
    std::memcpy(buffer, body.data() + transfer->offset, n);
    transfer->offset += n;
    return n;
}

std::string Shown(const Bucket& bucket, const Request& request) {
    return request.method + " " + (request.key.empty() ? "s3://" + bucket.name : request.key);
}

bool Start(const Bucket& bucket, Transfer& transfer, std::string& error) {
    Request& request = *transfer.request;
    request.response.clear();
    transfer.easy.reset(curl_easy_init());
    transfer.offset = 0;
    CURL* easy = transfer.easy.get();
    if (!easy) {
        error = "libcurl failed to start";
        return false;
    }
    std::string url = bucket.url;
    if (!request.key.empty()) url += Encode(bucket.prefix + request.key, true);
    if (!request.query.empty()) url += "?" + request.query;
    // The body's SHA-256 is sent and signed: the store refuses a body damaged on the way.
    std::vector<std::string> lines = {"x-amz-content-sha256: " + request.sha256};
    if (!request.cacheControl.empty()) lines.push_back("Cache-Control: " + request.cacheControl);
    if (!bucket.sessionToken.empty())
        lines.push_back("x-amz-security-token: " + bucket.sessionToken);
    curl_slist* list = nullptr;
    for (const std::string& line : lines) {
        curl_slist* longer = curl_slist_append(list, line.c_str());
        if (!longer) {
            curl_slist_free_all(list);
            error = "out of memory";
            return false;
        }
        list = longer;
    }
    transfer.headers.reset(list);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(easy, CURLOPT_USERPWD, bucket.credentials.c_str());
    curl_easy_setopt(easy, CURLOPT_AWS_SIGV4, bucket.sigv4.c_str());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "vantor-release");
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(easy, CURLOPT_EXPECT_100_TIMEOUT_MS, 200L);
    // Large blocks, and no signal handlers swapped around each of them: a 64 KiB block took
    // five system calls.
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 1L << 20);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.error);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    if (request.method == "PUT") {
        uint64_t size = request.body.size();
        if (!request.file.empty()) {
            transfer.in.reset(std::fopen(request.file.c_str(), "rbe"));
            transfer.hash.reset(EVP_MD_CTX_new());
            if (!transfer.in) {
                error = request.file.string() + ": cannot open: " + std::strerror(errno);
                return false;
            }
            if (!transfer.hash ||
                EVP_DigestInit_ex(transfer.hash.get(), EVP_sha256(), nullptr) != 1) {
                error = "SHA-256 unavailable";
                return false;
            }
            size = request.size;
        }
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, Supply);
        curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
    } else if (request.method == "DELETE") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "DELETE");
    }
    if (curl_multi_add_handle(bucket.multi.get(), easy) != CURLM_OK) {
        error = "libcurl cannot start a transfer";
        return false;
    }
    return true;
}

enum class Outcome { Done, Retry, Fail };

Outcome Judge(const Bucket& bucket, const Transfer& transfer, CURLcode result, std::string& error) {
    const Request& request = *transfer.request;
    const std::string what = Shown(bucket, request);
    if (transfer.changed) {
        error = request.file.string() +
                ": its content does not match its name; publish the "
                "release again to repair it; nothing was switched";
        return Outcome::Fail;
    }
    if (result == CURLE_COULDNT_CONNECT || result == CURLE_COULDNT_RESOLVE_HOST ||
        result == CURLE_COULDNT_RESOLVE_PROXY || result == CURLE_SSL_CONNECT_ERROR ||
        result == CURLE_PEER_FAILED_VERIFICATION) {
        error = "cannot reach the endpoint " + bucket.endpoint + ": " +
                (transfer.error[0] ? transfer.error : curl_easy_strerror(result));
        return Outcome::Fail;
    }
    if (result != CURLE_OK) {
        error = what + ": " + (transfer.error[0] ? transfer.error : curl_easy_strerror(result));
        return Outcome::Retry;
    }
    const long status = request.status;
    const std::string code = ErrorCode(request.response);
    if ((status >= 200 && status < 300) || (status == 404 && request.method == "DELETE") ||
        (status == 404 && request.method == "GET" && !request.key.empty() &&
         code != "NoSuchBucket")) {
        return Outcome::Done;
    }
    error = what + ": HTTP " + std::to_string(status) + (code.empty() ? "" : " " + code);
    if (status >= 500 || status == 429 || code == "SlowDown") return Outcome::Retry;
    if (status == 403) {
        error = "the store at " + bucket.endpoint + " refused the credentials (" + code +
                "): check AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN, "
                "and that they may write to bucket " +
                bucket.name;
    } else if (status == 404 || code == "NoSuchBucket") {
        error = "bucket " + bucket.name + " does not exist at " + bucket.endpoint + " (" +
                (code.empty() ? "HTTP 404" : code) + ")";
    }
    return Outcome::Fail;
}

// Runs the requests a few at a time. A 5xx, SlowDown or a broken connection is tried again
// after growing pauses; any other failure stops every transfer and is reported.
bool Perform(Bucket& bucket, std::vector<Request>& requests, std::string& error) {
    struct Pending {
        size_t index;
        int attempts;
        Clock::time_point notBefore;
    };
    std::vector<Pending> waiting;
    for (size_t i = 0; i < requests.size(); ++i) waiting.push_back({i, 0, Clock::now()});
    std::map<CURL*, std::pair<std::unique_ptr<Transfer>, Pending>> running;
    const auto stopAll = [&bucket, &running] {
        for (auto& [easy, job] : running) curl_multi_remove_handle(bucket.multi.get(), easy);
        running.clear();
    };
    while (!waiting.empty() || !running.empty()) {
        for (size_t i = 0; i < waiting.size() && running.size() < Parallel;) {
            if (waiting[i].notBefore > Clock::now()) {
                ++i;
                continue;
            }
            auto transfer = std::make_unique<Transfer>();
            transfer->request = &requests[waiting[i].index];
            if (!Start(bucket, *transfer, error)) {
                stopAll();
                return false;
            }
            CURL* easy = transfer->easy.get();
            running.emplace(easy, std::make_pair(std::move(transfer), waiting[i]));
            waiting.erase(waiting.begin() + static_cast<long>(i));
        }
        int active = 0;
        if (curl_multi_perform(bucket.multi.get(), &active) != CURLM_OK ||
            (active > 0 &&
             curl_multi_poll(bucket.multi.get(), nullptr, 0, 100, nullptr) != CURLM_OK)) {
            error = "libcurl failed";
            stopAll();
            return false;
        }
        if (running.empty() && !waiting.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(bucket.multi.get(), &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            CURL* easy = message->easy_handle;
            const CURLcode result = message->data.result;
            auto found = running.find(easy);
            if (found == running.end()) continue;
            Transfer& transfer = *found->second.first;
            Pending job = found->second.second;
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &transfer.request->status);
            const Outcome outcome = Judge(bucket, transfer, result, error);
            curl_multi_remove_handle(bucket.multi.get(), easy);
            running.erase(found);
            if (outcome == Outcome::Retry && ++job.attempts < MaxAttempts) {
                job.notBefore = Clock::now() + std::chrono::milliseconds(250 << job.attempts);
                std::cerr << "vantor-release push: " << error << "; trying again\n";
                waiting.push_back(job);
            } else if (outcome != Outcome::Done) {
                stopAll();
                return false;
            }
        }
    }
    return true;
}

Bucket& Of(void* context) {
    return *static_cast<Bucket*>(context);
}

std::string ReleaseKey(const std::string& id, std::string_view name) {
    return "patch/releases/" + id + "/" + std::string(name);
}

bool BucketPutFiles(void* context, const std::vector<PlannedFile>& files, std::vector<bool>& stored,
                    std::string& error) {
    std::vector<Request> requests;
    for (const PlannedFile& file : files) {
        Request& r = requests.emplace_back();
        r.method = "PUT";
        r.key = "patch/files/" + file.hex;
        r.file = file.source;
        r.size = file.size;
        r.sha256 = file.hex;  // checked as it is read: the name is the digest players check
        r.cacheControl = ImmutableCache;
    }
    stored.assign(files.size(), true);
    return Perform(Of(context), requests, error);
}

void AddPut(std::vector<Request>& requests, const std::string& key, const std::string& body) {
    Request& r = requests.emplace_back();
    r.method = "PUT";
    r.key = key;
    r.body = body;
    r.sha256 = DigestToHex(HashBytes(body));
    r.cacheControl = NoCache;
}

bool BucketPutReleases(void* context, const std::vector<PlannedRelease>& releases,
                       std::string& error) {
    std::vector<Request> requests;
    for (const PlannedRelease& release : releases) {
        AddPut(requests, ReleaseKey(release.id, ManifestFileName), release.manifest);
        AddPut(requests, ReleaseKey(release.id, SignatureFileName), release.signature);
    }
    return Perform(Of(context), requests, error);
}

// Two uploads back to back on a connection already open. The signature first: where nothing
// was served, a lone signature is never fetched.
bool BucketSwitchPair(void* context, const PlannedRelease& release, double& gapSeconds,
                      std::string& error) {
    std::vector<Request> signature, manifest;
    AddPut(signature, "patch/" + std::string(SignatureFileName), release.signature);
    AddPut(manifest, "patch/" + std::string(ManifestFileName), release.manifest);
    if (!Perform(Of(context), signature, error)) return false;
    const Clock::time_point first = Clock::now();
    if (!Perform(Of(context), manifest, error)) {
        error +=
            "; the bucket serves the new signature with the old manifest until push is run "
            "again";
        return false;
    }
    gapSeconds = std::chrono::duration<double>(Clock::now() - first).count();
    return true;
}

// Kept releases first, then files, as in a folder: an interrupted run never leaves a kept
// release whose files are gone.
bool BucketRemove(void* context, const std::vector<PlannedDeletion>& doomed, std::string& error) {
    std::vector<Request> releases, files;
    for (const PlannedDeletion& d : doomed) {
        const std::vector<std::string> keys =
            d.release ? std::vector<std::string>{ReleaseKey(d.name, ManifestFileName),
                                                 ReleaseKey(d.name, SignatureFileName)}
                      : std::vector<std::string>{"patch/files/" + d.name};
        for (const std::string& key : keys) {
            Request& r = (d.release ? releases : files).emplace_back();
            r.method = "DELETE";
            r.key = key;
        }
    }
    return Perform(Of(context), releases, error) && Perform(Of(context), files, error);
}

// Key (below the prefix) -> size of every object under PREFIX/patch/, page by page.
bool ListBucket(Bucket& bucket, std::map<std::string, uint64_t>& objects, std::string& error) {
    std::string token;
    for (;;) {
        std::vector<Request> requests(1);
        Request& list = requests[0];
        list.method = "GET";
        list.query = (token.empty() ? "" : "continuation-token=" + Encode(token, false) + "&") +
                     "list-type=2&prefix=" + Encode(bucket.prefix + "patch/", false);
        if (!Perform(bucket, requests, error)) return false;
        const std::string& xml = list.response;
        size_t from = 0;
        std::string raw;
        while (XmlElement(xml, "Contents", from, raw)) {
            size_t at = 0;
            std::string key, size;
            if (!XmlField(raw, "Key", at, key)) continue;
            at = 0;
            XmlField(raw, "Size", at, size);
            if (key.compare(0, bucket.prefix.size(), bucket.prefix) != 0) continue;
            objects[key.substr(bucket.prefix.size())] = std::strtoull(size.c_str(), nullptr, 10);
        }
        from = 0;
        std::string truncated;
        XmlField(xml, "IsTruncated", from, truncated);
        if (truncated != "true") return true;
        from = 0;
        if (!XmlField(xml, "NextContinuationToken", from, token) || token.empty()) {
            error = "the bucket's listing is cut short without a continuation token";
            return false;
        }
    }
}

bool IsStoredName(std::string_view name) {
    return name.size() == 64 && name.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// "s3://BUCKET[/PREFIX]", a bucket name as S3 allows it and a prefix of plain characters.
bool ParseTarget(const std::string& text, Bucket& bucket, std::string& error) {
    constexpr std::string_view scheme = "s3://";
    if (text.compare(0, scheme.size(), scheme) != 0) {
        error = text + ": the target is s3://BUCKET or s3://BUCKET/PREFIX";
        return false;
    }
    const std::string rest = text.substr(scheme.size());
    const size_t slash = rest.find('/');
    bucket.name = rest.substr(0, slash);
    std::string prefix = slash == std::string::npos ? "" : rest.substr(slash + 1);
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    if (bucket.name.size() < 3 || bucket.name.size() > 63 ||
        bucket.name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-") !=
            std::string::npos) {
        error = text + ": a bucket name is 3 to 63 lower-case letters, digits, '.' or '-'";
        return false;
    }
    for (const char c : prefix) {
        if (!IsUnreserved(c) && c != '/') {
            error = text + ": the prefix may hold letters, digits, '-', '_', '.', '~' and '/'";
            return false;
        }
    }
    if (prefix.find("//") != std::string::npos || (!prefix.empty() && prefix[0] == '/')) {
        error = text + ": the prefix has an empty part";
        return false;
    }
    bucket.prefix = prefix.empty() ? "" : prefix + "/";
    return true;
}

int Fail(const std::string& message) {
    std::cerr << "vantor-release push: " << message << "\n";
    return 1;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

int RunPush(const Arguments& args) {
    const fs::path webRoot = args.positional[0];
    const std::string& modulus = args.options.at("--modulus");
    const bool dryRun = args.options.count("--dry-run") != 0;
    Bucket bucket;
    bucket.patchDir = webRoot / "patch";
    std::string error;
    if (!ParseTarget(args.positional[1], bucket, error)) return Fail(error);
    if (!CheckModulusText(modulus, error)) return Fail("--modulus: " + error);
    const std::string key = Environment("AWS_ACCESS_KEY_ID");
    const std::string secret = Environment("AWS_SECRET_ACCESS_KEY");
    if (key.empty() || secret.empty()) {
        return Fail("AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY must hold the credentials");
    }
    bucket.credentials = key + ":" + secret;
    bucket.sessionToken = Environment("AWS_SESSION_TOKEN");
    std::string region = Environment("AWS_REGION");
    if (region.empty()) region = "us-east-1";
    bucket.sigv4 = "aws:amz:" + region + ":s3";
    const auto endpoint = args.options.find("--endpoint");
    bucket.endpoint =
        endpoint != args.options.end() ? endpoint->second : Environment("AWS_ENDPOINT_URL");
    if (bucket.endpoint.empty()) {
        bucket.endpoint = "https://" + bucket.name + ".s3." + region + ".amazonaws.com";
        bucket.url = bucket.endpoint + "/";
    } else {
        while (!bucket.endpoint.empty() && bucket.endpoint.back() == '/')
            bucket.endpoint.pop_back();
        if (bucket.endpoint.rfind("https://", 0) != 0 && bucket.endpoint.rfind("http://", 0) != 0) {
            return Fail(bucket.endpoint + ": the endpoint is an http:// or https:// address");
        }
        bucket.url = bucket.endpoint + "/" + bucket.name + "/";  // path-style
    }
    bucket.multi.reset(curl_multi_init());
    if (!bucket.multi) return Fail("libcurl failed to start");

    // What is pushed is what the local web root serves, checked as a player would check it.
    if (!IsDirectory(bucket.patchDir, error)) return Fail(error);
    if (!dryRun && !OpenWebRoot(webRoot, args.options.count("--no-lock") != 0, error)) {
        return Fail(error);
    }
    std::map<std::string, uint64_t> objects;
    if (!ListBucket(bucket, objects, error)) return Fail(error + "; nothing was changed");
    const auto has = [&objects](const std::string& k, uint64_t size) {
        const auto it = objects.find(k);
        return it != objects.end() && it->second == size;
    };
    // A file the bucket lacks is hashed as it is uploaded, not read twice.
    const auto uploaded = [&has](const ManifestRecord& record) {
        constexpr std::string_view files = "/patch/files/";
        const std::string hex =
            record.remotePath.substr(std::min(files.size(), record.remotePath.size()));
        return record.remotePath.compare(0, files.size(), files) == 0 && IsStoredName(hex) &&
               !has("patch/files/" + hex, record.size);
    };
    CheckedRelease served;
    History history;
    if (CheckRelease(webRoot, modulus, std::string(ManifestWebPath), std::string(SignatureWebPath),
                     served,
                     dryRun ? std::function<bool(const ManifestRecord&)>() : uploaded) != 0) {
        return Fail("the local pair does not verify; nothing was pushed");
    }
    if (!LoadHistory(bucket.patchDir, history, error)) return Fail(error);
    if (const std::string mixed = PairProblem(history); !mixed.empty()) {
        return Fail(mixed + "; nothing was pushed");
    }
    std::map<std::string, uint64_t> named;  // hex -> size, of what is served or kept
    std::vector<const std::vector<ManifestRecord>*> lists = {&served.records};
    for (const KeptRelease& release : history.kept) {
        if (!release.problem.empty()) {
            return Fail("release " + release.id + ": " + release.problem + "; nothing was pushed");
        }
        lists.push_back(&release.records);
    }
    for (const auto* records : lists) {
        for (const ManifestRecord& record : *records) {
            constexpr std::string_view files = "/patch/files/";
            const std::string hex =
                record.remotePath.substr(std::min(files.size(), record.remotePath.size()));
            if (record.remotePath.compare(0, files.size(), files) != 0 || !IsStoredName(hex)) {
                return Fail(record.remotePath +
                            ": push takes only the content-addressed files "
                            "publish writes (/patch/files/<sha256>)");
            }
            named[hex] = record.size;
        }
    }

    Plan plan;
    for (const auto& [hex, size] : named) {
        const fs::path source = bucket.patchDir / "files" / hex;
        if (!has("patch/files/" + hex, size)) {
            plan.files.push_back({hex, size, source, ""});
        }
    }
    std::set<std::string> keptIds;
    for (const KeptRelease& release : history.kept) {
        keptIds.insert(release.id);
        if (!has(ReleaseKey(release.id, ManifestFileName), release.manifest.size()) ||
            !has(ReleaseKey(release.id, SignatureFileName), release.signature.size())) {
            plan.releases.push_back({release.id, release.manifest, release.signature});
        }
    }
    plan.serve = {history.current >= 0 ? history.kept[history.current].id : "(not kept)",
                  served.manifest, served.signature};
    const std::string manifestKey = "patch/" + std::string(ManifestFileName);
    const std::string signatureKey = "patch/" + std::string(SignatureFileName);
    plan.switchPair = true;
    if (has(manifestKey, served.manifest.size()) && has(signatureKey, served.signature.size())) {
        std::vector<Request> pair(2);
        pair[0].method = pair[1].method = "GET";
        pair[0].key = manifestKey;
        pair[1].key = signatureKey;
        if (!Perform(bucket, pair, error)) return Fail(error + "; nothing was changed");
        plan.switchPair = !(pair[0].status == 200 && pair[0].response == served.manifest &&
                            pair[1].status == 200 && pair[1].response == served.signature);
    }
    for (const auto& [k, size] : objects) {
        constexpr std::string_view releases = "patch/releases/";
        if (k.compare(0, releases.size(), releases) != 0) continue;
        const std::string rest = k.substr(releases.size());
        const std::string id = rest.substr(0, rest.find('/'));
        const std::string name = rest.substr(std::min(rest.size(), id.size() + 1));
        if (!IsReleaseId(id) || keptIds.count(id) ||
            (name != ManifestFileName && name != SignatureFileName)) {
            continue;
        }
        if (plan.deletions.empty() || plan.deletions.back().name != id) {
            plan.deletions.push_back({true, id, 0});
        }
        plan.deletions.back().bytes += size;
    }
    for (const auto& [k, size] : objects) {
        constexpr std::string_view files = "patch/files/";
        if (k.compare(0, files.size(), files) != 0) continue;
        const std::string hex = k.substr(files.size());
        if (IsStoredName(hex) && !named.count(hex)) plan.deletions.push_back({false, hex, size});
    }

    Place place;
    place.context = &bucket;
    place.switchesInOneStep = false;
    place.putFiles = BucketPutFiles;
    place.putReleases = BucketPutReleases;
    place.switchPair = BucketSwitchPair;
    place.remove = BucketRemove;
    const std::string target = "s3://" + bucket.name + "/" + bucket.prefix;
    if (!plan.switchPair)
        std::cout << "the bucket serves release " << plan.serve.id << " already\n";
    if (!CarryOut(plan, place, dryRun, error)) return Fail(error);
    std::cout << (dryRun ? "would push " : "pushed ") << plan.files.size() << " file(s), "
              << plan.releases.size() << " release(s) and " << (plan.switchPair ? 1 : 0)
              << " pair, deleted " << plan.deletions.size() << " in " << target
              << (dryRun ? " (dry run: nothing was changed)" : "") << "\n";
    return 0;
}
