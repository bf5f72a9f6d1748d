// Saving under faults: a full or read-only destination, a source package gone or damaged since
// it was loaded, a write failing part-way. Whatever fails, the destination keeps its old bytes,
// no temporary file is left beside it, and the failure is reported as an error.
//
// The disk-full and read-only cases run in a forked child: it mounts a small tmpfs in a mount
// namespace of its own (skipped where that is not allowed), lowers its file size limit, or drops
// root so that permissions apply.

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "reader/reader.hpp"
#include "support/child_process.hpp"
#include "support/package_builder.hpp"
#include "support/zip_outputs.hpp"
#include "writer/atomic_save.hpp"
#include "writer/package.hpp"
#include "writer/writer.hpp"
#include "zip/archive_reader.hpp"
#include "zip/output.hpp"

using namespace velmo;
namespace fs = std::filesystem;

namespace {

constexpr int kSkip = 77;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// `cells` texts of 48 random letters and digits: about 1.5 MB deflated for 40000 cells, so the
// package cannot shrink below what a small disk holds.
void fill_with_noise(Worksheet& ws, std::size_t cells, unsigned seed) {
    static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pick(0, 61);
    for (std::size_t i = 0; i < cells; ++i) {
        std::string text(48, ' ');
        for (char& c : text) c = kChars[pick(rng)];
        ws.set_cell("A" + std::to_string(i + 1), Value(std::move(text)));
    }
}

// A package with an entry the model does not cover, so that a save must copy from the source.
std::string source_package() {
    test::Package p;
    p.sheet("Data", "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>");
    p.set("[Content_Types].xml",
          "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
          "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
          "<Default Extension=\"xml\" ContentType=\"application/xml\"/></Types>");
    p.set("docProps/app.xml", "<Properties/>");
    return p.build();
}

class SaveFault : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = fs::temp_directory_path() / "velmo-savefault-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        ::chmod(dir_.c_str(), 0700);
        fs::remove_all(dir_);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
};

// What every failed save must leave: the old bytes under the old name and nothing else.
// Returns 0, or a code naming what went wrong.
int check_untouched(const std::string& dir, const std::string& name, const std::string& old_bytes) {
    if (read_file(dir + "/" + name) != old_bytes) return 50;
    if (listing(dir) != std::vector<std::string>{name}) return 51;
    if (!reader::open_workbook(dir + "/" + name)) return 52;
    return 0;
}

// ---- the destination cannot take the file ----

// In a child with a private mount namespace: a 1 MiB tmpfs over `dir`, an old workbook saved
// there, then a 1.5 MB one saved over it.
TEST_F(SaveFault, FullDiskLeavesTheOldFileAndNoTemporary) {
    const std::string dir = dir_;
    const auto child = test::run_in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0) return kSkip;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kSkip;
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") != 0) return kSkip;
        const std::string book = dir + "/book.xlsx";
        Workbook small = Workbook::make_new();
        small.sheets[0].set_cell("A1", Value(std::string("old")));
        if (!writer::write_xlsx(small, book)) return 10;
        const std::string old_bytes = read_file(book);

        // The realistic case: the file is loaded, grows, and is saved over itself.
        auto wb = reader::open_workbook(book);
        if (!wb) return 11;
        fill_with_noise(wb->sheets[0], 40000, 1);
        auto saved = writer::write_xlsx(*wb, book);
        if (saved) return 12;
        if (saved.error().kind != ErrorKind::Io || saved.error().os_errno != ENOSPC) return 13;
        if (int bad = check_untouched(dir, "book.xlsx", old_bytes)) return bad;
        // The space is free again: a small save now succeeds.
        if (!writer::write_xlsx(small, book)) return 14;
        return check_untouched(dir, "book.xlsx", old_bytes) == 0 ? 0 : 15;
    });
    if (child.exited_with(kSkip)) GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_TRUE(child.exited_with(0)) << child.describe();
}

