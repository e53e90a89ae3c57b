#include <gtest/gtest.h>

#include "kestrel/regex_error.h"

namespace {

TEST(RegexError, TextCarriesPositionAndMessage) {
    kestrel::regex_error e("nothing to repeat", 3);
    EXPECT_STREQ(e.what(), "regex_error at 3: nothing to repeat");
    EXPECT_EQ(e.message(), "nothing to repeat");
    EXPECT_EQ(e.position(), 3);
}

TEST(RegexError, CopyOwnsItsStrings) {
    auto make = [] { return kestrel::regex_error(std::string("missing ") + "flag", 12); };
    kestrel::regex_error copy = make();
    kestrel::regex_error again(copy);
    EXPECT_STREQ(again.what(), "regex_error at 12: missing flag");
    EXPECT_EQ(again.position(), 12);
}

}  // namespace
