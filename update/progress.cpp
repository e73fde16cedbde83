#include "update/progress.h"

#include <algorithm>

UpdateProgress updateProgress;

namespace {

// Only the run's thread reports, and one run at a time.
bool staging = false;
uint64_t stagedBytes = 0;    // of the files downloaded and verified
uint64_t receivedBytes = 0;  // of the file being downloaded
uint64_t bytesToStage = 0;

void Report(UpdatePhase phase, uint64_t done, uint64_t total) {
    if (updateProgress.report) updateProgress.report(updateProgress.context, phase, done, total);
}

}  // namespace

void ReportUpdatePhase(UpdatePhase phase) {
    staging = false;
    if (phase == UpdatePhase::Checking) bytesToStage = 0;
    Report(phase, bytesToStage, bytesToStage);
}

void BeginStaging(uint64_t total) {
    staging = true;
    stagedBytes = receivedBytes = 0;
    bytesToStage = total;
    Report(UpdatePhase::Staging, 0, total);
}

void ReportDownloadedBytes(uint64_t bytes) {
    if (!staging) return;
    receivedBytes += bytes;
    // A host that sends more than listed fails the file; the bar never runs past the end.
    Report(UpdatePhase::Staging, std::min(stagedBytes + receivedBytes, bytesToStage), bytesToStage);
}

void ReportStagedBytes(uint64_t done) {
    if (!staging) return;
    stagedBytes = std::min(done, bytesToStage);
    receivedBytes = 0;
    Report(UpdatePhase::Staging, stagedBytes, bytesToStage);
}

bool EnterInstallPhase() {
    return !updateProgress.enterInstall || updateProgress.enterInstall(updateProgress.context);
}

void LeaveInstallPhase() {
    if (updateProgress.leaveInstall) updateProgress.leaveInstall(updateProgress.context);
}
