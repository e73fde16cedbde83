// What every store shares: the judging of answers, the listing's pages, the retry wrapper, and
// the few XML fields S3 answers with.
#include "tools/s3/store.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <thread>

namespace {

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

std::string Field(const std::string& xml, const std::string& tag) {
    size_t from = 0;
    std::string text;
    return XmlField(xml, tag, from, text) ? text : "";
}

Outcome Final(const std::string& error) {
    return {Outcome::Kind::Fatal, error, 0};
}

}  // namespace

std::string ChangedContent(const std::filesystem::path& file) {
    return file.string() +
           ": its content does not match its name; publish the release again to repair it; "
           "nothing was switched";
}

Outcome Judge(const Reply& reply, const std::string& method, const std::string& key,
              const Where& where, bool reachedBefore) {
    const std::string what = method + " " + (key.empty() ? "s3://" + where.bucket : key);
    switch (reply.link) {
        case Reply::Link::Unreachable:
            if (reachedBefore) return {Outcome::Kind::Transient, what + ": " + reply.detail, 0};
            return Final("cannot reach the endpoint " + where.endpoint + ": " + reply.detail);
        case Reply::Link::Untrusted:
            return Final("the endpoint " + where.endpoint + " is not trusted: " + reply.detail +
                         "; name the CA that signed its certificate with AWS_CA_BUNDLE, ca_bundle "
                         "in the profile, or --cacert");
        case Reply::Link::Broken:
            return {Outcome::Kind::Transient, what + ": " + reply.detail, 0};
        case Reply::Link::Answered:
            break;
    }
    const long status = reply.status;
    const std::string code = Field(reply.body, "Code");
    if ((status >= 200 && status < 300) || (status == 404 && method == "DELETE")) return {};
    if (status == 404 && method == "GET" && !key.empty() && code != "NoSuchBucket") {
        return {Outcome::Kind::Missing, what + ": not found", 0};
    }
    const std::string region = !reply.region.empty() ? reply.region : Field(reply.body, "Region");
    const bool elsewhere = status == 301 || status == 307 || code == "PermanentRedirect" ||
                           code == "AuthorizationHeaderMalformed" ||
                           code == "IllegalLocationConstraintException";
    if (elsewhere && !region.empty() && region != where.region) {
        return Final("bucket " + where.bucket + " is in region " + region + ", not " +
                     where.region + ": set AWS_REGION=" + region + " (or region = " + region +
                     " in the profile)");
    }
    std::string error =
        what + ": HTTP " + std::to_string(status) + (code.empty() ? "" : " " + code);
    if (status >= 500 || status == 429 || code == "SlowDown" || code == "RequestTimeout") {
        return {Outcome::Kind::Transient, error,
                std::max(0.0, std::atof(reply.retryAfter.c_str()))};
    }
    if (elsewhere) {
        error += " (the bucket is in another region than " + where.region +
                 ": set AWS_REGION to its region)";
    } else if (status == 403) {
        error = "the store at " + where.endpoint + " refused the credentials (" + code +
                "): check AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN, or "
                "the profile's keys, and that they may write to bucket " +
                where.bucket;
    } else if (status == 404 || code == "NoSuchBucket") {
        error = "bucket " + where.bucket + " does not exist at " + where.endpoint + " (" +
                (code.empty() ? "HTTP 404" : code) + ")";
    }
    return Final(error);
}

bool ParseListing(const std::string& xml, ListPage& page, std::string& error) {
    // A website endpoint or a captive proxy answers 200 too; an empty bucket still says so.
    if (xml.find("<ListBucketResult") == std::string::npos) {
        error = "the answer to a listing is not a bucket listing (" + std::to_string(xml.size()) +
                " bytes; a website endpoint or a proxy?): check the endpoint";
        return false;
    }
    size_t from = 0;
    std::string raw;
    while (XmlElement(xml, "Contents", from, raw)) {
        size_t at = 0;
        std::string key, size;
        if (!XmlField(raw, "Key", at, key)) continue;
        at = 0;
        XmlField(raw, "Size", at, size);
        page.objects[key] = std::strtoull(size.c_str(), nullptr, 10);
    }
    page.truncated = Field(xml, "IsTruncated") == "true";
    page.nextToken = Field(xml, "NextContinuationToken");
    return true;
}

