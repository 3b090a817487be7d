#include "view/CommandIds.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

namespace {
constexpr std::array<std::pair<unsigned, CommandTexts>, 17> kTexts{{
    {ID_FILE_NEW, {"Create a new document", "New"}},
    {ID_FILE_OPEN, {"Open firmware file", "Open"}},
    {ID_APP_EXIT, {"Quit the application", "Exit"}},
    {ID_APP_ABOUT, {"Display program information, version number and copyright", "About"}},
    {ID_PORT_SETTING, {"Setting Serial Port", ""}},
    {ID_FLASH, {"Start the Flash programming with command", "Flash"}},
    {ID_MPPT, {"Start the Mppt Flash programming with command", "Mppt"}},
    {ID_FLASH_RESTART,
     {"Start the flash programming again while Lumbrook is waiting for flash", "Restart"}},
    {ID_FLASH_ACTION, {"Flash Action Setting", ""}},
    {ID_USER_MODE, {"User Mode Setting", ""}},
    {ID_WRITE_DATA, {"Write Data To Flash ROM", ""}},
    {ID_SEND_PROGRAM, {"Start to programming flash ROM", "Send"}},
    {ID_PROTECT, {"Enable/Disable protect zone", "Protect"}},
    {ID_BAUD_38400, {"38400 Baud Rate", ""}},
    {ID_BAUD_19200, {"19200 Baud Rate", ""}},
    {ID_BAUD_9600, {"9600 Baud Rate", ""}},
    {ID_BAUD_2400, {"2400 Baud Rate", ""}},
}};
}  // namespace

CommandTexts TextsOfCommand(unsigned id) {
    for (const auto& [command, texts] : kTexts) {
        if (command == id) {
            return texts;
        }
    }
    return {"", ""};
}

std::string StatusString(unsigned id) {
    const CommandTexts texts = TextsOfCommand(id);
    return std::string(texts.prompt) + "\n" + texts.tip;
}

bool IsCheckedCommand(unsigned id) {
    return std::find(std::begin(kCheckedCommandIds), std::end(kCheckedCommandIds), id) !=
           std::end(kCheckedCommandIds);
}

bool IsRunCommand(unsigned id) {
    return std::find(std::begin(kRunCommandIds), std::end(kRunCommandIds), id) !=
           std::end(kRunCommandIds);
}
