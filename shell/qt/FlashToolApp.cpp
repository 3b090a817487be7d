#include "shell/qt/FlashToolApp.h"

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>

#include <cstdlib>

#include "framework/Globals.h"
#include "framework/WorkFolder.h"
#include "link/PortList.h"
#include "link/SelectableComm.h"
#include "shell/qt/MainFrame.h"
#include "shell/qt/QtHost.h"
#include "shell/qt/platform/FileTypes.h"
#include "shell/qt/platform/Icons.h"
#include "sim/SimComm.h"
#include "view/DesktopTexts.h"

CFlashToolApp::CFlashToolApp(Edition edition) : m_edition(edition) {}

CFlashToolApp::~CFlashToolApp() {
    m_frame.reset();
    m_installed.reset();
}

bool CFlashToolApp::InitInstance(const QStringList& arguments) {
    std::vector<std::string> words;
    for (const QString& argument : arguments.mid(1)) {
        words.push_back(argument.toStdString());
    }
    const StartOptions start = ParseStartArguments(words, std::getenv(kSimulateSetting));
    const bool simulate = start.simulate;
    const std::string file = start.file;
    QApplication::setApplicationName(TextsOf(m_edition).applicationName);
    QApplication::setWindowIcon(MainIcon());
    m_host = std::make_unique<QtHost>(m_clock, false, TextsOf(m_edition).applicationName);
    if (simulate) {
        m_unit = std::make_unique<SimUnit>(SimUnit::Options{});
        m_comm = std::make_unique<SimComm>(*m_unit, m_clock);
        m_host->SetPortNamer([](short) { return std::string("the simulated unit"); });
    } else {
        // The port chosen by name last time, else the numbered ports.
        QtSettingsStore settings(TextsOf(m_edition).applicationName);
        LoadPortChoice(settings);
        m_comm = std::make_unique<SelectableComm>(MakePortByName);
        m_host->SetPortNamer([](short n) {
            const std::string name = PortNameOfNumber(n);
            return name.empty() ? "COM" + std::to_string(n) + ": no such port here" : name;
        });
    }
    // Waits sleep until the unit answers, and the windows keep painting meanwhile.
    m_host->SetInputWatch(
        [port = m_comm.get()](int64_t timeoutNs) { return port->WaitForInput(timeoutNs); });
    m_installed = std::make_unique<ScopedHost>(*m_host);
    // The working files live in a folder of the user's own, never where the program was
    // started (a standard user cannot write under "C:\\Program Files"), and belong to one run
    // at a time, the window's as a command line's.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        AfxMessageBox("Cannot create the working folder " + folder.toStdString(),
                      MB_OK | MB_ICONSTOP);
        return false;
    }
    SetWorkFolder(folder.toStdString());
    std::string reason;
    if (!m_lock.Acquire(WorkFolder(), reason)) {
        // The command line's advice (another folder) is no way out for a window.
        AfxMessageBox(m_lock.HeldElsewhere()
                          ? SecondCopyMessage(TextsOf(m_edition).applicationName, m_lock.HolderId())
                          : reason,
                      MB_OK | MB_ICONSTOP);
        return false;
    }
    RegisterFileTypeWindows(QApplication::applicationFilePath());
    m_frame = std::make_unique<CMainFrame>(m_edition, *m_host, *m_comm);
    if (!file.empty() && !m_frame->OpenFile(file)) {
        return false;
    }
    m_frame->show();
    return true;
}
