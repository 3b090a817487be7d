#include "view/DesktopTexts.h"

#include "link/ProgramDlg.h"

std::string StopProgrammingQuestion() {
    return "Stop programming? The unit will wait in its loader; press the red arrow after " +
           std::to_string(kRestartAfterStopSeconds) + " seconds to send it again.";
}

std::string SecondCopyMessage(const std::string& program, const std::string& processId) {
    return "Another copy of " + program + " is running" +
           (processId.empty() ? std::string() : " (process " + processId + ")") +
           "; use that window.";
}

bool AsksBeforeStop(const CDialog& dlg) {
    return dynamic_cast<const CProgramDlg*>(&dlg) != nullptr;
}
