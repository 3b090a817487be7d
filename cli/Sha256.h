#pragma once

#include <string>

// The SHA-256 digest of a file's bytes as 64 lower-case hexadecimal characters, read whole with
// the same bounds as the document's open; empty when the file cannot be read.
std::string FileSha256(const std::string& path);
