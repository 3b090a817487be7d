#pragma once

#include <string>

// The two editions built from one source differ in their branding texts and in where the
// TempErase image is read from.
enum class Edition { A, B };

struct EditionTexts {
    const char* applicationName;  // the caption of every message box
    const char* windowTitle;
};

const EditionTexts& TextsOf(Edition edition);

// Edition A reads it from the installation folder, edition B from the current directory.
std::string TempErasePath(Edition edition);
