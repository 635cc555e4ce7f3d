// Apple events as descriptors, their build syntax and their printed form.
//
// An Apple event is a descriptor of type 'aevt' (appleevents.h) that holds a
// record of parameters and, beside it, a record of attributes. The record
// calls (AEPutParamPtr, AEPutParamDesc, AEGetParamDesc, AEGetParamPtr,
// AEDeleteParam, AECountItems, AEGetNthDesc) reach the parameters only; the
// attribute calls below reach the attributes. An event flattens and
// unflattens with AEFlattenDesc and AEUnflattenDesc like any descriptor.
//
// The build syntax, read by AEBuildDesc and AEBuildAppleEvent and written by
// AEPrintDescToHandle. Blanks (space, tab, CR, LF) may stand between tokens.
//   code      a four-character code, quoted: 'obj ', '----', 'a\'b\\' or
//             '\x00\xFFab' (\' and \\ escape a quote and a backslash, \xHH
//             stands for one byte); a quoted code of 1 to 3 bytes is padded
//             with blanks. Unquoted: a letter or '_' followed by letters,
//             digits or '_', at most 4 in all, padded with blanks (obj is
//             'obj ').
//   value     one of:
//     integer    -?[0-9]+, a 'long'; it must fit 32 bits.
//     real       an integer with a fraction or exponent (1.5, -2e3), a 'doub'.
//     text       "..." or “...” (typographic quotes), a 'utxt' of the text's
//                UTF-16 code units; the source is UTF-8. \" \\ \n \r \t and
//                \xHH (the character U+00HH) are the escapes; inside “...”
//                an ASCII " is plain text and ” ends the text.
//     code       a bare code, an 'enum' holding the code.
//     record     { key: value, ... }, a 'reco'; keys are codes and unique.
//     list       [ value, ... ], a 'list'.
//     cast       code ( argument ): a value of the type that `code` names:
//                  T()           T with no data ('null'() is the null descriptor);
//                  T(integer)    'long', 'shor', 'comp' (64 bits), 'magn' (32 bits,
//                                unsigned), 'doub', or 'bool' (0 or 1, one byte);
//                                the integer must fit;
//                  T(real)       'doub' only;
//                  T(text)       'utxt', or 'TEXT' for the text's UTF-8 bytes;
//                  T(code)       any T: the code's 4 bytes as a 32-bit integer
//                                in host byte order (type('prop'), 'sign'('MACS'));
//                  T(hex)        any T: exactly these bytes; hex is $...$ or «...»
//                                with an even count of hexadecimal digits (blanks
//                                allowed between them) and may stand only in a cast;
//                  T(record)     the record's items under type T ('reco' keeps it
//                                a plain record); also written T { ... }, as
//                                obj {want: type(prop)};
//                  T(list)       'list' only.
//                A cast names no 'aevt', never 'list' or 'reco' but for a list or
//                record, 'null' with data, and takes no cast as its argument.
// Lists, records and events nest at most kAEMaxNestingDepth levels, and the
// text is at most kAEBuildMaxSourceSize bytes long. The parser never recurses
// deeper than the nesting it allows.
//
// AEPrintDescToHandle writes every descriptor but an event so that
// AEBuildDesc reads it back to an equal descriptor: codes always quoted,
// 'long' and finite 'doub' bare, 'utxt' and 'TEXT' as text when they are
// valid UTF-16 and UTF-8, 'shor', 'comp', 'magn', 'bool', 'type', 'keyw' and
// 'sign' as casts of numbers and codes, anything else as a cast of $hex$;
// items separated by ", ". An event prints as its class and id, then its
// parameters and its other attributes (each key after a '&') in braces, in
// the order they were put:
//   'core'\'getd'{'----':'obj '{'want':'type'('prop'), ...}, &'addr':'sign'('MACS'), ...}
// That form is for reading only; AEBuildDesc does not take it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/MacTypes.h"
#include "platform/appleevents/appleevents.h"

using AEEventClass = std::uint32_t;
using AEEventID = std::uint32_t;
using AEReturnID = std::int16_t;
using AETransactionID = std::int32_t;
using AppleEvent = AEDesc;
using AEAddressDesc = AEDesc;

// Attribute keys that AECreateAppleEvent fills in: the class and id ('type'),
// the address (as the caller gave it), the return id ('shor') and the
// transaction id ('long').
constexpr AEKeyword keyEventClassAttr = MakeFourCharCode("evcl");
constexpr AEKeyword keyEventIDAttr = MakeFourCharCode("evid");
constexpr AEKeyword keyAddressAttr = MakeFourCharCode("addr");
constexpr AEKeyword keyReturnIDAttr = MakeFourCharCode("rtid");
constexpr AEKeyword keyTransactionIDAttr = MakeFourCharCode("tran");

// Parameter keys of replies and of object specifiers.
constexpr AEKeyword keyErrorNumber = MakeFourCharCode("errn");
constexpr AEKeyword keyErrorString = MakeFourCharCode("errs");
constexpr AEKeyword keyAERequestedType = MakeFourCharCode("rtyp");
constexpr AEKeyword keyAEDesiredClass = MakeFourCharCode("want");
constexpr AEKeyword keyAEContainer = MakeFourCharCode("from");
constexpr AEKeyword keyAEKeyForm = MakeFourCharCode("form");
constexpr AEKeyword keyAEKeyData = MakeFourCharCode("seld");

// Asks AECreateAppleEvent for a return id of its own making.
constexpr AEReturnID kAutoGenerateReturnID = -1;
constexpr AETransactionID kAnyTransactionID = 0;

