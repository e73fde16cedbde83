#include "common/process_seams.h"

#include "common/paths.h"

namespace {

HANDLE CreateDefaultThread(LPTHREAD_START_ROUTINE body, LPVOID argument) {
    return ::CreateThread(nullptr, 0, body, argument, 0, nullptr);
}

}  // namespace

ProcessSeams DefaultProcessSeams() {
    return {&GetInstallDirectory, &CreateDefaultThread};
}

ProcessSeams processSeams = DefaultProcessSeams();
