#pragma once

#include <string>

// The installation folder that holds the boot kernel and the pre-loader: "C:\Program Files" on
// Windows. Elsewhere the `share` folder beside the program's `bin`, unless the environment
// setting FLASHTOOL_INSTALL_DIR or SetInstallRoot names another.
std::string InstallRoot();
void SetInstallRoot(const std::string& root);

// The folder of the running program.
std::string ProgramDirectory();

std::string KernelPath();     // ROOT/Kestrune/3062f.bin
std::string PreLoaderPath();  // ROOT/Kestrune/PreFlash.bin
