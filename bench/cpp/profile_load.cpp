// Loads a workbook N times and walks its first sheet's cells or saves it, timing each step; a target
// for perf or callgrind without the interpreter in the picture.
//
// Build against a build tree (see bench/README.md):
//   g++ -O2 -g -std=c++23 -I src bench/cpp/profile_load.cpp -o build-perf/profile_load \
//     -Lbuild-perf -lvelmo_writer -lvelmo_reader -lvelmo_xml -lvelmo_zip -lvelmo_model -ldeflate -lisal -lutf8proc
// Usage: profile_load FILE.xlsx [repeat] [rows|none|save OUT.xlsx]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <ctime>
#include <algorithm>

#include "model/workbook.hpp"
#include "reader/reader.hpp"
#include "writer/writer.hpp"

namespace {

double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Processor time of this process (user and system), steadier than wall time on a busy machine.
double cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE.xlsx [repeat] [rows|none|save OUT.xlsx]\n", argv[0]);
        return 2;
    }
    const int repeat = argc > 2 ? std::atoi(argv[2]) : 1;
    const bool save = argc > 4 && std::strcmp(argv[3], "save") == 0;
    const bool walk = !save && (argc <= 3 || std::strcmp(argv[3], "none") != 0);
    double best_load = 1e9, best_cpu = 1e9, best_save = 1e9;
    for (int i = 0; i < repeat; ++i) {
        const double c0 = cpu_now();
        auto t0 = std::chrono::steady_clock::now();
        auto wb = velmo::reader::open_workbook(argv[1]);
        if (!wb) {
            std::fprintf(stderr, "open failed\n");
            return 1;
        }
        const double load = since(t0);
        const double load_cpu = cpu_now() - c0;
        best_load = std::min(best_load, load);
        best_cpu = std::min(best_cpu, load_cpu);
        const auto& ws = wb->sheets.at(0);
        double walk_s = 0;
        size_t seen = 0;
        if (walk) {
            auto t1 = std::chrono::steady_clock::now();
            auto rows = ws.iter_rows(std::nullopt, std::nullopt, std::nullopt, std::nullopt);
            if (!rows) return 1;
            for (const auto& r : *rows) seen += r.size();
            walk_s = since(t1);
        }
        double save_s = 0;
        if (save) {
            auto t2 = std::chrono::steady_clock::now();
            if (auto ok = velmo::writer::write_xlsx(*wb, argv[4]); !ok) {
                std::fprintf(stderr, "save failed\n");
                return 1;
            }
            save_s = since(t2);
            best_save = std::min(best_save, save_s);
        }
        std::printf("cells %zu  load %.3f s (cpu %.3f s)  iter_rows %.3f s (%zu)  save %.3f s\n", ws.cells().size(), load,
                    load_cpu, walk_s, seen, save_s);
    }
    std::printf("best load %.3f s, best load cpu %.3f s, best save %.3f s\n", best_load, best_cpu, best_save);
    return 0;
}
