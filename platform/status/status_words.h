// Statuses in words, so that no log line or message shows a bare number.
#pragma once

#include <string>

#include "platform/MacTypes.h"

// "error <number>: <what it means>", as "error -43: no such file or folder";
// "error <number>" alone for a status of no platform service here.
std::string StatusWords(OSStatus status);
