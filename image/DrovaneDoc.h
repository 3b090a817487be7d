#pragma once

#include <string>
#include <string_view>

#include "image/MotImage.h"

// Temporary files of the working directory.
constexpr const char* kImageFile = "tmp.bin";
constexpr const char* kControlBlockFile = "log1.bin";
constexpr const char* kMpptBlockFile = "log2.bin";

// One row of the model table: a file name prefix and what it stands for.
struct ModelEntry {
    std::string_view prefix;
    int code;
};

// The model code of a file name (without folders), or 0 when no prefix matches.
int LookUpModel(std::string_view fileName);
// The model a file name (without folders) begins with, as the table names it ("Tilm6K"), or
// empty when none.
std::string_view ModelNameOf(std::string_view fileName);

// The file's name: what follows the last folder separator of the path, which is `/` here and
// `\` or `/` on Windows.
std::string FileNameOf(const std::string& path);

// The loaded firmware. Opening a file recognises the model from its name, cuts the blocks of
// a 6K container into the block files and builds "tmp.bin".
class CDrovaneDoc {
public:
    bool OnNewDocument();
    bool OnOpenDocument(const std::string& path);

    CMotImage m_image;
};
