// The worksheet's cell map: canonical keys packed, other texts kept whole, and the open-addressing
// index under insertion, erasure and re-keying.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/cell_map.hpp"

// Allocation can be made to fail after a count, to see the map survive memory exhaustion.
namespace {
long g_allocations_left = -1;  // -1: never fail
}

void* operator new(std::size_t n) {
    if (g_allocations_left == 0) throw std::bad_alloc();
    if (g_allocations_left > 0) --g_allocations_left;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

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

}  // namespace
}  // namespace velmo

namespace velmo {
namespace {

// Every operation of the map, in random order, against a std::map of key text -> number. Positions
// are few, so keys collide, come back after erasure and meet their non-canonical spellings.
class MapModel {
public:
    explicit MapModel(uint32_t seed) : rng_(seed) {}

    void run(int steps) {
        for (int step = 0; step < steps; ++step) {
            v_ = step;
            switch (rng_() % 16) {
            case 0: case 1: case 2: emplace_text(); break;
            case 3: emplace_pos(); break;
            case 4: case 5: put_in_order(); break;
            case 6: assign(); break;
            case 7: case 8: erase(); break;
            case 9: look_up(); break;
            case 10: if (rng_() % 40 == 0) rekey(); break;
            case 11: if (rng_() % 200 == 0) copy_or_move(); break;
            case 12: if (rng_() % 400 == 0) clear(); break;
            default: emplace_text(); break;
            }
            if (step % 997 == 0) check_all();
        }
        check_all();
    }

private:
    static Cell cell(double v) {
        Cell c;
        c.value = v;
        return c;
    }
    uint32_t row() { return rng_() % 40 + 1; }
    uint32_t col() { return rng_() % 10 == 0 ? 4294967295u - rng_() % 3 : rng_() % 12 + 1; }
    std::string key() {
        const uint32_t r = row(), c = col();
        std::string k = coords::rc_to_a1(r, c);
        switch (rng_() % 10) {
        case 0: k[0] = static_cast<char>(k[0] - 'A' + 'a'); break;
        case 1: k.insert(k.find_first_of("0123456789"), "0"); break;
        case 2: k.insert(k.find_first_of("0123456789"), "+"); break;
        case 3: k = "name" + std::to_string(rng_() % 30); break;
        default: break;
        }
        return k;
    }
    void emplace_text() {
        const std::string k = key();
        const auto [c, inserted] = m_.try_emplace(k);
        ASSERT_EQ(inserted, !ref_.contains(k)) << k;
        if (!inserted) {
            ASSERT_EQ(number(c), ref_[k]) << k;
        }
        c->value = v_;
        ref_[k] = v_;
    }
    void emplace_pos() {
        const uint32_t r = row(), c = col();
        const std::string k = coords::rc_to_a1(r, c);
        const auto [found, inserted] = m_.try_emplace(r, c);
        ASSERT_EQ(inserted, !ref_.contains(k)) << k;
        found->value = v_;
        ref_[k] = v_;
    }
    // Runs of ascending positions, as a sheet being read gives them, now and then out of order.
    void put_in_order() {
        if (rng_() % 8 == 0 || next_col_ > 20) {
            next_row_ = rng_() % 8 == 0 ? row() : next_row_ + 1;
            next_col_ = 1;
        }
        const uint32_t r = next_row_, c = next_col_++;
        const std::string k = coords::rc_to_a1(r, c);
        const auto [stored, inserted] = m_.put_in_order(r, c, cell(v_));
        ASSERT_EQ(inserted, !ref_.contains(k)) << k;
        ASSERT_EQ(number(stored), v_);
        ref_[k] = v_;
    }
    void assign() {
        const std::string k = key();
        ASSERT_EQ(m_.insert_or_assign(k, cell(v_)).inserted, !ref_.contains(k)) << k;
        ref_[k] = v_;
    }
    void erase() {
        const std::string k = rng_() % 2 && !ref_.empty() ? std::next(ref_.begin(), rng_() % ref_.size())->first : key();
        ASSERT_EQ(m_.erase(k), ref_.erase(k) == 1) << k;
    }
    void look_up() {
        const std::string k = key();
        const auto it = ref_.find(k);
        ASSERT_EQ(number(std::as_const(m_).find(k)), it == ref_.end() ? -1.0 : it->second) << k;
        const uint32_t r = row(), c = col();
        const auto at = ref_.find(coords::rc_to_a1(r, c));
        ASSERT_EQ(number(m_.find(r, c)), at == ref_.end() ? -1.0 : at->second);
        check_any_key(r, c);
    }
    // find_any_key gives the canonical key's cell, else the cell of some key that parses to the
    // position, else nothing; and the same one each time.
    void check_any_key(uint32_t r, uint32_t c) {
        const Cell* got = m_.find_any_key(r, c);
        ASSERT_EQ(got, m_.find_any_key(r, c));
        if (const auto at = ref_.find(coords::rc_to_a1(r, c)); at != ref_.end()) {
            ASSERT_EQ(number(got), at->second);
            return;
        }
        std::vector<double> named;
        for (const auto& [k, v] : ref_)
            if (coords::parse_a1(k) == coords::CellPos{c, r}) named.push_back(v);
        if (named.empty()) {
            ASSERT_EQ(got, nullptr) << coords::rc_to_a1(r, c);
        } else {
            ASSERT_NE(std::find(named.begin(), named.end(), number(got)), named.end()) << coords::rc_to_a1(r, c);
        }
    }
    // Moves parsed keys down or right by a few, drops some, keeps the rest. Where two entries meet under
    // one key, one of their values survives.
    void rekey() {
        const uint32_t seed = rng_();
        auto decide = [seed](std::string_view k, std::optional<coords::CellPos> pos) {
            const size_t h = std::hash<std::string_view>{}(k) ^ seed;
            if (!pos || h % 5 == 0) return CellMap::Rekey::keep();
            if (h % 5 == 1) return CellMap::Rekey::drop();
            if (h % 5 == 2) return CellMap::Rekey::move({pos->col, pos->row});  // canonical spelling
            return CellMap::Rekey::move({pos->col, pos->row % 50 + 1});
        };
        std::map<std::string, std::vector<double>> next;
        for (const auto& [k, v] : ref_) {
            const CellMap::Rekey d = decide(k, coords::parse_a1(k));
            if (d.kind == CellMap::Rekey::Drop) continue;
            next[d.kind == CellMap::Rekey::Move ? coords::rc_to_a1(d.to.row, d.to.col) : k].push_back(v);
        }
        m_.rekey([&](const CellMap::Key& key) { return decide(key.text(), key.pos()); });
        ref_.clear();
        for (const auto& [k, vs] : next) {
            const double got = number(m_.find(k));
            ASSERT_NE(std::find(vs.begin(), vs.end(), got), vs.end()) << k;
            ref_[k] = got;
        }
    }
    void copy_or_move() {
        check_all();
        CellMap other = m_;
        if (rng_() % 2) {
            m_ = std::move(other);
        } else {
            CellMap third;
            third = other;
            m_.clear();
            m_ = std::move(third);
        }
    }
    void clear() {
        m_.clear();
        ref_.clear();
    }
    void check_all() {
        ASSERT_EQ(m_.size(), ref_.size());
        std::map<std::string, double> seen;
        for (const auto& [key, c] : m_) {
            const std::string text = key.str();
            EXPECT_EQ(key.canonical(), CellMap::canonical_key(text).has_value()) << text;
            EXPECT_EQ(key.pos(), coords::parse_a1(text)) << text;
            EXPECT_TRUE(seen.emplace(text, number(&c)).second) << "twice: " << text;
        }
        ASSERT_EQ(seen, ref_);
        size_t canonical = 0;
        m_.for_each_canonical([&](uint32_t r, uint32_t c, const Cell& cell) {
            ++canonical;
            const auto it = ref_.find(coords::rc_to_a1(r, c));
            ASSERT_NE(it, ref_.end());
            EXPECT_EQ(std::get<double>(cell.value), it->second);
        });
        EXPECT_EQ(canonical, size_t(std::count_if(ref_.begin(), ref_.end(), [](const auto& kv) {
                      return CellMap::canonical_key(kv.first).has_value();
                  })));
        for (const auto& [k, v] : ref_) {
            ASSERT_EQ(number(m_.find(k)), v) << k;
            if (const auto pos = coords::parse_a1(k)) check_any_key(pos->row, pos->col);
        }
    }

