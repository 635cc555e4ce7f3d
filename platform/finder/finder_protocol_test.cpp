#include "platform/finder/finder_protocol.h"

#include <gtest/gtest.h>

namespace {

// The specifiers are the ones the build syntax names, as the Finder events
// write the selection's.
TEST(FinderProtocolTest, SpecifiersAreWhatTheBuildSyntaxNames) {
  const struct {
    AEDesc built;
    const char* text;
  } cases[] = {
      {FinderSelectionSpecifier(),
       "obj {want:type('prop'),from:'null'(),form:'prop',seld:type('sele')}"},
      {FinderItemSpecifier("/a"), "obj {want:type('cobj'),from:'null'(),form:'name',seld:'utf8'($2F61$)}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    AEDesc expected;
    ASSERT_EQ(AEBuildDesc(&expected, nullptr, c.text), noErr);
    EXPECT_EQ(c.built, expected);
  }
}

}  // namespace
