// Apple Event descriptors: typed values, lists and records of them.
//
// A descriptor is a type code (DescType, a four-character code) and data.
// Lists ('list') and records ('reco') hold descriptors instead of bytes; the
// items of a record carry a key (AEKeyword), unique within the record. A
// record coerced to another type (an object specifier 'obj ' is one) keeps
// its keyed items under that type, and the record calls work on it as on a
// 'reco'. An Apple event ('aevt', see appleevent.h) is a record of parameters
// with a second record of attributes beside it. Every other descriptor holds
// a plain byte string, whose meaning its type gives: 'utxt' UTF-16 code units
// in host byte order, 'TEXT' bytes, 'long' and 'shor' signed 32- and 16-bit
// integers in host byte order, 'type', 'enum' and 'keyw' a four-character
// code as a 32-bit integer in host byte order, 'fsrf' the 80 bytes of an
// FSRef, 'alis' an alias record (see alias.h). The null descriptor has type
// 'null' and no data.
//
// An AEDesc is a value that owns its data: copying it copies the whole tree,
// moving it leaves the source as the null descriptor, destroying it frees
// everything. AEDisposeDesc sets a descriptor back to the null descriptor.
// What a function puts into a list or record is copied; what it hands back is
// a new descriptor owned by the caller.
//
// Every descriptor has a flattened form: bytes that describe the whole tree
// (nested lists and records included) and that AEUnflattenDesc reads back,
// checking every length, so that descriptors can travel between processes.
// Lists and records nest at most kAEMaxNestingDepth levels deep: the puts
// refuse to build anything deeper, and the reader refuses deeper input.
//
// The calls below that take a record work on every descriptor with keyed
// items: a 'reco', a coerced record, and an event, whose parameters they
// reach (never its attributes).
//
// Functions that take a descriptor to read or change fail with errAENotAEDesc
// when its pointer is null, and with paramErr when another required pointer
// is null. None of them throws; memory exhaustion is memFullErr.
//
// The functions are safe to call from several threads as long as no
// descriptor is changed by one thread while another uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/MacTypes.h"

using DescType = std::uint32_t;
using AEKeyword = std::uint32_t;

// The four-character code of a four-letter literal: MakeFourCharCode("list")
// is 0x6C697374, its first character in the most significant byte.
constexpr std::uint32_t MakeFourCharCode(const char (&code)[5]) {
  return (std::uint32_t{static_cast<unsigned char>(code[0])} << 24) |
         (std::uint32_t{static_cast<unsigned char>(code[1])} << 16) |
         (std::uint32_t{static_cast<unsigned char>(code[2])} << 8) |
         std::uint32_t{static_cast<unsigned char>(code[3])};
}

// The four characters of `code`, first character first, for diagnostics.
// Bytes that are not printable ASCII come out as "\xHH".
std::string FourCharCodeString(std::uint32_t code);

constexpr DescType typeAEList = MakeFourCharCode("list");
constexpr DescType typeAERecord = MakeFourCharCode("reco");
constexpr DescType typeUnicodeText = MakeFourCharCode("utxt");
constexpr DescType typeText = MakeFourCharCode("TEXT");
constexpr DescType typeSInt32 = MakeFourCharCode("long");
constexpr DescType typeSInt16 = MakeFourCharCode("shor");
constexpr DescType typeType = MakeFourCharCode("type");
constexpr DescType typeFSRef = MakeFourCharCode("fsrf");
constexpr DescType typeAlias = MakeFourCharCode("alis");
constexpr DescType typeNull = MakeFourCharCode("null");
constexpr DescType typeWildCard = MakeFourCharCode("****");
constexpr DescType typeAppleEvent = MakeFourCharCode("aevt");
constexpr DescType typeObjectSpecifier = MakeFourCharCode("obj ");
constexpr DescType typeApplSignature = MakeFourCharCode("sign");
constexpr DescType typeProcessSerialNumber = MakeFourCharCode("psn ");
constexpr DescType typeEnumerated = MakeFourCharCode("enum");
constexpr DescType typeKeyword = MakeFourCharCode("keyw");
constexpr DescType typeBoolean = MakeFourCharCode("bool");
constexpr DescType typeSInt64 = MakeFourCharCode("comp");
constexpr DescType typeUInt32 = MakeFourCharCode("magn");
constexpr DescType typeIEEE64BitFloatingPoint = MakeFourCharCode("doub");

