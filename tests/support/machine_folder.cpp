#include "tests/support/machine_folder.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/standin/machine/machine.h"
#include "platform/standin/profile/profile.h"

namespace fs = std::filesystem;

MachineFolder::MachineFolder() {
  static std::atomic<int> counter{0};
  root_ = fs::temp_directory_path() /
          ("vortiss-machine-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
  fs::remove_all(root_);
  fs::create_directories(root_);
}

MachineFolder::~MachineFolder() {
  std::error_code ec;
  fs::remove_all(root_, ec);
}

fs::path MachineFolder::Folder(const std::string& relative) const {
  const fs::path path = root_ / relative;
  fs::create_directories(path);
  return path;
}

fs::path MachineFolder::File(const std::string& relative, const std::string& content) const {
  const fs::path path = root_ / relative;
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

std::string MachineFolder::Read(const std::string& relative) const {
  std::ifstream in(root_ / relative, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void MachineFolder::Install(const std::string& json) const {
  const fs::path profile = File("machine.json", json);
  try {
    standin::InstallMachine(standin::LoadProfile(profile));
  } catch (const standin::ProfileError& e) {
    FAIL() << "profile refused: " << e.what();
  }
}
