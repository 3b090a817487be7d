#include "shell/qt/MainFrame.h"

#include "framework/Globals.h"

#include <QAction>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QSettings>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include "framework/CmdUI.h"
#include "shell/qt/FormView.h"
#include "shell/qt/QtHost.h"
#include "shell/qt/platform/Icons.h"
#include "shell/qt/platform/SuspendBlocker.h"
#include "view/CommandIds.h"
#include "view/ShellDialogs.h"

namespace {

constexpr const char* kUntitled = "Untitled";
// The model is recognised from the file's name; the extension is not checked.
constexpr const char* kOpenFilter = "mot Files (*.mot);;All Files (*.*)";
constexpr const char* kRecentFiles = "Recent File List";
constexpr int kRecentFileCount = 4;
constexpr int kRefreshMs = 100;
constexpr QSize kToolButton{39, 30};

struct MenuTexts {
    const char* file;
    const char* setting;
    const char* about;
};
constexpr MenuTexts kMenusA = {"&Open", "&Set ", "&IAP SOP Help"};
constexpr MenuTexts kMenusB = {"&Load", "&Setting", "&About Lumbrook Series Flash LB1~6K"};

// The view's commands whose update rule shows a check mark.
constexpr unsigned kCheckedCommands[] = {
    ID_FLASH,   ID_MPPT,       ID_FLASH_RESTART, ID_FLASH_ACTION, ID_USER_MODE,
    ID_PROTECT, ID_BAUD_38400, ID_BAUD_19200,    ID_BAUD_9600,    ID_BAUD_2400};
constexpr unsigned kViewCommands[] = {
    ID_FLASH,        ID_MPPT,    ID_FLASH_RESTART, ID_FLASH_ACTION, ID_USER_MODE, ID_WRITE_DATA,
    ID_SEND_PROGRAM, ID_PROTECT, ID_BAUD_38400,    ID_BAUD_19200,   ID_BAUD_9600, ID_BAUD_2400};

// The commands that run a transfer, and where their status words stand on the form.
constexpr unsigned kRunCommands[] = {ID_FLASH, ID_MPPT, ID_FLASH_RESTART, ID_FLASH_ACTION};
constexpr int kStatusX = 5;
constexpr int kStatusY = 5;
constexpr size_t kStatusWidth = 28;

// Accelerators of both editions: the key and the command it sends.
struct Accelerator {
    QKeySequence key;
    unsigned id;
};

}  // namespace

CMainFrame::CMainFrame(Edition edition, QtHost& host, CMSComm& comm)
    : m_edition(edition), m_host(host), m_view(comm, edition), m_form(new CFormView(this)) {
    setWindowIcon(MainIcon());
    setCentralWidget(m_form);
    setAcceptDrops(true);
    // Fixed size: no sizing border, no maximise box; it can be minimised and moved.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    for (unsigned id : kViewCommands) {
        MakeAction(id);
    }
    BuildMenus();
    BuildToolBar();
    BuildAccelerators();
    m_ready = new QLabel(kIdlePrompt, this);
    statusBar()->addWidget(m_ready, 1);
    statusBar()->setSizeGripEnabled(false);
    m_host.SetWindow(this, m_form);
    m_doc.OnNewDocument();
    SetDocumentTitle(kUntitled);
    FitToForm();
    RefreshCommands();
    auto* refresh = new QTimer(this);
    connect(refresh, &QTimer::timeout, this, &CMainFrame::RefreshCommands);
    refresh->start(kRefreshMs);
    m_suspendBlocker = std::make_unique<SuspendBlocker>();
}

CMainFrame::~CMainFrame() = default;

QAction* CMainFrame::MakeAction(unsigned id, const QString& text) {
    auto found = m_actions.find(id);
    QAction* action = found != m_actions.end() ? found->second : new QAction(this);
    if (!text.isEmpty()) {
        action->setText(text);
    }
    if (found == m_actions.end()) {
        const CommandTexts texts = TextsOfCommand(id);
        action->setStatusTip(texts.prompt);
        if (*texts.tip != '\0') {
            action->setToolTip(texts.tip);
        }
        if (std::find(std::begin(kCheckedCommands), std::end(kCheckedCommands), id) !=
            std::end(kCheckedCommands)) {
            action->setCheckable(true);
        }
        action->setData(id);
        connect(action, &QAction::triggered, this, [this, id] { RunCommand(id); });
        m_actions[id] = action;
    }
    return action;
}