TEST_F(SaveFault, FileSizeLimitLeavesTheOldFileAndNoTemporary) {
    const std::string book = path("book.xlsx");
    Workbook small = Workbook::make_new();
    ASSERT_TRUE(writer::write_xlsx(small, book));
    const std::string old_bytes = read_file(book);
    const std::string dir = dir_;

    const auto child = test::run_in_child([&] {
        ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
        const struct rlimit limit{256 * 1024, 256 * 1024};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return kSkip;
        auto wb = reader::open_workbook(book);
        if (!wb) return 10;
        fill_with_noise(wb->sheets[0], 40000, 2);
        auto saved = writer::write_xlsx(*wb, book);
        if (saved) return 11;
        if (saved.error().kind != ErrorKind::Io || saved.error().os_errno != EFBIG) return 12;
        return check_untouched(dir, "book.xlsx", old_bytes);
    });
    if (child.exited_with(kSkip)) GTEST_SKIP() << "cannot lower the file size limit";
    EXPECT_TRUE(child.exited_with(0)) << child.describe();
}

TEST_F(SaveFault, ReadOnlyFolderLeavesTheOldFile) {
    const std::string book = path("book.xlsx");
    Workbook small = Workbook::make_new();
    ASSERT_TRUE(writer::write_xlsx(small, book));
    const std::string old_bytes = read_file(book);
    const std::string dir = dir_;
    ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);

    // Root ignores permission bits: the child gives root up first.
    const auto child = test::run_in_child([&] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return kSkip;
        auto wb = reader::open_workbook(book);
        if (!wb) return 10;
        wb->sheets[0].set_cell("B2", Value(2.0));
        auto saved = writer::write_xlsx(*wb, book);
        if (saved) return 11;
        if (saved.error().kind != ErrorKind::Io || saved.error().os_errno != EACCES) return 12;
        return check_untouched(dir, "book.xlsx", old_bytes);
    });
    if (child.exited_with(kSkip)) GTEST_SKIP() << "cannot drop root";
    EXPECT_TRUE(child.exited_with(0)) << child.describe();
}

TEST_F(SaveFault, ReadOnlyFileSystemLeavesTheOldFile) {
    const std::string dir = dir_;
    const auto child = test::run_in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0) return kSkip;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kSkip;
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=4m") != 0) return kSkip;
        const std::string book = dir + "/book.xlsx";
        if (!writer::write_xlsx(Workbook::make_new(), book)) return 10;
        const std::string old_bytes = read_file(book);
        if (::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return kSkip;
        auto wb = reader::open_workbook(book);
        if (!wb) return 11;
        auto saved = writer::write_xlsx(*wb, book);
        if (saved) return 12;
        if (saved.error().kind != ErrorKind::Io || saved.error().os_errno != EROFS) return 13;
        return check_untouched(dir, "book.xlsx", old_bytes);
    });
    if (child.exited_with(kSkip)) GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_TRUE(child.exited_with(0)) << child.describe();
}

// ---- the source changed under the workbook ----

TEST_F(SaveFault, SourceDeletedSinceLoadingFailsAndLeavesTheDestination) {
    const std::string source = path("source.xlsx");
    test::write_file(source, source_package());
    auto wb = reader::open_workbook(source);
    ASSERT_TRUE(wb) << wb.error().display();
    const std::string dest = path("dest.xlsx");
    ASSERT_TRUE(writer::write_xlsx(Workbook::make_new(), dest));
    const std::string old_bytes = read_file(dest);

    fs::remove(source);
    auto saved = writer::write_xlsx(*wb, dest);
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().kind, ErrorKind::Io);
    EXPECT_EQ(saved.error().os_errno, ENOENT);
    EXPECT_EQ(check_untouched(dir_, "dest.xlsx", old_bytes), 0);
}

TEST_F(SaveFault, SourceTruncatedOrReplacedSinceLoadingFailsAndLeavesIt) {
    const std::string bytes = source_package();
    const std::vector<std::pair<const char*, std::string>> damage = {
        {"cut in half", bytes.substr(0, bytes.size() / 2)},
        {"cut before the end record", bytes.substr(0, bytes.size() - 10)},
        {"emptied", ""},
        {"not an archive", std::string(bytes.size(), 'x')},
    };
    for (const auto& [what, damaged] : damage) {
        SCOPED_TRACE(what);
        const std::string source = path("book.xlsx");
        test::write_file(source, bytes);
        auto wb = reader::open_workbook(source);
        ASSERT_TRUE(wb) << wb.error().display();
        test::write_file(source, damaged);
        // Saved over the damaged source itself: the save fails and the file stays as it was.
        auto saved = writer::write_xlsx(*wb, source);
        ASSERT_FALSE(saved);
        EXPECT_TRUE(saved.error().kind == ErrorKind::Zip || saved.error().kind == ErrorKind::InvalidFormat ||
                    saved.error().kind == ErrorKind::Io)
            << saved.error().display();
        EXPECT_EQ(read_file(source), damaged);
        EXPECT_EQ(listing(dir_), std::vector<std::string>{"book.xlsx"});
        fs::remove(source);
    }
}

