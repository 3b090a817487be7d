#pragma once

#include <QStringList>

#include <memory>

#include "framework/Clock.h"
#include "framework/Edition.h"
#include "framework/WorkFolder.h"

class CMainFrame;
class CMSComm;
class QtHost;
class ScopedHost;
class SimUnit;

// The application: builds the main window on the serial port (or on the built-in simulated
// unit with --simulate, or FLASHTOOL_SIMULATE=1), opens a firmware file named on the command
// line, and shows the window.
class CFlashToolApp {
public:
    explicit CFlashToolApp(Edition edition);
    ~CFlashToolApp();

    // Start-up; false when the program is to end (a file named on the command line was refused).
    bool InitInstance(const QStringList& arguments);
    CMainFrame& Frame() { return *m_frame; }

private:
    Edition m_edition;
    RealClock m_clock;
    std::unique_ptr<SimUnit> m_unit;
    std::unique_ptr<CMSComm> m_comm;
    std::unique_ptr<QtHost> m_host;
    std::unique_ptr<ScopedHost> m_installed;
    std::unique_ptr<CMainFrame> m_frame;
    WorkFolderLock m_lock;
};
