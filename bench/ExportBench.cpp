// How long the image export takes, next to copying a file of the same size
// on the same disk: the export should cost little more than the copy.
//
//   export-bench [DIR]   (DIR: where to write, default the system's temporary directory)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "image/FlashImage.h"
#include "image/ImageExport.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRuns = 15;

template <typename F>
double MedianMs(F&& run) {
    std::vector<double> ms;
    for (int i = 0; i < kRuns; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        run();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::nth_element(ms.begin(), ms.begin() + kRuns / 2, ms.end());
    return ms[kRuns / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path dir = (argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path()) / "export-bench.tmp";
    fs::create_directories(dir);
    const fs::path exported = dir / "Code_Image_Main_MCU.pas";
    const fs::path copy = dir / "copy.pas";
    try {
        const std::string header = "/home/dev/firmware/main.hex";
        image::ExportImage(exported.string(), header, image::EmbeddedImage());  // warms the page cache
        const auto size = fs::file_size(exported);

        const double formatMs = MedianMs([&] { image::FormatDeclaration(header, image::EmbeddedImage()); });
        const double exportMs =
            MedianMs([&] { image::ExportImage(exported.string(), header, image::EmbeddedImage()); });
        const double copyMs = MedianMs([&] { fs::copy_file(exported, copy, fs::copy_options::overwrite_existing); });

        std::printf("file size          %llu bytes\n", static_cast<unsigned long long>(size));
        std::printf("format only        %8.2f ms (median of %d)\n", formatMs, kRuns);
        std::printf("export (to file)   %8.2f ms (median of %d)\n", exportMs, kRuns);
        std::printf("copy of same size  %8.2f ms (median of %d)\n", copyMs, kRuns);
        std::printf("export / copy      %8.2f\n", exportMs / copyMs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "export-bench: %s\n", e.what());
        fs::remove_all(dir);
        return 1;
    }
    fs::remove_all(dir);
    return 0;
}
