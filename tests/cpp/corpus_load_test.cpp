// Every real-world workbook of the shared corpus loads. The folder comes from VELMO_CORPUS_DIR,
// else ../shared/corpus/excel beside the source tree; the test is skipped when it is missing.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "reader/reader.hpp"
#include "zip/archive_reader.hpp"

namespace fs = std::filesystem;
using namespace velmo;

namespace {

fs::path corpus_dir() {
    if (const char* env = std::getenv("VELMO_CORPUS_DIR"); env && *env) return env;
    // tests/cpp/ -> source root -> its parent
    return fs::path(__FILE__).parent_path().parent_path().parent_path().parent_path() / "shared" / "corpus" / "excel";
}

// Chart sheets are not worksheets: a workbook listing one is refused with the missing relationship.
bool has_chart_sheet(const fs::path& file) {
    auto archive = zip::ArchiveReader::open(file.string());
    if (!archive) return false;
    const zip::Entry* rels = archive->find("xl/_rels/workbook.xml.rels");
    if (!rels) return false;
    auto bytes = archive->read(*rels);
    return bytes && bytes->find("/chartsheet\"") != std::string::npos;
}

}  // namespace

TEST(Corpus, EveryWorkbookLoads) {
    const fs::path dir = corpus_dir();
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) GTEST_SKIP() << "no corpus at " << dir;

    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir)) {
        const auto ext = e.path().extension();
        if (e.is_regular_file() && (ext == ".xlsx" || ext == ".xlsm")) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());

    std::size_t loaded = 0, cells = 0;
    for (const auto& file : files) {
        auto wb = reader::open_workbook(file.string());
        if (!wb) {
            const auto& err = wb.error();
            const bool refused_chart_sheet = err.kind == ErrorKind::MissingPart &&
                                             err.message.starts_with("workbook relationship ") && has_chart_sheet(file);
            EXPECT_TRUE(refused_chart_sheet) << file.filename() << ": " << err.display();
            continue;
        }
        ++loaded;
        EXPECT_FALSE(wb->sheets.empty()) << file.filename();
        EXPECT_EQ(wb->sheet_relationships.size(), wb->sheets.size()) << file.filename();
        for (const auto& ws : wb->sheets) cells += ws.cells().size();
    }
    RecordProperty("loaded", static_cast<int>(loaded));
    std::printf("loaded %zu of %zu workbooks, %zu cells\n", loaded, files.size(), cells);
}
