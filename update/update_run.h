// The update run: manifest, signature, comparison with the disk and the staged install.
#pragma once

#include "app/launcher.h"

// Fills the freshly allocated result with exactly one outcome and returns it.
UpdateResult& RunUpdate(UpdateResult& result);
