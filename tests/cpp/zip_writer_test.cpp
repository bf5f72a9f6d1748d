#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"
#include "support/zip_builder.hpp"
#include "support/zip_outputs.hpp"
#include "zip/archive_reader.hpp"
#include "zip/archive_writer.hpp"

namespace {

using velmo::ErrorKind;
using velmo::Result;
using velmo::test::FailingOutput;
using velmo::test::get_le;
using velmo::test::StringOutput;
using velmo::test::TempDir;
using velmo::test::ZipBuilder;
using velmo::zip::ArchiveReader;
using velmo::zip::ArchiveWriter;
using velmo::zip::Entry;

std::string content(const Result<std::string>& r) { return r ? *r : "error: " + r.error().message; }

// Runs Python's zipfile over the archive: every entry's CRC checked (unless `check_all` is
// false), then `script` with `z` bound to the open archive. Passes when no Python is at hand.
bool python_accepts(const std::string& path, const std::string& script = "", bool check_all = true) {
    if (std::system("python3 -c '' >/dev/null 2>&1") != 0) return true;
    std::string cmd = "python3 -c 'import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\n" +
                      std::string(check_all ? "assert z.testzip() is None\n" : "") + script + "' '" + path + "'";
    return std::system(cmd.c_str()) == 0;
}

TEST(ZipWriter, WritesDeflatedEntriesWithFixedOptions) {
    const std::string big(3 << 20, 'r');  // larger than the write buffer
    auto write = [&] {
        StringOutput out;
        ArchiveWriter w(out);
        EXPECT_TRUE(w.add("[Content_Types].xml", "<Types/>"));
        EXPECT_TRUE(w.add("xl/empty.xml", ""));
        EXPECT_TRUE(w.add("xl/big.xml", big));
        EXPECT_TRUE(w.add("xl/caf\xc3\xa9.xml", "accent"));
        EXPECT_TRUE(w.finish());
        return out;
    };
    StringOutput out = write();
    EXPECT_LT(out.writes, 8);  // buffered, not one call per header
    EXPECT_EQ(out.bytes, write().bytes);  // the same input always gives the same archive

    auto reader = ArchiveReader::open_memory(out.bytes);
    ASSERT_TRUE(reader) << reader.error().message;
    ASSERT_EQ(reader->entries().size(), 4u);
    EXPECT_EQ(reader->entries()[2].name, "xl/big.xml");
    EXPECT_EQ(content(reader->read(*reader->find("[Content_Types].xml"))), "<Types/>");
    EXPECT_EQ(content(reader->read(*reader->find("xl/empty.xml"))), "");
    EXPECT_EQ(content(reader->read(*reader->find("xl/big.xml"))), big);
    EXPECT_LT(reader->find("xl/big.xml")->compressed_size, 100000u);
    for (const Entry& e : reader->entries()) {
        EXPECT_EQ(e.method, velmo::zip::kMethodDeflate);
        EXPECT_EQ(e.dos_time, 0);
        EXPECT_EQ(e.dos_date, 0x21);
        EXPECT_EQ(e.external_attributes, 0100644u << 16);
        EXPECT_EQ(e.version_made_by >> 8, 3);  // Unix, so the attributes read as a mode
        EXPECT_EQ(e.flags & ~velmo::zip::kFlagUtf8, 0);
        // No data descriptor: the local header carries the CRC and sizes.
        size_t at = e.local_header_offset;
        EXPECT_EQ(get_le(out.bytes, at + 14, 4), e.crc32);
        EXPECT_EQ(get_le(out.bytes, at + 18, 4), e.compressed_size);
        EXPECT_EQ(get_le(out.bytes, at + 22, 4), e.uncompressed_size);
    }
    EXPECT_EQ(reader->entries()[0].flags, 0);
    EXPECT_EQ(reader->entries()[3].flags, velmo::zip::kFlagUtf8);

    const TempDir dir("zip_writer");
    velmo::test::write_file(dir.file("out.zip"), out.bytes);
    EXPECT_TRUE(python_accepts(dir.file("out.zip"),
                               "i = z.getinfo(\"xl/big.xml\")\n"
                               "assert i.date_time == (1980, 1, 1, 0, 0, 0), i.date_time\n"
                               "assert i.external_attr >> 16 == 0o100644\n"
                               "assert i.compress_type == zipfile.ZIP_DEFLATED\n"
                               "assert z.read(\"xl/caf\\u00e9.xml\") == b\"accent\"\n"));
}

TEST(ZipWriter, EmptyArchive) {
    StringOutput out;
    ArchiveWriter w(out);
    ASSERT_TRUE(w.finish());
    EXPECT_EQ(out.bytes.size(), 22u);
    auto reader = ArchiveReader::open_memory(out.bytes);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(reader->entries().empty());
}

TEST(ZipWriter, RefusesDuplicateAndOverlongNamesAndLateEntries) {
    StringOutput out;
    ArchiveWriter w(out);
    ASSERT_TRUE(w.add("xl/styles.xml", "a"));
    auto dup = w.add("xl/styles.xml", "b");
    ASSERT_FALSE(dup);
    EXPECT_EQ(dup.error().kind, ErrorKind::Zip);
    EXPECT_NE(dup.error().message.find("duplicate entry name xl/styles.xml"), std::string::npos);

    auto source = ArchiveReader::open_memory(velmo::test::deflated_zip({{"xl/styles.xml", "c"}}));
    ASSERT_TRUE(source);
    auto raw = source->read_raw(source->entries()[0]);
    EXPECT_EQ(w.add_raw(source->entries()[0], *raw).error().kind, ErrorKind::Zip);

    EXPECT_EQ(w.add(std::string(65536, 'n'), "x").error().kind, ErrorKind::Zip);
    EXPECT_TRUE(w.add(std::string(65535, 'n'), "x"));

    // A refused entry leaves the archive intact.
    ASSERT_TRUE(w.finish());
    EXPECT_EQ(w.add("late", "x").error().kind, ErrorKind::Zip);
    EXPECT_EQ(w.finish().error().kind, ErrorKind::Zip);
    auto reader = ArchiveReader::open_memory(out.bytes);
    ASSERT_TRUE(reader) << reader.error().message;
    ASSERT_EQ(reader->entries().size(), 2u);
    EXPECT_EQ(content(reader->read(reader->entries()[0])), "a");
}

TEST(ZipWriter, RawCopyKeepsBytesAndMetadata) {
    ZipBuilder src;
    auto& described = src.deflated("docProps/core.xml", "<core>properties</core>", 9);
    described.data_descriptor = true;
    described.dos_time = 0x7BDE;
    described.dos_date = 0x58A3;
    described.flags = 0x0002;  // maximum compression noted in bits 1-2
    described.version_made_by = 0x0A14;
    described.external_attributes = 0x20;
    auto& stored = src.stored("xl/media/image1.png", "\x89PNG\r\n\x1a\nnot really");
    stored.dos_date = 0x4F21;
    stored.internal_attributes = 1;
    src.raw("custom/blob.bz2", "BZh91AY&SY-opaque", 12).crc32 = 0xDEADBEEF;
    src.deflated("xl/theme/theme1.xml", "<theme/>").zip64 = true;
    auto source = ArchiveReader::open_memory(src.build());
    ASSERT_TRUE(source) << source.error().message;

    StringOutput out;
    ArchiveWriter w(out);
    ASSERT_TRUE(w.add("xl/workbook.xml", "<workbook/>"));
    for (const Entry& e : source->entries()) {
        auto raw = source->read_raw(e);
        ASSERT_TRUE(raw) << raw.error().message;
        ASSERT_TRUE(w.add_raw(e, *raw));
    }
    ASSERT_TRUE(w.finish());

    auto copy = ArchiveReader::open_memory(out.bytes);
    ASSERT_TRUE(copy) << copy.error().message;
    ASSERT_EQ(copy->entries().size(), 5u);
    for (const Entry& before : source->entries()) {
        const Entry* after = copy->find(before.name);
        ASSERT_NE(after, nullptr) << before.name;
        EXPECT_EQ(content(copy->read_raw(*after)), content(source->read_raw(before))) << before.name;
        EXPECT_EQ(after->method, before.method);
        EXPECT_EQ(after->crc32, before.crc32);
        EXPECT_EQ(after->compressed_size, before.compressed_size);
        EXPECT_EQ(after->uncompressed_size, before.uncompressed_size);
        EXPECT_EQ(after->dos_time, before.dos_time);
        EXPECT_EQ(after->dos_date, before.dos_date);
        EXPECT_EQ(after->version_made_by, before.version_made_by);
        EXPECT_EQ(after->internal_attributes, before.internal_attributes);
        EXPECT_EQ(after->external_attributes, before.external_attributes);
        EXPECT_EQ(after->flags, before.flags & ~velmo::zip::kFlagDataDescriptor);
        if (before.method != 12) {
            EXPECT_EQ(content(copy->read(*after)), content(source->read(before)));
        }
    }
    EXPECT_EQ(content(copy->read(*copy->find("docProps/core.xml"))), "<core>properties</core>");

    Entry lying = source->entries()[1];
    lying.name = "other";
    auto mismatch = w.add_raw(lying, "short");
    ASSERT_FALSE(mismatch);
    EXPECT_EQ(mismatch.error().kind, ErrorKind::Zip);
}

TEST(ZipWriter, Zip64WhenEntriesExceedTheClassicCount) {
    constexpr size_t kCount = 70000;
    StringOutput out;
    {
        ArchiveWriter w(out);
        for (size_t i = 0; i < kCount; ++i) {
            std::string name = "e/" + std::to_string(i);
            ASSERT_TRUE(w.add(name, name + " content"));
        }
        ASSERT_TRUE(w.finish());
    }
    const size_t end = out.bytes.size() - 22;
    EXPECT_EQ(get_le(out.bytes, end + 10, 2), 0xFFFFu);
    EXPECT_EQ(get_le(out.bytes, end - 20, 4), 0x07064b50u);  // locator right before the end record

    auto reader = ArchiveReader::open_memory(out.bytes);
    ASSERT_TRUE(reader) << reader.error().message;
    ASSERT_EQ(reader->entries().size(), kCount);
    EXPECT_EQ(reader->entries()[kCount - 1].name, "e/69999");
    EXPECT_EQ(content(reader->read(*reader->find("e/0"))), "e/0 content");
    EXPECT_EQ(content(reader->read(*reader->find("e/65535"))), "e/65535 content");
    EXPECT_EQ(content(reader->read(*reader->find("e/69999"))), "e/69999 content");

    const TempDir dir("zip_writer");
    velmo::test::write_file(dir.file("many.zip"), out.bytes);
    EXPECT_TRUE(python_accepts(dir.file("many.zip"), "assert len(z.infolist()) == 70000\n"));
}

TEST(ZipWriter, Zip64FieldsForSizesBeyondFourGiB) {
    // A raw copy only claims its sizes, so a 5 GiB entry needs no 5 GiB of memory.
    Entry huge;
    huge.name = "huge.bin";
    huge.method = velmo::zip::kMethodDeflate;
    huge.version_needed = 20;
    huge.compressed_size = 16;
    huge.uncompressed_size = uint64_t{5} << 30;
    huge.crc32 = 0x12345678;
    StringOutput out;
    ArchiveWriter w(out);
    ASSERT_TRUE(w.add("before", "b"));
    ASSERT_TRUE(w.add_raw(huge, std::string(16, 'c')));
    ASSERT_TRUE(w.add("after", "a"));
    ASSERT_TRUE(w.finish());

    auto reader = ArchiveReader::open_memory(out.bytes);
    ASSERT_TRUE(reader) << reader.error().message;
    const Entry* e = reader->find("huge.bin");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->uncompressed_size, uint64_t{5} << 30);  // not truncated to 32 bits
    EXPECT_EQ(e->compressed_size, 16u);
    EXPECT_GE(e->version_needed, 45);
    // With the ZIP64 field present in a local header, both classic sizes defer to it.
    EXPECT_EQ(get_le(out.bytes, e->local_header_offset + 18, 4), 0xFFFFFFFFu);
    EXPECT_EQ(get_le(out.bytes, e->local_header_offset + 22, 4), 0xFFFFFFFFu);
    EXPECT_EQ(get_le(out.bytes, e->local_header_offset + 28, 2), 20u);  // ZIP64 local extra
    EXPECT_EQ(content(reader->read_raw(*e)), std::string(16, 'c'));
    EXPECT_NE(content(reader->read(*e)).find("exceeds the limit"), std::string::npos);
    EXPECT_EQ(content(reader->read(*reader->find("after"))), "a");
}

