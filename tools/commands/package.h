// package: the players' setup, made by makensis from installer/vantor.nsi.
#pragma once

#include "tools/release_tool.h"

extern const char PackageHelp[];

int RunPackage(const Arguments& args);