    std::mt19937 rng_;
    CellMap m_;
    std::map<std::string, double> ref_;
    double v_ = 0;
    uint32_t next_row_ = 1, next_col_ = 1;
};

TEST(CellMap, EveryOperationAgreesWithAReferenceMap) {
    for (uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        SCOPED_TRACE(seed);
        MapModel(seed).run(40000);
    }
}

}  // namespace
}  // namespace velmo

namespace velmo {
namespace {

// Memory running out inside any operation leaves a map that still holds what it held (or, for the
// operation that failed, one of the two states) and answers consistently: the binding lets a
// workbook be used again after a MemoryError.
TEST(CellMap, RunningOutOfMemoryLeavesAConsistentMap) {
    auto cell = [](double v) {
        Cell c;
        c.value = v;
        return c;
    };
    auto fill = [&](CellMap& m, bool in_order_only) {
        for (uint32_t r = 1; r <= 40; ++r)
            for (uint32_t c = 1; c <= 5; ++c) m.put_in_order(r, c, cell(r * 10 + c));
        if (in_order_only) return;
        m.try_emplace("note").cell->value = -1.0;
        m.try_emplace("b2").cell->value = -2.0;
    };
    auto consistent = [](const CellMap& m) {
        size_t n = 0;
        for (const auto& [key, c] : m) {
            ++n;
            ASSERT_TRUE(c.stylesheet) << key.str();
            ASSERT_EQ(m.find(key.text()), &c) << key.str();
            if (const auto p = key.pos(); p && !m.find(p->row, p->col)) {
                ASSERT_NE(const_cast<CellMap&>(m).find_any_key(p->row, p->col), nullptr) << key.str();
            }
        }
        ASSERT_EQ(n, m.size());
    };
    using Op = void (*)(CellMap&);
    const Op ops[] = {
        [](CellMap& m) { m.find(7, 3); },  // builds the index
        [](CellMap& m) {
            for (uint32_t r = 100; r > 50; --r) m.try_emplace(r, 2);
        },
        [](CellMap& m) {
            for (int i = 0; i < 30; ++i) m.try_emplace("t" + std::to_string(i));
        },
        [](CellMap& m) {
            m.find(1, 1);
            m.erase("note");
            m.erase("b2");
            m.erase("A1");
        },
        [](CellMap& m) {
            m.rekey([](const CellMap::Key& k) {
                const auto p = k.pos();
                if (!p) return CellMap::Rekey::drop();
                return CellMap::Rekey::move({p->col + 100, p->row});
            });
        },
        [](CellMap& m) {
            m.find_any_key(2, 2);  // builds the index of other spellings, then keeps it
            for (int i = 0; i < 30; ++i) m.try_emplace("c" + std::to_string(i + 1));
            m.erase("b2");
            m.find_any_key(2, 2);
        },
        [](CellMap& m) {
            CellMap other;
            other.try_emplace("x");
            for (uint32_t r = 1; r <= 300; ++r) other.try_emplace(r, 1);
            m = other;
        },
    };
    for (size_t op = 0; op < std::size(ops); ++op) {
        for (long budget = 0; budget < 400; ++budget) {
            CellMap m;
            fill(m, op == 0);
            bool failed = false;
            g_allocations_left = budget;
            try {
                ops[op](m);
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            g_allocations_left = -1;
            SCOPED_TRACE("operation " + std::to_string(op) + ", allocations " + std::to_string(budget));
            consistent(m);
            if (HasFatalFailure()) return;
            if (!failed) break;
        }
    }
}

}  // namespace
}  // namespace velmo
