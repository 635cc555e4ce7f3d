// The copy commands a menu offers for the first selected item, as a list
// that each front-end renders in its own way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files/files.h"

// One item: a separator, or a command with its title.
struct MenuModelItem {
  std::int32_t commandID = 0;  // 0 for a separator.
  std::string title;           // The fixed title, or the previewed text.
  bool preview = false;        // The title is the text the command copies.

  bool separator() const { return commandID == 0; }
};

using MenuModel = std::vector<MenuModelItem>;

// What sets the menus of the front-ends apart.
struct MenuRules {
  // Whether a preview item of a form whose key is absent follows the
  // catalogue's preview default, or its titled default.
  bool previewsHaveOwnDefaults;
  // Whether "Copy All" and "Copy Folder Paths" each come after a separator.
  bool separateComposites;
};

// The contextual menu: its previews are offered as its titled items are; in
// its own submenu the composite commands stand apart, in the host's menu not.
constexpr MenuRules ContextualMenuRules(bool submenu) { return {false, submenu}; }

// The tray's status menu: its previews follow their own defaults, and the
// composite commands always stand apart.
inline constexpr MenuRules kStatusMenuRules = {true, true};

// The commands offered for `first`, the first selected item, by the settings
// and the prefix table as they are now: the single forms whose keys are on
// (titled, or previews when `ShowClipboardInMenu` is on), "Copy All" and
// "Copy Folder Paths" when offered, then, when the prefix table holds an
// entry, a separator and for each entry that is a text its slash preview, a
// separator and its backslash preview. A preview whose text is empty is left
// out.
MenuModel BuildMenuModel(const FSRef& first, const MenuRules& rules);
