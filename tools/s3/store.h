// An S3-compatible store as the release tool uses it: one small interface (list, get, put,
// delete), its two implementations (the S3 client over libcurl, and an in-memory bucket for
// the tests), and the retry wrapper every caller goes through.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

// How one request ended. Transient failures are worth another try; the rest are final.
struct Outcome {
    enum class Kind { Done, Missing, Transient, Fatal } kind = Kind::Done;
    std::string error;
    double retryAfter = 0;  // seconds the store asked for before another try, or 0
};

struct ListPage {
    std::map<std::string, uint64_t> objects;  // key -> size
    bool truncated = false;
    std::string nextToken;
};
struct Fetched {
    std::string bytes;
    std::string cacheControl;
};
// A PUT's body: a file of size bytes whose SHA-256 is sha256 (checked as it is read, the last
// bytes held back unless it matches), or body.
struct Upload {
    std::string key;
    std::string cacheControl;
    std::filesystem::path file;
    std::string body;
    uint64_t size = 0;
    std::string sha256;
};

struct Store {
    // One page of the keys that start with prefix, after token ("" for the first page).
    std::function<Outcome(const std::string& prefix, const std::string& token, ListPage& page)>
        list;
    std::function<Outcome(const std::string& key, Fetched& object)> get;
    // A few at a time; outcomes[i] tells of uploads[i]. After a final failure no more start.
    std::function<void(const std::vector<Upload>& uploads, std::vector<Outcome>& outcomes)> put;
    std::function<void(const std::vector<std::string>& keys, std::vector<Outcome>& outcomes)>
        remove;
};

// What a store answered, before it is judged: the one place where answers become outcomes,
// for the client and the in-memory bucket alike.
struct Reply {
    enum class Link { Answered, Unreachable, Untrusted, Broken } link = Link::Answered;
    std::string detail;  // libcurl's own words where the link failed
    long status = 200;
    std::string body;
    std::string region;      // x-amz-bucket-region
    std::string retryAfter;  // Retry-After, in seconds
    std::string cacheControl;
};
struct Where {
    std::string bucket;
    std::string endpoint;  // as shown to the operator
    std::string region;    // the one requests are signed for
};
// What a file's upload found when its bytes were not those its name promised.
std::string ChangedContent(const std::filesystem::path& file);
// reachedBefore: the store answered this run before, so a broken link is a passing fault.
Outcome Judge(const Reply& reply, const std::string& method, const std::string& key,
              const Where& where, bool reachedBefore);

struct RetryPolicy {
    int attempts = 5;
    double firstPause = 0.5;  // doubled after each try, less a random part of up to a half
    double longestPause = 30;
    std::function<void(double seconds)> sleep;
    std::function<double()> random;                      // in [0, 1)
    std::function<void(const std::string& error)> tell;  // before each pause
};
RetryPolicy DefaultRetries();
// Every call tried again on a transient failure, after the pause the policy or the store's
// Retry-After asks for, whichever is longer.
Store WithRetries(const Store& inner, const RetryPolicy& policy);

// Every key under prefix with its size, page by page. Fails, naming why, on a page that
// repeats a continuation token or is cut short without one.
bool ListAll(const Store& store, const std::string& prefix,
             std::map<std::string, uint64_t>& objects, std::string& error);

// The tests' store: objects in memory, listed in pages of pageSize keys in the order S3 lists
// them (by UTF-8 bytes). fault, when set, is asked before every request ("LIST", "GET", "PUT",
// "DELETE" and the key) and answers in its place unless it returns a plain 200.
struct MemoryBucket {
    struct Object {
        std::string bytes;
        std::string cacheControl;
    };
    std::map<std::string, Object> objects;
    size_t pageSize = 1000;
    bool repeatToken = false;  // every page after the first hands back the same token
    std::function<Reply(const std::string& method, const std::string& key)> fault;
    bool reached = false;
};
Store MemoryStore(MemoryBucket& bucket);

// --- The S3 client (client.cpp, sigv4.cpp, settings.cpp) ---

struct S3Settings {
    std::string bucket;
    std::string accessKey;
    std::string secretKey;
    std::string sessionToken;
    std::string region;
    std::string endpoint;  // scheme://host[:port], of the service (not of the bucket)
    bool pathStyle = true;
    std::string caBundle;  // a PEM file of CA certificates trusted instead of the system's
};
// Where requests go: the bucket's base URL (ending in '/') and the Host header it signs.
void BucketAddress(const S3Settings& settings, std::string& baseUrl, std::string& host);
// The S3 client: requests signed with Signature Version 4 by the tool itself, a few at a time
// on reused connections. Fails only when libcurl cannot start.
bool S3Store(const S3Settings& settings, Store& store, std::string& error);
// The ListObjectsV2 answer read: fails unless the body is a bucket listing.
bool ParseListing(const std::string& xml, ListPage& page, std::string& error);

// Signature Version 4: the Authorization header's value for one request. headers are
// lower-case names and trimmed values, every one signed; amzDate is "YYYYMMDDTHHMMSSZ".
std::string SignatureV4(const std::string& accessKey, const std::string& secretKey,
                        const std::string& region, const std::string& method,
                        const std::string& canonicalUri, const std::string& canonicalQuery,
                        const std::map<std::string, std::string>& headers,
                        const std::string& payloadSha256, const std::string& amzDate);
// Encoded as Signature Version 4 wants it: every byte but A-Z a-z 0-9 - _ . ~ (and '/' in a
// path) as %XX.
std::string UriEncode(const std::string& text, bool path);

// The command line's part of the settings; the rest come as the AWS CLI takes them.
struct PushOptions {
    std::string bucket;
    std::string endpoint;    // --endpoint
    std::string caBundle;    // --cacert
    std::string addressing;  // --addressing-style: path, virtual, auto or ""
    bool allowHttp = false;  // --allow-http
};
// The AWS CLI's order: the environment, then the shared credentials and config files for
// AWS_PROFILE (or "default"). env reads one variable ("" when unset).
bool ResolveSettings(const PushOptions& options, const std::function<std::string(const char*)>& env,
                     S3Settings& settings, std::string& error);