// The build text could not be read; AEBuildError tells where and why.
constexpr OSErr errAEBuildSyntaxError = -1740;

// The longest text that AEBuildDesc and AEBuildAppleEvent read.
constexpr std::size_t kAEBuildMaxSourceSize = std::size_t{1} << 20;

// Why a build text was refused, in AEBuildError::fError.
enum AEBuildErrorCode : std::uint32_t {
  kAEBuildNoError = 0,
  kAEBuildBadToken,         // A character that cannot start or continue what stands there.
  kAEBuildUnexpectedEnd,    // The text ends inside a value.
  kAEBuildTrailingText,     // More text after the complete value.
  kAEBuildBadCode,          // A code that is empty, longer than 4 bytes, or badly escaped.
  kAEBuildBadNumber,        // A number that is malformed or does not fit its type.
  kAEBuildBadText,          // A text with a bad escape or invalid UTF-8, or unterminated.
  kAEBuildBadHex,           // Hex data with a bad digit, an odd count, or unterminated.
  kAEBuildUncastHex,        // Hex data that stands outside a cast.
  kAEBuildBadCast,          // A cast that the table in this header does not allow.
  kAEBuildMissingColon,     // A record key without ':'.
  kAEBuildMissingClose,     // A list, record or cast without its closing bracket.
  kAEBuildDuplicateKey,     // A key used twice in one record or parameter list.
  kAEBuildTooDeep,          // Nesting deeper than kAEMaxNestingDepth.
  kAEBuildTooLong,          // A text longer than kAEBuildMaxSourceSize.
};

// Where and why a build text was refused: the reason (AEBuildErrorCode) and
// the byte offset, from 0, at which the parser stopped.
struct AEBuildError {
  std::uint32_t fError;
  std::uint32_t fErrorPos;
};

// Makes an event of class `theClass` and id `theID` with no parameters and
// the attributes 'evcl', 'evid', 'addr' (a copy of `*target`; left out when
// `target` is null or the null descriptor), 'rtid' and 'tran'. A `returnID`
// of kAutoGenerateReturnID is replaced by a number that no other event of
// this process got, from 1 to 32767 until the numbers wrap around. Returns
// noErr; paramErr for a null `result` or a `target` that is a list, record
// or event.
OSErr AECreateAppleEvent(AEEventClass theClass, AEEventID theID, const AEAddressDesc* target,
                         AEReturnID returnID, AETransactionID transactionID,
                         AppleEvent* result);

// Gets a copy of the attribute `keyword` of `theAppleEvent`, coerced to
// `desiredType` as AECoerceDesc does. Fails with errAEWrongDataType when the
// descriptor is not an event, errAEDescNotFound when it has no such
// attribute, errAECoercionFail; `*result` is then the null descriptor.
OSErr AEGetAttributeDesc(const AppleEvent* theAppleEvent, AEKeyword keyword,
                         DescType desiredType, AEDesc* result);

// AEGetAttributeDesc into a buffer, as AEGetParamPtr does.
OSErr AEGetAttributePtr(const AppleEvent* theAppleEvent, AEKeyword keyword,
                        DescType desiredType, DescType* typeCode, void* dataPtr,
                        std::size_t maximumSize, std::size_t* actualSize);

// Puts a descriptor made by AECreateDesc(typeCode, dataPtr, dataSize) as the
// attribute `keyword`, replacing one with that key in its place or else
// appending it. Fails with errAEWrongDataType when the descriptor is not an
// event, and as AECreateDesc; the event is unchanged on failure.
OSErr AEPutAttributePtr(AppleEvent* theAppleEvent, AEKeyword keyword, DescType typeCode,
                        const void* dataPtr, std::size_t dataSize);

// Puts a copy of `desc` as the attribute `keyword`, as AEPutAttributePtr
// does; paramErr when the event would nest deeper than kAEMaxNestingDepth.
OSErr AEPutAttributeDesc(AppleEvent* theAppleEvent, AEKeyword keyword, const AEDesc* desc);

// Reads one value of the build syntax (see the top of this header) from
// `src` into `*dst`. Returns noErr; errAEBuildSyntaxError with `*error`
// filled (when `error` is not null) for text that is not exactly one value;
// paramErr for a null `dst`; memFullErr. On failure `*dst` is the null
// descriptor.
OSErr AEBuildDesc(AEDesc* dst, AEBuildError* error, std::string_view src);

// Makes an event as AECreateAppleEvent does, addressed to a descriptor made
// by AECreateDesc(addressType, addressData, addressLength), whose parameters
// `paramsFmt` gives as "key: value, key: value" (no braces; blank text for
// none), for example
//   "'----':obj {want:type('prop'),from:'null'(),form:'prop',seld:type('sele')}".
// The text is taken as it stands: there are no printf-style substitutions.
// Returns noErr; errAEBuildSyntaxError with `*error` filled (when `error` is
// not null) for text that the syntax does not allow, a repeated key, or
// parameters nested deeper than an event may hold; the failure of
// AECreateDesc for the address; paramErr for a null `result`. On failure
// `*result` is the null descriptor.
OSErr AEBuildAppleEvent(AEEventClass theClass, AEEventID theID, DescType addressType,
                        const void* addressData, std::size_t addressLength, AEReturnID returnID,
                        AETransactionID transactionID, AppleEvent* result, AEBuildError* error,
                        std::string_view paramsFmt);

// Replaces `*text` with `desc` in the build syntax (see the top of this
// header). Returns noErr; errAENotAEDesc for a null `desc`, paramErr for a
// null `text`, memFullErr (`*text` is then empty).
OSErr AEPrintDescToHandle(const AEDesc* desc, std::string* text);
