#pragma once

// flashtool's exit statuses.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSignalBase = 128;  // a run stopped by signal N ends with 128 + N
