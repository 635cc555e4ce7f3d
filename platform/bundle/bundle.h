// Bundles: folders such as "KestrineCM.plugin" that hold a program's code and
// resources.
//
// Layout:
//   NAME.plugin/Contents/Info.plist     XML property list, CFBundleIdentifier
//   NAME.plugin/Contents/Linux/...       the shared object (CFBundleExecutable)
//   NAME.plugin/Contents/Resources/      resources, such as "Prefixes.txt"
//
// A process knows a bundle when it opened it with CFBundleCreate, or when the
// code that asks lives inside it: the program, or the shared object that
// this library is linked into, lies below a folder "Contents" that holds an
// Info.plist (a plug-in's shared object in NAME.plugin/Contents/Linux/ knows
// NAME.plugin). Every function here is safe to call from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>


// One bundle, described by its folder and its Info.plist. A value: copying it
// copies the description.
struct CFBundle {
  std::string path;        // The bundle folder, absolute, no trailing slash.
  std::string identifier;  // CFBundleIdentifier.
  std::optional<std::string> executable;  // CFBundleExecutable, when given.
};

// Reads the bundle at `path` (resolved as realpath(3) does) and makes it
// known to this process, in place of one opened earlier with the same
// identifier. None when the folder or its Contents/Info.plist is missing,
// unreadable, not a regular file or above 16 MiB, or the plist (XML or
// binary) has no string CFBundleIdentifier.
std::optional<CFBundle> CFBundleCreate(std::string_view path);

// The bundle with that identifier known to this process, or none. A bundle
// opened with CFBundleCreate comes first; the bundle holding the calling code
// is read afresh at each call.
std::optional<CFBundle> CFBundleGetBundleWithIdentifier(std::string_view identifier);

// The bundle's resources folder, "<path>/Contents/Resources".
std::string CFBundleCopyResourcesDirectoryURL(const CFBundle& bundle);

// The path of the bundle's shared object, "<path>/Contents/Linux/<executable>",
// or none when the plist names no executable, or names one that is absolute
// or has a ".." step and so could lie outside the bundle.
std::optional<std::string> CFBundleCopyExecutableURL(const CFBundle& bundle);

// Forgets every bundle made known by CFBundleCreate. For tests.
void CFBundleForgetAllForTesting();
