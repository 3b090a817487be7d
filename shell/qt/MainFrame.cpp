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

// The model is recognised from the file's name; the extension is not checked.
constexpr const char* kOpenFilter = "mot Files (*.mot);;All Files (*.*)";
constexpr int kRefreshMs = 100;
constexpr QSize kToolButton{39, 30};

// Accelerators of both editions: the key and the command it sends.
struct Accelerator {
    QKeySequence key;
    unsigned id;
};

}  // namespace

QString QtSettingsStore::Key(const std::string& section, const std::string& entry) {
    return QString::fromStdString(section + "/" + entry);
}

std::string QtSettingsStore::Read(const std::string& section, const std::string& entry) {
    QSettings settings(kProfileKey, QString::fromStdString(m_application));
    return settings.value(Key(section, entry)).toString().toStdString();
}

void QtSettingsStore::Write(const std::string& section, const std::string& entry,
                            const std::string& value) {
    QSettings settings(kProfileKey, QString::fromStdString(m_application));
    settings.setValue(Key(section, entry), QString::fromStdString(value));
}

CMainFrame::CMainFrame(Edition edition, QtHost& host, CMSComm& comm)
    : m_edition(edition),
      m_host(host),
      m_settings(TextsOf(edition).applicationName),
      m_core(edition, comm, *this, m_settings),
      m_form(new CFormView(this)) {
    setWindowIcon(MainIcon());
    setCentralWidget(m_form);
    setAcceptDrops(true);
    // Fixed size: no sizing border, no maximise box; it can be minimised and moved.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    for (unsigned id : kViewCommandIds) {
        MakeAction(id);
    }
    BuildMenus();
    BuildToolBar();
    BuildAccelerators();
    m_ready = new QLabel(kIdlePrompt, this);
    statusBar()->addWidget(m_ready, 1);
    statusBar()->setSizeGripEnabled(false);
    m_host.SetWindow(this, m_form);
    m_core.Start();
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
        if (IsCheckedCommand(id)) {
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
    const FrameTexts& texts = FrameTextsOf(m_edition);
    QMenu* file = menuBar()->addMenu(texts.fileMenu);
    file->addAction(MakeAction(ID_FILE_OPEN, "Open..."));
    file->addSeparator();
    // The way back after a failed transfer, which every failure message points to.
    file->addAction(MakeAction(ID_FLASH, "Flash"));
    file->addAction(MakeAction(ID_FLASH_RESTART, "Restart"));
    file->addSeparator();
    file->addAction(MakeAction(ID_APP_EXIT, "Exit"));
    menuBar()->addAction(MakeAction(ID_PORT_SETTING, texts.settingMenu));
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction(MakeAction(ID_APP_ABOUT, texts.aboutItem));
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
    for (unsigned id : kViewCommandIds) {
        const CCmdUI cmdUI = m_core.UpdateOf(id);
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
    const bool viewCommand = std::find(std::begin(kViewCommandIds), std::end(kViewCommandIds),
                                       id) != std::end(kViewCommandIds);
    m_bRunning = viewCommand;
    m_core.RunCommand(id);
    m_bRunning = false;
}

std::string CMainFrame::ChooseFileToOpen() {
    QFileDialog::Options options;
    if (QGuiApplication::platformName() == "offscreen") {
        options |= QFileDialog::DontUseNativeDialog;
    }
    return QFileDialog::getOpenFileName(this, kOpenTitle, {}, kOpenFilter, nullptr, options)
        .toStdString();
}

bool CMainFrame::OpenFile(const std::string& path) {
    return m_core.OpenFile(path);
}

void CMainFrame::SetCaption(const std::string& caption) {
    setWindowTitle(QString::fromStdString(caption));
}

void CMainFrame::CloseFrame() {
    close();
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
        m_core.OpenDropped({urls.front().toLocalFile().toStdString()});
        event->acceptProposedAction();
    }
}
