// Where push finds its credentials, region, endpoint, CA and addressing: as the AWS CLI does,
// so that what an operator set up with `aws configure` works unchanged.
#include "tools/s3/store.h"

#include <fstream>

namespace {

using Section = std::map<std::string, std::string>;

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The AWS CLI's INI form: [section] lines, "name = value", and a nested block ("s3 =" followed
// by indented lines) read as "s3.name". Comments start a line with '#' or ';'.
std::map<std::string, Section> ReadIni(const std::string& path) {
    std::map<std::string, Section> sections;
    std::ifstream in(path);
    std::string line, section, nested;
    while (std::getline(in, line)) {
        const std::string text = Trim(line);
        if (text.empty() || text[0] == '#' || text[0] == ';') continue;
        if (text.front() == '[' && text.back() == ']') {
            section = Trim(text.substr(1, text.size() - 2));
            sections[section];
            nested.clear();
            continue;
        }
        const size_t equals = text.find('=');
        if (equals == std::string::npos || section.empty()) continue;
        const std::string name = Trim(text.substr(0, equals));
        const std::string value = Trim(text.substr(equals + 1));
        const bool indented = line[0] == ' ' || line[0] == '\t';
        if (!indented) nested = value.empty() ? name : "";
        sections[section][indented && !nested.empty() ? nested + "." + name : name] = value;
    }
    return sections;
}

std::string First(std::initializer_list<std::string> values) {
    for (const std::string& value : values) {
        if (!value.empty()) return value;
    }
    return "";
}

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "[::1]" || host.rfind("127.", 0) == 0;
}

}  // namespace

bool ResolveSettings(const PushOptions& options, const std::function<std::string(const char*)>& env,
                     S3Settings& settings, std::string& error) {
    const std::string home = env("HOME");
    const std::string named = env("AWS_PROFILE");
    const std::string profile = named.empty() ? "default" : named;
    const std::string credentialsPath =
        First({env("AWS_SHARED_CREDENTIALS_FILE"), home.empty() ? "" : home + "/.aws/credentials"});
    const std::string configPath =
        First({env("AWS_CONFIG_FILE"), home.empty() ? "" : home + "/.aws/config"});
    auto credentialFile = ReadIni(credentialsPath);
    auto configFile = ReadIni(configPath);
    const std::string configName = profile == "default" ? profile : "profile " + profile;
    if (!named.empty() && !credentialFile.count(profile) && !configFile.count(configName)) {
        error = "AWS_PROFILE names profile " + profile + ", which neither " + credentialsPath +
                " nor " + configPath + " holds";
        return false;
    }
    Section& credentials = credentialFile[profile];
    Section& config = configFile[configName];
    Section& services = configFile["services " + config["services"]];

    settings.bucket = options.bucket;
    // Keys from one source only, never a key of one with the secret of another.
    if (!env("AWS_ACCESS_KEY_ID").empty() && !env("AWS_SECRET_ACCESS_KEY").empty()) {
        settings.accessKey = env("AWS_ACCESS_KEY_ID");
        settings.secretKey = env("AWS_SECRET_ACCESS_KEY");
        settings.sessionToken = env("AWS_SESSION_TOKEN");
    } else {
        for (Section* section : {&credentials, &config}) {
            if ((*section)["aws_access_key_id"].empty()) continue;
            settings.accessKey = (*section)["aws_access_key_id"];
            settings.secretKey = (*section)["aws_secret_access_key"];
            settings.sessionToken = (*section)["aws_session_token"];
            break;
        }
    }
    if (settings.accessKey.empty() || settings.secretKey.empty()) {
        error =
            "no credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or "
            "aws_access_key_id and aws_secret_access_key of profile " +
            profile + " in " + credentialsPath +
            " (aws configure writes them; for single sign-on, eval \"$(aws configure "
            "export-credentials --format env)\")";
        return false;
    }
    settings.region =
        First({env("AWS_REGION"), env("AWS_DEFAULT_REGION"), config["region"], "us-east-1"});
    std::string endpoint =
        First({options.endpoint, env("AWS_ENDPOINT_URL_S3"), env("AWS_ENDPOINT_URL"),
               services["s3.endpoint_url"], config["endpoint_url"]});
    settings.caBundle = First({options.caBundle, env("AWS_CA_BUNDLE"), config["ca_bundle"]});
    const std::string addressing =
        First({options.addressing, config["s3.addressing_style"], "auto"});
    if (addressing != "auto" && addressing != "path" && addressing != "virtual") {
        error = addressing + ": the addressing style is path, virtual or auto";
        return false;
    }
    while (!endpoint.empty() && endpoint.back() == '/') endpoint.pop_back();
    const bool amazon = endpoint.empty();
    if (amazon) endpoint = "https://s3." + settings.region + ".amazonaws.com";
    const bool https = endpoint.rfind("https://", 0) == 0;
    if (!https && endpoint.rfind("http://", 0) != 0) {
        error = endpoint + ": the endpoint is an http:// or https:// address";
        return false;
    }
    std::string host = endpoint.substr(endpoint.find("://") + 3);
    if (host.empty() || host.find_first_of("/?#@") != std::string::npos) {
        error = endpoint + ": the endpoint is scheme://HOST[:PORT], without a path";
        return false;
    }
    // The default port is left out, as it is from the Host header that is signed.
    for (const char* port : {https ? ":443" : ":80"}) {
        const std::string suffix = port;
        if (host.size() > suffix.size() &&
            host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0) {
            host.resize(host.size() - suffix.size());
        }
    }
    const std::string bare =
        host[0] == '[' ? host.substr(0, host.find(']') + 1) : host.substr(0, host.find(':'));
    if (!https && !options.allowHttp && !IsLoopback(bare)) {
        error = endpoint +
                ": plain http to another host; whoever is on the way could forge a listing "
                "and make push skip uploads, serving a manifest whose files are missing. Use "
                "https://, or --allow-http on a network you trust";
        return false;
    }
    settings.endpoint = (https ? "https://" : "http://") + host;
    // A dot in a bucket name does not fit the endpoint's wildcard certificate.
    settings.pathStyle =
        addressing == "path" ||
        (addressing == "auto" && (!amazon || options.bucket.find('.') != std::string::npos));
    return true;
}

void BucketAddress(const S3Settings& settings, std::string& baseUrl, std::string& host) {
    const size_t cut = settings.endpoint.find("://") + 3;
    const std::string scheme = settings.endpoint.substr(0, cut);
    const std::string service = settings.endpoint.substr(cut);
    host = settings.pathStyle ? service : settings.bucket + "." + service;
    baseUrl = scheme + host + "/" + (settings.pathStyle ? settings.bucket + "/" : "");
}
