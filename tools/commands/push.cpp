// push: makes a bucket serve what a web root serves. The settings come as the AWS CLI takes
// them; the plan is the one every place is changed by.
#include "tools/commands/commands.h"
#include "tools/places/places.h"
#include "tools/release_tool.h"

#include <cstdlib>
#include <iostream>
#include <set>

namespace fs = std::filesystem;

namespace {

int Fail(const std::string& message) {
    std::cerr << "vantor-release push: " << message << "\n";
    return 1;
}

// "s3://BUCKET[/PREFIX]", a bucket name as S3 allows it and a prefix of plain characters.
bool ParseTarget(const std::string& text, std::string& bucket, std::string& prefix,
                 std::string& error) {
    constexpr std::string_view scheme = "s3://";
    if (text.compare(0, scheme.size(), scheme) != 0) {
        error = text + ": the target is s3://BUCKET or s3://BUCKET/PREFIX";
        return false;
    }
    const std::string rest = text.substr(scheme.size());
    const size_t slash = rest.find('/');
    bucket = rest.substr(0, slash);
    prefix = slash == std::string::npos ? "" : rest.substr(slash + 1);
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    if (bucket.size() < 3 || bucket.size() > 63 ||
        bucket.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-") != std::string::npos) {
        error = text + ": a bucket name is 3 to 63 lower-case letters, digits, '.' or '-'";
        return false;
    }
    if (!prefix.empty() && UriEncode(prefix, true) != prefix) {
        error = text + ": the prefix may hold letters, digits, '-', '_', '.', '~' and '/'";
        return false;
    }
    if (prefix.find("//") != std::string::npos || (!prefix.empty() && prefix[0] == '/')) {
        error = text + ": the prefix has an empty part";
        return false;
    }
    if (!prefix.empty()) prefix += "/";
    return true;
}

std::string Option(const Arguments& args, const char* name) {
    const auto it = args.options.find(name);
    return it == args.options.end() ? "" : it->second;
}

}  // namespace

int PushToStore(const PushRun& run, const Store& store) {
    const fs::path patchDir = run.webRoot / "patch";
    std::string error;
    // What is pushed is what the local web root serves, checked as a player would check it.
    if (!IsDirectory(patchDir, error)) return Fail(error);
    if (!run.dryRun && !OpenWebRoot(run.webRoot, run.noLock, error)) return Fail(error);
    BucketView view;
    if (!ViewBucket(store, run.prefix, view, error)) return Fail(error + "; nothing was changed");
    // A file the bucket lacks is hashed as it is uploaded, not read twice.
    const auto uploaded = [&view](const ManifestRecord& record) {
        const std::string name = StoredNameOf(record);
        const auto held = view.inventory.files.find(name);
        return IsStoredName(name) &&
               (held == view.inventory.files.end() || held->second != record.size);
    };
    CheckedRelease checked;
    if (CheckRelease(run.webRoot, run.modulus, std::string(ManifestWebPath),
                     std::string(SignatureWebPath), checked,
                     run.dryRun ? std::function<bool(const ManifestRecord&)>() : uploaded) != 0) {
        return Fail("the local pair does not verify; nothing was pushed");
    }
    History history;
    if (!LoadHistory(patchDir, history, error)) return Fail(error);
    if (const std::string mixed = PairProblem(history); !mixed.empty()) {
        return Fail(mixed + "; nothing was pushed");
    }
    Mirror local;
    local.serve = ServedRelease(history);
    local.keep = history.kept;
    local.prune = true;
    std::set<std::string> sourced;
    std::set<std::string> known = {local.serve.manifest};
    std::vector<const KeptRelease*> releases = {&local.serve};
    for (const KeptRelease& release : history.kept) {
        if (!release.problem.empty()) {
            return Fail("release " + release.id + ": " + release.problem + "; nothing was pushed");
        }
        releases.push_back(&release);
        known.insert(release.manifest);
    }
    for (const KeptRelease* release : releases) {
        for (const ManifestRecord& record : release->records) {
            const std::string hex = StoredNameOf(record);
            if (!IsStoredName(hex)) {
                return Fail(record.remotePath +
                            ": push takes only the content-addressed files "
                            "publish writes (/patch/files/<sha256>)");
            }
            if (sourced.insert(hex).second) {
                local.sources.push_back({hex, record.size, patchDir / "files" / hex, ""});
            }
        }
    }
    // A stale copy or the wrong web root would take away a release it never knew.
    if (!view.served.manifest.empty() && !known.count(view.served.manifest)) {
        const std::string id =
            BucketReleaseOf(store, run.prefix, view.inventory, view.served.manifest);
        const std::string which = id.empty() ? "a release that is not kept in it" : "release " + id;
        if (!run.force) {
            return Fail("the bucket serves " + which + ", which " + run.webRoot.string() +
                        " does not know (a stale copy or the wrong web root?); nothing was "
                        "pushed. Push from the web root that published it, or give --force to "
                        "replace it");
        }
        std::cout << "replacing " << which << ", which this web root does not know (--force)\n";
    }

    const Plan plan = MirrorPlan(local, view.served, view.inventory);
    if (!plan.switchPair) {
        std::cout << "the bucket serves release " << plan.serve.id << " already\n";
    } else if (view.served.cacheable && view.served.manifest == local.serve.manifest &&
               view.served.signature == local.serve.signature) {
        std::cout << "the bucket serves release " << plan.serve.id
                  << " without Cache-Control: no-cache, so a cache may keep each half apart; "
                     "putting the pair again\n";
    }
    if (!CarryOut(plan, BucketPlace(store, run.prefix, view.served, local), run.dryRun, error)) {
        return Fail(error);
    }
    std::cout << (run.dryRun ? "would push " : "pushed ") << plan.files.size() << " file(s), "
              << plan.releases.size() << " release(s) and " << (plan.switchPair ? 1 : 0)
              << " pair, deleted " << plan.deletions.size() << " in " << run.target
              << (run.dryRun ? " (dry run: nothing was changed)" : "") << "\n";
    return 0;
}

int RunPush(const Arguments& args) {
    PushRun run;
    run.webRoot = args.positional[0];
    run.modulus = args.options.at("--modulus");
    run.dryRun = args.options.count("--dry-run") != 0;
    run.force = args.options.count("--force") != 0;
    run.noLock = args.options.count("--no-lock") != 0;
    PushOptions options;
    std::string error;
    if (!ParseTarget(args.positional[1], options.bucket, run.prefix, error)) return Fail(error);
    run.target = "s3://" + options.bucket + "/" + run.prefix;
    if (!CheckModulusText(run.modulus, error)) return Fail("--modulus: " + error);
    options.endpoint = Option(args, "--endpoint");
    options.caBundle = Option(args, "--cacert");
    options.addressing = Option(args, "--addressing-style");
    options.allowHttp = args.options.count("--allow-http") != 0;
    S3Settings settings;
    const auto env = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    };
    if (!ResolveSettings(options, env, settings, error)) return Fail(error);
    Store client;
    if (!S3Store(settings, client, error)) return Fail(error);
    RetryPolicy retries = DefaultRetries();
    retries.tell = [](const std::string& problem) {
        std::cerr << "vantor-release push: " << problem << "; trying again\n";
    };
    return PushToStore(run, WithRetries(client, retries));
}
