#include "engine/path_forms.h"

#include <algorithm>
#include <new>
#include <string>

#include "engine/prefixes.h"
#include "platform/corefoundation/cf_string.h"
#include "platform/files/launch_services.h"
#include "platform/memory_guard.h"
#include "settings/settings.h"

namespace {

void EmptyBuffer(char* buffer, std::size_t capacity) {
  if (buffer != nullptr && capacity > 0) buffer[0] = '\0';
}

// The setting a ScopedLabelSetting read for this thread.
struct LabelSetting {
  int scopes = 0;
  bool labelItems = false;
};
thread_local LabelSetting tLabelSetting;

bool LabelsOn() { return tLabelSetting.scopes > 0 ? tLabelSetting.labelItems : LabelItems(); }

// Emits `body` behind the form's label when labels are on.
std::int32_t EmitLabelled(const SingleForm& form, std::string_view body, char* buffer,
                          std::size_t capacity) {
  if (!LabelsOn()) return CopyRenderedText(body, buffer, capacity);
  std::string text(form.label);
  text += body;
  return CopyRenderedText(text, buffer, capacity);
}

// The item's path, made in `buffer` with `capacity`, as text; none when it
// cannot be made or is not UTF-8.
std::optional<std::string> MakePath(const FSRef& ref, char* buffer, std::size_t capacity) {
  if (FSRefMakePath(ref, buffer, capacity) != noErr) return std::nullopt;
  std::string path(buffer);
  if (!IsValidUTF8(path)) return std::nullopt;
  return path;
}

std::optional<std::string> MakePathInWorkingBuffer(const FSRef& ref) {
  char working[kWorkingPathSize];
  return MakePath(ref, working, sizeof working);
}

std::string ReplaceAll(std::string_view text, char from, std::string_view to) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (c == from) {
      result += to;
    } else {
      result += c;
    }
  }
  return result;
}

std::optional<std::string> UNCBody(const FSRef& ref, char* buffer, std::size_t capacity) {
  std::optional<std::string> path = MakePath(ref, buffer, capacity);
  if (!path) return std::nullopt;
  return MakeUNCWindowsStyleText(*path);
}

std::int32_t RenderUNC(const FSRef& ref, char* buffer, std::size_t capacity, bool withLabel) {
  EmptyBuffer(buffer, capacity);
  std::optional<std::string> body = UNCBody(ref, buffer, capacity);
  EmptyBuffer(buffer, capacity);
  if (!body) return 0;
  if (withLabel) {
    return EmitLabelled(*FindSingleForm(kCopyUNCWindowsStylePath), *body, buffer, capacity);
  }
  return CopyRenderedText(*body, buffer, capacity);
}

std::int32_t RenderAFPURL(const FSRef& ref, char* buffer, std::size_t capacity) {
  std::optional<std::string> url;
  if (std::optional<FSVolumeRefNum> volume = FSGetVRefNum(ref)) url = FSCopyURLForVolume(*volume);
  if (!url) return CopyRenderedText(kAFPPathNotRetrieved, buffer, capacity);
  if (url->empty()) return 0;
  return EmitLabelled(*FindSingleForm(kCopyAFPURL), *url, buffer, capacity);
}

// The body of a single-item form other than 8 and 9, or none.
std::optional<std::string> SingleFormBody(const FSRef& ref, char* buffer, std::size_t capacity,
                                          std::int32_t commandID) {
  switch (commandID) {
    case kCopyPosixPath:
      return MakePath(ref, buffer, capacity);
    case kCopyEncodedPosixPath: {
      std::optional<std::string> path = MakePath(ref, buffer, capacity);
      if (!path) return std::nullopt;
      return EncodeStringTrimmingWhitespace(*path);
    }
    case kCopyTildePosixPath: {
      std::optional<std::string> path = MakePathInWorkingBuffer(ref);
      if (!path) return std::nullopt;
      return stringByAbbreviatingWithTildeInPath(*path);
    }
    case kCopyTerminalPath: {
      std::optional<std::string> path = MakePath(ref, buffer, capacity);
      if (!path) return std::nullopt;
      return ReplaceAll(*path, ' ', "\\ ");
    }
    case kCopyHFSPath:
      return CFURLCopyHFSPath(ref);
    case kCopyFilename:
      return GetObjectName(ref);
    case kCopyDisplayFilename:
      return GetObjectDisplayName(ref);
    case kCopyExtension:
      return CopyNameExtension(ref);
    default:
      return std::nullopt;
  }
}

