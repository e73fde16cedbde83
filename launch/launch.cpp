// Stand-in until the launch lands: Start Game is never enabled by the stand-in update run.
#include "launch/launch.h"

void StartGame(HWND) {}
