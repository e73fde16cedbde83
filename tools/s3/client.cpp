// The S3 client: libcurl moves the bytes, a few transfers at a time on reused connections; the
// tool signs every request itself and judges every answer in one place (store.cpp).
#include "tools/s3/store.h"

#include "tools/keys/keys.h"
#include "tools/keys/openssl_owners.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

using Easy = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using Multi = std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)>;
using Headers = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;
using File = std::unique_ptr<FILE, decltype(&std::fclose)>;

constexpr char EmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr size_t Parallel = 4;

struct Client {
    S3Settings settings;
    std::string baseUrl;   // ends with '/'
    std::string host;      // the Host header, signed
    std::string basePath;  // baseUrl's path, the start of every canonical URI
    Where where;
    Multi multi{nullptr, curl_multi_cleanup};  // its connections serve every request
    bool reached = false;
};

struct Request {
    std::string method;  // GET, PUT or DELETE
    std::string key;     // below the bucket; empty for the bucket itself
    std::string query;   // canonical: names sorted, values encoded
    const Upload* upload = nullptr;
    Reply reply;
    Outcome outcome{Outcome::Kind::Fatal, "not started", 0};
};

struct Transfer {
    Request* request = nullptr;
    Easy easy{nullptr, curl_easy_cleanup};
    Headers headers{nullptr, curl_slist_free_all};
    File in{nullptr, std::fclose};
    MdCtx hash{nullptr};
    uint64_t offset = 0;
    bool changed = false;  // the file's bytes are not those named by its SHA-256
    int readError = 0;     // errno of a failed read of the file
    char error[CURL_ERROR_SIZE] = {};
};

size_t Collect(char* data, size_t size, size_t count, void* context) {
    static_cast<Transfer*>(context)->request->reply.body.append(data, size * count);
    return size * count;
}

size_t TakeHeader(char* data, size_t size, size_t count, void* context) {
    Reply& reply = static_cast<Transfer*>(context)->request->reply;
    const std::string line(data, size * count);
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return size * count;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t\r\n") + 1);
    if (name == "cache-control") reply.cacheControl = value;
    if (name == "x-amz-bucket-region") reply.region = value;
    if (name == "retry-after") reply.retryAfter = value;
    return size * count;
}

// A file's body is hashed as it is sent, and its last bytes are held back unless the whole
// matches its name: read once, and never stored under a name its bytes do not have.
size_t Supply(char* buffer, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const Upload& upload = *transfer->request->upload;
    if (transfer->in) {
        if (!transfer->hash) return 0;  // all sent and checked
        const uint64_t left = upload.size - transfer->offset;
        const size_t n =
            std::fread(buffer, 1, std::min<uint64_t>(size * count, left), transfer->in.get());
        if (n == 0 && left > 0 && std::ferror(transfer->in.get())) {
            transfer->readError = errno ? errno : EIO;
            return CURL_READFUNC_ABORT;
        }
        EVP_DigestUpdate(transfer->hash.get(), buffer, n);
        transfer->offset += n;
        if (n == 0 || transfer->offset == upload.size) {
            Sha256Digest digest{};
            unsigned int length = 0;
            EVP_DigestFinal_ex(transfer->hash.get(), digest.data(), &length);
            transfer->changed = transfer->offset != upload.size ||
                                std::fgetc(transfer->in.get()) != EOF ||
                                DigestToHex(digest) != upload.sha256;
            transfer->hash.reset();
            if (transfer->changed) return CURL_READFUNC_ABORT;
        }
        return n;
    }
    const std::string& body = upload.body;
    const size_t n = std::min(size * count, body.size() - transfer->offset);
    std::memcpy(buffer, body.data() + transfer->offset, n);
    transfer->offset += n;
    return n;
}

