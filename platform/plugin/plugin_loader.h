// The host's side of contextual-menu plug-ins: finding the bundles, loading
// them and making one instance per contextual-menu factory.
//
// The plug-in folders are "Kestrine/Contextual Menu Items" below the user's
// data folder (${XDG_DATA_HOME:-$HOME/.local/share}), then below each folder
// of $XDG_DATA_DIRS (default /usr/local/share:/usr/share), in that order.
// Within a folder, entries are taken in byte order of their names.
//
// Loading never blocks on a special file: a bundle's Info.plist and shared
// object are read or loaded only when they are regular files, and a shared
// object must lie inside its bundle (see plugin.h). Nothing here throws; a
// plug-in's code runs in this process, so a plug-in that crashes takes the
// host with it.
//
// Call from the thread that shows the host's menus.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plugin/contextual_menu.h"

// One instance of a loaded contextual-menu plug-in. Holds one reference to
// the instance's contextual-menu interface and releases it when destroyed.
// Move-only.
class ContextualMenuPlugIn final {
 public:
  // Takes over one reference to `interface`, which must not be null.
  ContextualMenuPlugIn(std::string bundlePath, std::string identifier,
                       ContextualMenuInterfaceStruct** interface);
  ~ContextualMenuPlugIn();
  ContextualMenuPlugIn(ContextualMenuPlugIn&& other) noexcept;
  ContextualMenuPlugIn& operator=(ContextualMenuPlugIn&& other) noexcept;
  ContextualMenuPlugIn(const ContextualMenuPlugIn&) = delete;
  ContextualMenuPlugIn& operator=(const ContextualMenuPlugIn&) = delete;

  // The bundle folder as it was named to the loader.
  const std::string& bundlePath() const { return m_bundlePath; }
  // The bundle's CFBundleIdentifier.
  const std::string& identifier() const { return m_identifier; }
  // The interface to call ExamineContext, HandleSelection and
  // PostMenuCleanup through; never null while the object holds it.
  ContextualMenuInterfaceStruct** interface() const { return m_interface; }

 private:
  std::string m_bundlePath;
  std::string m_identifier;
  ContextualMenuInterfaceStruct** m_interface;
};

// What loading the plug-in folders gave.
struct ContextualMenuPlugIns {
  // The instances, in the order their bundles were found.
  std::vector<ContextualMenuPlugIn> instances;
  // One line per entry that is not a usable plug-in bundle, naming it and
  // saying why ("<path>: <reason>"), in the order the entries were found.
  std::vector<std::string> skipped;
};

// The plug-in folders (see above), absolute paths only: a relative or empty
// entry of the variables is ignored. Folders need not exist.
std::vector<std::string> ContextualMenuPlugInFolders();

// Loads the bundle at `bundlePath`: one instance per factory it declares for
// the contextual-menu type, each asked for the contextual-menu interface.
// All or nothing: returns none, with "<bundlePath>: <reason>" in `error` when
// given, when the entry is not a bundle folder, the bundle is not a
// contextual-menu plug-in, its code cannot be loaded, or a factory makes no
// instance or no interface.
std::optional<std::vector<ContextualMenuPlugIn>> LoadContextualMenuPlugIn(
    std::string_view bundlePath, std::string* error = nullptr);

// Loads every usable bundle in `folders`, in order. A bundle whose identifier
// an earlier bundle already brought is left out silently, before its code is
// loaded, so a user's copy stands in for the system's; a bundle that fails
// does not claim its identifier. Every other entry that fails is skipped and
// named in `skipped`. A missing folder gives nothing; one that exists but
// cannot be listed is named in `skipped`.
ContextualMenuPlugIns LoadContextualMenuPlugIns(const std::vector<std::string>& folders);