// get_clipboard_data once its arguments are checked; may throw std::bad_alloc.
std::int32_t RenderClipboardData(const FSRef& ref, char* buffer, std::size_t capacity,
                                 std::int32_t commandID) {
  if (const std::optional<PrefixFormID> prefix = PrefixFormOf(commandID)) {
    return prefix->slash ? RenderSlashPrefixForm(ref, buffer, capacity, prefix->index)
                         : RenderBackslashPrefixForm(ref, buffer, capacity, prefix->index);
  }
  const SingleForm* form = FindSingleForm(commandID);
  if (form == nullptr) return 0;
  if (commandID == kCopyPosixPath && !LabelsOn()) {
    // The text is the path itself, made where it goes: this form is the one
    // rendered for every folder of "Copy Folder Paths".
    if (FSRefMakePath(ref, buffer, capacity) != noErr) return 0;
    const std::string_view path(buffer);
    if (!IsValidUTF8(path)) {
      EmptyBuffer(buffer, capacity);
      return 0;
    }
    return static_cast<std::int32_t>(path.size());
  }
  if (commandID == kCopyUNCWindowsStylePath) return RenderUNC(ref, buffer, capacity, true);
  if (commandID == kCopyAFPURL) return RenderAFPURL(ref, buffer, capacity);
  std::optional<std::string> body = SingleFormBody(ref, buffer, capacity, commandID);
  EmptyBuffer(buffer, capacity);
  if (!body) return 0;
  return EmitLabelled(*form, *body, buffer, capacity);
}

}  // namespace

ScopedLabelSetting::ScopedLabelSetting() {
  if (tLabelSetting.scopes == 0) tLabelSetting.labelItems = LabelItems();
  ++tLabelSetting.scopes;
}

ScopedLabelSetting::~ScopedLabelSetting() { --tLabelSetting.scopes; }

std::string MakeUNCWindowsStyleText(std::string_view posixPath) {
  constexpr std::string_view kVolumes = "/Volumes";
  std::string text;
  text.reserve(posixPath.size() + 1);
  if (posixPath.starts_with(kVolumes)) {
    text.push_back('\\');
    posixPath.remove_prefix(kVolumes.size());
  }
  for (char c : posixPath) text.push_back(c == '/' ? '\\' : c);
  return text;
}

std::int32_t CopyRenderedText(std::string_view text, char* buffer, std::size_t capacity) {
  if (!CFStringGetCString(text, buffer, capacity)) return 0;
  return static_cast<std::int32_t>(text.size());
}

const SingleForm* FindSingleForm(std::int32_t commandID) {
  for (const SingleForm& form : kSingleForms) {
    if (form.commandID == commandID) return &form;
  }
  return nullptr;
}

std::int32_t get_clipboard_data(const FSRef& ref, char* buffer, std::size_t capacity,
                                std::int32_t commandID) {
  EmptyBuffer(buffer, capacity);
  if (buffer == nullptr || capacity == 0) return 0;
  const std::optional<std::int32_t> rendered =
      GuardMemory(std::optional<std::int32_t>(), [&]() -> std::optional<std::int32_t> {
    return RenderClipboardData(ref, buffer, capacity, commandID);
  });
  if (rendered) return *rendered;
  // Nothing is rendered when memory runs out.
  EmptyBuffer(buffer, capacity);
  return 0;
}

std::int32_t GetUNCWindowsStylePath(const FSRef& ref, char* buffer, std::size_t capacity) {
  return RenderUNC(ref, buffer, capacity, true);
}

std::int32_t GetUNCWindowsStylePathWithoutLabel(const FSRef& ref, char* buffer,
                                                std::size_t capacity) {
  return RenderUNC(ref, buffer, capacity, false);
}

std::optional<std::string> EncodeStringTrimmingWhitespace(std::string_view text) {
  if (!IsValidUTF8(text)) return std::nullopt;
  std::optional<std::string> decoded =
      CFURLCreateStringByReplacingPercentEscapes(CFStringTrimWhitespace(text));
  if (!decoded) return std::nullopt;
  return CFURLCreateStringByAddingPercentEscapes(*decoded);
}

std::optional<std::string> GetObjectName(const FSRef& ref) {
  std::optional<std::string> name = FSGetFileDirName(ref);
  if (!name || !IsValidUTF8(*name)) return std::nullopt;
  return name;
}

std::optional<std::string> GetObjectDisplayName(const FSRef& ref) {
  return LSCopyDisplayNameForRef(ref);
}

std::optional<std::string> CopyNameExtension(const FSRef& ref) {
  std::optional<std::string> name = GetObjectName(ref);
  if (!name) return std::nullopt;
  const std::size_t start = LSGetExtensionInfo(*name);
  if (start == kLSInvalidExtensionIndex || start > name->size()) return std::nullopt;
  return name->substr(start);
}
