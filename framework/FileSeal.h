#pragma once

#include <string>
#include <string_view>

// What this run wrote to a working file that a later step reads back ("tmp.bin", the block
// files of a 6K container). A step uses such a file only while it holds exactly those bytes, so
// an image that another program put in its place is never sent to a unit.
void SealFile(const std::string& path, std::string_view content);
void ForgetSeal(const std::string& path);
void ForgetAllSeals();
bool IsSealed(const std::string& path);
// True when `content` is what was sealed for `path`: the same size and hash. False when it
// differs or when nothing was sealed for `path`.
bool MatchesSeal(const std::string& path, std::string_view content);
