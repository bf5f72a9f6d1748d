// The check a raw copy makes of an entry's stored bytes, given whole or in pieces: small entries
// are inflated whole, large ones streamed, and both come to the verdict and message that reading
// the entry gives. Then the piecewise raw copy from a file into an archive.

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/deflate_stream.hpp"
#include "support/temp_dir.hpp"
#include "support/zip_builder.hpp"
#include "support/zip_outputs.hpp"
#include "zip/archive_reader.hpp"
#include "zip/archive_writer.hpp"
#include "zip/stored_check.hpp"

namespace {

using velmo::Result;
using velmo::test::ZipBuilder;
using velmo::zip::ArchiveReader;
using velmo::zip::StoredCheck;

// Words drawn at random: compresses about fourfold with literals and matches of every length.
std::string words(size_t size, unsigned seed) {
    static const char* const kWords[] = {"cell ", "row ", "sheet ", "table ", "1234 ", "<v>", "</v>", "€ ", "\n"};
    std::mt19937 rng(seed);
    std::string out;
    out.reserve(size + 8);
    while (out.size() < size) out += kWords[rng() % std::size(kWords)];
    out.resize(size);
    return out;
}

std::string verdict(const Result<void>& r) { return r ? "ok" : r.error().message; }

// The check over `stored` in pieces of `piece` bytes (0: one call with the whole).
std::string checked(StoredCheck& check, const velmo::zip::Entry& e, std::string_view stored, size_t piece) {
    if (piece == 0) return verdict(check(e, stored));
    if (auto ok = check.begin(e); !ok) return verdict(ok);
    for (size_t at = 0; at < stored.size(); at += piece)
        if (auto ok = check.feed(stored.substr(at, piece)); !ok) return verdict(ok);
    return verdict(check.end());
}

ZipBuilder::Entry deflated(std::string data) {
    ZipBuilder b;
    return b.deflated("e", std::move(data));
}

TEST(StoredCheck, PiecesComeToTheVerdictOfReadingTheEntry) {
    using Damage = std::function<void(ZipBuilder::Entry&)>;
    const std::pair<Damage, const char*> damages[] = {  // the message after "e: ", or "ok"
        {[](ZipBuilder::Entry&) {}, "ok"},
        {[](ZipBuilder::Entry& e) { --e.uncompressed_size; }, "entry inflates past its declared size"},
        {[](ZipBuilder::Entry& e) { ++e.uncompressed_size; }, "entry inflates to fewer bytes than its declared size"},
        {[](ZipBuilder::Entry& e) { e.crc32 ^= 1; }, "CRC-32 mismatch"},
        {[](ZipBuilder::Entry& e) { e.payload.resize(e.payload.size() / 2); e.compressed_size = e.payload.size(); },
         "invalid compressed data"},
        {[](ZipBuilder::Entry& e) { e.payload[0] = 0x07; }, "invalid compressed data"},  // a reserved block type
        {[](ZipBuilder::Entry& e) { e.payload += "junk"; e.compressed_size = e.payload.size(); }, "ok"},
    };
    const size_t zeros = (9u << 20) / 258;  // 9 MiB of zeros in about 60 KB
    ZipBuilder::Entry large_zeros = deflated("");
    large_zeros.payload = velmo::test::deflate_zeros(zeros);
    large_zeros.compressed_size = large_zeros.payload.size();
    large_zeros.uncompressed_size = velmo::test::deflate_zeros_size(zeros);
    large_zeros.crc32 = velmo::test::crc32_of_zeros(large_zeros.uncompressed_size);
    const std::pair<ZipBuilder::Entry, std::vector<size_t>> contents[] = {
        {deflated(words(1 << 20, 1)), {0, 4099, 1 << 20}},
        {deflated(words(9 << 20, 2)), {0, 4099, 1 << 20}},
        {large_zeros, {0, 1, 65536}},
    };
    StoredCheck check;  // one for every entry, as a save uses it
    for (const auto& [intact, pieces] : contents) {
        for (const auto& [damage, message] : damages) {
            ZipBuilder b;
            ZipBuilder::Entry& entry = b.raw("e", "", 8);
            entry = intact;
            damage(entry);
            auto archive = ArchiveReader::open_memory(b.build());
            ASSERT_TRUE(archive) << archive.error().message;
            const velmo::zip::Entry& e = archive->entries()[0];
            auto read = archive->read(e);
            const std::string expected = message == std::string("ok") ? "ok" : "e: " + std::string(message);
            SCOPED_TRACE(std::to_string(intact.uncompressed_size) + " bytes, " + message);
            EXPECT_EQ(read ? "ok" : read.error().message, expected);
            auto stored = archive->read_raw(e);
            ASSERT_TRUE(stored);
            for (size_t piece : pieces) EXPECT_EQ(checked(check, e, *stored, piece), expected) << piece;
        }
    }
}

// A stored entry is checked by its CRC alone, however it comes.
TEST(StoredCheck, StoredEntriesAreCheckedByTheirCrc) {
    ZipBuilder b;
    b.stored("good", words(9 << 20, 3));
    b.stored("bad", words(9 << 20, 4)).crc32 ^= 0x80;
    auto archive = ArchiveReader::open_memory(b.build());
    ASSERT_TRUE(archive);
    StoredCheck check;
    for (const auto& e : archive->entries()) {
        auto stored = archive->read_raw(e);
        ASSERT_TRUE(stored);
        for (size_t piece : {size_t{0}, size_t{65536}})
            EXPECT_EQ(checked(check, e, *stored, piece), e.name == "good" ? "ok" : "bad: CRC-32 mismatch") << e.name;
        EXPECT_EQ(checked(check, e, stored->substr(1), 65536), e.name + ": stored bytes do not match the compressed size");
    }
    // Nothing is fed before a check has begun, nor after one was refused.
    StoredCheck fresh;
    EXPECT_FALSE(fresh.feed("x"));
    EXPECT_FALSE(fresh.end());
    velmo::zip::Entry encrypted = archive->entries()[0];
    encrypted.flags |= velmo::zip::kFlagEncrypted;
    EXPECT_EQ(verdict(check.begin(encrypted)), "good: entry is encrypted");
    EXPECT_FALSE(check.feed("x"));
}

// An entry copied from a file comes a piece at a time and lands byte for byte; the archive being
// written refuses pieces that overrun or fall short of the entry's compressed size.
TEST(StoredCheck, RawCopyInPiecesFromAFile) {
    ZipBuilder b;
    b.deflated("big", words(3 << 20, 5));
    b.stored("small", "tiny");
    velmo::test::TempDir dir("velmo-raw-copy");
    const std::string path = dir.file("src.zip");
    velmo::test::write_file(path, b.build());
    auto source = ArchiveReader::open(path);
    ASSERT_TRUE(source);

    velmo::test::StringOutput out;
    velmo::zip::ArchiveWriter w(out);
    for (const auto& e : source->entries()) {
        ASSERT_TRUE(w.begin_raw(e));
        size_t pieces = 0;
        ASSERT_TRUE(source->read_raw_chunks(e, [&](std::string_view piece) {
            EXPECT_LE(piece.size(), ArchiveReader::kRawChunkSize);
            ++pieces;
            return w.add_raw_bytes(piece);
        }));
        EXPECT_EQ(pieces, (e.compressed_size + ArchiveReader::kRawChunkSize - 1) / ArchiveReader::kRawChunkSize) << e.name;
        ASSERT_TRUE(w.end_raw());
    }
    ASSERT_TRUE(w.finish());
    auto copy = ArchiveReader::open_memory(out.bytes);
    ASSERT_TRUE(copy);
    for (const auto& e : source->entries()) EXPECT_EQ(*copy->read_raw(*copy->find(e.name)), *source->read_raw(e)) << e.name;

    for (const bool overrun : {true, false}) {
        velmo::test::StringOutput bad_out;
        velmo::zip::ArchiveWriter bad(bad_out);
        const auto& e = source->entries()[1];
        ASSERT_TRUE(bad.begin_raw(e));
        EXPECT_FALSE(bad.add("other", "x"));  // nothing else while an entry is open
        ASSERT_TRUE(bad.add_raw_bytes("tin"));
        EXPECT_FALSE(overrun ? bad.add_raw_bytes("ny") : bad.end_raw());
        EXPECT_FALSE(bad.finish());  // the archive is unusable from then on
    }
}

}  // namespace
