#include "model/cell_map.hpp"

#include <charconv>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

namespace velmo {

namespace {

constexpr uint8_t kEmpty = 0;
// Grow when the index would pass 3/4 full: linear probing stays short below that.
constexpr size_t kMinCapacity = 16;

bool over_load(size_t entries, size_t capacity) { return entries * 4 > capacity * 3; }

uint8_t tag_of(uint64_t h) { return static_cast<uint8_t>(0x80 | (h >> 57)); }

}  // namespace

// ---- keys ----

std::string_view CellMap::Key::text() const {
    if (text_) return *text_;
    if (len_ == 0) {
        const uint32_t row = static_cast<uint32_t>(packed_ >> 32);
        uint32_t col = static_cast<uint32_t>(packed_);
        char letters[8];
        size_t n = 0;
        while (true) {  // bijective base 26, least significant letter first
            const uint32_t m = col - 1;
            letters[n++] = static_cast<char>('A' + m % 26);
            if (m < 26) break;
            col = m / 26;
        }
        for (size_t i = 0; i < n; ++i) buf_[i] = letters[n - 1 - i];
        const auto res = std::to_chars(buf_ + n, buf_ + sizeof buf_, row);
        len_ = static_cast<uint8_t>(res.ptr - buf_);
    }
    return {buf_, len_};
}

std::optional<uint64_t> CellMap::canonical_key(std::string_view text) {
    const size_t n = text.size();
    size_t i = 0;
    uint64_t col = 0;
    while (i < n && text[i] >= 'A' && text[i] <= 'Z') {
        col = col * 26 + static_cast<uint64_t>(text[i] - 'A' + 1);
        if (col > std::numeric_limits<uint32_t>::max()) return std::nullopt;
        ++i;
    }
    // Letters, then a row that starts with 1-9: every other text names its cell some other way.
    if (i == 0 || i == n || text[i] < '1' || text[i] > '9') return std::nullopt;
    uint64_t row = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
        row = row * 10 + static_cast<uint64_t>(text[i] - '0');
        if (row > std::numeric_limits<uint32_t>::max()) return std::nullopt;
        ++i;
    }
    if (i != n) return std::nullopt;
    return pack(static_cast<uint32_t>(row), static_cast<uint32_t>(col));
}

// ---- hashing ----

uint64_t CellMap::hash_packed(uint64_t k) {
    // Eight neighbouring columns of a row share one random home and take consecutive slots from
    // it, so a row read or written in order touches a few cache lines of the index, not one per
    // cell. The group is mixed with the finaliser of MurmurHash3; the column within the group
    // also varies the tag bits (57..63), so neighbours rarely pass for one another.
    const uint64_t in_group = k & 7;
    uint64_t g = k >> 3;
    g ^= g >> 33;
    g *= 0xff51afd7ed558ccdULL;
    g ^= g >> 33;
    g *= 0xc4ceb9fe1a85ec53ULL;
    g ^= g >> 33;
    return (g + in_group) ^ (in_group << 58);
}

uint64_t CellMap::hash_text(std::string_view text) { return hash_packed(std::hash<std::string_view>{}(text)); }

uint64_t CellMap::hash_of(uint64_t packed) const {
    if (packed >> 32) return hash_packed(packed);
    return hash_text(texts_[static_cast<uint32_t>(packed)]);
}

// ---- copying and sizing ----

CellMap& CellMap::operator=(const CellMap& o) {
    if (this == &o) return *this;
    o.ensure_index();
    // Everything is copied before anything is replaced: memory running out leaves this map as it was.
    std::vector<Entry> entries = o.entries_;
    std::vector<std::string> texts = o.texts_;
    std::vector<uint32_t> free_texts = o.free_texts_;
    std::unique_ptr<uint8_t[]> ctrl;
    std::unique_ptr<uint32_t[]> slots;
    if (o.capacity_) {
        ctrl = std::make_unique_for_overwrite<uint8_t[]>(o.capacity_);
        slots = std::make_unique_for_overwrite<uint32_t[]>(o.capacity_);
        std::memcpy(ctrl.get(), o.ctrl_.get(), o.capacity_);
        std::memcpy(slots.get(), o.slots_.get(), o.capacity_ * sizeof(uint32_t));
    }
    entries_ = std::move(entries);
    texts_ = std::move(texts);
    free_texts_ = std::move(free_texts);
    ctrl_ = std::move(ctrl);
    slots_ = std::move(slots);
    capacity_ = o.capacity_;
    indexed_ = o.indexed_;
    drop_aliases();  // built again when needed
    return *this;
}