TEST_F(SaveFault, SourceShrinkingWhileOpenIsAnErrorNotASignal) {
    // The reader reads the source through pread, so a file cut short under it is an error.
    const std::string source = path("book.xlsx");
    test::write_file(source, source_package());
    auto archive = zip::ArchiveReader::open(source);
    ASSERT_TRUE(archive);
    ASSERT_EQ(::truncate(source.c_str(), 40), 0);
    for (const auto& e : archive->entries()) {
        EXPECT_FALSE(archive->read(e).has_value()) << e.name;
        EXPECT_FALSE(archive->read_raw(e).has_value()) << e.name;
    }
}

// ---- a write failing part-way ----

// Writes to a descriptor until `budget` bytes have gone, then fails like a full disk.
struct BudgetFdOutput final : zip::Output {
    BudgetFdOutput(int fd, std::uint64_t budget) : inner(fd), budget(budget) {}
    zip::FdOutput inner;
    std::uint64_t budget;
    std::uint64_t written = 0;
    Result<void> write(std::string_view bytes) override {
        const bool fits = bytes.size() <= budget - written;
        const std::string_view part = fits ? bytes : bytes.substr(0, budget - written);
        if (auto r = inner.write(part); !r) return r;
        written += part.size();
        if (!fits) return fail(VelmoError::io(std::strerror(ENOSPC), ENOSPC));
        return {};
    }
};

TEST_F(SaveFault, WriteFailingAtAnyPointFailsTheSaveAndLeavesTheDestination) {
    const std::string source = path("book.xlsx");
    test::write_file(source, source_package());
    auto wb = reader::open_workbook(source);
    ASSERT_TRUE(wb) << wb.error().display();
    fill_with_noise(wb->sheets[0], 2000, 3);
    const std::string old_bytes = read_file(source);

    test::StringOutput full;
    ASSERT_TRUE(writer::write_package(*wb, full, wb->source_path));
    const std::uint64_t size = full.bytes.size();

    std::vector<std::uint64_t> budgets = {0, 1, 29, 30, 31, size / 2, size - 22, size - 1};
    for (std::uint64_t b = 7; b < size; b += size / 41) budgets.push_back(b);
    for (const std::uint64_t budget : budgets) {
        SCOPED_TRACE("budget " + std::to_string(budget) + " of " + std::to_string(size));
        // Into memory: the error comes back and nothing past the budget was written.
        test::FailingOutput out(budget);
        auto r = writer::write_package(*wb, out, wb->source_path);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().os_errno, ENOSPC);
        EXPECT_EQ(full.bytes.compare(0, out.bytes.size(), out.bytes), 0);

        // Into the file being replaced: it keeps its old bytes and no temporary file remains.
        auto saved = writer::atomic_replace(source, [&](int fd) {
            BudgetFdOutput fd_out(fd, budget);
            return writer::write_package(*wb, fd_out, wb->source_path);
        });
        ASSERT_FALSE(saved);
        EXPECT_EQ(saved.error().kind, ErrorKind::Io);
        ASSERT_EQ(check_untouched(dir_, "book.xlsx", old_bytes), 0);
    }
    // With room for every byte the same path succeeds and the result loads.
    ASSERT_TRUE(writer::atomic_replace(source, [&](int fd) {
        BudgetFdOutput fd_out(fd, size);
        return writer::write_package(*wb, fd_out, wb->source_path);
    }));
    EXPECT_EQ(read_file(source), full.bytes);
    auto again = reader::open_workbook(source);
    ASSERT_TRUE(again) << again.error().display();
    EXPECT_EQ(again->sheets[0].cells().size(), wb->sheets[0].cells().size());
}

}  // namespace
