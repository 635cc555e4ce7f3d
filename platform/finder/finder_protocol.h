// The Finder's Apple-event protocol: who the Finder is, the events and
// parameters it takes, and the object specifiers that name its selection and
// its items.
#pragma once

#include <cstdint>
#include <string>

#include "platform/MacTypes.h"
#include "platform/appleevents/appleevent.h"
#include "platform/appleevents/appleevents.h"

// The Finder's creator signature and file type.
constexpr std::uint32_t kFinderCreatorType = MakeFourCharCode("MACS");
constexpr std::uint32_t kFinderFileType = MakeFourCharCode("FNDR");

// The events: 'core'/'getd' asks for an object, 'core'/'setd' changes one.
constexpr AEEventClass kAECoreSuite = MakeFourCharCode("core");
constexpr AEEventID kAEGetData = MakeFourCharCode("getd");
constexpr AEEventID kAESetData = MakeFourCharCode("setd");
// The new value of a 'setd'.
constexpr AEKeyword keyAEData = MakeFourCharCode("data");

// The classes, key forms and property that object specifiers use.
constexpr DescType cProperty = MakeFourCharCode("prop");
constexpr DescType cObject = MakeFourCharCode("cobj");
constexpr DescType formPropertyID = MakeFourCharCode("prop");
constexpr DescType formName = MakeFourCharCode("name");
constexpr DescType pSelection = MakeFourCharCode("sele");
// UTF-8 text: an item's path in its object specifier.
constexpr DescType typeUTF8 = MakeFourCharCode("utf8");

// What a 'setd' of the selection carries besides 'data': the type the
// Finder is to report its items as, or alone, the error number it is to
// answer selection requests with.
constexpr AEKeyword keyFinderSelectionKind = MakeFourCharCode("kfas");
constexpr AEKeyword keyFinderSelectionFailure = MakeFourCharCode("kfal");

// The object specifier {want:type(want), from:'null'(), form:form,
// seld:seld}: an object of the application itself; `seld` is put as it is.
AEDesc MakeObjectSpecifier(DescType want, DescType form, const AEDesc& seld);

// The Finder's selection: {want:type('prop'), from:'null'(), form:'prop',
// seld:type('sele')}.
AEDesc FinderSelectionSpecifier();

// The item at the absolute `path`: {want:type('cobj'), from:'null'(),
// form:'name', seld:'utf8'(path)}.
AEDesc FinderItemSpecifier(const std::string& path);
