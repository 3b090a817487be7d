#pragma once

#include <string>

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
// The string-table form of a command's texts: the prompt, a line break, the tooltip.
std::string StatusString(unsigned id);

// The view's commands, each with an update rule; those whose rule shows a check mark; those
// that run a transfer.
inline constexpr unsigned kViewCommandIds[] = {
    ID_FLASH,        ID_MPPT,    ID_FLASH_RESTART, ID_FLASH_ACTION, ID_USER_MODE, ID_WRITE_DATA,
    ID_SEND_PROGRAM, ID_PROTECT, ID_BAUD_38400,    ID_BAUD_19200,   ID_BAUD_9600, ID_BAUD_2400};
inline constexpr unsigned kCheckedCommandIds[] = {
    ID_FLASH,   ID_MPPT,       ID_FLASH_RESTART, ID_FLASH_ACTION, ID_USER_MODE,
    ID_PROTECT, ID_BAUD_38400, ID_BAUD_19200,    ID_BAUD_9600,    ID_BAUD_2400};
inline constexpr unsigned kRunCommandIds[] = {ID_FLASH, ID_MPPT, ID_FLASH_RESTART, ID_FLASH_ACTION};
bool IsCheckedCommand(unsigned id);
bool IsRunCommand(unsigned id);

// The toolbar's buttons, left to right, a separator between each pair: Open, Flash, the red
// arrow that restarts a failed block, About.
inline constexpr unsigned kToolbarCommandIds[] = {ID_FILE_OPEN, ID_FLASH, ID_FLASH_RESTART,
                                                  ID_APP_ABOUT};

// The accelerators of both editions: a virtual-key code (the Windows values; letters are their
// capitals) with its modifiers, and the command it sends.
struct AcceleratorKey {
    unsigned key;
    bool control;
    bool shift;
    bool alt;
    unsigned id;
};
inline constexpr unsigned kKeyBackspace = 0x08;
inline constexpr unsigned kKeyInsert = 0x2D;
inline constexpr unsigned kKeyDelete = 0x2E;
inline constexpr unsigned kKeyF6 = 0x75;
inline constexpr AcceleratorKey kAcceleratorKeys[] = {
    {'A', true, false, false, ID_APP_ABOUT},
    {'B', false, false, false, ID_FLASH_ACTION},
    {'C', true, false, false, ID_EDIT_COPY},
    {'F', false, false, false, ID_MPPT},
    {'L', false, false, false, ID_FILE_OPEN},
    {'N', true, false, false, ID_FILE_NEW},
    {'S', false, false, false, ID_WRITE_DATA},
    {'S', true, false, false, ID_FILE_SAVE},
    {'V', true, false, false, ID_EDIT_PASTE},
    {kKeyBackspace, false, false, true, ID_EDIT_UNDO},
    {kKeyDelete, false, true, false, ID_EDIT_CUT},
    {kKeyF6, false, false, false, ID_NEXT_PANE},
    {kKeyF6, false, true, false, ID_PREV_PANE},
    {kKeyInsert, true, false, false, ID_EDIT_COPY},
    {kKeyInsert, false, true, false, ID_EDIT_PASTE},
    {'X', true, false, false, ID_EDIT_CUT},
    {'Z', true, false, false, ID_EDIT_UNDO},
};
