// The file manager's side of contextual-menu plug-ins, for file managers
// that load extension modules into their own process: the plug-ins are
// loaded on the first menu, each menu is built from the file manager's
// selection through every plug-in's ExamineContext, and a chosen item runs
// the HandleSelection of the plug-in that added it.
//
// Toolkit-free: an extension module turns the entries of a HostMenu into its
// file manager's menu items and calls Activate when one is chosen. Every
// call comes from the file manager's main thread. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/appleevents/appleevents.h"
#include "platform/plugin/contextual_menu.h"
#include "platform/plugin/plugin_loader.h"

// One item of the file manager's selection.
struct HostSelectionItem {
  // The item's absolute path in the local file system, when it has one
  // (files on GVfs mounts have one too).
  std::optional<std::string> localPath;
  // The item's URI, kept for items without a local path.
  std::string uri;
};

// One entry of a built menu, in the order the plug-ins added them.
struct HostMenuEntry {
  enum class Kind { kCommand, kSeparator, kSubmenu };
  Kind kind = Kind::kCommand;
  // The title exactly as the plug-in gave it: no mnemonics, no markup.
  std::string title;
  // The command ID handed back on activation; 0 for separators and submenus.
  std::int32_t commandID = 0;
  // The item's 'cmat' menu-item attributes; 0 when it has none.
  std::int32_t attributes = 0;
  // Which of the menu's plug-ins added the entry.
  std::size_t plugIn = 0;
  // The entries of a submenu.
  std::vector<HostMenuEntry> submenu;
};

// A menu built for one selection. Holds the selection's context and one
// reference to each plug-in instance that took part, for as long as the
// file manager keeps items that may be activated; the last owner's release
// runs the post-menu clean-up (unless an activation already did) and
// releases the instances.
class HostMenu final {
 public:
  ~HostMenu();
  HostMenu(const HostMenu&) = delete;
  HostMenu& operator=(const HostMenu&) = delete;

  const std::vector<HostMenuEntry>& entries() const { return m_entries; }
  // The selection as the plug-ins saw it: a list with an 'fsrf' per item
  // that exists and an 'alis' with a missing target per other item; the
  // null descriptor for an empty selection.
  const AEDesc& context() const { return m_context; }

  // Runs `entry` (one of this menu's command entries): HandleSelection of
  // the plug-in that added it with the menu's context (for a kLocation menu,
  // the context of the last kSelection build when its first item lies in the
  // menu's folder) and the entry's command ID, then every plug-in's PostMenuCleanup. While it runs, long
  // work lets the file manager's main loop handle its pending events (the
  // yield given to the host). Returns false, doing nothing, for an entry
  // that is not a command, or while another command of this process runs.
  bool Activate(const HostMenuEntry& entry);

  // Runs command `commandID` as Activate does, but through every plug-in of
  // the menu: for a command that the menu does not show (one the user
  // switched off in the menus), whose plug-in is not known.
  bool ActivateEverywhere(std::int32_t commandID);

 private:
  friend class ContextualMenuHost;
  struct Shared;
  HostMenu(std::shared_ptr<Shared> shared, AEDesc context,
           std::vector<ContextualMenuInterfaceStruct**> plugIns);

  std::shared_ptr<Shared> m_shared;
  AEDesc m_context;
  std::vector<ContextualMenuInterfaceStruct**> m_plugIns;  // One reference each.
  std::vector<HostMenuEntry> m_entries;
  // The folder of a kLocation menu; empty for the others.
  std::string m_locationFolder;
  bool m_cleanedUp = false;

  // HandleSelection of the plug-ins `handlers` with `commandID`, then the
  // clean-up; `title` names the command in the log.
  bool Run(std::span<const std::size_t> handlers, std::int32_t commandID,
           const std::string& title);
};

// What a menu is built for.
enum class HostMenuSource {
  // The items the user selected (possibly none).
  kSelection,
  // The folder open in the window, for its background.
  kBackground,
  // The folder open in the window, for a menu of the window that stays
  // while the selection changes (Caja's File menu): its commands act on the
  // items last selected in that folder, when there are any.
  kLocation,
};

// The plug-ins of one file-manager process.
class ContextualMenuHost final {
 public:
  // Writes one line to the file manager's log.
  using LogFunction = std::function<void(const std::string& line)>;
  // Lets the file manager's main loop handle its pending events, without
  // waiting for any. Called every so often during a long command.
  using YieldFunction = std::function<void()>;

  ContextualMenuHost(LogFunction log, YieldFunction yield);
  // A host of plug-ins its owner loaded, for menus built for paths rather
  // than for the user's selection: it tells the Finder nothing.
  ContextualMenuHost(ContextualMenuPlugIns plugIns, LogFunction log);
  ~ContextualMenuHost();
  ContextualMenuHost(const ContextualMenuHost&) = delete;
  ContextualMenuHost& operator=(const ContextualMenuHost&) = delete;

  // Builds the menu for `selection`, in the file manager's order. The first
  // call loads the plug-in bundles (a bundle that cannot be used is skipped
  // with one line in the log). While a command runs (its yield lets the file
  // manager ask for menus) the menu is left empty, so that no plug-in is
  // entered twice at once.
  //
  // Either way the running Finder may be told a new selection: the items of
  // `selection` that have a local path and exist, in order (the event is not
  // answered, so a missing or stuck Finder delays the menu by one tick, 1/60
  // s, at most). `update` tells which of the file manager's menu updates the
  // build belongs to: the builds of one pass of its main loop share one.
  // - A kSelection build with such items tells them.
  // - A kBackground or kLocation build tells its folder only when a kSelection build of
  //   the same update found no such item while the items told last lay in
  //   that folder: the user cleared the selection by clicking the folder's
  //   background. The background menu a file manager builds beside a
  //   selection's, or when a window opens or a folder loads, tells nothing.
  // Null only when memory runs out.
  std::shared_ptr<HostMenu> BuildMenu(const std::vector<HostSelectionItem>& selection,
                                      HostMenuSource source = HostMenuSource::kSelection,
                                      std::uint64_t update = 0);

  // Whether a command is running in this process.
  bool CommandRunning() const;

 private:
  void LoadPlugIns();
  // Tells the Finder `localPaths` when the rules of BuildMenu say so.
  void ReportSelection(HostMenuSource source, std::uint64_t update,
                       const std::vector<std::string>& localPaths);

  std::shared_ptr<HostMenu::Shared> m_shared;
  bool m_loaded = false;
  bool m_tellsFinder = true;
  // The update of the last kSelection build that found no local item.
  std::optional<std::uint64_t> m_emptySelectionUpdate;
  // The folder of the first item told last.
  std::string m_toldFolder;
};

// The context of `selection` (see HostMenu::context).
AEDesc MakeHostContext(const std::vector<HostSelectionItem>& selection);

// The entries of a command list as plug-ins fill it: records with 'pnam',
// 'cmcd', 'cmat' and 'cmsb'. Records that are not items are left out.
std::vector<HostMenuEntry> HostMenuEntriesFromCommandList(const AEDescList& list,
                                                          std::size_t plugIn);

// `title` for a GTK menu label that reads "_" as a mnemonic marker: every "_"
// doubled, so that it is shown as it is; nothing else changes.
std::string EscapeMenuMnemonics(std::string_view title);