QAction* CMainFrame::Action(unsigned id) const {
    const auto found = m_actions.find(id);
    return found != m_actions.end() ? found->second : nullptr;
}

void CMainFrame::BuildMenus() {
    const MenuTexts& texts = m_edition == Edition::A ? kMenusA : kMenusB;
    QMenu* file = menuBar()->addMenu(texts.file);
    file->addAction(MakeAction(ID_FILE_OPEN, "Open..."));
    file->addSeparator();
    // The way back after a failed transfer, which every failure message points to.
    file->addAction(MakeAction(ID_FLASH, "Flash"));
    file->addAction(MakeAction(ID_FLASH_RESTART, "Restart"));
    file->addSeparator();
    file->addAction(MakeAction(ID_APP_EXIT, "Exit"));
    menuBar()->addAction(MakeAction(ID_PORT_SETTING, texts.setting));
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction(MakeAction(ID_APP_ABOUT, texts.about));
    for (QMenu* menu : {file, help}) {
        connect(menu, &QMenu::aboutToShow, this, &CMainFrame::RefreshCommands);
    }
}

void CMainFrame::BuildToolBar() {
    QToolBar* bar = addToolBar("Toolbar");
    bar->setMovable(false);
    bar->setIconSize(kToolbarIconSize);
    const std::pair<unsigned, QIcon> buttons[] = {{ID_FILE_OPEN, OpenIcon()},
                                                  {ID_FLASH, FlashIcon()},
                                                  {ID_FLASH_RESTART, RestartIcon()},
                                                  {ID_APP_ABOUT, AboutIcon()}};
    bool first = true;
    for (const auto& [id, icon] : buttons) {
        if (!first) {
            bar->addSeparator();
        }
        first = false;
        QAction* action = MakeAction(id);
        action->setIcon(icon);
        bar->addAction(action);
        if (QWidget* button = bar->widgetForAction(action)) {
            button->setFixedSize(kToolButton);
        }
    }
}

void CMainFrame::BuildAccelerators() {
    const Accelerator accelerators[] = {
        {QKeySequence(Qt::CTRL | Qt::Key_A), ID_APP_ABOUT},
        {QKeySequence(Qt::Key_B), ID_FLASH_ACTION},
        {QKeySequence(Qt::CTRL | Qt::Key_C), ID_EDIT_COPY},
        {QKeySequence(Qt::Key_F), ID_MPPT},
        {QKeySequence(Qt::Key_L), ID_FILE_OPEN},
        {QKeySequence(Qt::CTRL | Qt::Key_N), ID_FILE_NEW},
        {QKeySequence(Qt::Key_S), ID_WRITE_DATA},
        {QKeySequence(Qt::CTRL | Qt::Key_S), ID_FILE_SAVE},
        {QKeySequence(Qt::CTRL | Qt::Key_V), ID_EDIT_PASTE},
        {QKeySequence(Qt::ALT | Qt::Key_Backspace), ID_EDIT_UNDO},
        {QKeySequence(Qt::SHIFT | Qt::Key_Delete), ID_EDIT_CUT},
        {QKeySequence(Qt::Key_F6), ID_NEXT_PANE},
        {QKeySequence(Qt::SHIFT | Qt::Key_F6), ID_PREV_PANE},
        {QKeySequence(Qt::CTRL | Qt::Key_Insert), ID_EDIT_COPY},
        {QKeySequence(Qt::SHIFT | Qt::Key_Insert), ID_EDIT_PASTE},
        {QKeySequence(Qt::CTRL | Qt::Key_X), ID_EDIT_CUT},
        {QKeySequence(Qt::CTRL | Qt::Key_Z), ID_EDIT_UNDO},
    };
    for (const Accelerator& accelerator : accelerators) {
        auto* shortcut = new QShortcut(accelerator.key, this);
        shortcut->setContext(Qt::WindowShortcut);
        const unsigned id = accelerator.id;
        connect(shortcut, &QShortcut::activated, this, [this, id] { RunCommand(id); });
    }
}