CellMap& CellMap::operator=(CellMap&& o) noexcept {
    if (this == &o) return *this;
    entries_ = std::move(o.entries_);
    texts_ = std::move(o.texts_);
    free_texts_ = std::move(o.free_texts_);
    ctrl_ = std::move(o.ctrl_);
    slots_ = std::move(o.slots_);
    capacity_ = std::exchange(o.capacity_, 0);
    indexed_ = std::exchange(o.indexed_, 0);
    aliases_ = std::move(o.aliases_);
    aliases_kept_ = std::exchange(o.aliases_kept_, false);
    o.aliases_.clear();
    o.entries_.clear();
    o.texts_.clear();
    o.free_texts_.clear();
    return *this;
}

void CellMap::reserve(size_t n) {
    // The index is sized when it is built or grows: a map filled in order may never need one.
    entries_.reserve(n);
}

void CellMap::clear() {
    entries_.clear();
    indexed_ = 0;
    texts_.clear();
    free_texts_.clear();
    drop_aliases();
    if (capacity_) std::memset(ctrl_.get(), kEmpty, capacity_);
}

size_t CellMap::capacity_for(size_t n) const {
    if (n > std::numeric_limits<uint32_t>::max()) throw std::length_error("a worksheet holds at most 4294967295 cells");
    size_t cap = capacity_ ? capacity_ : kMinCapacity;
    while (over_load(n, cap)) cap *= 2;
    return cap;
}

void CellMap::allocate_index(size_t cap) const {
    if (cap == capacity_) {
        std::memset(ctrl_.get(), kEmpty, capacity_);
        return;
    }
    // Both arrays before any member changes: a failed allocation leaves the old index in place.
    auto ctrl = std::make_unique<uint8_t[]>(cap);  // zeroed: every slot empty
    auto slots = std::make_unique_for_overwrite<uint32_t[]>(cap);
    ctrl_ = std::move(ctrl);
    slots_ = std::move(slots);
    capacity_ = cap;
}

void CellMap::grow_for(size_t n) const {
    const size_t cap = capacity_for(n);
    if (cap == capacity_) return;
    allocate_index(cap);
    for (size_t i = 0; i < indexed_; ++i) place(static_cast<uint32_t>(i), hash_of(entries_[i].key));
}

void CellMap::ensure_index() const {
    if (indexed_ == entries_.size()) return;
    if (indexed_ == 0) {
        allocate_index(capacity_for(entries_.size()));
    } else {
        grow_for(entries_.size());
    }
    // The pending entries are distinct canonical keys, and no indexed entry shares one.
    for (size_t i = indexed_; i < entries_.size(); ++i) place(static_cast<uint32_t>(i), hash_packed(entries_[i].key));
    indexed_ = entries_.size();
}

void CellMap::prepare_rekey() {
    // What rekey allocates, allocated before it changes anything: an index for every entry (the
    // entries only get fewer) and a free-list place for every text.
    ensure_index();
    grow_for(entries_.size());
    free_texts_.reserve(texts_.size());
}

void CellMap::rebuild_index() {
    indexed_ = 0;
    allocate_index(capacity_for(entries_.size()));
    // Re-place every entry; a key met twice keeps its first entry and drops the later ones.
    size_t w = 0;
    bool dropped = false;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const uint64_t k = entries_[i].key;
        const uint64_t h = hash_of(k);
        bool found = false;
        const size_t slot = (k >> 32) ? probe_packed(k, h, found)
                                       : probe_text(texts_[static_cast<uint32_t>(k)], h, found);
        if (found) {
            release_key(k);
            dropped = true;
            continue;
        }
        if (w != i) entries_[w] = std::move(entries_[i]);
        ctrl_[slot] = tag_of(h);
        slots_[slot] = static_cast<uint32_t>(w);
        ++w;
    }
    if (dropped) entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(w), entries_.end());
    indexed_ = entries_.size();
}

void CellMap::place(uint32_t entry, uint64_t h) const {
    const size_t mask = capacity_ - 1;
    size_t i = h & mask;
    while (ctrl_[i] != kEmpty) i = (i + 1) & mask;
    ctrl_[i] = tag_of(h);
    slots_[i] = entry;
}

// ---- look-up ----

