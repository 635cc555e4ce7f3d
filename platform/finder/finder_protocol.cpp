#include "platform/finder/finder_protocol.h"

AEDesc MakeObjectSpecifier(DescType want, DescType form, const AEDesc& seld) {
  AERecord record;
  AECreateList(nullptr, 0, true, &record);
  const AEDesc application;
  AEPutParamPtr(&record, keyAEDesiredClass, typeType, &want, sizeof want);
  AEPutParamDesc(&record, keyAEContainer, &application);
  AEPutParamPtr(&record, keyAEKeyForm, typeEnumerated, &form, sizeof form);
  AEPutParamDesc(&record, keyAEKeyData, &seld);
  AEDesc specifier;
  AECoerceDesc(&record, typeObjectSpecifier, &specifier);
  return specifier;
}

AEDesc FinderSelectionSpecifier() {
  AEDesc seld;
  AECreateDesc(typeType, &pSelection, sizeof pSelection, &seld);
  return MakeObjectSpecifier(cProperty, formPropertyID, seld);
}

AEDesc FinderItemSpecifier(const std::string& path) {
  AEDesc seld;
  AECreateDesc(typeUTF8, path.data(), path.size(), &seld);
  return MakeObjectSpecifier(cObject, formName, seld);
}
