// Load, save, load again. Whatever loads must either fail to save with an error or save into a
// package that loads back with the same sheets. The input goes through a file because a save
// copies the entries it does not regenerate from the package it was loaded from.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.hpp"
#include "reader/reader.hpp"
#include "writer/package.hpp"
#include "zip/output.hpp"

namespace {

struct StringOutput final : velmo::zip::Output {
    std::string bytes;
    velmo::Result<void> write(std::string_view b) override {
        bytes.append(b);
        return {};
    }
};

const std::string& scratch_path() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string p = (dir && *dir) ? dir : "/tmp";
        return p + "/velmo-roundtrip-" + std::to_string(::getpid()) + ".xlsx";
    }();
    static const bool cleanup = [] { return std::atexit([] { ::unlink(path.c_str()); }) == 0; }();
    (void)cleanup;
    return path;
}

void write_input(std::string_view bytes) {
    const int fd = ::open(scratch_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        FUZZ_CHECK(n > 0);
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_input(velmo::fuzz::as_view(data, size));
    auto first = velmo::reader::open_workbook(scratch_path());
    if (!first) return 0;

    StringOutput out;
    if (!velmo::writer::write_package(*first, out, first->source_path)) return 0;

    auto second = velmo::reader::open_workbook_memory(std::move(out.bytes));
    if (!second) {
        std::fprintf(stderr, "reload failed: %s\n", second.error().display().c_str());
        velmo::fuzz::invariant_failed("a saved package loads again");
    }
    FUZZ_CHECK(second->sheets.size() == first->sheets.size());
    for (size_t i = 0; i < first->sheets.size(); ++i) {
        const auto& before = first->sheets[i];
        const auto& after = second->sheets[i];
        FUZZ_CHECK(after.name == before.name);
        FUZZ_CHECK(after.state == before.state);
        // Every value comes back, of the same kind; empty cells may be dropped.
        size_t values = 0;
        for (auto&& item : before.cells()) {
            auto&& [key, cell] = item;
            if (velmo::is_empty(cell.value)) continue;
            ++values;
            const velmo::Cell* again = after.find_cell(key);
            if (!again || again->value.index() != cell.value.index()) {
                std::fprintf(stderr, "cell %.*s lost or changed kind\n", int(std::string_view(key).size()),
                             std::string_view(key).data());
                velmo::fuzz::invariant_failed("values survive a save");
            }
        }
        // What a cell kept beside its value comes back as it was.
        for (auto&& item : before.cells()) {
            auto&& [key, cell] = item;
            const velmo::KeptValue* kept = cell.kept();
            if (!kept) continue;
            const velmo::Cell* again = after.find_cell(key);
            const velmo::KeptValue* back = again ? again->kept() : nullptr;
            FUZZ_CHECK(back && back->error == kept->error && back->value_meta == kept->value_meta &&
                       back->cell_meta == kept->cell_meta && !back->rich_text == !kept->rich_text &&
                       (!kept->rich_text || *back->rich_text == *kept->rich_text));
        }
        // So does every note, its formatting included.
        for (auto&& item : before.cells()) {
            auto&& [key, cell] = item;
            const velmo::Comment* note = cell.comment();
            const velmo::Cell* again = note ? after.find_cell(key) : nullptr;
            const velmo::Comment* back = again ? again->comment() : nullptr;
            if (!back) continue;  // a note on a key the save spells otherwise
            FUZZ_CHECK(back->text == note->text && back->author == note->author &&
                       back->rich_text == note->rich_text);
        }
        size_t values_after = 0;
        for (auto&& item : after.cells()) {
            auto&& [key, cell] = item;
            values_after += !velmo::is_empty(cell.value);
        }
        FUZZ_CHECK(values_after == values);
    }
    return 0;
}