// Linear probing from the hash's home slot: the slot holding a matching key, or the empty slot that
// ends the run. Inlined per key kind, so the match test costs nothing extra.
template <class Matches>
size_t CellMap::probe(uint64_t h, bool& found, Matches matches) const {
    const size_t mask = capacity_ - 1;
    const uint8_t tag = tag_of(h);
    for (size_t i = h & mask;; i = (i + 1) & mask) {
        const uint8_t c = ctrl_[i];
        if (c == kEmpty) {
            found = false;
            return i;
        }
        if (c == tag && matches(entries_[slots_[i]].key)) {
            found = true;
            return i;
        }
    }
}

size_t CellMap::probe_packed(uint64_t packed, uint64_t h, bool& found) const {
    return probe(h, found, [packed](uint64_t k) { return k == packed; });
}

size_t CellMap::probe_text(std::string_view text, uint64_t h, bool& found) const {
    return probe(h, found, [this, text](uint64_t k) {
        return (k >> 32) == 0 && texts_[static_cast<uint32_t>(k)] == text;
    });
}

Cell* CellMap::find_packed(uint64_t packed) {
    if (entries_.empty()) return nullptr;
    ensure_index();
    bool found = false;
    const size_t slot = probe_packed(packed, hash_packed(packed), found);
    return found ? &entries_[slots_[slot]].cell : nullptr;
}

Cell* CellMap::find_text(std::string_view text) {
    if (entries_.empty() || texts_.size() == free_texts_.size()) return nullptr;
    ensure_index();
    bool found = false;
    const size_t slot = probe_text(text, hash_text(text), found);
    return found ? &entries_[slots_[slot]].cell : nullptr;
}

Cell* CellMap::find(std::string_view key) {
    if (const auto packed = canonical_key(key)) return find_packed(*packed);
    return find_text(key);
}

Cell* CellMap::find_any_key(uint32_t row, uint32_t col) {
    if (Cell* cell = find(row, col)) return cell;
    if (row == 0 || col == 0 || texts_.size() == free_texts_.size()) return nullptr;
    if (!aliases_kept_) {
        try {
            aliases_.clear();  // whatever a dropped index left
            aliases_.reserve(texts_.size() - free_texts_.size());
            // A released text is empty, which names no position.
            for (uint32_t at = 0; at < texts_.size(); ++at)
                if (const auto pos = coords::parse_a1(texts_[at])) aliases_.emplace(pack(pos->row, pos->col), at);
        } catch (...) {
            drop_aliases();
            throw;
        }
        aliases_kept_ = true;
    }
    // Of several keys for the position, the one at the lowest place in texts_; a text whose insertion
    // failed half way (memory ran out) names no entry and is passed over.
    const auto [first, last] = aliases_.equal_range(pack(row, col));
    Cell* found = nullptr;
    uint32_t found_at = std::numeric_limits<uint32_t>::max();
    for (auto it = first; it != last; ++it) {
        if (it->second >= found_at) continue;
        if (Cell* cell = find_text(texts_[it->second])) {
            found = cell;
            found_at = it->second;
        }
    }
    return found;
}

// ---- insertion ----

Cell* CellMap::append_entry(uint64_t packed, uint64_t h, size_t slot) {
    if (over_load(entries_.size() + 1, capacity_)) {
        grow_for(entries_.size() + 1);
        bool found = false;
        slot = (packed >> 32) ? probe_packed(packed, h, found) : probe_text(texts_[static_cast<uint32_t>(packed)], h, found);
    }
    entries_.push_back(Entry{packed, Cell()});
    ctrl_[slot] = tag_of(h);
    slots_[slot] = static_cast<uint32_t>(entries_.size() - 1);
    indexed_ = entries_.size();
    return &entries_.back().cell;
}

CellMap::Emplaced CellMap::emplace_packed(uint64_t packed) {
    ensure_index();
    if (capacity_ == 0) grow_for(1);
    const uint64_t h = hash_packed(packed);
    bool found = false;
    const size_t slot = probe_packed(packed, h, found);
    if (found) return {&entries_[slots_[slot]].cell, false};
    return {append_entry(packed, h, slot), true};
}

CellMap::Emplaced CellMap::emplace_text(std::string_view text) {
    ensure_index();
    if (capacity_ == 0) grow_for(1);
    const uint64_t h = hash_text(text);
    bool found = false;
    const size_t slot = probe_text(text, h, found);
    if (found) return {&entries_[slots_[slot]].cell, false};
    const uint64_t key = store_text(text);
    Cell* cell = append_entry(key, h, slot);
    note_alias(static_cast<uint32_t>(key));
    return {cell, true};
}

