#pragma once

// Messages that more than one device operation shows.
inline constexpr const char* kDataNotReady =
    "Data is not ready. Please load firmware file first ! ( *.mot )";
inline constexpr const char* kSelectBaudRate =
    "Please Select the suitable Baud Rate and Try again!";
