#include "hosts/contextual_menu_host.h"

#include <span>
#include <utility>

#include "platform/appleevents/alias.h"
#include "platform/corefoundation/cf_string.h"
#include "platform/corefoundation/cf_utf16.h"
#include "platform/events/events.h"
#include "platform/files/files.h"
#include "platform/finder/finder_selection.h"
#include "platform/plugin/plugin_loader.h"

// What the host and the menus it built share: the loaded plug-ins stay
// loaded while any menu may still call them.
struct HostMenu::Shared {
  ContextualMenuHost::LogFunction log;
  ContextualMenuHost::YieldFunction yield;
  ContextualMenuPlugIns plugIns;
  bool commandRunning = false;
  bool yielding = false;
  // The selection of the last kSelection build.
  std::vector<HostSelectionItem> selection;

  void Log(const std::string& line) const {
    try {
      if (log) log(line);
    } catch (...) {
    }
  }
};

namespace {

// Where an item without a local path points: below a file, so that no file
// system can ever hold it and the alias never resolves.
constexpr std::string_view kUnreachableFolder = "/dev/null/";

std::optional<std::int32_t> LongParam(const AERecord& record, AEKeyword key) {
  std::int32_t value = 0;
  std::size_t size = 0;
  DescType type = 0;
  if (AEGetParamPtr(&record, key, typeSInt32, &type, &value, sizeof value, &size) != noErr ||
      size != sizeof value) {
    return std::nullopt;
  }
  return value;
}

std::string RecordTitle(const AERecord& record) {
  AEDesc name;
  if (AEGetParamDesc(&record, keyAEName, typeWildCard, &name) != noErr) return "";
  std::string bytes(AEGetDescDataSize(&name), '\0');
  if (AEGetDescData(&name, bytes.data(), bytes.size()) != noErr) return "";
  if (name.descriptorType() == typeUnicodeText) {
    // A stray last byte belongs to no code unit and is left out.
    return CFStringCreateWithCharacterBytes(std::string_view(bytes).substr(0, bytes.size() / 2 * 2))
        .value_or(std::string());
  }
  if (name.descriptorType() == typeText) return CFStringCreateWithMacRoman(bytes);
  return MakeValidUTF8(bytes);
}

// Percent-escapes the bytes of `uri` that cannot stand in one path
// component.
std::string PathComponentForURI(std::string_view uri) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string component;
  for (const char c : uri) {
    if (c == '/' || c == '%' || c == '\0') {
      const auto byte = static_cast<unsigned char>(c);
      component += '%';
      component += kHex[byte >> 4];
      component += kHex[byte & 0xF];
    } else {
      component += c;
    }
  }
  return component.empty() ? std::string("%00") : component;
}

void PutMissingItem(const HostSelectionItem& item, AEDescList* context) {
  std::string alias;
  const bool absolute = item.localPath && item.localPath->starts_with('/');
  const std::string target = absolute ? *item.localPath
                                      : std::string(kUnreachableFolder) + PathComponentForURI(item.uri);
  if (FSNewAliasFromPath(target, &alias) != noErr &&
      FSNewAliasFromPath(std::string(kUnreachableFolder) + "%00", &alias) != noErr) {
    return;
  }
  AEPutPtr(context, 0, typeAlias, alias.data(), alias.size());
}

// Tells a running Finder the selection's local items, so that whoever asks
// it (the menu-bar application) sees what the user last selected. The event
// is only written, never answered: without a Finder this costs one walk of
// the process registry; a Finder that does not read is given at most one
// tick to make room for it, and then the event is dropped.
void TellFinder(const std::vector<std::string>& paths) {
  FinderSetSelection(paths, typeObjectSpecifier, kAENoReply, 1);
}

// The folder that holds the item at the absolute `path`.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

// The context of `selection`; the paths of its items that exist are
// appended to `*localPaths`, when not null.
AEDesc MakeContext(const std::vector<HostSelectionItem>& selection,
                   std::vector<std::string>* localPaths) {
  AEDesc context;
  if (selection.empty() || AECreateList(nullptr, 0, false, &context) != noErr) return context;
  for (const HostSelectionItem& item : selection) {
    FSRef ref{};
    if (item.localPath && FSPathMakeRef(*item.localPath, &ref) == noErr) {
      AEPutPtr(&context, 0, typeFSRef, &ref, sizeof ref);
      if (localPaths != nullptr) localPaths->push_back(*item.localPath);
    } else {
      PutMissingItem(item, &context);
    }
  }
  return context;
}

