#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/temp_dir.hpp"
#include "support/zip_builder.hpp"
#include "zip/archive_reader.hpp"

namespace {

using velmo::ErrorKind;
using velmo::Result;
using velmo::zip::ArchiveReader;
using velmo::zip::Entry;
using velmo::test::get_le;
using velmo::test::put_le;
using velmo::test::TempDir;
using velmo::test::ZipBuilder;

// Expects an error of `kind` whose message starts with `prefix` and contains `needle`.
template <class T>
void expect_error(const Result<T>& r, ErrorKind kind, std::string_view prefix, std::string_view needle = "") {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, kind) << r.error().message;
    EXPECT_TRUE(r.error().message.starts_with(prefix)) << r.error().message;
    EXPECT_NE(r.error().message.find(needle), std::string::npos) << r.error().message;
}

template <class T>
void expect_invalid(const Result<T>& r, std::string_view needle = "") {
    expect_error(r, ErrorKind::InvalidFormat, "invalid Zip archive: ", needle);
}

// Opens the archive, expecting success, and reads the named entry. The check a raw copy makes of
// the entry's stored bytes comes to the same verdict, with the same message.
Result<std::string> read_entry(const std::string& bytes, std::string_view name) {
    auto reader = ArchiveReader::open_memory(bytes);
    if (!reader) return velmo::fail(reader.error());
    const Entry* e = reader->find(name);
    if (!e) return velmo::fail(velmo::VelmoError::missing_part(std::string(name)));
    auto read = reader->read(*e);
    if (auto raw = reader->read_raw(*e)) {
        velmo::zip::StoredCheck check;
        const auto checked = check(*e, *raw);
        EXPECT_EQ(checked.has_value(), read.has_value()) << name;
        if (!checked && !read) {
            EXPECT_EQ(checked.error().message, read.error().message) << name;
        }
    }
    return read;
}

// The content, or the error's text, so that a failed read shows up as a plain mismatch.
std::string content(const Result<std::string>& r) { return r ? *r : "error: " + r.error().message; }

template <class T>
void expect_entry_error(const Result<T>& r, std::string_view needle) {
    expect_error(r, ErrorKind::Zip, "", needle);
}

TEST(ZipReader, ReadsStoredAndDeflatedEntries) {
    ZipBuilder b;
    b.stored("a.txt", "hello");
    auto& d = b.deflated("dir/b.xml", std::string(10000, 'x') + "tail");
    d.dos_time = 0x6C21;
    d.dos_date = 0x5A8E;
    d.external_attributes = 0100600u << 16;
    b.stored("empty", "");
    b.deflated("empty.z", "");
    auto reader = ArchiveReader::open_memory(b.build());
    ASSERT_TRUE(reader) << reader.error().message;

    ASSERT_EQ(reader->entries().size(), 4u);
    EXPECT_EQ(reader->entries()[0].name, "a.txt");
    EXPECT_EQ(reader->entries()[1].name, "dir/b.xml");
    EXPECT_EQ(reader->find("A.txt"), nullptr);
    EXPECT_EQ(reader->find("dir"), nullptr);
    EXPECT_EQ(reader->find("a.txt "), nullptr);

    const Entry* e = reader->find("dir/b.xml");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->method, 8);
    EXPECT_EQ(e->dos_time, 0x6C21);
    EXPECT_EQ(e->dos_date, 0x5A8E);
    EXPECT_EQ(e->external_attributes, 0100600u << 16);
    EXPECT_EQ(e->uncompressed_size, 10004u);
    EXPECT_EQ(content(reader->read(*e)), std::string(10000, 'x') + "tail");
    EXPECT_EQ(content(reader->read(*reader->find("a.txt"))), "hello");
    EXPECT_EQ(content(reader->read(*reader->find("empty"))), "");
    EXPECT_EQ(content(reader->read(*reader->find("empty.z"))), "");
    EXPECT_EQ(content(reader->read_raw(*e)), d.payload);

    // A copy of an entry is accepted; an entry of another archive is not.
    Entry copy = *e;
    EXPECT_TRUE(reader->read(copy));
    copy.local_header_offset = 0;
    expect_entry_error(reader->read(copy), "does not belong");
}

