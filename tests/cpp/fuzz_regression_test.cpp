// Replays the fuzzing seeds (fuzz/corpus/<target>/*) and every input that
// once crashed a fuzz target (fuzz/regressions/<target>-*) through the same
// harness the fuzz targets run. A fault shows as an abort or a sanitizer
// report in the test that replays it.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../fuzz/FuzzHarness.h"

namespace fs = std::filesystem;
using namespace vantor_fuzz;

namespace {

// The source path is absolute in the build, so the inputs are found from it.
const fs::path kFuzzDir = fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz";

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<fs::path> FilesIn(const fs::path& dir) {
    std::vector<fs::path> files;
    if (!fs::is_directory(dir)) return files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    return files;
}

// fuzz/regressions/<target>-<anything>: the target whose name prefixes it.
const Target* RegressionTarget(const std::string& file) {
    const Target* best = nullptr;
    for (const Target& target : kTargets) {
        const std::size_t n = std::strlen(target.name);
        if (file.size() > n && file.compare(0, n, target.name) == 0 && file[n] == '-') {
            if (best == nullptr || n > std::strlen(best->name)) best = &target;
        }
    }
    return best;
}

void Replay(const Target& target, const fs::path& path) {
    SCOPED_TRACE(path.string());
    const std::vector<uint8_t> input = ReadFile(path);
    target.run(input.data(), input.size());
}

}  // namespace

TEST(FuzzRegression, EveryTargetHasSeedsAndEveryCorpusATarget) {
    std::set<std::string> targets;
    for (const Target& target : kTargets) {
        targets.insert(target.name);
        EXPECT_FALSE(FilesIn(kFuzzDir / "corpus" / target.name).empty()) << target.name;
    }
    for (const auto& entry : fs::directory_iterator(kFuzzDir / "corpus")) {
        EXPECT_EQ(targets.count(entry.path().filename().string()), 1u) << entry.path();
    }
}

TEST(FuzzRegression, SeedsReplayClean) {
    for (const Target& target : kTargets) {
        for (const fs::path& path : FilesIn(kFuzzDir / "corpus" / target.name)) Replay(target, path);
    }
}

TEST(FuzzRegression, CrashInputsReplayClean) {
    for (const fs::path& path : FilesIn(kFuzzDir / "regressions")) {
        const std::string name = path.filename().string();
        if (name == "README.md") continue;
        const Target* target = RegressionTarget(name);
        ASSERT_NE(target, nullptr) << name << " does not start with a target name and '-'";
        Replay(*target, path);
    }
}
