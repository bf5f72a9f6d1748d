#include "model/text.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace velmo;

// Around the sizes that decide where a text lives and how it is tracked: copies (plain, or made
// while a workbook is read), moves and assignments keep the characters, and only a text held outside
// the object is shared by its copies. The sanitizer build catches a block freed twice or never.
TEST(Text, CopiesMovesAndSharing) {
    for (const size_t n : {size_t{0}, Text::kInline, Text::kInline + 1, Text::kLong, Text::kLong + 1}) {
        SCOPED_TRACE(n);
        std::string chars;
        for (size_t i = 0; i < n; ++i) chars += static_cast<char>('a' + i % 26);
        const bool outside = n > Text::kInline;

        const Text t(chars);
        EXPECT_EQ(t, chars);
        EXPECT_EQ(t.identity() != nullptr, outside);
        EXPECT_EQ(t.is_long(), n > Text::kLong);
        const Text copy = t, unpublished = t.copy_unpublished(), equal(chars);
        for (const Text* c : {&copy, &unpublished}) {
            EXPECT_EQ(*c, chars);
            EXPECT_EQ(c->same_characters(t), outside);
        }
        EXPECT_EQ(equal, t);
        EXPECT_FALSE(equal.same_characters(t));  // made on its own: equal, never the same characters

        Text moved = Text(copy);
        Text assigned("another text, long enough not to fit in the object");
        assigned = moved;
        moved = Text("short");
        EXPECT_EQ(assigned, chars);
        EXPECT_EQ(moved, "short");
        assigned = std::move(moved);
        EXPECT_EQ(assigned, "short");
        EXPECT_TRUE(moved.empty());  // NOLINT(bugprone-use-after-move): a moved-from text is empty
        EXPECT_EQ(t, chars);         // untouched by what its copies became
    }
}