bool ListAll(const Store& store, const std::string& prefix,
             std::map<std::string, uint64_t>& objects, std::string& error) {
    std::string token;
    std::set<std::string> seen;
    for (;;) {
        ListPage page;
        const Outcome outcome = store.list(prefix, token, page);
        if (outcome.kind != Outcome::Kind::Done) {
            error = outcome.error;
            return false;
        }
        for (const auto& [key, size] : page.objects) {
            if (key.compare(0, prefix.size(), prefix) == 0) objects[key] = size;
        }
        if (!page.truncated) return true;
        if (page.nextToken.empty()) {
            error = "the bucket's listing is cut short without a continuation token";
            return false;
        }
        if (!seen.insert(page.nextToken).second) {
            error =
                "the bucket's listing hands back a continuation token it gave before; "
                "it would never end";
            return false;
        }
        token = page.nextToken;
    }
}

RetryPolicy DefaultRetries() {
    RetryPolicy policy;
    policy.sleep = [](double seconds) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    };
    policy.random = [] {
        static std::mt19937 generator{std::random_device{}()};
        return std::uniform_real_distribution<double>(0, 1)(generator);
    };
    policy.tell = [](const std::string&) {};
    return policy;
}

namespace {

// Growing pauses with a random part, so that many clients told to wait do not come back at
// once; never shorter than the store asked for.
double Pause(const RetryPolicy& policy, int attempt, double asked) {
    const double grown = policy.firstPause * static_cast<double>(1 << attempt);
    return std::min(policy.longestPause, std::max(asked, grown * (1 - 0.5 * policy.random())));
}

template <typename Call>
Outcome Retried(const RetryPolicy& policy, const Call& call) {
    for (int attempt = 0;; ++attempt) {
        Outcome outcome = call();
        if (outcome.kind != Outcome::Kind::Transient || attempt + 1 >= policy.attempts) {
            return outcome;
        }
        policy.tell(outcome.error);
        policy.sleep(Pause(policy, attempt, outcome.retryAfter));
    }
}

// Sends again, together, the items whose last try failed in passing.
template <typename Item, typename Batch>
void RetriedBatch(const RetryPolicy& policy, const std::vector<Item>& items,
                  std::vector<Outcome>& outcomes, const Batch& batch) {
    outcomes.assign(items.size(), Outcome{});
    std::vector<size_t> pending(items.size());
    for (size_t i = 0; i < pending.size(); ++i) pending[i] = i;
    for (int attempt = 0; !pending.empty(); ++attempt) {
        std::vector<Item> some;
        for (const size_t i : pending) some.push_back(items[i]);
        std::vector<Outcome> got;
        batch(some, got);
        std::vector<size_t> again;
        double asked = 0;
        bool final = false;
        for (size_t j = 0; j < pending.size(); ++j) {
            outcomes[pending[j]] = got[j];
            final = final || got[j].kind == Outcome::Kind::Fatal;
            if (got[j].kind != Outcome::Kind::Transient) continue;
            again.push_back(pending[j]);
            asked = std::max(asked, got[j].retryAfter);
        }
        if (final || attempt + 1 >= policy.attempts) return;
        for (const size_t i : again) policy.tell(outcomes[i].error);
        if (!again.empty()) policy.sleep(Pause(policy, attempt, asked));
        pending = again;
    }
}

}  // namespace

Store WithRetries(const Store& inner, const RetryPolicy& policy) {
    Store store;
    store.list = [inner, policy](const std::string& prefix, const std::string& token,
                                 ListPage& page) {
        return Retried(policy, [&] {
            page = ListPage{};
            return inner.list(prefix, token, page);
        });
    };
    store.get = [inner, policy](const std::string& key, Fetched& object) {
        return Retried(policy, [&] { return inner.get(key, object); });
    };
    store.put = [inner, policy](const std::vector<Upload>& uploads,
                                std::vector<Outcome>& outcomes) {
        RetriedBatch(policy, uploads, outcomes, inner.put);
    };
    store.remove = [inner, policy](const std::vector<std::string>& keys,
                                   std::vector<Outcome>& outcomes) {
        RetriedBatch(policy, keys, outcomes, inner.remove);
    };
    return store;
}