std::string AmzDate() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    char text[20] = {};
    gmtime_r(&now, &utc);
    std::strftime(text, sizeof(text), "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

bool Start(Client& client, Transfer& transfer, std::string& error) {
    Request& request = *transfer.request;
    request.reply = Reply{};
    transfer.easy.reset(curl_easy_init());
    CURL* easy = transfer.easy.get();
    if (!easy) {
        error = "libcurl failed to start";
        return false;
    }
    const Upload* upload = request.upload;
    const std::string path = client.basePath + UriEncode(request.key, true);
    std::string url = client.baseUrl + UriEncode(request.key, true);
    if (!request.query.empty()) url += "?" + request.query;
    // The body's SHA-256 is sent and signed: the store refuses a body damaged on the way.
    std::map<std::string, std::string> signedHeaders = {
        {"host", client.host},
        {"x-amz-content-sha256", upload ? upload->sha256 : EmptySha256},
        {"x-amz-date", AmzDate()}};
    if (!client.settings.sessionToken.empty()) {
        signedHeaders["x-amz-security-token"] = client.settings.sessionToken;
    }
    std::vector<std::string> lines;
    for (const auto& [name, value] : signedHeaders) lines.push_back(name + ": " + value);
    lines.push_back("Authorization: " +
                    SignatureV4(client.settings.accessKey, client.settings.secretKey,
                                client.settings.region, request.method, path, request.query,
                                signedHeaders, signedHeaders["x-amz-content-sha256"],
                                signedHeaders["x-amz-date"]));
    if (upload && !upload->cacheControl.empty()) {
        lines.push_back("Cache-Control: " + upload->cacheControl);
    }
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
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "vantor-release");
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(easy, CURLOPT_EXPECT_100_TIMEOUT_MS, 200L);
    if (!client.settings.caBundle.empty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, client.settings.caBundle.c_str());
    }
    // Large blocks, and no signal handlers swapped around each of them: a 64 KiB block took
    // five system calls.
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 1L << 20);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, TakeHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.error);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    if (request.method == "PUT") {
        uint64_t size = upload->body.size();
        if (!upload->file.empty()) {
            transfer.in.reset(std::fopen(upload->file.c_str(), "rbe"));
            transfer.hash.reset(EVP_MD_CTX_new());
            if (!transfer.in) {
                error = upload->file.string() + ": cannot open: " + std::strerror(errno);
                return false;
            }
            if (!transfer.hash ||
                EVP_DigestInit_ex(transfer.hash.get(), EVP_sha256(), nullptr) != 1) {
                error = "SHA-256 unavailable";
                return false;
            }
            size = upload->size;
        }
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, Supply);
        curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
    } else if (request.method == "DELETE") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "DELETE");
    }
    if (curl_multi_add_handle(client.multi.get(), easy) != CURLM_OK) {
        error = "libcurl cannot start a transfer";
        return false;
    }
    return true;
}

Outcome Finish(Client& client, Transfer& transfer, CURLcode result) {
    Request& request = *transfer.request;
    Reply& reply = request.reply;
    if (transfer.readError) {
        return {
            Outcome::Kind::Fatal,
            request.upload->file.string() + ": cannot read: " + std::strerror(transfer.readError),
            0};
    }
    if (transfer.changed) return {Outcome::Kind::Fatal, ChangedContent(request.upload->file), 0};
    reply.detail = transfer.error[0] ? transfer.error : curl_easy_strerror(result);
    switch (result) {
        case CURLE_OK:
            curl_easy_getinfo(transfer.easy.get(), CURLINFO_RESPONSE_CODE, &reply.status);
            break;
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_SSL_CONNECT_ERROR:
            reply.link = Reply::Link::Unreachable;
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            reply.link = Reply::Link::Untrusted;
            break;
        default:
            reply.link = Reply::Link::Broken;
    }
    const Outcome outcome = Judge(reply, request.method, request.key, client.where, client.reached);
    client.reached = client.reached || reply.link == Reply::Link::Answered;
    return outcome;
}

