#pragma once

// Bits of a model code, shared by the firmware file's model (from its name) and the unit's
// identification answer.
constexpr int kModel1To4K = 0x10;
constexpr int kModel4KA = 0x20;
constexpr int kModel6K = 0x30;  // both class bits
constexpr int kBlockControl = 0x01;
constexpr int kBlockMppt = 0x02;
constexpr int kSecondFamily = 0x100;

// A 6K file that carries a control block, or an MPPT block: all bits of the mask set.
constexpr int kHasControlBlock = kModel6K | kBlockControl;  // 0x31
constexpr int kHasMpptBlock = kModel6K | kBlockMppt;        // 0x32
