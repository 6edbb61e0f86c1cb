// Test support for the file services: a temporary directory tree and a profile whose volumes
// map drives into it, installed for one test and removed after it.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "platform/standin/machine/machine.h"
#include "platform/standin/profile/profile.h"
#include "platform/win32.h"

class FileTree {
 public:
  FileTree() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = std::filesystem::temp_directory_path() /
            ("vortiss-" + std::string(info ? info->name() : "files") + "-" +
             std::to_string(::getpid()));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
  }
  ~FileTree() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  FileTree(const FileTree&) = delete;
  FileTree& operator=(const FileTree&) = delete;

  const std::filesystem::path& root() const { return root_; }

  void Directory(const std::string& relative) {
    std::filesystem::create_directories(root_ / relative);
  }
  void File(const std::string& relative, std::string_view text = "x") {
    std::filesystem::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative) << text;
  }
  bool Exists(const std::string& relative) const {
    return std::filesystem::exists(root_ / relative);
  }

  // Writes `json` as the profile file in the tree's root and installs its machine.
  void Install(std::string_view json) {
    const auto file = root_ / "profile.json";
    std::ofstream(file) << json;
    try {
      standin::InstallMachine(standin::LoadProfile(file));
    } catch (const standin::ProfileError& e) {
      ADD_FAILURE() << "profile refused: " << e.what();
    }
  }

 private:
  std::filesystem::path root_;
};
