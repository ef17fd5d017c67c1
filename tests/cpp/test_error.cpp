#include <gtest/gtest.h>

#include "common/error.hpp"
#include "common/fault.hpp"

namespace vicinor {
namespace {

TEST(ErrorRender, MessageAloneHasNoCausedBySection) {
    EXPECT_EQ(Error("missing first line in CSV").render(), "missing first line in CSV");
}

TEST(ErrorRender, SingleCauseIsIndentedByFourSpaces) {
    Error io("failed to fill whole buffer");
    Error e("IO error while reading marker: failed to fill whole buffer", io);
    EXPECT_EQ(e.render(),
              "IO error while reading marker: failed to fill whole buffer\n\nCaused by:\n"
              "    failed to fill whole buffer");
}

TEST(ErrorRender, SeveralCausesAreNumberedInAFieldOfFive) {
    Error os("No space left on device (os error 28)");
    Error inner("error while writing multi-byte MessagePack value", os);
    Error outer("invalid value write: error while writing multi-byte MessagePack value", inner);
    ASSERT_EQ(outer.causes().size(), 2u);
    EXPECT_EQ(outer.render(),
              "invalid value write: error while writing multi-byte MessagePack value\n\n"
              "Caused by:\n"
              "    0: error while writing multi-byte MessagePack value\n"
              "    1: No space left on device (os error 28)");
}

TEST(ErrorRender, ContinuationLinesOfCausesAreIndented) {
    Error single("top", Error("first\nsecond"));
    EXPECT_EQ(single.render(), "top\n\nCaused by:\n    first\n    second");

    Error both("top", Error("a\nb", Error("c")));
    EXPECT_EQ(both.render(), "top\n\nCaused by:\n    0: a\n       b\n    1: c");
}

TEST(ErrorRender, TwoDigitCauseNumbersStayRightAligned) {
    Error e("leaf");
    for (int i = 0; i < 11; ++i) e = Error("level" + std::to_string(i), e);
    std::string text = e.render();
    EXPECT_NE(text.find("\n   10: leaf"), std::string::npos) << text;
    EXPECT_NE(text.find("\n    0: level9"), std::string::npos) << text;
}

TEST(ResultType, CarriesValueOrError) {
    Result<int> good(7);
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(good.value(), 7);
    Result<int> bad(Error("nope"));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message(), "nope");
    Status fine;
    EXPECT_TRUE(fine.ok());
    Status failed(Error("x"));
    EXPECT_FALSE(failed.ok());
}

TEST(InternalFaultTest, RaiseThrowsWithTheMessage) {
    try {
        raise_fault("mid > len");
        FAIL() << "raise_fault returned";
    } catch (const InternalFault& fault) {
        EXPECT_EQ(fault.message(), "mid > len");
        EXPECT_STREQ(fault.what(), "mid > len");
    }
}

}  // namespace
}  // namespace vicinor
