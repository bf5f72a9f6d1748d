#pragma once
// The cells of one worksheet, keyed by their coordinate text exactly as given.
//
// A key in canonical A1 form ("B7": upper-case letters, a row without leading zeros, both within u32)
// is stored as its packed position, 8 bytes; any other text ("b7", "A07", "Total") is kept whole in a
// side list and its entry refers to it. The entries sit densely in one vector and an open-addressing
// index (one control byte and one 32-bit entry number per slot, linear probing) finds them, so a plain
// cell costs its entry and about ten bytes of index, and loading a sheet allocates nothing per cell.
//
// Cells that arrive in ascending (row, column) order into a map holding only such cells (a sheet part
// being read, rows being appended) are appended without touching the index, which is built in one pass
// when a look-up first needs it. So a const look-up may build the index: like every other use, it needs
// the map to be used by one thread at a time.
//
// Inserting or erasing may move entries: a pointer or reference to a cell stays valid only until the
// next insertion or erase. Iteration order is unspecified (it is insertion order until an erase).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/cell.hpp"
#include "model/coords.hpp"

namespace velmo {

class CellMap {
    struct Entry {
        uint64_t key;  // packed (row << 32 | col) with row >= 1, or row 0 and col = index into texts_
        Cell cell;
    };

public:
    // The key of one entry as seen while iterating. Converts to text; a canonical key is rendered into
    // the object itself on first use, so the text lives as long as this object.
    class Key {
    public:
        std::string_view text() const;
        operator std::string_view() const { return text(); }
        operator std::string() const { return std::string(text()); }
        std::string str() const { return std::string(text()); }
        // The position the key names: direct for a canonical key, parse_a1 of the text otherwise.
        std::optional<coords::CellPos> pos() const {
            if (!text_) return coords::CellPos{static_cast<uint32_t>(packed_), static_cast<uint32_t>(packed_ >> 32)};
            return coords::parse_a1(*text_);
        }
        // True when the key is the canonical A1 text of a position.
        bool canonical() const { return (packed_ >> 32) != 0; }

        friend bool operator==(const Key& a, std::string_view b) { return a.text() == b; }
        friend auto operator<=>(const Key& a, std::string_view b) { return a.text() <=> b; }
        template <class Os>
        friend auto& operator<<(Os& os, const Key& k)
            requires requires { os << std::string_view(); }
        {
            return os << k.text();
        }

    private:
        friend class CellMap;
        Key(uint64_t packed, const std::string* text) : packed_(packed), text_(text) {}
        uint64_t packed_;
        const std::string* text_;  // the text of a non-canonical key
        mutable uint8_t len_ = 0;  // rendered length, 0 until rendered
        mutable char buf_[18];
    };

    template <class C>
    struct Item {
        Key key;
        C& cell;
    };

    template <bool Const>
    class Iter {
        using Map = std::conditional_t<Const, const CellMap, CellMap>;
        using C = std::conditional_t<Const, const Cell, Cell>;

    public:
        Iter() = default;
        Iter(Map* map, size_t i) : map_(map), i_(i) {}
        Item<C> operator*() const {
            auto& e = map_->entries_[i_];
            return Item<C>{map_->key_of(e.key), e.cell};
        }
        Iter& operator++() {
            ++i_;
            return *this;
        }
        bool operator==(const Iter& o) const { return i_ == o.i_; }

    private:
        Map* map_ = nullptr;
        size_t i_ = 0;
    };
    using iterator = Iter<false>;
    using const_iterator = Iter<true>;

    CellMap() = default;
    // A map moved from is left empty and usable.
    CellMap(CellMap&& o) noexcept { *this = std::move(o); }
    CellMap& operator=(CellMap&& o) noexcept;
    CellMap(const CellMap& o) { *this = o; }
    CellMap& operator=(const CellMap& o);

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    void reserve(size_t n);
    void clear();

    iterator begin() { return {this, 0}; }
    iterator end() { return {this, entries_.size()}; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, entries_.size()}; }

    Cell* find(std::string_view key);
    const Cell* find(std::string_view key) const { return const_cast<CellMap*>(this)->find(key); }
    // The cell under the canonical key of (row, col); both must be >= 1.
    Cell* find(uint32_t row, uint32_t col) { return row && col ? find_packed(pack(row, col)) : nullptr; }
    const Cell* find(uint32_t row, uint32_t col) const { return const_cast<CellMap*>(this)->find(row, col); }
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // The cell at (row, col), both >= 1, under its canonical key or else under any other key that
    // names it ("b7", "B07"; of several, the same one every time). The second look goes through an index
    // of the keys not in canonical form by position, built on first use and kept from then on.
    Cell* find_any_key(uint32_t row, uint32_t col);

    // The cell under `key`, default-constructed when absent; `inserted` tells which.
    struct Emplaced {
        Cell* cell;
        bool inserted;
    };
    Emplaced try_emplace(std::string_view key);
    Emplaced try_emplace(uint32_t row, uint32_t col);
    // Stores `cell` under the canonical key of (row, col), replacing a cell already there; cheapest when
    // cells come in ascending (row, col) order.
    // Taken by reference: the reader stores a million cells this way, each moved only once.
    Emplaced put_in_order(uint32_t row, uint32_t col, Cell&& cell);
    // Stores `cell` under `key`, replacing a cell already there.
    Emplaced insert_or_assign(std::string_view key, Cell cell);
    bool erase(std::string_view key);

