// sd find's walk of a 100,000-file tree on the host mirror, in objects per second, beside the
// floor: a bare walk of the same tree through the same directory listing calls. The same for a
// 10,000-object tree on an NTFS volume of the benchmark's own (an image mounted with ntfs-3g;
// root only), where every descriptor is the disk's.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
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

// Fills `root` with `directories` directories of `files` empty files each.
void Fill(const fs::path& root, int directories, int files) {
  for (int d = 0; d < directories; ++d) {
    const fs::path directory = root / ("d" + std::to_string(d));
    fs::create_directories(directory);
    for (int f = 0; f < files; ++f)
      std::ofstream(directory / ("f" + std::to_string(f)));
  }
}

// The tree, made once under the temporary folder and removed at exit.
class Tree {
 public:
  Tree() : root_(fs::temp_directory_path() / ("vortiss-find-bench-" + std::to_string(getpid()))) {
    Fill(root_, kDirectories, kFilesPerDirectory);
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

// The bare walk of the tree at `root`, which holds `expected` objects.
void BareWalk(benchmark::State& state, const std::wstring& root, double expected) {
  double objects = 0;
  for (auto _ : state)
    objects = 1 + ListAll(root);
  if (objects != expected)
    state.SkipWithError("the walk did not list the whole tree");
  state.counters["objects"] = objects;
  state.counters["objects_per_second"] =
      benchmark::Counter(objects, benchmark::Counter::kIsIterationInvariantRate);
}

// The host as a person runs it on the tree at `root`, its list of matches thrown away.
void SdFindWalk(benchmark::State& state,
                const fs::path& root,
                const std::string& account,
                double objects) {
  const std::string command = std::string(VORTISS_HOST) + " sd find '" + root.string() + "' --as " +
                              account + " --rights FW --not >/dev/null 2>&1";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0)
      state.SkipWithError("sd find failed");
  }
  state.counters["objects"] = objects;
  state.counters["objects_per_second"] =
      benchmark::Counter(objects, benchmark::Counter::kIsIterationInvariantRate);
}

// The kernel's part alone of a walk of `directory`, straight through the C library: each entry
// listed and lstat-ed as the listing does it, and with `as_sd_find` also the calls sd find makes
// for each object on top of its listing (a statx of its state, one listing of its extended
// attributes, a look at the mount table, the process's credentials). An attribute present on an
// object costs one more read, which the benchmark's tree does not hold.
double KernelWalk(const std::string& directory, bool as_sd_find, int mounts) {
  DIR* dir = ::opendir(directory.c_str());
  if (!dir)
    return 0;
  double count = 0;
  std::vector<std::string> below;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
      continue;
    const std::string path = directory + "/" + entry->d_name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
      continue;
    ++count;
    if (as_sd_find) {
      struct statx state;
      ::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_MNT_ID, &state);
      char names[1024];
      ::listxattr(path.c_str(), names, sizeof names);
      pollfd changed{mounts, POLLPRI, 0};
      ::poll(&changed, 1, 0);
      gid_t groups[64];
      benchmark::DoNotOptimize(::geteuid());
      benchmark::DoNotOptimize(::getegid());
      benchmark::DoNotOptimize(::getgroups(64, groups));
    }
    if (S_ISDIR(st.st_mode))
      below.push_back(path);
  }
  ::closedir(dir);
  for (const std::string& d : below)
    count += KernelWalk(d, as_sd_find, mounts);
  return count;
}