void AddRefAll(const std::vector<ContextualMenuInterfaceStruct**>& plugIns) {
  for (ContextualMenuInterfaceStruct** plugIn : plugIns) (*plugIn)->AddRef(plugIn);
}

}  // namespace

AEDesc MakeHostContext(const std::vector<HostSelectionItem>& selection) {
  return MakeContext(selection, nullptr);
}

std::vector<HostMenuEntry> HostMenuEntriesFromCommandList(const AEDescList& list,
                                                          std::size_t plugIn) {
  std::vector<HostMenuEntry> entries;
  long count = 0;
  if (AECountItems(&list, &count) != noErr) return entries;
  for (long i = 1; i <= count; ++i) {
    AERecord record;
    if (AEGetNthDesc(&list, i, typeWildCard, nullptr, &record) != noErr ||
        record.descriptorType() != typeAERecord) {
      continue;
    }
    HostMenuEntry entry;
    entry.plugIn = plugIn;
    entry.title = RecordTitle(record);
    const std::int32_t attributes = LongParam(record, keyContextualMenuAttributes).value_or(0);
    entry.attributes = attributes;
    AEDescList submenu;
    if (AEGetParamDesc(&record, keyContextualMenuSubmenu, typeAEList, &submenu) == noErr) {
      entry.kind = HostMenuEntry::Kind::kSubmenu;
      entry.submenu = HostMenuEntriesFromCommandList(submenu, plugIn);
    } else if ((attributes & kMenuItemAttrSeparator) != 0) {
      entry.kind = HostMenuEntry::Kind::kSeparator;
      entry.title.clear();
    } else {
      const std::optional<std::int32_t> id = LongParam(record, keyContextualMenuCommandID);
      if (!id) continue;
      entry.commandID = *id;
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::string EscapeMenuMnemonics(std::string_view title) {
  std::string escaped;
  escaped.reserve(title.size());
  for (const char c : title) {
    if (c == '_') escaped += '_';
    escaped += c;
  }
  return escaped;
}

HostMenu::HostMenu(std::shared_ptr<Shared> shared, AEDesc context,
                   std::vector<ContextualMenuInterfaceStruct**> plugIns)
    : m_shared(std::move(shared)), m_context(std::move(context)), m_plugIns(std::move(plugIns)) {}

HostMenu::~HostMenu() {
  // A menu that closed without a choice still gets its clean-up.
  for (ContextualMenuInterfaceStruct** plugIn : m_plugIns) {
    if (!m_cleanedUp) (*plugIn)->PostMenuCleanup(plugIn);
    (*plugIn)->Release(plugIn);
  }
}

bool HostMenu::Activate(const HostMenuEntry& entry) {
  if (entry.kind != HostMenuEntry::Kind::kCommand || entry.plugIn >= m_plugIns.size()) {
    return false;
  }
  return Run(std::span(&entry.plugIn, 1), entry.commandID, entry.title);
}

bool HostMenu::ActivateEverywhere(std::int32_t commandID) {
  try {
    std::vector<std::size_t> handlers(m_plugIns.size());
    for (std::size_t i = 0; i < handlers.size(); ++i) handlers[i] = i;
    return Run(handlers, commandID, std::to_string(commandID));
  } catch (...) {
    return false;
  }
}

bool HostMenu::Run(std::span<const std::size_t> handlers, std::int32_t commandID,
                   const std::string& title) {
  Shared& shared = *m_shared;
  if (shared.commandRunning) {
    shared.Log("a command is still running; \"" + title + "\" is ignored");
    return false;
  }
  shared.commandRunning = true;
  std::function<void()> previousHook;
  try {
    // The yield runs the file manager's pending events; an event that asks
    // for another command or menu meanwhile finds commandRunning set, and a
    // yield from inside a yield returns at once.
    std::weak_ptr<Shared> weak = m_shared;
    previousHook = SetWaitNextEventHook([weak] {
      const std::shared_ptr<Shared> locked = weak.lock();
      if (!locked || locked->yielding || !locked->yield) return;
      locked->yielding = true;
      try {
        locked->yield();
      } catch (...) {
      }
      locked->yielding = false;
    });
  } catch (...) {
  }
  // What the user selected in the folder since its menu was built.
  AEDesc selected;
  if (!m_locationFolder.empty() && !shared.selection.empty() &&
      shared.selection.front().localPath &&
      FolderOf(*shared.selection.front().localPath) == m_locationFolder) {
    selected = MakeContext(shared.selection, nullptr);
  }
  for (const std::size_t index : handlers) {
    ContextualMenuInterfaceStruct** handler = m_plugIns[index];
    (*handler)->HandleSelection(
        handler, selected.descriptorType() == typeNull ? &m_context : &selected, commandID);
  }
  for (ContextualMenuInterfaceStruct** plugIn : m_plugIns) (*plugIn)->PostMenuCleanup(plugIn);
  m_cleanedUp = true;
  SetWaitNextEventHook(std::move(previousHook));
  shared.commandRunning = false;
  return true;
}

ContextualMenuHost::ContextualMenuHost(LogFunction log, YieldFunction yield)
    : m_shared(std::make_shared<HostMenu::Shared>()) {
  m_shared->log = std::move(log);
  m_shared->yield = std::move(yield);
}

ContextualMenuHost::ContextualMenuHost(ContextualMenuPlugIns plugIns, LogFunction log)
    : ContextualMenuHost(std::move(log), nullptr) {
  m_shared->plugIns = std::move(plugIns);
  m_loaded = true;
  m_tellsFinder = false;
}

ContextualMenuHost::~ContextualMenuHost() = default;

bool ContextualMenuHost::CommandRunning() const { return m_shared->commandRunning; }

void ContextualMenuHost::LoadPlugIns() {
  m_loaded = true;
  m_shared->plugIns = LoadContextualMenuPlugIns(ContextualMenuPlugInFolders());
  for (const std::string& line : m_shared->plugIns.skipped) m_shared->Log(line);
}

void ContextualMenuHost::ReportSelection(HostMenuSource source, std::uint64_t update,
                                         const std::vector<std::string>& localPaths) {
  if (!m_tellsFinder) return;
  if (source == HostMenuSource::kSelection) {
    if (localPaths.empty()) {
      m_emptySelectionUpdate = update;
      return;
    }
  } else if (localPaths.empty() || m_emptySelectionUpdate != update ||
             m_toldFolder != localPaths.front()) {
    return;
  }
  TellFinder(localPaths);
  m_toldFolder = FolderOf(localPaths.front());
}

std::shared_ptr<HostMenu> ContextualMenuHost::BuildMenu(
    const std::vector<HostSelectionItem>& selection, HostMenuSource source, std::uint64_t update) {
  try {
    if (source == HostMenuSource::kSelection) m_shared->selection = selection;
    std::vector<std::string> localPaths;
    if (m_shared->commandRunning) {
      // The user did select these, even though no command may start.
      MakeContext(selection, &localPaths);
      ReportSelection(source, update, localPaths);
      return std::shared_ptr<HostMenu>(new HostMenu(m_shared, AEDesc(), {}));
    }
    if (!m_loaded) LoadPlugIns();
    std::vector<ContextualMenuInterfaceStruct**> plugIns;
    for (const ContextualMenuPlugIn& plugIn : m_shared->plugIns.instances) {
      plugIns.push_back(plugIn.interface());
    }
    AddRefAll(plugIns);
    std::shared_ptr<HostMenu> menu(
        new HostMenu(m_shared, MakeContext(selection, &localPaths), plugIns));
    if (source == HostMenuSource::kLocation && selection.size() == 1 && selection[0].localPath) {
      menu->m_locationFolder = *selection[0].localPath;
    }
    ReportSelection(source, update, localPaths);
    for (std::size_t i = 0; i < plugIns.size(); ++i) {
      AEDescList commands;
      if (AECreateList(nullptr, 0, false, &commands) != noErr) continue;
      const AEDesc* context =
          menu->m_context.descriptorType() == typeNull ? nullptr : &menu->m_context;
      (*plugIns[i])->ExamineContext(plugIns[i], context, &commands);
      std::vector<HostMenuEntry> entries = HostMenuEntriesFromCommandList(commands, i);
      menu->m_entries.insert(menu->m_entries.end(), std::make_move_iterator(entries.begin()),
                             std::make_move_iterator(entries.end()));
    }
    return menu;
  } catch (...) {
    m_shared->Log("the contextual menu could not be built (out of memory)");
  }
  try {
    return std::shared_ptr<HostMenu>(new HostMenu(m_shared, AEDesc(), {}));
  } catch (...) {
    return nullptr;
  }
}
