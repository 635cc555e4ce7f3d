// The renderer: one file-system item in one of the copy forms.
//
// Every front-end renders through get_clipboard_data, for the text it copies
// and for menu titles that preview that text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/commands.h"
#include "platform/files/files.h"

// Render buffer capacities used by the callers.
constexpr std::size_t kRenderBufferSize = 2048;
constexpr std::size_t kCompositeRenderBufferSize = 4096;
// The working buffer in which the forms that abbreviate or escape a path,
// and the folder walk, make paths, whatever the caller's capacity.
constexpr std::size_t kWorkingPathSize = 4096;

// The single-item forms in form order (ID 12 second), the order of menus and
// of "Copy All".
using SingleForm = CopyCommand;
inline constexpr std::span<const SingleForm, kSingleFormCount> kSingleForms =
    std::span(kCopyCommands).first<kSingleFormCount>();

// The form with that command ID, or null for any other ID.
const SingleForm* FindSingleForm(std::int32_t commandID);

// The text form 9 yields when the volume's URL cannot be had.
inline constexpr std::string_view kAFPPathNotRetrieved = "AFP Path Could Not Be Retrieved";

// Copies a finished text and its NUL into the render buffer: its length, or
// 0 with "" in the buffer when it does not fit or is not UTF-8.
std::int32_t CopyRenderedText(std::string_view text, char* buffer, std::size_t capacity);

// Renders the item `ref` in the form `commandID` into `buffer` as NUL-ended
// UTF-8 and returns the text's length in bytes. Returns 0, with "" in the
// buffer, for an ID that names no single-item or prefix form, for an item
// that cannot be rendered (deleted, a name that is not UTF-8, no extension,
// a prefix entry that does not exist), for a text that does not fit in
// `capacity` bytes with its NUL (never a cut text), and when memory runs
// out. The label of the form is put in front when `LabelItems` is on (never
// for prefix forms).
std::int32_t get_clipboard_data(const FSRef& ref, char* buffer, std::size_t capacity,
                                std::int32_t commandID);

// While one lives, get_clipboard_data on this thread reads the `LabelItems`
// setting once, when the outermost scope begins, instead of once per item:
// for texts made of many items. Scopes nest.
class ScopedLabelSetting final {
 public:
  ScopedLabelSetting();
  ~ScopedLabelSetting();
  ScopedLabelSetting(const ScopedLabelSetting&) = delete;
  ScopedLabelSetting& operator=(const ScopedLabelSetting&) = delete;
};

// Form 8: the path with "/Volumes" at its start replaced by "/" and every
// "/" turned into "\", with the label "PC Path: " when `LabelItems` is on.
// Same result rules as get_clipboard_data.
std::int32_t GetUNCWindowsStylePath(const FSRef& ref, char* buffer, std::size_t capacity);

// Form 8 without its label; the backslash prefix form starts from it.
std::int32_t GetUNCWindowsStylePathWithoutLabel(const FSRef& ref, char* buffer,
                                                std::size_t capacity);

// The body of form 8 for a POSIX path: "/Volumes" at the start (compared as
// characters, not components) becomes "/", then every "/" becomes "\".
std::string MakeUNCWindowsStyleText(std::string_view posixPath);

// The encoding step of form 12: trims white space from both ends, decodes
// percent escapes, and escapes the result by RFC 2396. None when the text is
// not UTF-8, an escape is malformed, or the decoded bytes are not UTF-8.
std::optional<std::string> EncodeStringTrimmingWhitespace(std::string_view text);

// The item's name as valid UTF-8 text, or none.
std::optional<std::string> GetObjectName(const FSRef& ref);

// The item's display name, or none.
std::optional<std::string> GetObjectDisplayName(const FSRef& ref);

// The item's extension without its period; none when the name has none or
// cannot be read.
std::optional<std::string> CopyNameExtension(const FSRef& ref);