void CMainFrame::RefreshCommands() {
    for (unsigned id : kViewCommands) {
        CCmdUI cmdUI(id);
        m_view.OnUpdateCommand(cmdUI);
        QAction* action = m_actions.at(id);
        action->setEnabled(cmdUI.m_bEnabled);
        if (action->isCheckable()) {
            action->setChecked(cmdUI.m_nCheck != 0);
        }
    }
}

void CMainFrame::RunCommand(unsigned id) {
    if (m_bRunning) {
        return;  // one command at a time; nothing a person does reaches the window meanwhile
    }
    CCmdUI cmdUI(id);
    if (m_view.OnUpdateCommand(cmdUI) && !cmdUI.m_bEnabled) {
        return;  // disabled now: not carried out
    }
    switch (id) {
        case ID_FILE_NEW:
            m_doc.OnNewDocument();
            SetDocumentTitle(kUntitled);
            FitToForm();
            break;
        case ID_FILE_OPEN:
            OnFileOpen();
            break;
        case ID_APP_EXIT:
            close();
            break;
        case ID_APP_ABOUT: {
            CAboutDlg about(m_edition);
            about.DoModal();
            break;
        }
        case ID_PORT_SETTING: {
            CPortSettingDlg port;
            port.DoModal();
            break;
        }
        default:
            // Save never writes the loaded file; the edit and pane commands have nothing to do.
            m_view.m_bLastTransferDone = false;
            m_bRunning = true;
            m_view.OnCommand(id);
            m_bRunning = false;
            // A run that failed leaves no status words behind ("Initiate ", ...).
            const bool wholeRun = id == ID_FLASH || id == ID_FLASH_ACTION;
            const bool done = m_view.m_bLastTransferDone &&
                              (!wholeRun || (g_nStepCount > 0 && g_nStepIndex == g_nStepCount));
            if (std::find(std::begin(kRunCommands), std::end(kRunCommands), id) !=
                    std::end(kRunCommands) &&
                !done) {
                m_host.DrawText(kStatusX, kStatusY, std::string(kStatusWidth, ' '));
            }
            break;
    }
    RefreshCommands();
}

void CMainFrame::OnFileOpen() {
    QFileDialog::Options options;
    if (QGuiApplication::platformName() == "offscreen") {
        options |= QFileDialog::DontUseNativeDialog;
    }
    const QString path =
        QFileDialog::getOpenFileName(this, "Open", {}, kOpenFilter, nullptr, options);
    if (!path.isEmpty()) {
        OpenFile(path.toStdString());
    }
}

bool CMainFrame::OpenFile(const std::string& path) {
    if (!m_doc.OnOpenDocument(path)) {
        return false;
    }
    SetDocumentTitle(FileNameOf(path));
    // The list holds absolute paths, so one file opened two ways is there once.
    RememberRecentFile(QFileInfo(QString::fromStdString(path)).absoluteFilePath().toStdString());
    FitToForm();
    return true;
}

void CMainFrame::RememberRecentFile(const std::string& path) {
    QSettings settings(kSettingsProfile, QString::fromStdString(m_host.ApplicationName()));
    settings.beginGroup(kRecentFiles);
    QStringList files;
    for (int i = 1; i <= kRecentFileCount; ++i) {
        const QString file = settings.value(QString("File%1").arg(i)).toString();
        if (!file.isEmpty() && file != QString::fromStdString(path)) {
            files << file;
        }
    }
    files.prepend(QString::fromStdString(path));
    for (int i = 1; i <= kRecentFileCount; ++i) {
        settings.setValue(QString("File%1").arg(i), i <= files.size() ? files[i - 1] : QString());
    }
}

void CMainFrame::SetDocumentTitle(const std::string& title) {
    setWindowTitle(QString::fromStdString(title + " - " + TextsOf(m_edition).windowTitle));
}

void CMainFrame::FitToForm() {
    // The client area fits the form exactly, between toolbar and status bar.
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    adjustSize();
    setFixedSize(sizeHint());
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (m_bRunning) {
        // A run ends through its own dialog, which may ask first; the window stays.
        event->ignore();
        m_host.CloseTransfer();
        return;
    }
    QMainWindow::closeEvent(event);
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void CMainFrame::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!m_bRunning && !urls.isEmpty() && urls.front().isLocalFile()) {
        OpenFile(urls.front().toLocalFile().toStdString());
        event->acceptProposedAction();
    }
}