// Keys that the contextual-menu interface puts into its item records.
constexpr AEKeyword keyAEName = MakeFourCharCode("pnam");
constexpr AEKeyword keyContextualMenuCommandID = MakeFourCharCode("cmcd");
constexpr AEKeyword keyContextualMenuAttributes = MakeFourCharCode("cmat");
constexpr AEKeyword keyContextualMenuSubmenu = MakeFourCharCode("cmsb");
constexpr AEKeyword keyDirectObject = MakeFourCharCode("----");

constexpr OSErr errAECoercionFail = -1700;   // The data cannot be made the asked type.
constexpr OSErr errAEDescNotFound = -1701;   // No item with that key.
constexpr OSErr errAENotAEDesc = -1704;      // No descriptor was given.
constexpr OSErr errAEWrongDataType = -1703;  // The descriptor is not of the needed kind.
constexpr OSErr errAEBadListItem = -1705;    // No item at that index.

// How deep lists, records and events may nest: a list of scalars is 1 deep.
constexpr int kAEMaxNestingDepth = 64;

// One descriptor. Starts as the null descriptor.
class AEDesc final {
 public:
  AEDesc() noexcept = default;
  AEDesc(const AEDesc& other) = default;
  // Leaves `other` as the null descriptor.
  AEDesc(AEDesc&& other) noexcept;
  AEDesc& operator=(const AEDesc& other) = default;
  // Leaves `other` as the null descriptor.
  AEDesc& operator=(AEDesc&& other) noexcept;
  ~AEDesc() = default;

  // The descriptor's type code.
  DescType descriptorType() const noexcept { return type_; }

  // Same type, same shape, same bytes, and for lists, records and events the
  // same items (and keys, and attributes) in the same order.
  friend bool operator==(const AEDesc& a, const AEDesc& b);

 private:
  friend struct AEDescAccess;

  // What the descriptor holds. 'list' is always kList, 'reco' kRecord and
  // 'aevt' kEvent; any other type but 'null' may be kBytes or kRecord.
  enum class Form : std::uint8_t { kBytes, kList, kRecord, kEvent };

  DescType type_ = typeNull;
  Form form_ = Form::kBytes;
  std::string data_;              // The bytes of a kBytes descriptor.
  std::vector<AEKeyword> keys_;   // One key per item, except in a list.
  std::vector<AEDesc> items_;     // The items of a list or record, an event's parameters.
  std::vector<AEKeyword> attributeKeys_;  // An event's attribute keys.
  std::vector<AEDesc> attributes_;        // An event's attributes.
};

using AEDescList = AEDesc;
using AERecord = AEDesc;

// Sets `desc` to the null descriptor, freeing what it held.
void AEInitializeDescInplace(AEDesc* desc);

// Makes a descriptor of type `typeCode` holding a copy of the `dataSize`
// bytes at `dataPtr` (which may be null when dataSize is 0). For 'list',
// 'reco' and 'aevt' the bytes must be the data of such a descriptor as
// AEGetDescData gives it, and the descriptor is read back from them; any
// other type makes a plain byte string, even when its bytes would read as a
// record. Returns noErr; paramErr
// for a null dataPtr with a size, for 'null' with data, for malformed list or
// record data, or for more than 4 GiB of data. On failure `*result` is the
// null descriptor.
OSErr AECreateDesc(DescType typeCode, const void* dataPtr, std::size_t dataSize, AEDesc* result);

// Makes an empty list, or with `isRecord` an empty record. The factoring
// arguments are ignored. Returns noErr.
OSErr AECreateList(const void* factoringPtr, std::size_t factoredSize, bool isRecord,
                   AEDescList* resultList);

