// Windows' own description of an error code, for the texts that name one.
#pragma once

#include <string>

// The system's text for code without its line end, or "Unknown Windows error".
std::wstring WindowsErrorText(unsigned long code);
// Drops trailing carriage returns, line feeds and blanks in any mix.
void TrimTrailingBreaks(std::wstring& text);