    // Calls f(row, col, cell) for every cell stored under a canonical key, in storage order.
    template <class F>
    void for_each_canonical(F&& f) const {
        for (const Entry& e : entries_) {
            const auto row = static_cast<uint32_t>(e.key >> 32);
            if (row != 0) f(row, static_cast<uint32_t>(e.key), e.cell);
        }
    }

    // What rekey does with one entry.
    struct Rekey {
        enum Kind : uint8_t { Keep, Drop, Move } kind = Keep;
        coords::CellPos to{};  // for Move: the new position, stored under its canonical key
        static Rekey keep() { return {}; }
        static Rekey drop() { return {Drop, {}}; }
        static Rekey move(coords::CellPos p) { return {Move, p}; }
    };
    // Applies decide(const Key&) -> Rekey, or decide(const Key&, Cell&) when it takes the cell too, to
    // every entry in one pass and rebuilds the index. Callers make sure no two entries end under one key;
    // should they, one of them (unspecified which) is kept.
    template <class F>
    void rekey(F&& decide) {
        prepare_rekey();  // nothing below allocates
        size_t w = 0;
        for (size_t i = 0; i < entries_.size(); ++i) {
            Entry& e = entries_[i];
            const Key key = key_of(e.key);
            Rekey r;
            if constexpr (std::is_invocable_v<F&, const Key&, Cell&>) r = decide(key, e.cell);
            else r = decide(key);
            if (r.kind == Rekey::Drop) {
                release_key(e.key);
                continue;
            }
            if (r.kind == Rekey::Move && r.to.row != 0 && r.to.col != 0) {  // 0 names no cell: stays
                release_key(e.key);
                e.key = pack(r.to.row, r.to.col);
            }
            if (w != i) entries_[w] = std::move(e);
            ++w;
        }
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(w), entries_.end());
        rebuild_index();
    }

    // The packed form of a canonical key text; none for any other text.
    static std::optional<uint64_t> canonical_key(std::string_view text);
    static uint64_t pack(uint32_t row, uint32_t col) { return (uint64_t{row} << 32) | col; }
    // pack for a position given by a caller: a row or column of 0 is a bug upstream (an internal failure).
    static uint64_t pack_checked(uint32_t row, uint32_t col);

private:
    Key key_of(uint64_t packed) const {
        return Key(packed, (packed >> 32) ? nullptr : &texts_[static_cast<uint32_t>(packed)]);
    }
    // Puts every entry appended in order into the index.
    void ensure_index() const;
    uint64_t hash_of(uint64_t packed) const;
    static uint64_t hash_packed(uint64_t packed);
    static uint64_t hash_text(std::string_view text);

    Cell* find_packed(uint64_t packed);
    Cell* find_text(std::string_view text);
    // The slot holding the key, or the empty slot where it would go (found tells which).
    template <class Matches>
    size_t probe(uint64_t h, bool& found, Matches matches) const;
    size_t probe_packed(uint64_t packed, uint64_t h, bool& found) const;
    size_t probe_text(std::string_view text, uint64_t h, bool& found) const;
    Emplaced emplace_packed(uint64_t packed);
    Emplaced emplace_text(std::string_view text);
    // Appends an entry for `packed` at the empty `slot`; grows first when needed (re-probing).
    Cell* append_entry(uint64_t packed, uint64_t h, size_t slot);
    uint64_t store_text(std::string_view text);
    void release_key(uint64_t packed);
    // Enters the text key at `at` into the index by position, when that index is kept.
    void note_alias(uint32_t at);
    void drop_aliases() noexcept;
    void erase_slot(size_t slot);
    size_t capacity_for(size_t n) const;
    // Fresh slots, all empty (reuses the current ones when the capacity stays).
    void allocate_index(size_t cap) const;
    void grow_for(size_t n) const;
    void prepare_rekey();
    void rebuild_index();
    void place(uint32_t entry, uint64_t h) const;

    std::vector<Entry> entries_;
    std::vector<std::string> texts_;     // texts of non-canonical keys; released ones are empty
    std::vector<uint32_t> free_texts_;   // released positions of texts_
    // The index, a cache over entries_ (so a const look-up may complete it).
    mutable std::unique_ptr<uint8_t[]> ctrl_;    // 0: empty; else 0x80 | 7 bits of the hash
    mutable std::unique_ptr<uint32_t[]> slots_;  // entry numbers; meaningful where ctrl_ is not 0
    mutable size_t capacity_ = 0;                // slots, a power of two (or 0)
    // Entries [0, indexed_) are in the index; the rest, when any, were appended in ascending canonical
    // order to a map that had no indexed entry.
    mutable size_t indexed_ = 0;
    // The live text keys that parse as a position, by packed position -> index into texts_: what
    // find_any_key looks for beside the canonical key. Built by the first call that needs it (most
    // sheets never do) and kept up to date from then on; dropped when it cannot be (memory ran out).
    std::unordered_multimap<uint64_t, uint32_t> aliases_;
    bool aliases_kept_ = false;
};

}  // namespace velmo
