#include "framework/Edition.h"

#include <filesystem>

#include "framework/InstallPaths.h"

namespace {
constexpr EditionTexts kEditionA = {"QUORVANE Series Flash Tool", "Quorvane IAP "};
constexpr EditionTexts kEditionB = {"Lumbrook Series Flash Tool", "Lumbrook Series Flash LB1~6K"};
constexpr const char* kTempEraseFile = "TempErase.log";
}  // namespace

const EditionTexts& TextsOf(Edition edition) {
    return edition == Edition::A ? kEditionA : kEditionB;
}

std::string TempErasePath(Edition edition) {
    if (edition == Edition::B) {
        return kTempEraseFile;
    }
    return (std::filesystem::path(InstallRoot()) / "Lumbrook Flash Tools" / "Flash_LB1~6K" /
            kTempEraseFile)
        .string();
}
