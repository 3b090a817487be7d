// How close the programming transfer comes to the line: a 128 KiB image sent to the simulated
// unit at 9600 baud, in virtual time. Prints the transfer time against the line time of its
// bytes (2048 frames of 65 bytes and their answers, and the closing frame and its answer).

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "framework/Globals.h"
#include "link/ProgramDlg.h"
#include "link/ResponseWaitDlg.h"
#include "sim/SimComm.h"
#include "sim/VirtualHost.h"

namespace {

constexpr size_t kImageBytes = 128 * 1024;
constexpr int64_t kFrames = kImageBytes / 64;
constexpr int64_t kLineBytes = kFrames * (65 + 1) + 2 + 1;

int Wait(CResponseWaitDlg& wait, CTransferView& view) {
    wait.SetView(&view);
    return wait.DoModal();
}

}  // namespace

int main() {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / "flashtool-transfer-bench";
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    {
        std::ofstream image("tmp.bin", std::ios::binary);
        for (size_t i = 0; i < kImageBytes; ++i) {
            image.put(static_cast<char>(i * 31 + 7));
        }
    }

    VirtualHost host;
    ScopedHost installed(host);
    SimUnit unit(SimUnit::Options{});
    SimComm comm(unit, host.Clock());
    CTransferView view(comm);
    comm.SetSettings("9600,n,8,1");
    comm.SetPortOpen(true);
    const std::string request = " flash";
    comm.Output(CByteArray(request.begin(), request.end()));
    host.Sleep(1000);
    comm.GetInput();

    CResponseWaitDlg wait;
    comm.Output({0x57, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                 0x08, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,
                 0x80, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x80, 0x00});
    const bool tableOk = Wait(wait, view) == IDOK;
    comm.Output({0, 0, 0, 0, 0, 0x02, 0x00, 0x00});
    const bool lengthOk = Wait(wait, view) == IDOK;
    g_nStepCount = 1;
    g_nStepIndex = 0;
    CProgramDlg program;
    program.SetView(&view);
    const bool sent = tableOk && lengthOk && program.DoModal() == IDOK;
    std::filesystem::current_path(dir.parent_path());
    std::filesystem::remove_all(dir);
    if (!sent) {
        std::fprintf(stderr, "the transfer failed\n");
        return 1;
    }

    const double lineSeconds = double(kLineBytes * SimUnit::kByteNs) / 1e9;
    const double seconds = double(program.m_endNs - program.m_startNs) / 1e9;
    std::printf("image             %zu bytes, %lld frames\n", kImageBytes,
                static_cast<long long>(kFrames));
    std::printf("line time         %.2f s (%lld bytes at 9600 baud)\n", lineSeconds,
                static_cast<long long>(kLineBytes));
    std::printf("transfer time     %.2f s (virtual)\n", seconds);
    std::printf("ratio             %.4f (goal: at most 1.03)\n", seconds / lineSeconds);
    return seconds / lineSeconds <= 1.03 ? 0 : 2;
}