// Sets `desc` to the null descriptor. Returns noErr (errAENotAEDesc for null).
OSErr AEDisposeDesc(AEDesc* desc);

// Copies `source` into `result`. Returns noErr.
OSErr AEDuplicateDesc(const AEDesc* source, AEDesc* result);

// Sets `*count` to the number of items of a list or record. Fails with
// errAEWrongDataType for any other descriptor (`*count` is then 0).
OSErr AECountItems(const AEDescList* list, long* count);

// Puts a copy of `desc` into `list` at `index`: 0 or count + 1 appends it,
// 1 to count replaces that item. Fails with errAEWrongDataType when `list` is
// not a list (a record needs keys: use AEPutParamDesc), errAEBadListItem for
// any other index, paramErr when the list would nest deeper than
// kAEMaxNestingDepth. `desc` may be `list` itself.
OSErr AEPutDesc(AEDescList* list, long index, const AEDesc* desc);

// AEPutDesc with a descriptor made by AECreateDesc(typeCode, dataPtr,
// dataSize); fails as either.
OSErr AEPutPtr(AEDescList* list, long index, DescType typeCode, const void* dataPtr,
               std::size_t dataSize);

// Gets a copy of item `index` (from 1) of a list or record, coerced to
// `desiredType` as AECoerceDesc does ('****' takes it as it is). `keyword`,
// when not null, receives the item's key in a record and '****' in a list.
// Fails with errAEWrongDataType when `list` is neither, errAEBadListItem for
// an index outside 1 to count, errAECoercionFail when the item cannot be
// coerced; `*result` is then the null descriptor and `*keyword` untouched.
OSErr AEGetNthDesc(const AEDescList* list, long index, DescType desiredType, AEKeyword* keyword,
                   AEDesc* result);

// AEGetNthDesc into a buffer: copies at most `maximumSize` bytes of the
// (coerced) item's data to `dataPtr`; `typeCode` and `actualSize` (each may be
// null) receive its type and its full data size. Fails as AEGetNthDesc, and
// with paramErr for a null dataPtr with a maximumSize.
OSErr AEGetNthPtr(const AEDescList* list, long index, DescType desiredType, AEKeyword* keyword,
                  DescType* typeCode, void* dataPtr, std::size_t maximumSize,
                  std::size_t* actualSize);

// Puts a descriptor made by AECreateDesc(typeCode, dataPtr, dataSize) into
// `record` under `keyword`, replacing the item with that key in its place or
// else appending it. Fails with errAEWrongDataType when `record` is not a
// record, and as AECreateDesc; the record is unchanged on failure.
OSErr AEPutParamPtr(AERecord* record, AEKeyword keyword, DescType typeCode, const void* dataPtr,
                    std::size_t dataSize);

// Puts a copy of `desc` into `record` under `keyword`, as AEPutParamPtr does.
// Fails with errAEWrongDataType when `record` is not a record, paramErr when
// it would nest deeper than kAEMaxNestingDepth. `desc` may be `record` itself.
OSErr AEPutParamDesc(AERecord* record, AEKeyword keyword, const AEDesc* desc);

// Gets a copy of the item under `keyword`, coerced to `desiredType`. Fails
// with errAEWrongDataType when `record` is not a record, errAEDescNotFound
// when no item has that key, errAECoercionFail; `*result` is then the null
// descriptor.
OSErr AEGetParamDesc(const AERecord* record, AEKeyword keyword, DescType desiredType,
                     AEDesc* result);

// AEGetParamDesc into a buffer, as AEGetNthPtr does.
OSErr AEGetParamPtr(const AERecord* record, AEKeyword keyword, DescType desiredType,
                    DescType* typeCode, void* dataPtr, std::size_t maximumSize,
                    std::size_t* actualSize);

// Removes the item under `keyword`. Fails with errAEWrongDataType when
// `record` is not a record, errAEDescNotFound when no item has that key.
OSErr AEDeleteParam(AERecord* record, AEKeyword keyword);

