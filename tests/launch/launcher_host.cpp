// The launcher as VANTOR.exe runs it, with the real probe and Start Game, but with an update
// run that succeeds at once: the process tests click Start Game in it.
#include "app/window.h"

namespace {

UpdateResult& SucceedingUpdate(UpdateResult& result) {
    result.succeeded = true;
    result.message = L"Up to date";
    return result;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    launcherServices.runUpdate = &SucceedingUpdate;
    return RunLauncher(instance, showCommand);
}
