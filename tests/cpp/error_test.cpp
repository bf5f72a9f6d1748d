#include "model/error.hpp"

#include <gtest/gtest.h>

namespace velmo {
namespace {

TEST(VelmoError, DisplayTextOfEveryVariant) {
    EXPECT_EQ(VelmoError::io("No such file or directory", 2).display(), "io: No such file or directory");
    EXPECT_EQ(VelmoError::zip("bad central directory").display(), "zip: bad central directory");
    EXPECT_EQ(VelmoError::xml("unexpected end of input").display(), "xml: unexpected end of input");
    EXPECT_EQ(VelmoError::invalid_format("sheet is broken").display(), "invalid xlsx format: sheet is broken");
    EXPECT_EQ(VelmoError::missing_part("xl/workbook.xml").display(), "missing part: xl/workbook.xml");
    EXPECT_EQ(VelmoError::missing_part("workbook relationship rId7").display(),
              "missing part: workbook relationship rId7");
    EXPECT_EQ(VelmoError::duplicate_table_name("Sales").display(), "duplicate table displayName: Sales");
    EXPECT_EQ(VelmoError::table_intersection("A1:C4").display(), "operation intersects table range: A1:C4");
    EXPECT_EQ(VelmoError::translate_unsupported().display(),
              "move_range with translate=true is not supported: formula translation is out of scope");
}

TEST(VelmoError, PayloadIsInsertedPlainly) {
    EXPECT_EQ(VelmoError::duplicate_table_name("a \"b\"\n").display(), "duplicate table displayName: a \"b\"\n");
    EXPECT_EQ(VelmoError::invalid_format("").display(), "invalid xlsx format: ");
}

TEST(VelmoError, KindsAndErrno) {
    const VelmoError e = VelmoError::io("denied", 13);
    EXPECT_EQ(e.kind, ErrorKind::Io);
    EXPECT_EQ(e.os_errno, 13);
    EXPECT_EQ(VelmoError::table_intersection("A1").kind, ErrorKind::TableIntersection);
    EXPECT_EQ(VelmoError::translate_unsupported().message, "");

    Result<int> r = fail(VelmoError::missing_part("x"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::MissingPart);
}

}  // namespace
}  // namespace velmo