// The size of the descriptor's data: its byte count, or for a list or record
// the size of its flattened items (a 4-byte count, then the items, in the
// form AEFlattenDesc writes), so that an empty list or record has a size of
// 4 and only descriptors that carry no bytes at all (the null descriptor, an
// empty text) have a size of 0; an event's data is its parameters as a
// record's, then its attributes the same way. 0 for a null pointer.
std::size_t AEGetDescDataSize(const AEDesc* desc);

// Copies min(maximumSize, AEGetDescDataSize(desc)) bytes of the descriptor's
// data (for a list or record, its flattened items) to `dataPtr`. Returns
// noErr; paramErr for a null dataPtr with a maximumSize.
OSErr AEGetDescData(const AEDesc* desc, void* dataPtr, std::size_t maximumSize);

// Makes a copy of `desc` as type `toType`. Coercions:
//   - to its own type or '****': a plain copy;
//   - 'alis' to 'fsrf': resolves the alias without any user interaction;
//     fails when the alias is malformed or its target no longer exists;
//   - 'fsrf' to 'alis': an alias of the referenced item, which must exist;
//   - 'shor' to 'long', and 'long' to 'shor' when the value fits;
//   - 'enum', 'type' and 'keyw' with 4 bytes of data among themselves;
//   - a record ('reco' or coerced) to 'reco', or to any type but 'list',
//     'aevt', 'null' and '****': the same keyed items under that type;
//   - a byte-string descriptor but 'null' to 'list': a list holding it as
//     its one item.
// An 'fsrf' descriptor whose data is not 80 bytes coerces only to '****'
// and 'list'. Fails with errAECoercionFail otherwise; `*result` is then the
// null descriptor. `result` may be `desc`.
OSErr AECoerceDesc(const AEDesc* desc, DescType toType, AEDesc* result);

// The flattened form of `desc`. A tree of lists, 'reco' records and byte
// strings is written in the first form:
//   "AEF1", then the descriptor:
//   descriptor := type (4 bytes) body
//   body of 'list' := count (4 bytes), then `count` descriptors
//   body of 'reco' := count (4 bytes), then `count` times key (4 bytes) and descriptor
//   body of any other type := length (4 bytes), then `length` data bytes
// A tree that holds an event or a coerced record is written in the second,
// where a form byte after each type tells the body:
//   "AEF2", then the descriptor:
//   descriptor := type (4 bytes) form (1 byte) body
//   form 0, bytes: length (4 bytes), then `length` data bytes
//   form 1, list ('list' only): count (4 bytes), then `count` descriptors
//   form 2, record (any type but 'list', 'aevt', 'null'): count (4 bytes),
//           then `count` times key (4 bytes) and descriptor
//   form 3, event ('aevt' only): the parameters as form 2, then the
//           attributes the same way
// Every number is big-endian. Returns "" only when memory runs out.
std::string AEFlattenDesc(const AEDesc& desc);

// Reads a flattened descriptor into `result`. Returns noErr, or paramErr, with
// `*result` set to the null descriptor, when the bytes are not exactly one
// flattened descriptor: a bad prefix, a truncated item, a count or length
// larger than the bytes left, nesting deeper than kAEMaxNestingDepth (an
// event or coerced record is a level as a list is), a repeated key in a
// record or among an event's parameters or attributes, a 'null' descriptor
// with data, a form that does not fit its type, an 'aevt' in the first form,
// or bytes after the end. Memory for a count of items is reserved only after the bytes left
// have been found long enough to hold that many.
OSErr AEUnflattenDesc(std::string_view bytes, AEDesc* result);

// AEUnflattenDesc that also refuses bytes holding more than `maxDescriptors`
// descriptors, counting every list, record and event and each of their
// items. A count of items over what is left of that number is refused before
// memory is reserved for it.
OSErr AEUnflattenDesc(std::string_view bytes, std::size_t maxDescriptors, AEDesc* result);