void KernelCalls(benchmark::State& state, bool as_sd_find) {
  const int mounts = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  if (mounts < 0)
    return state.SkipWithError("cannot open /proc/self/mountinfo, whose poll sd find makes");
  // The tree is made before the clock starts.
  const std::string root = TheTree().root().string();
  double objects = 0;
  for (auto _ : state)
    objects = 1 + KernelWalk(root, as_sd_find, mounts);
  ::close(mounts);
  if (objects != kObjects)
    state.SkipWithError("the walk did not list the whole tree");
  state.counters["objects"] = objects;
  state.counters["objects_per_second"] =
      benchmark::Counter(objects, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_KernelCallsOfTheBareWalk(benchmark::State& state) {
  KernelCalls(state, false);
}

void BM_KernelCallsOfSdFind(benchmark::State& state) {
  KernelCalls(state, true);
}

void BM_BareDirectoryWalk(benchmark::State& state) {
  BareWalk(state, TheTree().windows(), kObjects);
}

void BM_SdFindWalk(benchmark::State& state) {
  SdFindWalk(state, TheTree().root(), "nobody", kObjects);
}

constexpr int kNtfsDirectories = 10;
constexpr int kNtfsFilesPerDirectory = 999;
constexpr double kNtfsObjects = 1.0 + kNtfsDirectories * (1.0 + kNtfsFilesPerDirectory);

// The NTFS tree: an image made by mkntfs, mounted with ntfs-3g, filled once and unmounted at
// exit. `why` says why there is none.
class NtfsTree {
 public:
  NtfsTree()
      : dir_(fs::temp_directory_path() / ("vortiss-find-bench-ntfs-" + std::to_string(getpid()))),
        mount_(dir_ / "mnt") {
    if (::geteuid() != 0 || !fs::exists("/dev/fuse")) {
      why_ = "needs root and /dev/fuse to mount an NTFS image";
      return;
    }
    fs::create_directories(mount_);
    const fs::path image = dir_ / "disk.img";
    { std::ofstream(image).close(); }
    fs::resize_file(image, 128 << 20);
    const std::string made = "mkntfs -F -f -q '" + image.string() + "' >/dev/null 2>&1";
    const std::string mount = "ntfs-3g '" + image.string() + "' '" + mount_.string() + "'";
    if (std::system(made.c_str()) != 0 || std::system(mount.c_str()) != 0) {
      why_ = "mkntfs or ntfs-3g failed";
      return;
    }
    mounted_ = true;
    // Everyone reaches the tree, so that the walk weighs every object's own descriptor.
    const std::string opened = std::string(VORTISS_HOST) + " sd set '" + mount_.string() +
                               "' 'O:BAD:(A;OICI;FA;;;WD)' >/dev/null 2>&1";
    if (std::system(opened.c_str()) != 0)
      why_ = "sd set failed on the volume's root";
    Fill(mount_ / "tree", kNtfsDirectories, kNtfsFilesPerDirectory);
  }
  ~NtfsTree() {
    if (mounted_)
      std::system(("umount '" + mount_.string() + "'").c_str());
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  const std::string& why() const { return why_; }
  fs::path root() const { return mount_ / "tree"; }

 private:
  fs::path dir_, mount_;
  std::string why_;
  bool mounted_ = false;
};

const NtfsTree& TheNtfsTree() {
  static const NtfsTree tree;
  return tree;
}

std::wstring WindowsForm(const fs::path& path) {
  std::wstring windows = L"Z:";
  for (char c : path.string())
    windows += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return windows;
}

void BM_NtfsBareDirectoryWalk(benchmark::State& state) {
  if (!TheNtfsTree().why().empty())
    return state.SkipWithError(TheNtfsTree().why().c_str());
  BareWalk(state, WindowsForm(TheNtfsTree().root()), kNtfsObjects);
}

// Every object's descriptor read from the disk through system.ntfs_acl.
void BM_NtfsSdFindWalk(benchmark::State& state) {
  if (!TheNtfsTree().why().empty())
    return state.SkipWithError(TheNtfsTree().why().c_str());
  SdFindWalk(state, TheNtfsTree().root(), "Everyone", kNtfsObjects);
}

BENCHMARK(BM_BareDirectoryWalk)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_SdFindWalk)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_KernelCallsOfTheBareWalk)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_KernelCallsOfSdFind)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_NtfsBareDirectoryWalk)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_NtfsSdFindWalk)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // The host mirror, whatever machine the environment names.
  unsetenv("VORTISS_MACHINE");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
