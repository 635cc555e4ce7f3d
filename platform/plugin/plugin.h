// The plug-in model: bundles that declare factories for plug-in types, and
// the loading of their code to make instances.
//
// A plug-in is a bundle (see platform/bundle/bundle.h) whose
// Contents/Info.plist declares, besides CFBundleIdentifier and
// CFBundleExecutable:
//   CFPlugInFactories  dictionary: factory UUID text -> name of the factory
//                      function exported by the shared object (C linkage);
//   CFPlugInTypes      dictionary: type UUID text -> array of the factory
//                      UUID texts that make instances of that type.
// A factory has the type CFPlugInFactoryFunction: given a type, it returns a
// new instance of it (the instance's first field points to its interface
// table), or null when it does not make that type.
//
// CFPlugInCreate reads the declarations and makes the factories known to the
// process; the code is loaded (dlopen, RTLD_NOW | RTLD_LOCAL) on the first
// CFPlugInInstanceCreate of one of its factories. Loaded code is never
// unloaded: instances, their interface tables and the UUID objects they hold
// live in that code, and a host cannot know when the last pointer into it
// has gone. So plug-in objects, once made, also live until the process ends.
//
// Instance counting: a factory calls CFPlugInAddInstanceForFactory for each
// instance it makes and the instance calls CFPlugInRemoveInstanceForFactory
// when it goes away. A plug-in's shared object links its own copy of this
// library, so these calls run in that copy. To count in one place, every
// copy exports the C variable `gKestrineCFPlugInHostRegistry` (keep it
// exported: do not hide it with a version script), and the copy that loads a
// plug-in's code stores its own registry there before it calls any factory;
// a copy whose variable holds a registry counts in it, any other counts in
// its own.
//
// Every function here is safe to call from any thread; a factory is called
// without any lock held.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/MacTypes.h"
#include "platform/bundle/bundle.h"
#include "platform/plugin/uuid.h"

// A factory function exported by a plug-in, found by its name.
using CFPlugInFactoryFunction = void* (*)(CFAllocatorRef allocator, CFUUIDRef typeID);

// One plug-in bundle known to the process. Shared by every caller that opens
// the same bundle; never freed.
class CFPlugIn;
using CFPlugInRef = std::shared_ptr<CFPlugIn>;

// Reads the plug-in bundle at `bundlePath` (see bundle.h for the layout) and
// makes its factories known to the process; a factory already known from
// another plug-in stays with that one. Opening the same folder again returns
// the same object. Returns null, with a one-line reason in `errorMessage`
// when given, when the bundle is missing or has no usable Info.plist, names
// no executable or one outside Contents/Linux (absolute, or with a ".."
// step), has no CFPlugInFactories dictionary (it is not a plug-in), when a
// UUID text, function name or factory list in its declarations is
// malformed, a type lists a factory the bundle does not declare, or its
// executable is not a regular file. Only a regular file is ever loaded or
// read, so a FIFO or device in a bundle cannot stall the caller.
CFPlugInRef CFPlugInCreate(CFAllocatorRef allocator, std::string_view bundlePath,
                           std::string* errorMessage = nullptr);

// The bundle description of `plugIn`; none for null.
std::optional<CFBundle> CFPlugInGetBundle(const CFPlugInRef& plugIn);

// Whether the code of `plugIn` has been loaded; false for null.
bool CFPlugInIsLoaded(const CFPlugInRef& plugIn);

// The factories that `plugIn` declares for `typeUUID`, in the order of its
// Info.plist; empty when it declares none or either argument is null.
std::vector<CFUUIDRef> CFPlugInFindFactoriesForPlugInTypeInPlugIn(const CFUUIDRef& typeUUID,
                                                                  const CFPlugInRef& plugIn);

// The factories that every plug-in known to the process declares for
// `typeUUID`, in the order the plug-ins were made.
std::vector<CFUUIDRef> CFPlugInFindFactoriesForPlugInType(const CFUUIDRef& typeUUID);

// Makes an instance of `typeUUID` with the factory `factoryUUID`: loads the
// code of the plug-in that declares the factory if needed, finds the factory
// function by name and calls it. Returns what the factory returns; null, with
// a one-line reason in `errorMessage` when given, when the factory is
// unknown, the code is no longer a regular file, cannot be loaded or does
// not export the function, or the factory returns null (it does not make
// that type). The allocator is passed on to the factory.
void* CFPlugInInstanceCreate(CFAllocatorRef allocator, const CFUUIDRef& factoryUUID,
                             const CFUUIDRef& typeUUID, std::string* errorMessage = nullptr);

// Counts one more live instance of the factory. Ignores null.
void CFPlugInAddInstanceForFactory(const CFUUIDRef& factoryID);

// Counts one live instance of the factory less; a count already at 0 stays
// there. Ignores null.
void CFPlugInRemoveInstanceForFactory(const CFUUIDRef& factoryID);

// The number of live instances of the factory in the registry this copy of
// the library counts in (see above); 0 for null.
ItemCount CFPlugInGetInstanceCountForFactory(const CFUUIDRef& factoryID);
