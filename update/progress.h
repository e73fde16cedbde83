// How the update run's steps tell updateProgress where they stand.
#pragma once

#include "update/update.h"

// Checking or Installing; ends the count of staged bytes.
void ReportUpdatePhase(UpdatePhase phase);
// Staging starts with nothing of total bytes downloaded.
void BeginStaging(uint64_t total);
// Bytes of the file being downloaded as they arrive; ignored outside staging.
void ReportDownloadedBytes(uint64_t bytes);
// The files staged so far are downloaded and verified: exactly done bytes.
void ReportStagedBytes(uint64_t done);
// The install phase's bounds, as updateProgress is told of them.
bool EnterInstallPhase();
void LeaveInstallPhase();