TEST(ZipReader, EmptyArchiveAndTrailingComment) {
    ZipBuilder empty;
    auto reader = ArchiveReader::open_memory(empty.build());
    ASSERT_TRUE(reader);
    EXPECT_TRUE(reader->entries().empty());

    for (size_t comment_size : {size_t{1}, size_t{1000}, size_t{65535}}) {
        ZipBuilder b;
        b.stored("x", "y");
        // A comment that itself looks like the start of an end record must not mislead the search.
        b.end().comment = "PK\x05\x06" + std::string(comment_size - std::min<size_t>(comment_size, 4), 'c');
        b.end().comment.resize(comment_size);
        EXPECT_EQ(content(read_entry(b.build(), "x")), "y") << comment_size;
    }
}

TEST(ZipReader, FileOpenErrorsAreIo) {
    const TempDir dir("zip_reader");
    auto missing = ArchiveReader::open(dir.file("missing.zip"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::Io);
    EXPECT_EQ(missing.error().os_errno, ENOENT);

    auto directory = ArchiveReader::open(dir.file(""));
    ASSERT_FALSE(directory);
    EXPECT_EQ(directory.error().kind, ErrorKind::Io);
    EXPECT_EQ(directory.error().os_errno, EISDIR);
}

TEST(ZipReader, ReadsFromFileAndSurvivesTruncationAfterOpen) {
    const TempDir dir("zip_reader");
    ZipBuilder b;
    b.deflated("first", std::string(5000, 'a'));
    b.stored("second", "payload");
    std::string path = dir.file("a.zip");
    velmo::test::write_file(path, b.build());

    auto opened = ArchiveReader::open(path);
    ASSERT_TRUE(opened) << opened.error().message;
    ArchiveReader reader = std::move(*opened);  // the moved-to reader owns the descriptor
    EXPECT_EQ(content(reader.read(*reader.find("first"))), std::string(5000, 'a'));
    EXPECT_EQ(content(reader.read(*reader.find("second"))), "payload");

    // The file shrinks under the open reader: reads fail cleanly instead of faulting.
    std::filesystem::resize_file(path, 20);
    expect_entry_error(reader.read(*reader.find("second")), "unexpected end of file");
    expect_entry_error(reader.read_raw(*reader.find("first")), "unexpected end of file");
}

TEST(ZipReader, NotAnArchiveIsInvalid) {
    expect_invalid(ArchiveReader::open_memory(""));
    expect_invalid(ArchiveReader::open_memory("PK"));
    expect_invalid(ArchiveReader::open_memory(std::string(100000, 'z')), "end of central directory");
    expect_invalid(ArchiveReader::open_memory("<?xml version=\"1.0\"?><workbook/>"));
    // An encrypted workbook is a compound file; its signature alone is not enough to be called one.
    const std::string compound("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    expect_invalid(ArchiveReader::open_memory(compound + std::string(600, '\0')), "a compound file, not a Zip archive");
    expect_invalid(ArchiveReader::open_memory(compound.substr(0, 7) + std::string(600, '\0')), "end of central directory");

    ZipBuilder b;
    b.deflated("a", "content");
    std::string bytes = b.build();
    expect_invalid(ArchiveReader::open_memory(bytes.substr(0, bytes.size() - 1)));
    // A record cut off with the end record: its directory now points past the file.
    expect_invalid(ArchiveReader::open_memory(bytes.substr(10)));

    const TempDir dir("zip_reader");
    velmo::test::write_file(dir.file("text.xlsx"), "just text");
    expect_invalid(ArchiveReader::open(dir.file("text.xlsx")));
}

TEST(ZipReader, DirectoryFiguresOutOfBoundsAreInvalid) {
    auto one_entry = [] {
        ZipBuilder b;
        b.stored("a-name-long-enough-for-two-headers-to-fit-in-the-size.txt", "x");
        return b;
    };
    {
        ZipBuilder b = one_entry();
        b.end().directory_offset = 1u << 30;
        expect_invalid(ArchiveReader::open_memory(b.build()), "central directory out of bounds");
    }
    {
        ZipBuilder b = one_entry();
        b.end().directory_size = 100000;
        expect_invalid(ArchiveReader::open_memory(b.build()), "central directory out of bounds");
    }
    {
        // Far more entries than the directory's bytes can describe: refused before any allocation.
        ZipBuilder b = one_entry();
        b.end().entry_count = 0xFFFF;
        expect_invalid(ArchiveReader::open_memory(b.build()), "entry count");
    }
    {
        ZipBuilder b = one_entry();
        b.end().entry_count = 2;
        expect_invalid(ArchiveReader::open_memory(b.build()), "central directory");
    }
    {
        ZipBuilder b = one_entry();
        b.entry(0).central_signature = 0x02014b51;
        expect_invalid(ArchiveReader::open_memory(b.build()), "signature");
    }
    {
        ZipBuilder b = one_entry();
        b.entry(0).local_header_offset = 5000;
        expect_invalid(ArchiveReader::open_memory(b.build()), "local header offset");
    }
}

TEST(ZipReader, DuplicateAndOverlappingEntriesAreInvalid) {
    ZipBuilder dup;
    dup.stored("xl/workbook.xml", "one");
    dup.stored("xl/workbook.xml", "two");
    expect_invalid(ArchiveReader::open_memory(dup.build()), "duplicate entry name xl/workbook.xml");

    ZipBuilder overlap;
    overlap.stored("a", "same bytes");
    overlap.stored("b", "other").local_header_offset = 0;
    expect_invalid(ArchiveReader::open_memory(overlap.build()), "overlap");
}

TEST(ZipReader, FindPartGoesByPartNameAndRefusesAmbiguity) {
    ZipBuilder b;
    for (const char* name : {"XL/%73TYLES.XML", "xl/%2573haredStrings.xml", "A", "docProps/app.xml", "%61"})
        b.stored(name, "x");
    auto reader = ArchiveReader::open_memory(b.build());
    ASSERT_TRUE(reader);
    auto styles = reader->find_part("/xl/styles.xml");
    ASSERT_TRUE(styles && *styles);
    EXPECT_EQ((*styles)->name, "XL/%73TYLES.XML");
    auto strings = reader->find_part("xl/sharedStrings.xml");  // an escaped "%" escapes nothing
    ASSERT_TRUE(strings);
    EXPECT_EQ(*strings, nullptr);
    expect_invalid(reader->find_part("a"), "entries A and %61 name one part");
    expect_invalid(reader->find_part("%41"), "entries A and %61 name one part");
}

TEST(ZipReader, MultiDiskArchivesAreUnsupported) {
    ZipBuilder b;
    b.stored("a", "x");
    b.end().disk = 1;
    b.end().directory_disk = 1;
    expect_error(ArchiveReader::open_memory(b.build()), ErrorKind::InvalidFormat, "unsupported Zip archive: ");

    ZipBuilder split;
    split.stored("a", "x");
    split.end().disk_entry_count = 0;
    expect_error(ArchiveReader::open_memory(split.build()), ErrorKind::InvalidFormat, "unsupported Zip archive: ");

    ZipBuilder z64;
    z64.stored("a", "x");
    z64.end().zip64 = true;
    z64.end().zip64_disk_count = 3;
    expect_error(ArchiveReader::open_memory(z64.build()), ErrorKind::InvalidFormat, "unsupported Zip archive: ");
}

TEST(ZipReader, Zip64RecordsAndExtraFields) {
    ZipBuilder b;
    b.deflated("big-one", std::string(3000, 'q')).zip64 = true;
    b.stored("plain", "p");
    auto& dd = b.deflated("described", "data descriptor content");
    dd.zip64 = true;
    dd.data_descriptor = true;
    b.end().zip64 = true;
    ZipBuilder::Layout layout;
    std::string bytes = b.build(&layout);
    EXPECT_EQ(get_le(bytes, layout.end_offset + 10, 2), 0xFFFFu);

    auto reader = ArchiveReader::open_memory(bytes);
    ASSERT_TRUE(reader) << reader.error().message;
    ASSERT_EQ(reader->entries().size(), 3u);
    EXPECT_EQ(reader->entries()[0].uncompressed_size, 3000u);
    EXPECT_EQ(content(reader->read(reader->entries()[0])), std::string(3000, 'q'));
    EXPECT_EQ(content(reader->read(reader->entries()[2])), "data descriptor content");

    {
        std::string bad = bytes;
        put_le(bad, layout.end_offset - 20 + 8, layout.end_offset, 8);  // locator points at itself
        expect_invalid(ArchiveReader::open_memory(bad), "ZIP64 end of central directory record out of bounds");
    }
    {
        std::string bad = bytes;
        put_le(bad, layout.zip64_end_offset, 0x06064b99, 4);
        expect_invalid(ArchiveReader::open_memory(bad), "ZIP64");
    }
    {
        // ZIP64 record claiming a directory beyond where the record itself starts.
        std::string bad = bytes;
        put_le(bad, layout.zip64_end_offset + 40, layout.directory_size + 1, 8);
        expect_invalid(ArchiveReader::open_memory(bad), "central directory out of bounds");
    }
    {
        // A 32-bit size at its maximum with no ZIP64 field to supply the real one.
        ZipBuilder m;
        m.stored("a", "x");
        ZipBuilder::Layout l;
        std::string s = m.build(&l);
        put_le(s, l.central_header_offsets[0] + 24, 0xFFFFFFFF, 4);
        expect_invalid(ArchiveReader::open_memory(s), "ZIP64 extra");
    }
}

TEST(ZipReader, DataDescriptorSizesComeFromTheDirectory) {
    ZipBuilder b;
    b.deflated("a.xml", "<a>deflated with descriptor</a>").data_descriptor = true;
    b.stored("b.bin", "stored with descriptor").data_descriptor = true;
    b.stored("c", "last");
    EXPECT_EQ(content(read_entry(b.build(), "a.xml")), "<a>deflated with descriptor</a>");
    EXPECT_EQ(content(read_entry(b.build(), "b.bin")), "stored with descriptor");
    EXPECT_EQ(content(read_entry(b.build(), "c")), "last");
}

TEST(ZipReader, ContentThatDisagreesWithTheDirectoryFails) {
    {
        ZipBuilder b;
        b.deflated("a", "some content").crc32 ^= 1;
        expect_entry_error(read_entry(b.build(), "a"), "a: CRC-32 mismatch");
    }
    {
        ZipBuilder b;
        b.stored("a", "some content").crc32 ^= 0x80000000;
        expect_entry_error(read_entry(b.build(), "a"), "CRC-32 mismatch");
    }
    {
        ZipBuilder b;
        b.stored("a", "some content").uncompressed_size = 5;
        expect_entry_error(read_entry(b.build(), "a"), "sizes disagree");
    }
    {
        // Inflating past the declared size is an error, not a truncated success.
        ZipBuilder b;
        b.deflated("a", "hello hello hello hello").uncompressed_size = 5;
        expect_entry_error(read_entry(b.build(), "a"), "past its declared size");
    }
    {
        ZipBuilder b;
        b.deflated("a", "hello").uncompressed_size = 9;
        expect_entry_error(read_entry(b.build(), "a"), "fewer bytes");
    }
    {
        ZipBuilder b;
        auto& e = b.raw("a", "\xff\xff\xff\xff garbage", 8);
        e.uncompressed_size = 4;
        expect_entry_error(read_entry(b.build(), "a"), "invalid compressed data");
    }
}

TEST(ZipReader, ImplausibleSizesAreRefusedBeforeAllocating) {
    {
        // Ten compressed bytes cannot inflate to 3 GiB.
        ZipBuilder b;
        b.raw("bomb", std::string(10, '\0'), 8).uncompressed_size = 0xC0000000;
        expect_entry_error(read_entry(b.build(), "bomb"), "is more than 10 compressed bytes can hold");
    }
    {
        // Plausible for DEFLATE, but beyond the cap on one entry.
        ZipBuilder b;
        b.raw("huge", std::string(4 << 20, '\1'), 8).uncompressed_size = 0xE0000000;
        expect_entry_error(read_entry(b.build(), "huge"), "exceeds the limit of 3221225472 bytes");
    }
    {
        ZipBuilder b;
        b.raw("huge", "x", 0).zip64 = true;
        b.entry(0).compressed_size = b.entry(0).uncompressed_size = uint64_t{1} << 40;
        expect_entry_error(read_entry(b.build(), "huge"), "exceeds the limit");
    }
    {
        // Sizes equal and under the cap, but the bytes are not in the file.
        ZipBuilder b;
        auto& e = b.raw("short", "abc", 0);
        e.compressed_size = e.uncompressed_size = 1 << 30;
        expect_entry_error(read_entry(b.build(), "short"), "entry data out of bounds");
        auto reader = ArchiveReader::open_memory(b.build());
        expect_entry_error(reader->read_raw(reader->entries()[0]), "entry data out of bounds");
    }
}

TEST(ZipReader, EncryptedAndUnknownMethodsCannotBeOpened) {
    ZipBuilder b;
    b.stored("secret", "xxxxxxxxxxxx").flags = 1;
    b.raw("bzip", "BZh91AY&SY", 12);
    b.stored("fine", "ok");
    auto reader = ArchiveReader::open_memory(b.build());
    ASSERT_TRUE(reader);
    expect_entry_error(reader->read(*reader->find("secret")), "secret: entry is encrypted");
    expect_entry_error(reader->read_raw(*reader->find("secret")), "encrypted");
    expect_entry_error(reader->read(*reader->find("bzip")), "unsupported compression method 12");
    // Raw bytes need no understanding of the method, so they can still be copied.
    EXPECT_EQ(content(reader->read_raw(*reader->find("bzip"))), "BZh91AY&SY");
    EXPECT_EQ(content(reader->read(*reader->find("fine"))), "ok");
}

TEST(ZipReader, DamagedLocalHeadersFailOnlyTheirEntry) {
    auto expect_damaged = [](ZipBuilder& b, std::string_view needle) {
        b.stored("next", "intact");
        auto reader = ArchiveReader::open_memory(b.build());
        ASSERT_TRUE(reader) << reader.error().message;
        const Entry* e = reader->find("target");
        ASSERT_NE(e, nullptr);  // present, yet cannot be opened
        expect_entry_error(reader->read(*e), needle);
        EXPECT_EQ(content(reader->read(*reader->find("next"))), "intact");
    };
    {
        ZipBuilder b;
        b.stored("target", "x").local_signature = 0x04034b99;
        expect_damaged(b, "bad local header signature");
    }
    {
        ZipBuilder b;
        b.stored("target", "x").local_name = "tarGet";
        expect_damaged(b, "name");
    }
    {
        ZipBuilder b;
        b.deflated("target", "x").local_method = 0;
        expect_damaged(b, "compression method");
    }
    {
        ZipBuilder b;
        b.stored("target", "x").local_flags = 1;
        expect_damaged(b, "encrypted");
    }
    {
        // The local extra field claims more bytes than lie before the next entry.
        ZipBuilder b;
        b.stored("target", "x");
        ZipBuilder::Layout l;
        b.stored("next", "intact");
        std::string bytes = b.build(&l);
        put_le(bytes, l.local_header_offsets[0] + 28, 500, 2);
        auto reader = ArchiveReader::open_memory(bytes);
        ASSERT_TRUE(reader);
        expect_entry_error(reader->read(*reader->find("target")), "out of bounds");
    }
    {
        // Data running into the next entry's local header.
        ZipBuilder b;
        auto& e = b.stored("target", "x");
        e.compressed_size = e.uncompressed_size = 20;
        expect_damaged(b, "entry data out of bounds");
    }
}

// Every single-byte corruption and every truncation of a small archive must end in a value or
// an error: no crash, no read outside the buffer (run under the sanitizers to see the latter).
TEST(ZipReader, SurvivesCorruptionOfEveryByte) {
    ZipBuilder b;
    b.deflated("xl/workbook.xml", "<workbook><sheets><sheet name=\"a\"/></sheets></workbook>");
    b.stored("b", "stored content").data_descriptor = true;
    b.deflated("z64", "zip64 entry").zip64 = true;
    b.end().zip64 = true;
    const std::string original = b.build();
    auto exercise = [](const std::string& bytes) {
        auto reader = ArchiveReader::open_memory(bytes);
        if (!reader) return;
        for (const Entry& e : reader->entries()) {
            auto text = reader->read(e);
            auto raw = reader->read_raw(e);
            if (text) {
                EXPECT_EQ(text->size(), e.uncompressed_size);
            }
            if (raw) {
                EXPECT_EQ(raw->size(), e.compressed_size);
            }
        }
    };
    for (size_t i = 0; i < original.size(); ++i) {
        for (unsigned char v : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
            std::string bytes = original;
            bytes[i] = static_cast<char>(v);
            exercise(bytes);
        }
        exercise(original.substr(0, i));
    }
}

}  // namespace
