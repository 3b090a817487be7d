#pragma once

// Command ids of the menus, the toolbar and the accelerators.
enum CommandId : unsigned {
    ID_FILE_NEW = 57600,
    ID_FILE_OPEN = 57601,
    ID_FILE_SAVE = 57603,
    ID_EDIT_COPY = 57634,
    ID_EDIT_CUT = 57635,
    ID_EDIT_PASTE = 57637,
    ID_EDIT_UNDO = 57643,
    ID_APP_ABOUT = 57664,
    ID_APP_EXIT = 57665,
    ID_NEXT_PANE = 57680,
    ID_PREV_PANE = 57681,
    ID_WRITE_DATA = 32775,
    ID_SEND_PROGRAM = 32776,
    ID_PROTECT = 32774,
    ID_FLASH_ACTION = 32786,
    ID_USER_MODE = 32787,
    ID_BAUD_38400 = 32804,
    ID_BAUD_19200 = 32805,
    ID_BAUD_9600 = 32806,
    ID_MPPT = 32809,
    ID_BAUD_2400 = 32810,
    ID_FLASH_RESTART = 32814,
    ID_FLASH = 32817,
    ID_PORT_SETTING = 32818,
};

// The status-bar prompt and the tooltip of a command; empty where it has none.
struct CommandTexts {
    const char* prompt;
    const char* tip;
};
CommandTexts TextsOfCommand(unsigned id);

constexpr const char* kIdlePrompt = "Ready";
