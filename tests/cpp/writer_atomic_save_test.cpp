// Replacing a file through an exclusive temporary file: what lands, what is refused, and what is
// left behind after a failure.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "writer/atomic_save.hpp"

namespace fs = std::filesystem;
using velmo::ErrorKind;
using velmo::Result;
using velmo::VelmoError;
using velmo::writer::atomic_replace;
using velmo::writer::FileBuilder;
using velmo::writer::parent_directory;

namespace {

class AtomicSave : public ::testing::Test {
protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "velmo-atomic-XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        dir = templ;
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir, ec);
    }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    static std::string read(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    static void write(const std::string& p, const std::string& bytes) {
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        f << bytes;
    }
    // Every name in the directory, sorted.
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static FileBuilder writes(std::string bytes) {
        return [bytes](int fd) -> Result<void> {
            if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
                return velmo::fail(VelmoError::io("short write"));
            return {};
        };
    }
    static mode_t mode_of(const std::string& p) {
        struct stat st{};
        ::stat(p.c_str(), &st);
        return st.st_mode & 07777;
    }

    fs::path dir;
};

// Sets the umask for one scope.
struct Umask {
    explicit Umask(mode_t m) : old(::umask(m)) {}
    ~Umask() { ::umask(old); }
    mode_t old;
};

TEST(ParentDirectory, BareNamesNestedPathsAndTrailingSlashes) {
    EXPECT_EQ(parent_directory("book.xlsx"), ".");
    EXPECT_EQ(parent_directory("a/book.xlsx"), "a");
    EXPECT_EQ(parent_directory("a//b/book.xlsx"), "a//b");
    EXPECT_EQ(parent_directory("a//book.xlsx"), "a");
    EXPECT_EQ(parent_directory("/book.xlsx"), "/");
    EXPECT_EQ(parent_directory("a/b/"), "a");
}

TEST_F(AtomicSave, CreatesAndReplacesLeavingOnlyTheDestination) {
    const std::string dest = path("out.xlsx");
    ASSERT_TRUE(atomic_replace(dest, writes("first")));
    EXPECT_EQ(read(dest), "first");
    ASSERT_TRUE(atomic_replace(dest, writes("second, longer")));
    EXPECT_EQ(read(dest), "second, longer");
    EXPECT_EQ(listing(), std::vector<std::string>{"out.xlsx"});
}

TEST_F(AtomicSave, BuildsIntoAnExclusiveTemporaryFileInTheDestinationFolder) {
    const std::string dest = path("out.xlsx");
    std::string seen;
    auto r = atomic_replace(dest, [&](int fd) -> Result<void> {
        for (const auto& name : listing())
            if (name != "out.xlsx") seen = name;
        // The descriptor is write-only: the build cannot read back through it.
        char c;
        EXPECT_LT(::read(fd, &c, 1), 0);
        return writes("x")(fd);
    });
    ASSERT_TRUE(r);
    ASSERT_EQ(seen.size(), 10u);
    EXPECT_TRUE(seen.starts_with(".tmp"));
    for (char c : seen.substr(4)) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << seen;
}

TEST_F(AtomicSave, RefusesSymbolicLinksDanglingOrNot) {
    const std::string target = path("target.xlsx");
    write(target, "original");
    const std::string link = path("link.xlsx");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    const std::string dangling = path("dangling.xlsx");
    ASSERT_EQ(::symlink(path("nowhere.xlsx").c_str(), dangling.c_str()), 0);

    for (const auto& dest : {link, dangling}) {
        bool built = false;
        auto r = atomic_replace(dest, [&](int) -> Result<void> {
            built = true;
            return {};
        });
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
        EXPECT_EQ(r.error().message, "refusing to replace a symbolic-link destination");
        EXPECT_FALSE(built);
    }
    EXPECT_EQ(read(target), "original");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::is_symlink(dangling));
    EXPECT_EQ(listing(), (std::vector<std::string>{"dangling.xlsx", "link.xlsx", "target.xlsx"}));
}

TEST_F(AtomicSave, ModesNewUnderTheUmaskExistingKeptWhateverTheUmask) {
    {
        Umask m(022);
        ASSERT_TRUE(atomic_replace(path("new.xlsx"), writes("n")));
        EXPECT_EQ(mode_of(path("new.xlsx")), 0644u);
    }
    {
        Umask m(077);
        ASSERT_TRUE(atomic_replace(path("new2.xlsx"), writes("n")));
        EXPECT_EQ(mode_of(path("new2.xlsx")), 0600u);
    }
    // Existing modes survive, including ones the umask would narrow and ones without owner write.
    for (mode_t mode : {mode_t{0600}, mode_t{0664}, mode_t{0444}, mode_t{0755}}) {
        Umask m(077);
        const std::string dest = path("kept.xlsx");
        write(dest, "old");
        ASSERT_EQ(::chmod(dest.c_str(), mode), 0);
        ASSERT_TRUE(atomic_replace(dest, writes("new"))) << std::oct << mode;
        EXPECT_EQ(mode_of(dest), mode);
        EXPECT_EQ(read(dest), "new");
        ::chmod(dest.c_str(), 0600);
    }
}

TEST_F(AtomicSave, AFailedBuildLeavesTheDestinationAndNoTemporaryFile) {
    const std::string dest = path("out.xlsx");
    write(dest, "precious");
    auto r = atomic_replace(dest, [](int fd) -> Result<void> {
        (void)::write(fd, "partial", 7);
        return velmo::fail(VelmoError::zip("broken source"));
    });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Zip);  // the build's own error, unchanged
    EXPECT_EQ(read(dest), "precious");
    EXPECT_EQ(listing(), std::vector<std::string>{"out.xlsx"});
}

TEST_F(AtomicSave, MissingFolderFailsBeforeAnythingIsWritten) {
    bool built = false;
    auto r = atomic_replace(path("no/such/out.xlsx"), [&](int) -> Result<void> {
        built = true;
        return {};
    });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Io);
    EXPECT_EQ(r.error().os_errno, ENOENT);
    EXPECT_FALSE(built);
}

TEST_F(AtomicSave, DirectoryDestinationFailsAtTheRenameAndCleansUp) {
    fs::create_directory(dir / "sub");
    write(path("sub/keep.txt"), "k");
    auto r = atomic_replace(path("sub"), writes("x"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Io);
    EXPECT_EQ(listing(), std::vector<std::string>{"sub"});
    EXPECT_EQ(read(path("sub/keep.txt")), "k");
}

TEST_F(AtomicSave, UnwritableFolderIsAnIoError) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
    fs::create_directory(dir / "ro");
    ASSERT_EQ(::chmod(path("ro").c_str(), 0555), 0);
    auto r = atomic_replace(path("ro/out.xlsx"), writes("x"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Io);
    EXPECT_EQ(r.error().os_errno, EACCES);
}

TEST_F(AtomicSave, BareNameGoesThroughTheCurrentDirectory) {
    const fs::path old = fs::current_path();
    fs::current_path(dir);
    auto ok = atomic_replace("bare.xlsx", writes("b"));
    auto bad = atomic_replace("bare.xlsx", [](int) -> Result<void> { return velmo::fail(VelmoError::io("x")); });
    fs::current_path(old);
    ASSERT_TRUE(ok);
    ASSERT_FALSE(bad);
    EXPECT_EQ(read(path("bare.xlsx")), "b");
    EXPECT_EQ(listing(), std::vector<std::string>{"bare.xlsx"});
}

}  // namespace