// Runs the requests a few at a time. After a final failure no more start and those running
// are stopped; each request's outcome says how it ended.
void Perform(Client& client, std::vector<Request>& requests) {
    size_t next = 0;
    std::map<CURL*, std::unique_ptr<Transfer>> running;
    bool stopped = false;
    const auto stopAll = [&client, &running, &stopped] {
        for (auto& [easy, transfer] : running) {
            curl_multi_remove_handle(client.multi.get(), easy);
            transfer->request->outcome = {Outcome::Kind::Fatal, "stopped", 0};
        }
        running.clear();
        stopped = true;
    };
    while (!stopped && (next < requests.size() || !running.empty())) {
        while (!stopped && next < requests.size() && running.size() < Parallel) {
            auto transfer = std::make_unique<Transfer>();
            transfer->request = &requests[next++];
            std::string error;
            if (!Start(client, *transfer, error)) {
                transfer->request->outcome = {Outcome::Kind::Fatal, error, 0};
                stopAll();
                break;
            }
            CURL* easy = transfer->easy.get();
            running.emplace(easy, std::move(transfer));
        }
        if (stopped) break;
        int active = 0;
        if (curl_multi_perform(client.multi.get(), &active) != CURLM_OK ||
            (active > 0 &&
             curl_multi_poll(client.multi.get(), nullptr, 0, 100, nullptr) != CURLM_OK)) {
            stopAll();
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(client.multi.get(), &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            const auto found = running.find(message->easy_handle);
            if (found == running.end()) continue;
            std::unique_ptr<Transfer> transfer = std::move(found->second);
            running.erase(found);
            curl_multi_remove_handle(client.multi.get(), message->easy_handle);
            const CURLcode result = message->data.result;
            transfer->request->outcome = Finish(client, *transfer, result);
            if (transfer->request->outcome.kind == Outcome::Kind::Fatal) {
                stopAll();
                break;
            }
        }
    }
}

}  // namespace

bool S3Store(const S3Settings& settings, Store& store, std::string& error) {
    auto client = std::make_shared<Client>();
    client->settings = settings;
    BucketAddress(settings, client->baseUrl, client->host);
    client->basePath =
        client->baseUrl.substr(client->baseUrl.find('/', client->baseUrl.find("://") + 3));
    client->where = {settings.bucket, settings.endpoint, settings.region};
    client->multi.reset(curl_multi_init());
    if (!client->multi) {
        error = "libcurl failed to start";
        return false;
    }
    store.list = [client](const std::string& prefix, const std::string& token, ListPage& page) {
        std::vector<Request> requests(1);
        requests[0].method = "GET";
        requests[0].query =
            (token.empty() ? "" : "continuation-token=" + UriEncode(token, false) + "&") +
            "list-type=2&prefix=" + UriEncode(prefix, false);
        Perform(*client, requests);
        Outcome& outcome = requests[0].outcome;
        if (outcome.kind == Outcome::Kind::Done &&
            !ParseListing(requests[0].reply.body, page, outcome.error)) {
            outcome.kind = Outcome::Kind::Fatal;
        }
        return outcome;
    };
    store.get = [client](const std::string& key, Fetched& object) {
        std::vector<Request> requests(1);
        requests[0].method = "GET";
        requests[0].key = key;
        Perform(*client, requests);
        object = {requests[0].reply.body, requests[0].reply.cacheControl};
        return requests[0].outcome;
    };
    store.put = [client](const std::vector<Upload>& uploads, std::vector<Outcome>& outcomes) {
        std::vector<Request> requests(uploads.size());
        for (size_t i = 0; i < uploads.size(); ++i) {
            requests[i].method = "PUT";
            requests[i].key = uploads[i].key;
            requests[i].upload = &uploads[i];
        }
        Perform(*client, requests);
        outcomes.clear();
        for (const Request& r : requests) outcomes.push_back(r.outcome);
    };
    store.remove = [client](const std::vector<std::string>& keys, std::vector<Outcome>& outcomes) {
        std::vector<Request> requests(keys.size());
        for (size_t i = 0; i < keys.size(); ++i) {
            requests[i].method = "DELETE";
            requests[i].key = keys[i];
        }
        Perform(*client, requests);
        outcomes.clear();
        for (const Request& r : requests) outcomes.push_back(r.outcome);
    };
    return true;
}
