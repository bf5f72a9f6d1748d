// The worksheet's cell map: canonical keys packed, other texts kept whole, and the open-addressing
// index under insertion, erasure and re-keying.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "model/cell_map.hpp"

namespace velmo {
namespace {

double number(const Cell* c) { return c ? std::get<double>(c->value) : -1.0; }

std::map<std::string, double> contents(const CellMap& m) {
    std::map<std::string, double> out;
    for (const auto& [key, cell] : m) out[key.str()] = std::get<double>(cell.value);
    return out;
}

TEST(CellMap, CanonicalFormIsExact) {
    EXPECT_EQ(CellMap::canonical_key("A1"), CellMap::pack(1, 1));
    EXPECT_EQ(CellMap::canonical_key("XFD1048576"), CellMap::pack(1048576, 16384));
    EXPECT_EQ(CellMap::canonical_key("MWLQKWU4294967295"), CellMap::pack(4294967295u, 4294967295u));
    for (const char* other : {"", "a1", "A01", "A0", "A", "1", "$A$1", "A+1", "A1 ", "MWLQKWV1", "A4294967296", "Ä1"})
        EXPECT_FALSE(CellMap::canonical_key(other)) << other;
}

TEST(CellMap, KeysAreTheTextsAsGiven) {
    CellMap m;
    m.try_emplace("A1").cell->value = 1.0;
    m.try_emplace("a1").cell->value = 2.0;
    m.try_emplace("A01").cell->value = 3.0;
    m.try_emplace("").cell->value = 4.0;
    m.try_emplace(2, 3).cell->value = 5.0;  // C2
    EXPECT_FALSE(m.try_emplace("C2").inserted);
    EXPECT_EQ(m.size(), 5u);
    EXPECT_EQ(number(m.find("A1")), 1.0);
    EXPECT_EQ(number(m.find(1, 1)), 1.0);
    EXPECT_EQ(number(m.find("a1")), 2.0);
    EXPECT_EQ(number(m.find("A01")), 3.0);
    EXPECT_EQ(number(m.find("")), 4.0);
    EXPECT_EQ(number(m.find("C2")), 5.0);
    EXPECT_EQ(m.find("B1"), nullptr);
    EXPECT_EQ(m.find(0, 1), nullptr);  // row 0 names no cell, whatever texts are stored
    EXPECT_THROW(m.try_emplace(0, 1), std::invalid_argument);
    EXPECT_THROW(m.put_in_order(1, 0, Cell{}), std::invalid_argument);
    EXPECT_EQ(contents(m), (std::map<std::string, double>{{"A1", 1}, {"a1", 2}, {"A01", 3}, {"", 4}, {"C2", 5}}));

    for (const auto& [key, cell] : m) {
        if (key == "A1") {
            EXPECT_EQ(key.pos(), (coords::CellPos{1, 1}));
        } else if (key == "a1") {
            EXPECT_FALSE(key.canonical());
            EXPECT_EQ(key.pos(), (coords::CellPos{1, 1}));  // parses, though stored as text
        } else if (key == "") {
            EXPECT_FALSE(key.pos());
        }
    }
}

TEST(CellMap, InsertOrAssignReplaces) {
    CellMap m;
    Cell c;
    c.value = 1.0;
    EXPECT_TRUE(m.insert_or_assign("B2", c).inserted);
    c.value = 2.0;
    EXPECT_FALSE(m.insert_or_assign("B2", c).inserted);
    EXPECT_EQ(m.size(), 1u);
    EXPECT_EQ(number(m.find("B2")), 2.0);
}

// Random insertions and erasures of canonical and text keys, checked against a standard map: erasure
// shifts probe runs back, so any slip shows as a lost or phantom key.
TEST(CellMap, AgreesWithAReferenceMapUnderChurn) {
    std::mt19937 rng(7);
    CellMap m;
    std::unordered_map<std::string, double> ref;
    auto random_key = [&] {
        const uint32_t row = rng() % 300 + 1, col = rng() % 40 + 1;
        std::string k = coords::rc_to_a1(row, col);
        switch (rng() % 8) {
        case 0: k[0] = static_cast<char>(k[0] - 'A' + 'a'); break;  // lower-case: a text key
        case 1: k = "n" + std::to_string(rng() % 200); break;
        default: break;
        }
        return k;
    };
    for (int step = 0; step < 60000; ++step) {
        const std::string k = random_key();
        if (rng() % 3 == 0) {
            EXPECT_EQ(m.erase(k), ref.erase(k) == 1) << k;
        } else {
            const double v = step;
            m.try_emplace(k).cell->value = v;
            ref[k] = v;
        }
        if (step % 5000 == 0) {
            ASSERT_EQ(m.size(), ref.size());
        }
    }
    ASSERT_EQ(m.size(), ref.size());
    for (const auto& [k, v] : ref) {
        EXPECT_EQ(number(m.find(k)), v) << k;
    }
    EXPECT_EQ(contents(m), (std::map<std::string, double>(ref.begin(), ref.end())));
    for (const auto& [k, v] : ref) {
        EXPECT_TRUE(m.erase(k));
    }
    EXPECT_TRUE(m.empty());
    EXPECT_EQ(m.find("A1"), nullptr);
}

// Cells put in order skip the index until something needs it; anything out of order, a repeat or a
// text key falls back to the indexed path, and the map behaves the same either way.
TEST(CellMap, CellsPutInOrderAreIndexedWhenNeeded) {
    auto cell = [](double v) {
        Cell c;
        c.value = v;
        return c;
    };
    CellMap m;
    for (uint32_t r = 1; r <= 500; ++r)
        for (uint32_t c = 1; c <= 3; ++c) EXPECT_TRUE(m.put_in_order(r, c, cell(r * 10 + c)).inserted);
    EXPECT_EQ(m.size(), 1500u);
    const CellMap& view = m;
    EXPECT_EQ(number(view.find(250, 2)), 2502.0);  // a const look-up builds the index
    EXPECT_EQ(view.find(501, 1), nullptr);

    CellMap again;
    again.put_in_order(1, 1, cell(1));
    again.put_in_order(2, 1, cell(2));
    EXPECT_FALSE(again.put_in_order(1, 1, cell(3)).inserted);  // a repeat replaces
    EXPECT_TRUE(again.put_in_order(1, 2, cell(4)).inserted);   // out of order
    again.put_in_order(3, 1, cell(5));                        // the index now follows every insertion
    again.try_emplace("note").cell->value = 6.0;
    again.put_in_order(4, 1, cell(7));
    EXPECT_EQ(contents(again), (std::map<std::string, double>{{"A1", 3}, {"A2", 2}, {"B1", 4}, {"A3", 5}, {"note", 6}, {"A4", 7}}));
    EXPECT_TRUE(again.erase("A2"));
    EXPECT_EQ(number(again.find("A4")), 7.0);

    CellMap pending;  // copied and erased from before any look-up
    pending.put_in_order(1, 1, cell(1));
    pending.put_in_order(1, 2, cell(2));
    CellMap copy = pending;
    EXPECT_EQ(number(copy.find("B1")), 2.0);
    EXPECT_TRUE(pending.erase("A1"));
    EXPECT_EQ(contents(pending), (std::map<std::string, double>{{"B1", 2}}));
    pending.clear();
    pending.put_in_order(5, 5, cell(9));
    EXPECT_EQ(number(pending.find("E5")), 9.0);
    EXPECT_EQ(pending.find("A1"), nullptr);
}

TEST(CellMap, RekeyMovesDropsAndKeeps) {
    CellMap m;
    m.try_emplace("A1").cell->value = 1.0;
    m.try_emplace("b2").cell->value = 2.0;
    m.try_emplace("C3").cell->value = 3.0;
    m.try_emplace("note").cell->value = 4.0;
    m.rekey([](const CellMap::Key& key) {
        if (key == "A1") return CellMap::Rekey::drop();
        if (auto p = key.pos()) return CellMap::Rekey::move({p->col, p->row + 10});
        return CellMap::Rekey::keep();
    });
    EXPECT_EQ(contents(m), (std::map<std::string, double>{{"B12", 2}, {"C13", 3}, {"note", 4}}));
    EXPECT_EQ(m.find("b2"), nullptr);  // the text key went with the move

    // Two entries sent to one key: one survives, and the map stays consistent.
    m.rekey([](const CellMap::Key& key) {
        return key.pos() ? CellMap::Rekey::move({1, 1}) : CellMap::Rekey::keep();
    });
    EXPECT_EQ(m.size(), 2u);
    EXPECT_NE(m.find("A1"), nullptr);
    EXPECT_EQ(number(m.find("note")), 4.0);
    m.try_emplace("note2").cell->value = 5.0;  // released texts are reused without confusion
    EXPECT_EQ(number(m.find("note")), 4.0);
    EXPECT_EQ(number(m.find("note2")), 5.0);
}

TEST(CellMap, CopiesAreIndependentAndGrowthKeepsEverything) {
    CellMap m;
    m.reserve(3);
    for (uint32_t r = 1; r <= 20000; ++r) m.try_emplace(r, r % 7 + 1).cell->value = double(r);
    m.try_emplace("x").cell->value = -1.0;
    CellMap copy = m;
    m.erase("x");
    m.try_emplace(1, 1).cell->value = 99.0;
    EXPECT_EQ(copy.size(), 20001u);
    EXPECT_EQ(number(copy.find("x")), -1.0);
    EXPECT_EQ(number(copy.find(20000, 20000 % 7 + 1)), 20000.0);
    for (uint32_t r = 2; r <= 20000; r += 997) {
        EXPECT_EQ(number(m.find(r, r % 7 + 1)), double(r));
    }
    m.clear();
    EXPECT_TRUE(m.empty());
    EXPECT_EQ(m.find(5, 6), nullptr);
    EXPECT_TRUE(m.try_emplace("A1").inserted);

    // Moved from, a map is empty and takes cells again by either road.
    CellMap taken = std::move(copy);
    EXPECT_EQ(taken.size(), 20001u);
    EXPECT_TRUE(copy.empty());
    EXPECT_EQ(copy.find("x"), nullptr);
    copy.put_in_order(1, 1, Cell{});
    EXPECT_TRUE(copy.try_emplace("B1").inserted);
    EXPECT_EQ(copy.size(), 2u);
}

// A map of many megabytes, grown and copied.
TEST(CellMap, LargeMapsKeepEveryCellAcrossGrowth) {
    CellMap m;
    for (uint32_t r = 1; r <= 120000; ++r) m.put_in_order(r, 1, Cell{}).cell->value = double(r);
    CellMap copy = m;
    for (uint32_t r = 1; r <= 120000; r += 4999) {
        EXPECT_EQ(number(m.find(r, 1)), double(r));
        EXPECT_EQ(number(copy.find(r, 1)), double(r));
    }
    m.clear();
    EXPECT_TRUE(m.empty());
}

}  // namespace
}  // namespace velmo
