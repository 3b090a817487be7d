#pragma once

#include <QMainWindow>

#include <map>
#include <memory>
#include <string>

#include "device/DrovaneView.h"
#include "framework/Edition.h"
#include "image/DrovaneDoc.h"
#include "view/FrameLogic.h"

class QAction;
class QLabel;
class QtHost;
class CFormView;
class SuspendBlocker;

// The main window: menus, toolbar, accelerators and status bar of the edition, around the form
// that shows the view. Every command goes through RunCommand, which applies the command's
// update rule once more before carrying it out.
// The settings under the profile key, in QSettings.
class QtSettingsStore : public SettingsStore {
public:
    explicit QtSettingsStore(std::string application) : m_application(std::move(application)) {}
    std::string Read(const std::string& section, const std::string& entry) override;
    void Write(const std::string& section, const std::string& entry,
               const std::string& value) override;

private:
    static QString Key(const std::string& section, const std::string& entry);
    std::string m_application;
};

class CMainFrame : public QMainWindow, public FrameWindow {
public:
    CMainFrame(Edition edition, QtHost& host, CMSComm& comm);
    ~CMainFrame() override;

    // Opens a firmware file like File Open; false when the document refused it.
    bool OpenFile(const std::string& path);
    void RunCommand(unsigned id);
    // Recomputes check marks and enabled states from the flags.
    void RefreshCommands() override;

    QAction* Action(unsigned id) const;
    CDrovaneView& View() { return m_core.View(); }
    CFormView& Form() { return *m_form; }
    QString Caption() const { return windowTitle(); }

protected:
    // During a run the close box does what the transfer's own close box does.
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildMenus();
    void BuildToolBar();
    void BuildAccelerators();
    QAction* MakeAction(unsigned id, const QString& text = {});
    // What the frame's logic asks of the window.
    void SetCaption(const std::string& caption) override;
    void FitToForm() override;
    std::string ChooseFileToOpen() override;
    void CloseFrame() override;

    Edition m_edition;
    QtHost& m_host;
    QtSettingsStore m_settings;
    FrameCore m_core;
    CFormView* m_form;
    QLabel* m_ready;
    std::map<unsigned, QAction*> m_actions;
    std::unique_ptr<SuspendBlocker> m_suspendBlocker;
    bool m_bRunning = false;  // a view command is being carried out
};
