// Machine profiles: JSON files that describe the machine the stand-in plays.
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/standin/profile/machine_description.h"

namespace standin {

// Reads a profile; throws ProfileError naming the key at fault (or "profile" for the file).
MachineDescription LoadProfile(const std::filesystem::path& file);
// Parses profile text; relative host paths are taken from `base_directory`.
MachineDescription ParseProfile(std::string_view json, const std::filesystem::path& base_directory);
// The description of the host itself: its name, its POSIX users and groups, and root with the
// members of sudo, wheel and admin as Administrators.
MachineDescription HostMirrorDescription();
// The host's registry database: VORTISS_REGISTRY, else $XDG_DATA_HOME/vortiss/registry.db, else
// ~/.local/share/vortiss/registry.db.
std::filesystem::path HostRegistryFile();

}  // namespace standin
