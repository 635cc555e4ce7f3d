#include "engine/menu_model.h"

#include "engine/commands.h"
#include "engine/path_forms.h"
#include "engine/prefixes.h"
#include "settings/settings.h"

namespace {

void AddSeparator(MenuModel* menu) { menu->push_back({}); }

void AddTitledItem(const CopyCommand& command, MenuModel* menu) {
  menu->push_back({command.commandID, std::string(command.title), false});
}

// Appends a preview item: the text `commandID` renders for `fileRef`, as
// title; nothing when that text is empty.
void AddClipboardMenuItem(const FSRef& fileRef, std::int32_t commandID, MenuModel* menu) {
  char buffer[kRenderBufferSize];
  get_clipboard_data(fileRef, buffer, sizeof buffer, commandID);
  if (buffer[0] == '\0') return;
  menu->push_back({commandID, buffer, true});
}

}  // namespace

MenuModel BuildMenuModel(const FSRef& first, const MenuRules& rules) {
  MenuModel menu;
  const bool preview = ShowClipboardInMenu();
  for (const SingleForm& form : kSingleForms) {
    const bool byDefault = preview && rules.previewsHaveOwnDefaults ? form.previewDefault : form.titledDefault;
    if (!IncludeMenuItem(form.enablingKey, byDefault)) continue;
    if (preview) {
      AddClipboardMenuItem(first, form.commandID, &menu);
    } else {
      AddTitledItem(form, &menu);
    }
  }
  for (const auto& [offered, commandID] : {std::pair{IncludeAll(), kCopyAll},
                                           std::pair{IncludeCopyFolderPaths(), kCopyFolderPaths}}) {
    if (!offered) continue;
    if (rules.separateComposites) AddSeparator(&menu);
    AddTitledItem(*FindCopyCommand(commandID), &menu);
  }
  if (gPrefixes && !gPrefixes->empty()) {
    AddSeparator(&menu);
    for (std::size_t i = 0; i < gPrefixes->size(); ++i) {
      if (!(*gPrefixes)[i]) continue;
      if (const auto slash = PrefixFormCommandID(i, true)) AddClipboardMenuItem(first, *slash, &menu);
      AddSeparator(&menu);
      if (const auto backslash = PrefixFormCommandID(i, false)) AddClipboardMenuItem(first, *backslash, &menu);
    }
  }
  return menu;
}
