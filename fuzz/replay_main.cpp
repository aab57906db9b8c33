// Stands in for libFuzzer where it is not available (g++ builds, the sanitizer run in
// CI): runs the target once on every file named, and on every file below every folder
// named, in name order. Exits non-zero when an argument cannot be read; a broken
// property aborts, as under libFuzzer.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool runFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(stream)),
                                  std::istreambuf_iterator<char>());
    (void)LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int files = 0;
    bool ok = true;
    for (int index = 1; index < argc; ++index) {
        const std::filesystem::path argument(argv[index]);
        std::error_code error;
        if (std::filesystem::is_directory(argument, error)) {
            std::vector<std::filesystem::path> found;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(argument)) {
                if (entry.is_regular_file()) {
                    found.push_back(entry.path());
                }
            }
            std::sort(found.begin(), found.end());
            for (const auto& path : found) {
                ok = runFile(path) && ok;
                ++files;
            }
        } else {
            ok = runFile(argument) && ok;
            ++files;
        }
    }
    std::printf("replayed %d input(s)\n", files);
    return ok ? 0 : 1;
}
