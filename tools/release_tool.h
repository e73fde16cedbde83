// The operators' release tool: what the command line calls. Each command returns the process
// exit code; the keys and digests it signs and checks with are in tools/keys/keys.h.
#pragma once

#include "tools/keys/keys.h"

#include <map>
#include <string>
#include <vector>

// Positional arguments and --name value options of one subcommand.
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
};

int RunPublish(const Arguments& args);
int RunVerify(const Arguments& args);
int RunReleases(const Arguments& args);
int RunRollback(const Arguments& args);
int RunPrune(const Arguments& args);
int RunPush(const Arguments& args);
int RunSignLauncher(const Arguments& args);
