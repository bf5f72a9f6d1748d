#include "model/text.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace velmo;

// Around the size up to which a text is held inside the object, and well past it: copies, moves and
// assignments keep the characters, and only a long text is shared by its copies.
TEST(Text, CopiesMovesAndSharing) {
    for (const size_t n : {size_t{0}, size_t{1}, Text::kInline, Text::kInline + 1, Text::kLong, Text::kLong + 1,
                           size_t{1} << 16}) {
        SCOPED_TRACE(n);
        std::string chars;
        for (size_t i = 0; i < n; ++i) chars += static_cast<char>('a' + i % 26);
        const bool long_text = n > Text::kInline;

        const Text t(chars);
        EXPECT_EQ(t, chars);
        EXPECT_EQ(t.size(), n);
        EXPECT_EQ(t.empty(), n == 0);
        EXPECT_EQ(t.identity() != nullptr, long_text);
        EXPECT_EQ(t.is_long(), n > Text::kLong);

        Text copy = t;
        EXPECT_EQ(copy, t);
        EXPECT_EQ(copy.same_characters(t), long_text);
        EXPECT_EQ(copy.identity(), t.identity());
        const Text equal(chars);  // made on its own: equal, never the same characters
        EXPECT_EQ(equal, t);
        EXPECT_FALSE(equal.same_characters(t));

        const Text unpublished = t.copy_unpublished();
        EXPECT_EQ(unpublished, chars);
        EXPECT_EQ(unpublished.same_characters(t), long_text);

        Text moved = std::move(copy);
        EXPECT_EQ(moved, chars);
        EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved-from text is empty
        EXPECT_EQ(moved.identity(), t.identity());

        Text assigned("other text, long enough not to fit in the object");
        assigned = t;
        EXPECT_EQ(assigned, chars);
        assigned = assigned;
        EXPECT_EQ(assigned, chars);
        assigned = Text("short");
        EXPECT_EQ(assigned, "short");
        EXPECT_EQ(t, chars);  // the original is untouched by what its copies became
        EXPECT_NE(t, chars + "!");
    }
}

// Random copies, assignments and releases of texts against plain strings: every text keeps its
// characters however many others share them (the sanitizer build also catches a block freed twice
// or never).
TEST(Text, RandomSharingAgainstStrings) {
    for (unsigned seed = 0; seed < 20; ++seed) {
        std::mt19937 rng(seed);
        auto pick = [&](size_t hi) { return std::uniform_int_distribution<size_t>(0, hi)(rng); };
        std::vector<Text> texts(16);
        std::vector<std::string> expected(16);
        for (int step = 0; step < 2000; ++step) {
            const size_t i = pick(15), j = pick(15);
            switch (pick(5)) {
            case 0: {
                expected[i] = std::string(pick(3) == 0 ? pick(Text::kInline) : pick(200), static_cast<char>('a' + pick(25)));
                texts[i] = Text(expected[i]);
                break;
            }
            case 1:
                texts[i] = texts[j];
                expected[i] = expected[j];
                break;
            case 2:
                if (i == j) break;
                texts[i] = std::move(texts[j]);
                expected[i] = std::move(expected[j]);
                expected[j].clear();
                EXPECT_TRUE(texts[j].empty());
                break;
            case 3:
                texts[i].swap(texts[j]);
                expected[i].swap(expected[j]);
                break;
            case 4:
                texts[i] = texts[j].copy_unpublished();
                expected[i] = expected[j];
                break;
            default:
                texts.push_back(texts[j]);
                expected.push_back(expected[j]);
                texts.erase(texts.begin() + static_cast<std::ptrdiff_t>(i));
                expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(i));
            }
            ASSERT_EQ(texts[i], expected[i]) << "seed " << seed << " step " << step;
        }
        for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(texts[i], expected[i]) << "seed " << seed;
    }
}