// Writes to a file, turning very large writes into holes so that a multi-GiB archive costs
// neither memory nor disk.
struct SparseFileOutput final : velmo::zip::Output {
    int fd;
    explicit SparseFileOutput(int fd) : fd(fd) {}
    Result<void> write(std::string_view b) override {
        if (b.size() >= (size_t{1} << 30)) {
            if (::lseek(fd, static_cast<off_t>(b.size()), SEEK_CUR) < 0) {
                return velmo::fail(velmo::VelmoError::io("lseek", errno));
            }
            return {};
        }
        return velmo::zip::FdOutput(fd).write(b);
    }
};

TEST(ZipWriter, Zip64OffsetsBeyondFourGiB) {
    const size_t kHuge = (size_t{4} << 30) + 4096;
    void* zeros = ::mmap(nullptr, kHuge, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (zeros == MAP_FAILED) GTEST_SKIP() << "cannot map 4 GiB";
    const TempDir dir("zip_writer");
    std::string path = dir.file("big.zip");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    {
        Entry padding;
        padding.name = "padding.bin";
        padding.method = velmo::zip::kMethodStored;
        padding.compressed_size = padding.uncompressed_size = kHuge;
        SparseFileOutput out(fd);
        ArchiveWriter w(out);
        ASSERT_TRUE(w.add_raw(padding, std::string_view(static_cast<const char*>(zeros), kHuge)));
        ASSERT_TRUE(w.add("beyond.xml", "<beyond/>"));
        ASSERT_TRUE(w.finish());
    }
    ::close(fd);
    ::munmap(zeros, kHuge);

    auto reader = ArchiveReader::open(path);
    ASSERT_TRUE(reader) << reader.error().message;
    const Entry* e = reader->find("beyond.xml");
    ASSERT_NE(e, nullptr);
    EXPECT_GT(e->local_header_offset, uint64_t{4} << 30);
    EXPECT_EQ(content(reader->read(*e)), "<beyond/>");
    EXPECT_TRUE(python_accepts(path,
                               "i = z.getinfo(\"beyond.xml\")\n"
                               "assert i.header_offset > 1 << 32\n"
                               "assert z.read(i) == b\"<beyond/>\"\n",
                               false));
}

// Whatever byte the output gives up at, the failure reaches the caller and sticks: no later
// call, finish included, reports success.
TEST(ZipWriter, WriteFailureIsReportedAndSticks) {
    const std::string big(2 << 20, 'b');
    // Incompressible, so that its deflated form bypasses the write buffer.
    std::string noise(2 << 20, '\0');
    uint64_t x = 88172645463325252u;
    for (char& c : noise) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        c = static_cast<char>(x);
    }
    auto run = [&](velmo::zip::Output& out) -> Result<void> {
        ArchiveWriter w(out);
        Result<void> first;
        auto step = [&](Result<void> r) {
            if (first && !r) first = r;
            if (!first) {
                EXPECT_FALSE(r);
            }
        };
        step(w.add("a.xml", "small"));
        step(w.add("noise.bin", noise));
        step(w.add("big.xml", big));
        for (int i = 0; i < 50; ++i) step(w.add("n" + std::to_string(i), noise.substr(i * 100, 5000)));
        step(w.finish());
        return first;
    };
    StringOutput full;
    ASSERT_TRUE(run(full));
    const uint64_t size = full.bytes.size();
    for (uint64_t budget : {uint64_t{0}, uint64_t{10}, uint64_t{1000}, uint64_t{1} << 20,
                            size / 2, size - 1000, size - 23, size - 1}) {
        FailingOutput out(budget);
        auto r = run(out);
        ASSERT_FALSE(r) << budget;
        EXPECT_EQ(r.error().kind, ErrorKind::Io);
        EXPECT_EQ(r.error().os_errno, ENOSPC);
    }
}

TEST(ZipWriter, FdOutputWritesAndReportsErrno) {
    const TempDir dir("zip_writer");
    std::string path = dir.file("fd.zip");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    {
        velmo::zip::FdOutput out(fd);
        ArchiveWriter w(out);
        ASSERT_TRUE(w.add("x.xml", "<x/>"));
        ASSERT_TRUE(w.finish());
    }
    ::close(fd);
    auto reader = ArchiveReader::open(path);
    ASSERT_TRUE(reader);
    EXPECT_EQ(content(reader->read(*reader->find("x.xml"))), "<x/>");

    int ro = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    velmo::zip::FdOutput bad(ro);
    auto r = bad.write("data");
    ::close(ro);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Io);
    EXPECT_EQ(r.error().os_errno, EBADF);
}

}  // namespace
