// The workbook lock shared by the Python objects: what poisons it and what a poisoned lock refuses.

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "python/workbook_lock.hpp"

namespace velmo::python {
namespace {

TEST(WorkbookLock, RunsTheSectionAndReturnsItsResult) {
    auto handle = make_handle(Workbook::make_new());
    auto title = handle->with([](Workbook& wb) { return wb.sheets.at(0).name; });
    ASSERT_TRUE(title.has_value());
    EXPECT_EQ(*title, "Sheet");
    auto done = handle->with([](Workbook& wb) { wb.sheets[0].name = "Renamed"; });
    EXPECT_TRUE(done.has_value());
    EXPECT_EQ(*handle->with([](Workbook& wb) { return wb.sheets[0].name; }), "Renamed");
    EXPECT_FALSE(handle->poisoned());
}

TEST(WorkbookLock, AnExceptionPoisonsItForGood) {
    auto handle = make_handle(Workbook::make_new());
    EXPECT_THROW(handle->with([](Workbook&) -> int { throw std::logic_error("broken invariant"); }),
                 std::logic_error);
    EXPECT_TRUE(handle->poisoned());
    bool ran = false;
    auto refused = handle->with([&](Workbook&) { ran = true; });
    EXPECT_FALSE(refused.has_value());
    EXPECT_FALSE(ran);
    // Still refused on every later call, and the mutex was released each time (no deadlock).
    EXPECT_FALSE(handle->with([](Workbook&) { return 1; }).has_value());
}

TEST(WorkbookLock, ModelRefusalOfRowZeroPoisonsWhenItEscapes) {
    auto handle = make_handle(Workbook::make_new());
    EXPECT_ANY_THROW(handle->with([](Workbook&) { return coords::rc_to_a1(0, 1); }));
    EXPECT_TRUE(handle->poisoned());
}

TEST(WorkbookLock, MemoryExhaustionDoesNotPoison) {
    auto handle = make_handle(Workbook::make_new());
    EXPECT_THROW(handle->with([](Workbook&) { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_FALSE(handle->poisoned());
    auto after = handle->with([](Workbook& wb) { return wb.sheets.size(); });
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(*after, 1u);
}

TEST(WorkbookLock, HandlesShareOneModel) {
    auto handle = make_handle(Workbook::make_new());
    WorkbookHandle clone = handle;
    (void)clone->with([](Workbook& wb) { wb.sheets[0].set_cell("A1", Value(1.0)); });
    auto seen = handle->with([](Workbook& wb) { return wb.sheets[0].find_cell("A1") != nullptr; });
    EXPECT_TRUE(*seen);
    EXPECT_THROW(clone->with([](Workbook&) -> int { throw std::runtime_error("x"); }), std::runtime_error);
    EXPECT_TRUE(handle->poisoned());
}

}  // namespace
}  // namespace velmo::python
