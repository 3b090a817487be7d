// flashtool: the firmware-update tool's command line.

#include <CLI/CLI.hpp>

#include <string>

#include "cli/ConsoleHost.h"
#include "image/DrovaneDoc.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

// Opens a firmware file as the window's File Open does, in the current directory.
int RunImage(const std::string& path) {
    CDrovaneDoc doc;
    doc.OnNewDocument();
    return doc.OnOpenDocument(path) ? kExitSuccess : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Firmware-update tool for the solar power units"};
    app.require_subcommand(1);

    std::string firmwarePath;
    CLI::App* image = app.add_subcommand(
        "image",
        "Open a firmware file and build tmp.bin (and log1.bin, log2.bin for 6K files) "
        "in the current directory");
    image->add_option("PATH", firmwarePath, "Firmware file (*.mot)")->required();

    CLI11_PARSE(app, argc, argv);

    ConsoleHost host;
    ScopedHost installed(host);
    if (image->parsed()) {
        return RunImage(firmwarePath);
    }
    return kExitFailure;
}
