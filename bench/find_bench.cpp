// sd find's walk of a 100,000-file tree on the host mirror, in objects per second, beside the
// floor: a bare walk of the same tree through the same directory listing calls.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/win32.h"

namespace {

namespace fs = std::filesystem;

constexpr int kDirectories = 100;
constexpr int kFilesPerDirectory = 1000;
constexpr double kObjects = 1.0 + kDirectories * (1.0 + kFilesPerDirectory);

// The tree, made once under the temporary folder and removed at exit.
class Tree {
 public:
  Tree() : root_(fs::temp_directory_path() / ("vortiss-find-bench-" + std::to_string(getpid()))) {
    for (int d = 0; d < kDirectories; ++d) {
      const fs::path directory = root_ / ("d" + std::to_string(d));
      fs::create_directories(directory);
      for (int f = 0; f < kFilesPerDirectory; ++f)
        std::ofstream(directory / ("f" + std::to_string(f)));
    }
  }
  ~Tree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& root() const { return root_; }
  std::wstring windows() const {
    std::wstring path = L"Z:";
    for (char c : root_.string())
      path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return path;
  }

 private:
  fs::path root_;
};

const Tree& TheTree() {
  static const Tree tree;
  return tree;
}

// Every object below `directory` through FindFirstFileW and FindNextFileW, as sd find lists them.
double ListAll(const std::wstring& directory) {
  double count = 0;
  WIN32_FIND_DATAW data;
  const HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE)
    return 0;
  std::vector<std::wstring> below;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..")
      continue;
    ++count;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      below.push_back(directory + L"\\" + name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  for (const std::wstring& d : below)
    count += ListAll(d);
  return count;
}

void BM_BareDirectoryWalk(benchmark::State& state) {
  const std::wstring root = TheTree().windows();
  double objects = 0;
  for (auto _ : state)
    objects = 1 + ListAll(root);
  if (objects != kObjects)
    state.SkipWithError("the walk did not list the whole tree");
  state.counters["objects"] = objects;
  state.counters["objects_per_second"] =
      benchmark::Counter(objects, benchmark::Counter::kIsIterationInvariantRate);
}

// The host as a person runs it, its list of matches thrown away.
void BM_SdFindWalk(benchmark::State& state) {
  const std::string command = std::string(VORTISS_HOST) + " sd find '" + TheTree().root().string() +
                              "' --as nobody --rights FW --not >/dev/null 2>&1";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0)
      state.SkipWithError("sd find failed");
  }
  state.counters["objects"] = kObjects;
  state.counters["objects_per_second"] =
      benchmark::Counter(kObjects, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_BareDirectoryWalk)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_SdFindWalk)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // The host mirror, whatever machine the environment names.
  unsetenv("VORTISS_MACHINE");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
