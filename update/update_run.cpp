// Stand-in until the update run lands: reports failure, never success.
#include "update/update_run.h"

UpdateResult& RunUpdate(UpdateResult& result) {
    result.succeeded = false;
    result.filesInstalled = false;
    result.message = L"Client update is not available in this build.";
    return result;
}
