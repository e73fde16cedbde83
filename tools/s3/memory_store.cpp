// The tests' store: a bucket held in memory, answering as S3 does, with faults on request.
#include "tools/s3/store.h"

#include "tools/keys/keys.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

const Where Memory = {"memory", "memory://", "us-east-1"};

// The fault's answer judged, when there is a fault; false lets the request through.
bool Faulted(MemoryBucket& bucket, const std::string& method, const std::string& key,
             Outcome& outcome) {
    if (bucket.fault) {
        const Reply reply = bucket.fault(method, key);
        if (reply.link != Reply::Link::Answered || reply.status != 200) {
            outcome = Judge(reply, method, key, Memory, bucket.reached);
            return true;
        }
    }
    bucket.reached = true;
    return false;
}

Outcome Store1(MemoryBucket& bucket, const Upload& upload) {
    Outcome outcome;
    if (Faulted(bucket, "PUT", upload.key, outcome)) return outcome;
    std::string bytes = upload.body;
    if (!upload.file.empty()) {
        std::ifstream in(upload.file, std::ios::binary);
        std::ostringstream read;
        if (!in || !(read << in.rdbuf())) {
            return {Outcome::Kind::Fatal,
                    upload.file.string() + ": cannot read: " + std::strerror(errno), 0};
        }
        bytes = read.str();
        if (bytes.size() != upload.size || DigestToHex(HashBytes(bytes)) != upload.sha256) {
            return {Outcome::Kind::Fatal, ChangedContent(upload.file), 0};
        }
    }
    bucket.objects[upload.key] = {bytes, upload.cacheControl};
    return outcome;
}

}  // namespace

Store MemoryStore(MemoryBucket& bucket) {
    Store store;
    store.list = [&bucket](const std::string& prefix, const std::string& token, ListPage& page) {
        Outcome outcome;
        if (Faulted(bucket, "LIST", prefix, outcome)) return outcome;
        // The token is the last key of the page before, as opaque to the caller as S3's.
        auto it = token.empty() ? bucket.objects.lower_bound(prefix)
                                : bucket.objects.upper_bound(token.substr(1));
        for (; it != bucket.objects.end() && it->first.compare(0, prefix.size(), prefix) == 0;
             ++it) {
            if (page.objects.size() == bucket.pageSize) {
                page.truncated = true;
                page.nextToken = bucket.repeatToken && !token.empty()
                                     ? token
                                     : "+" + page.objects.rbegin()->first;
                break;
            }
            page.objects[it->first] = it->second.bytes.size();
        }
        return outcome;
    };
    store.get = [&bucket](const std::string& key, Fetched& object) {
        Outcome outcome;
        if (Faulted(bucket, "GET", key, outcome)) return outcome;
        const auto it = bucket.objects.find(key);
        if (it == bucket.objects.end()) return Outcome{Outcome::Kind::Missing, key, 0};
        object = {it->second.bytes, it->second.cacheControl};
        return outcome;
    };
    store.put = [&bucket](const std::vector<Upload>& uploads, std::vector<Outcome>& outcomes) {
        outcomes.assign(uploads.size(), Outcome{Outcome::Kind::Fatal, "not started", 0});
        for (size_t i = 0; i < uploads.size(); ++i) {
            outcomes[i] = Store1(bucket, uploads[i]);
            if (outcomes[i].kind == Outcome::Kind::Fatal) return;
        }
    };
    store.remove = [&bucket](const std::vector<std::string>& keys, std::vector<Outcome>& outcomes) {
        outcomes.assign(keys.size(), Outcome{Outcome::Kind::Fatal, "not started", 0});
        for (size_t i = 0; i < keys.size(); ++i) {
            outcomes[i] = Outcome{};
            if (Faulted(bucket, "DELETE", keys[i], outcomes[i])) {
                if (outcomes[i].kind == Outcome::Kind::Fatal) return;
                continue;
            }
            bucket.objects.erase(keys[i]);
        }
    };
    return store;
}