uint64_t CellMap::store_text(std::string_view text) {
    uint32_t at;
    if (!free_texts_.empty()) {
        at = free_texts_.back();
        texts_[at].assign(text);
        free_texts_.pop_back();
    } else {
        if (texts_.size() >= std::numeric_limits<uint32_t>::max()) throw std::length_error("too many cell keys");
        at = static_cast<uint32_t>(texts_.size());
        texts_.emplace_back(text);
    }
    return at;  // row 0 marks a text key
}

void CellMap::release_key(uint64_t packed) {
    if (packed >> 32) return;
    const auto at = static_cast<uint32_t>(packed);
    free_texts_.push_back(at);  // first: should it fail, the key is untouched
    if (aliases_kept_) {
        if (const auto pos = coords::parse_a1(texts_[at])) {
            const auto [first, last] = aliases_.equal_range(pack(pos->row, pos->col));
            for (auto it = first; it != last; ++it) {
                if (it->second == at) {
                    aliases_.erase(it);
                    break;
                }
            }
        }
    }
    std::string().swap(texts_[at]);
}

void CellMap::note_alias(uint32_t at) {
    if (!aliases_kept_) return;
    const auto pos = coords::parse_a1(texts_[at]);
    if (!pos) return;
    try {
        aliases_.emplace(pack(pos->row, pos->col), at);
    } catch (const std::bad_alloc&) {
        drop_aliases();  // the key itself is stored; the index is built again when next needed
    }
}

void CellMap::drop_aliases() noexcept {
    aliases_.clear();
    aliases_kept_ = false;
}

CellMap::Emplaced CellMap::try_emplace(std::string_view key) {
    if (const auto packed = canonical_key(key)) return emplace_packed(*packed);
    return emplace_text(key);
}

uint64_t CellMap::pack_checked(uint32_t row, uint32_t col) {
    if (row == 0) throw std::invalid_argument("row must be 1-based");
    if (col == 0) throw std::invalid_argument("col must be 1-based");
    return pack(row, col);
}

CellMap::Emplaced CellMap::try_emplace(uint32_t row, uint32_t col) { return emplace_packed(pack_checked(row, col)); }

CellMap::Emplaced CellMap::put_in_order(uint32_t row, uint32_t col, Cell&& cell) {
    const uint64_t packed = pack_checked(row, col);
    if (indexed_ == 0 && (entries_.empty() || packed > entries_.back().key)) {
        entries_.emplace_back(packed, std::move(cell));
        return {&entries_.back().cell, true};
    }
    Emplaced e = emplace_packed(packed);
    *e.cell = std::move(cell);
    return e;
}

CellMap::Emplaced CellMap::insert_or_assign(std::string_view key, Cell cell) {
    Emplaced e = try_emplace(key);
    *e.cell = std::move(cell);
    return e;
}

// ---- erasure ----

bool CellMap::erase(std::string_view key) {
    if (entries_.empty()) return false;
    ensure_index();
    bool found = false;
    size_t slot;
    if (const auto packed = canonical_key(key)) {
        slot = probe_packed(*packed, hash_packed(*packed), found);
    } else {
        slot = probe_text(key, hash_text(key), found);
    }
    if (!found) return false;
    erase_slot(slot);
    return true;
}

void CellMap::erase_slot(size_t slot) {
    const uint32_t victim = slots_[slot];
    release_key(entries_[victim].key);

    // Backward-shift deletion: pull later members of the probe run into the hole, so that no
    // look-up ever stops early at it and no tombstones are needed.
    const size_t mask = capacity_ - 1;
    size_t hole = slot;
    for (size_t j = (hole + 1) & mask; ctrl_[j] != kEmpty; j = (j + 1) & mask) {
        const size_t home = hash_of(entries_[slots_[j]].key) & mask;
        // The member at j may move to the hole when its home does not lie in (hole, j] cyclically.
        const bool stays = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
        if (stays) continue;
        ctrl_[hole] = ctrl_[j];
        slots_[hole] = slots_[j];
        hole = j;
    }
    ctrl_[hole] = kEmpty;

    // The last entry fills the erased one's place in the dense vector.
    const auto last = static_cast<uint32_t>(entries_.size() - 1);
    if (victim != last) {
        const uint64_t k = entries_[last].key;
        const uint64_t h = hash_of(k);
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            if (ctrl_[i] != kEmpty && slots_[i] == last) {
                slots_[i] = victim;
                break;
            }
        }
        entries_[victim] = std::move(entries_[last]);
    }
    entries_.pop_back();
    indexed_ = entries_.size();
}

}  // namespace velmo
