#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QToolBar>

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>

#include "framework/Globals.h"
#include "framework/WorkFolder.h"
#include "image/DrovaneDoc.h"
#include "image/MotImage.h"
#include "shell/qt/FlashToolApp.h"
#include "shell/qt/FormView.h"
#include "shell/qt/MainFrame.h"
#include "shell/qt/QtHost.h"
#include "sim/SimComm.h"
#include "tests/support/ProgramState.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"
#include "view/CommandIds.h"
#include "view/DesktopTexts.h"

namespace {

using Texts = std::vector<std::string>;

// Plays the person in front of the window: answers every modal window that comes up, by
// script where one is given, else with OK, and records the message boxes it saw.
class Person : public QObject {
public:
    using Step = std::function<void(QWidget*)>;

    Person() {
        connect(&m_timer, &QTimer::timeout, this, &Person::Look);
        m_timer.start(2);
    }

    void Then(Step step) { m_script.push_back(std::move(step)); }

    Texts m_messages;
    std::vector<QString> m_captions;
    // Each box stood on a window on screen, or on none.
    std::vector<bool> m_ownerShown;
    bool m_paused = false;           // the test answers what comes up itself
    std::vector<QString> m_dialogs;  // titles of the other modal windows answered

private:
    void Look() {
        QWidget* modal = QApplication::activeModalWidget();
        if (m_paused || modal == nullptr || modal == m_handled) {
            return;
        }
        m_handled = modal;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            m_messages.push_back(box->text().toStdString());
            m_captions.push_back(box->windowTitle());
            m_ownerShown.push_back(box->parentWidget() == nullptr ||
                                   box->parentWidget()->isVisible());
        } else {
            m_dialogs.push_back(modal->windowTitle());
        }
        if (!m_script.empty()) {
            Step step = std::move(m_script.front());
            m_script.pop_front();
            step(modal);
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            // Enter: the default button.
            QAbstractButton* enter = box->defaultButton();
            (enter != nullptr ? enter : box->button(QMessageBox::Ok))->click();
        } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->accept();
        }
    }

    QTimer m_timer;
    QPointer<QWidget> m_handled;
    std::deque<Step> m_script;
};

// The window's host, also telling the test what it draws and shows.
class SeenHost : public QtHost {
public:
    using QtHost::QtHost;
    void DrawText(int x, int y, const std::string& text) override {
        m_drawn.push_back(text);
        QtHost::DrawText(x, y, text);
    }
    void Show(const CDialog& dlg) override {
        QtHost::Show(dlg);
        if (m_onShow) {
            m_onShow(dlg);
        }
    }
    Texts m_drawn;
    std::function<void(const CDialog&)> m_onShow;
};

QWidget* TransferWindow() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->objectName() == "transfer" && window->isVisible()) {
            return window;
        }
    }
    return nullptr;
}

void Press(QWidget* dialog, const QString& buttonText) {
    for (auto* button : dialog->findChildren<QAbstractButton*>()) {
        if (button->text() == buttonText) {
            button->click();
            return;
        }
    }
    ADD_FAILURE() << "no button " << buttonText.toStdString();
}

class Window : public ::testing::Test {
protected:
    void Open(Edition edition, SimUnit::Options unit = {}) {
        ResetProgramState();
        m_frame.reset();
        m_installed.reset();
        m_unit = std::make_unique<SimUnit>(std::move(unit));
        m_comm = std::make_unique<SimComm>(*m_unit, m_clock);
        m_host = std::make_unique<SeenHost>(m_clock, true, TextsOf(edition).applicationName);
        m_installed = std::make_unique<ScopedHost>(*m_host);
        m_frame = std::make_unique<CMainFrame>(edition, *m_host, *m_comm);
        m_frame->show();
        m_frame->activateWindow();
        QApplication::processEvents();
    }
    ~Window() override {
        m_frame.reset();
        m_installed.reset();
    }

    // A key pressed while the main window has the focus.
    void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        m_frame->activateWindow();
        QApplication::setActiveWindow(m_frame.get());
        QTest::keyClick(m_frame.get(), key, modifiers);
    }
    bool Checked(unsigned id) const { return m_frame->Action(id)->isChecked(); }
    bool Enabled(unsigned id) const { return m_frame->Action(id)->isEnabled(); }

    // A click on the toolbar button of a command, as a person makes it.
    void Click(unsigned id) {
        auto* bar = m_frame->findChild<QToolBar*>();
        QTest::mouseClick(bar->widgetForAction(m_frame->Action(id)), Qt::LeftButton);
    }
    // Once the programming transfer is a third through, `act` runs once on its window.
    void DuringProgramming(std::function<void(QWidget*)> act) {
        m_host->m_onShow = [act = std::move(act), done = false](const CDialog& dlg) mutable {
            if (!done && dlg.Title() == "Programming ....." &&
                dlg.ProgressPos() * 3 >= dlg.ProgressHigh() && dlg.ProgressPos() > 0) {
                done = true;
                act(TransferWindow());
            }
        };
    }
    void WriteFourK(const char* name, size_t lines = 400) {
        WriteText(name, SrecFile(RecordLines(lines)));
        ASSERT_TRUE(m_frame->OpenFile(m_dir.Path(name)));
    }
    static SimUnit::Options FourKUnit(const char* faults = "") {
        SimUnit::Options unit;
        unit.model = "VX310R";
        unit.version = "A1.03";
        unit.faults = FaultPlan::Parse(faults);
        return unit;
    }

    TempDir m_dir;
    VirtualClock m_clock;
    std::unique_ptr<SimUnit> m_unit;
    std::unique_ptr<SimComm> m_comm;
    std::unique_ptr<SeenHost> m_host;
    std::unique_ptr<ScopedHost> m_installed;
    std::unique_ptr<CMainFrame> m_frame;
    Person m_person;
};

TEST_F(Window, StartStateCaptionAndFixedSize) {
    Open(Edition::A);
    EXPECT_TRUE(Enabled(ID_WRITE_DATA));
    EXPECT_FALSE(Enabled(ID_SEND_PROGRAM));
    EXPECT_TRUE(Checked(ID_PROTECT));
    EXPECT_TRUE(Checked(ID_BAUD_2400));
    for (unsigned id : {ID_FLASH, ID_MPPT, ID_FLASH_RESTART, ID_FLASH_ACTION, ID_USER_MODE,
                        ID_BAUD_9600, ID_BAUD_19200, ID_BAUD_38400}) {
        EXPECT_FALSE(Checked(id)) << id;
    }
    EXPECT_EQ(m_frame->Caption(), "Untitled - Quorvane IAP ");
    EXPECT_EQ(m_frame->minimumSize(), m_frame->maximumSize());
    EXPECT_FALSE(m_frame->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(m_frame->Form().size(), CFormView::FormSize());

    WriteText("LB1~4K_fw.mot", SrecFile(RecordLines(4)));
    EXPECT_TRUE(m_frame->OpenFile(m_dir.Path("LB1~4K_fw.mot")));
    EXPECT_EQ(m_frame->Caption(), "LB1~4K_fw.mot - Quorvane IAP ");
    WriteText("unknown.mot", SrecFile(RecordLines(4)));
    EXPECT_FALSE(m_frame->OpenFile(m_dir.Path("unknown.mot")));
    EXPECT_EQ(m_frame->Caption(), "LB1~4K_fw.mot - Quorvane IAP ");
    EXPECT_EQ(m_person.m_messages, (Texts{"You will update LB1~4K_fw.mot !",
                                          "This filename is unknown! Please confirm it !"}));

    Open(Edition::B);
    EXPECT_EQ(m_frame->Caption(), "Untitled - Lumbrook Series Flash LB1~6K");
    for (const QString& caption : m_person.m_captions) {
        EXPECT_EQ(caption, "QUORVANE Series Flash Tool");
    }
}

TEST_F(Window, Accelerators) {
    Open(Edition::B);
    Key(Qt::Key_B);  // Flash Action Setting, with nothing loaded
    Key(Qt::Key_S);  // Write Data To Flash ROM, no mode set
    EXPECT_EQ(m_person.m_messages,
              (Texts{"Data is not ready. Please load firmware file first ! ( *.mot )",
                     "System not ready. Please repeat the flash action again !"}));
    EXPECT_EQ(m_person.m_captions.back(), "Lumbrook Series Flash Tool");

    m_person.Then([](QWidget* dialog) { qobject_cast<QDialog*>(dialog)->reject(); });
    Key(Qt::Key_L);  // Open
    ASSERT_EQ(m_person.m_dialogs.size(), 1u);
    EXPECT_EQ(m_person.m_dialogs[0], "Open");

    Key(Qt::Key_A, Qt::ControlModifier);  // About
    ASSERT_EQ(m_person.m_dialogs.size(), 2u);
    EXPECT_EQ(m_person.m_dialogs[1], "About Lumbrook Series Flash_LB1~6K");

    Key(Qt::Key_F);  // Mppt: asks the unit, then wants log2.bin
    EXPECT_EQ(m_person.m_messages.back(), "Read File Error !");
    EXPECT_FALSE(m_comm->GetPortOpen());

    // S does nothing while a transfer is announced: the rule disables it.
    m_frame->View().m_bProgramming = 1;
    m_frame->RefreshCommands();
    EXPECT_FALSE(Enabled(ID_WRITE_DATA));
    const size_t seen = m_person.m_messages.size();
    Key(Qt::Key_S);
    Key(Qt::Key_S, Qt::ControlModifier);  // Save writes nothing
    EXPECT_EQ(m_person.m_messages.size(), seen);
}

TEST_F(Window, PortDialogCommitsOnOkOnly) {
    Open(Edition::A);
    const auto choose = [](const char* port, const char* button) {
        return [port, button](QWidget* dialog) {
            dialog->findChild<QRadioButton*>(port)->click();
            Press(dialog, button);
        };
    };
    m_person.Then(choose("COM4", "OK"));
    m_frame->RunCommand(ID_PORT_SETTING);
    EXPECT_EQ(g_nCommPort, 4);
    m_person.Then(choose("COM2", "Cancel"));
    m_frame->RunCommand(ID_PORT_SETTING);
    EXPECT_EQ(g_nCommPort, 4);
    bool com4Checked = false;
    m_person.Then([&com4Checked](QWidget* dialog) {
        com4Checked = dialog->findChild<QRadioButton*>("COM4")->isChecked();
        Press(dialog, "OK");
    });
    m_frame->RunCommand(ID_PORT_SETTING);
    EXPECT_TRUE(com4Checked);
    EXPECT_EQ(g_nCommPort, 4);
    EXPECT_EQ(m_person.m_dialogs, std::vector<QString>(3, "Serial Port Setting"));

    // A port by name: typed in, committed on OK only, kept in the settings; the dialog has a
    // fixed size and lists the system's ports.
    const auto typeName = [](const char* name, const char* button) {
        return [name, button](QWidget* dialog) {
            EXPECT_EQ(qobject_cast<QDialog*>(dialog)->layout()->sizeConstraint(),
                      QLayout::SetFixedSize);
            EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMaximizeButtonHint);
            EXPECT_GE(dialog->findChild<QComboBox*>("systemPorts")->count(), 1);
            dialog->findChild<QLineEdit*>("portName")->setText(name);
            Press(dialog, button);
        };
    };
    m_person.Then(typeName("rfc2217://127.0.0.1:2001", "Cancel"));
    m_frame->RunCommand(ID_PORT_SETTING);
    EXPECT_EQ(g_strPortName, "");
    m_person.Then(typeName("/dev/ttyUSB7", "OK"));
    m_frame->RunCommand(ID_PORT_SETTING);
    EXPECT_EQ(g_strPortName, "/dev/ttyUSB7");
    QSettings settings(kProfileKey, "QUORVANE Series Flash Tool");
    EXPECT_EQ(settings.value(QString(kSettingsSection) + "/" + kPortNameEntry).toString(),
              "/dev/ttyUSB7");
}

TEST_F(Window, PasswordFlows) {
    Open(Edition::A);
    std::vector<QString> fieldAtOpen;
    const auto type = [&fieldAtOpen](const char* text, bool ok) {
        return [&fieldAtOpen, text, ok](QWidget* dialog) {
            auto* field = dialog->findChild<QLineEdit*>("password");
            fieldAtOpen.push_back(field->text());
            field->setText(text);
            if (ok) {
                Press(dialog, "OK");
            } else {
                QTest::keyClick(dialog, Qt::Key_Escape);
            }
        };
    };
    const auto answer = [](QMessageBox::StandardButton button) {
        return [button](QWidget* box) { qobject_cast<QMessageBox*>(box)->button(button)->click(); };
    };
    for (const char* wrong : {"", "write7315", "WRITE7315 "}) {
        m_person.Then(type(wrong, true));
        m_person.Then(answer(QMessageBox::Ok));
        m_frame->RunCommand(ID_PROTECT);
    }
    m_person.Then(type("WRITE7315", false));  // Escape: nothing changes
    m_frame->RunCommand(ID_PROTECT);
    EXPECT_TRUE(Checked(ID_PROTECT));
    m_person.Then(type("WRITE7315", true));
    m_person.Then(answer(QMessageBox::Ok));
    m_frame->RunCommand(ID_PROTECT);
    EXPECT_FALSE(Checked(ID_PROTECT));
    m_person.Then(answer(QMessageBox::Cancel));
    m_frame->RunCommand(ID_PROTECT);
    EXPECT_FALSE(Checked(ID_PROTECT));
    m_person.Then(answer(QMessageBox::Ok));
    m_frame->RunCommand(ID_PROTECT);
    EXPECT_TRUE(Checked(ID_PROTECT));
    EXPECT_EQ(m_person.m_messages,
              (Texts{"Incorrect password !", "Incorrect password !", "Incorrect password !",
                     "Protection disabled !", "Enable protection ?", "Enable protection ?"}));
    EXPECT_EQ(fieldAtOpen, std::vector<QString>(5, ""));
}

TEST_F(Window, AboutTextsOfBothEditions) {
    for (Edition edition : {Edition::A, Edition::B}) {
        Open(edition);
        QString version, first, second, title;
        m_person.Then([&](QWidget* dialog) {
            title = dialog->windowTitle();
            version = dialog->findChild<QLabel*>("version")->text();
            first = dialog->findChild<QLabel*>("first")->text();
            second = dialog->findChild<QLabel*>("second")->text();
            Press(dialog, "OK");
        });
        m_frame->RunCommand(ID_APP_ABOUT);
        const bool a = edition == Edition::A;
        EXPECT_EQ(title, a ? "About IAP SOP" : "About Lumbrook Series Flash_LB1~6K");
        EXPECT_EQ(version, a ? "Version 1.1.1" : "Version 2.0.0.1");
        EXPECT_EQ(first,
                  "Instruction:\nStep 1: Load the firmware file. ( *.mot )\n"
                  "Step 2: Select Serial Port.\nStep 3: Press \"Flash\" button.");
        EXPECT_EQ(second.toStdString(),
                  std::string("Step 4: The programming process will start after 20") +
                      (a ? "           " : " ") +
                      "seconds.\nStep 5: Wait few minutes, depends on PC speed.\n"
                      "Step 6: Flash upgrade finished.");
    }
}

TEST_F(Window, WholeSixKFlashRunThroughTheWindow) {
    Open(Edition::A);
    const auto control = RecordLines(2000, 0x100);
    WriteText("Tilm6K_run.mot", Container(control, 2000, RecordLines(16, 0x40), 16));
    ASSERT_TRUE(m_frame->OpenFile(m_dir.Path("Tilm6K_run.mot")));
    const std::string image = ReadText("tmp.bin");
    m_frame->Action(ID_FLASH)->trigger();  // the toolbar button
    EXPECT_EQ(m_person.m_messages,
              (Texts{"You will update Tilm6K_run.mot !", "Programming successfully !"}));
    EXPECT_EQ(g_nStepIndex, 2);
    const auto& flash = m_unit->Flash(Processor::Control);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin(),
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
    EXPECT_EQ(m_unit->Writes(Processor::Mppt), 1);
    EXPECT_FALSE(Checked(ID_FLASH));
    for (const QString& caption : m_person.m_captions) {
        EXPECT_EQ(caption, "QUORVANE Series Flash Tool");
    }
}

TEST_F(Window, WorkingFilesInTheUsersFolderHeldByOneProgram) {
    WriteText("LB1~4K_app.mot", SrecFile(RecordLines(4)));
    {
        CFlashToolApp app(Edition::A);
        ASSERT_TRUE(app.InitInstance({"QuorvaneIAP", "--simulate", "LB1~4K_app.mot"}));
        // The folder is the per-user one of the program's name, which start-up sets.
        const QString folder =
            QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        EXPECT_TRUE(folder.endsWith("QUORVANE Series Flash Tool")) << folder.toStdString();
        EXPECT_EQ(WorkFolder(), folder.toStdString());
        // The image goes to the user's folder, not to the folder the program started in.
        EXPECT_TRUE(Exists(WorkFile(kImageFile)));
        EXPECT_FALSE(Exists(kImageFile));
        // The recent-file list holds the file by its absolute path.
        QSettings settings(kProfileKey, QApplication::applicationName());
        EXPECT_EQ(settings.value("Recent File List/File1").toString().toStdString(),
                  m_dir.Path("LB1~4K_app.mot"));
        // A second copy finds the folder held and ends after saying so.
        CFlashToolApp second(Edition::A);
        EXPECT_FALSE(second.InitInstance({"QuorvaneIAP", "--simulate"}));
        // A window has no --work-dir to offer.
        EXPECT_EQ(m_person.m_messages.back(),
                  "Another copy of QUORVANE Series Flash Tool is running (process " +
                      std::to_string(QCoreApplication::applicationPid()) + "); use that window.");
    }
    SetWorkFolder("");
}

TEST_F(Window, TheRedArrowTakesAFailedBlockAgain) {
    // The MPPT block of a 6K run stops in the middle: the unit stays in its loader.
    SimUnit::Options unit;
    unit.faults = FaultPlan::Parse("silent:frame#3");
    Open(Edition::B, std::move(unit));
    const auto mpptLines = RecordLines(16, 0x40);
    WriteText("Tilm6K_arrow.mot", Container(RecordLines(2000, 0x100), 2000, mpptLines, 16));
    ASSERT_TRUE(m_frame->OpenFile(m_dir.Path("Tilm6K_arrow.mot")));
    m_frame->Action(ID_FLASH)->trigger();
    ASSERT_GE(m_person.m_messages.size(), 2u);
    EXPECT_NE(m_person.m_messages.back().find("Please press the red arrow button for restart!"),
              std::string::npos);
    EXPECT_EQ(m_unit->Writes(Processor::Mppt), 0);
    EXPECT_EQ(m_frame->Form().Status().find_first_not_of(' '), std::string::npos)
        << m_frame->Form().Status();

    // After the pause the message asks for, the red arrow, on the toolbar and in the menu,
    // sends the MPPT block again.
    m_clock.SleepUntilNs(m_clock.NowNs() + 40 * kNsPerSecond);
    QAction* arrow = m_frame->Action(ID_FLASH_RESTART);
    EXPECT_FALSE(arrow->icon().isNull());
    EXPECT_EQ(arrow->statusTip().toStdString(),
              "Start the flash programming again while Lumbrook is waiting for flash");
    EXPECT_TRUE(arrow->isEnabled());
    arrow->trigger();
    EXPECT_EQ(m_unit->Writes(Processor::Mppt), 1) << ::testing::PrintToString(m_person.m_messages);
    CMotImage builder;
    ASSERT_TRUE(builder.Build(kMpptBlockFile, "mppt-image.bin"));
    const std::string mppt = ReadText("mppt-image.bin");
    const auto& flash = m_unit->Flash(Processor::Mppt);
    EXPECT_TRUE(std::equal(mppt.begin(), mppt.end(), flash.begin(),
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
    // The run then goes on with the control block, as the Flash would have.
    EXPECT_EQ(m_unit->Writes(Processor::Control), 1);
    EXPECT_EQ(m_person.m_messages.back(), "Programming successfully !");
}

constexpr const char* kProgrammingError =
    "Programming Process Error.\nPlease try again after 40 seconds!\nPlease press the red arrow "
    "button for restart!";

TEST_F(Window, MessageBoxButtonsAndTheirDefault) {
    Open(Edition::A);
    // What Enter answers.
    const struct {
        unsigned type;
        int answer;
    } cases[] = {{MB_OK, IDOK},
                 {MB_OKCANCEL, IDOK},
                 {MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL},
                 {MB_YESNO, IDYES},
                 {MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION, IDNO}};
    for (const auto& c : cases) {
        EXPECT_EQ(AfxMessageBox("Flash anyway?", c.type), c.answer) << c.type;
    }
    m_person.Then([](QWidget* box) { Press(box, "&Yes"); });
    EXPECT_EQ(AfxMessageBox("Flash anyway?", MB_YESNO | MB_DEFBUTTON2), IDYES);
    m_person.Then([](QWidget* box) { QTest::keyClick(box, Qt::Key_Escape); });
    EXPECT_EQ(AfxMessageBox("Flash anyway?", MB_YESNO), IDNO);
}

TEST_F(Window, ClosingTheProgrammingTransferAsksFirst) {
    enum class How { Escape, DialogCloseBox, WindowCloseBox };
    const struct {
        How how;
        bool yes;
    } cases[] = {{How::Escape, false},
                 {How::Escape, true},
                 {How::DialogCloseBox, true},
                 {How::WindowCloseBox, false},
                 {How::WindowCloseBox, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.how) * 2 + c.yes);
        Open(Edition::A, FourKUnit());
        WriteFourK("LB1~4K_stop.mot");
        bool modal = true;
        QPointer<QMessageBox> question;
        QString text;
        bool noIsDefault = false;
        int askedAt = 0;
        int answeredAt = 0;
        m_host->m_onShow = [&](const CDialog& dlg) {
            if (dlg.Title() != "Programming ....." || answeredAt != 0) {
                return;
            }
            if (question == nullptr && dlg.ProgressPos() * 3 >= dlg.ProgressHigh()) {
                QWidget* transfer = TransferWindow();
                ASSERT_NE(transfer, nullptr);
                modal = transfer->windowModality() != Qt::NonModal;
                m_person.m_paused = true;
                switch (c.how) {
                    case How::Escape:
                        QTest::keyClick(transfer, Qt::Key_Escape);
                        break;
                    case How::DialogCloseBox:
                        transfer->close();
                        break;
                    case How::WindowCloseBox:
                        m_frame->close();
                        break;
                }
                question = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                ASSERT_NE(question, nullptr);
                text = question->text();
                noIsDefault = static_cast<QAbstractButton*>(question->defaultButton()) ==
                              question->button(QMessageBox::No);
                askedAt = dlg.ProgressPos();
            } else if (question != nullptr && dlg.ProgressPos() >= askedAt + 5 * 64) {
                // Frames went on while the person read.
                answeredAt = dlg.ProgressPos();
                question->button(c.yes ? QMessageBox::Yes : QMessageBox::No)->click();
                m_person.m_paused = false;
            }
        };
        Click(ID_FLASH);
        m_host->m_onShow = nullptr;
        EXPECT_FALSE(modal);  // so the window manager's close box reaches the main window
        EXPECT_EQ(text.toStdString(), StopProgrammingQuestion());
        EXPECT_TRUE(noIsDefault);
        EXPECT_GT(answeredAt, askedAt);
        EXPECT_TRUE(m_frame->isVisible());
        EXPECT_EQ(m_person.m_messages.back(),
                  c.yes ? kProgrammingError : "Programming successfully !");
        EXPECT_EQ(m_unit->Writes(Processor::Control), c.yes ? 0 : 1);
        if (c.yes) {
            // What the question promises: the red arrow sends the block from then on.
            m_clock.SleepUntilNs(m_clock.NowNs() + kRestartAfterStopSeconds * kNsPerSecond);
            Click(ID_FLASH_RESTART);
            EXPECT_EQ(m_unit->Writes(Processor::Control), 1);
            EXPECT_EQ(m_person.m_messages.back(), "Programming successfully !");
        }
    }
    // A Stop button stops at once, without a question.
    Open(Edition::A, FourKUnit());
    WriteFourK("LB1~4K_stop.mot");
    m_host->m_onShow = [](const CDialog& dlg) {
        if (dlg.Title() == "Waiting for System Response ...") {
            if (QWidget* transfer = TransferWindow()) {
                Press(transfer, "Stop");
            }
        }
    };
    m_person.m_messages.clear();
    Click(ID_FLASH);
    EXPECT_EQ(m_person.m_messages, Texts{"System not Ready !"});
}

TEST_F(Window, FlashStartsARunAfterEveryWayARunEnds) {
    const auto flash = [this] { Click(ID_FLASH); };
    const auto stopProgramming = [this] {
        DuringProgramming([](QWidget* transfer) {
            ASSERT_NE(transfer, nullptr);
            QTest::keyClick(transfer, Qt::Key_Escape);
            auto* question = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(question, nullptr);
            question->button(QMessageBox::Yes)->click();
        });
    };
    const struct {
        const char* ending;
        const char* faults;
        bool refusedModel;
        std::function<void()> run;
        const char* lastMessage;
    } cases[] = {
        {"a whole run", "", false, flash, "Programming successfully !"},
        {"a failed block", "silent:frame#3", false, flash, kProgrammingError},
        {"the red arrow after the loader gave up", "silent:frame#3", false,
         [&] {
             flash();
             m_clock.SleepUntilNs(m_clock.NowNs() + kRestartAfterStopSeconds * kNsPerSecond);
             Click(ID_FLASH_RESTART);
         },
         "Programming successfully !"},
        {"the red arrow too early", "silent:frame#3", false,
         [&] {
             flash();
             Click(ID_FLASH_RESTART);
         },
         "System not Ready !"},
        {"a stopped transfer", "", false,
         [&] {
             stopProgramming();
             flash();
         },
         kProgrammingError},
        {"a stopped response wait", "", false,
         [&] {
             m_host->m_onShow = [](const CDialog& dlg) {
                 if (dlg.Title() == "Waiting for System Response ...") {
                     if (QWidget* transfer = TransferWindow()) {
                         Press(transfer, "Stop");
                     }
                 }
             };
             flash();
         },
         "System not Ready !"},
        {"a model refusal", "", true, flash,
         "This system Model Name is LB1~4K ! But the input FW is not matched!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ending);
        SimUnit::Options unit = FourKUnit(c.faults);
        if (c.refusedModel) {
            unit.version = "S1.03";
        }
        Open(Edition::A, std::move(unit));
        WriteFourK("LB1~4K_again.mot");
        c.run();
        m_host->m_onShow = nullptr;
        EXPECT_EQ(m_person.m_messages.back(), c.lastMessage);
        EXPECT_FALSE(Checked(ID_FLASH));
        m_host->m_drawn.clear();
        const size_t seen = m_person.m_messages.size();
        flash();
        EXPECT_FALSE(m_host->m_drawn.empty());
        EXPECT_EQ(m_host->m_drawn.empty() ? "" : m_host->m_drawn.front(), "Initiate ");
        EXPECT_GT(m_person.m_messages.size(), seen);
    }
}

TEST_F(Window, ACommandLineFileInBothEditions) {
    WriteText("LB1~4K_cli.mot", SrecFile(RecordLines(4)));
    std::filesystem::create_directory(m_dir.Path("LB1~4K_folder.mot"));
    const std::string missing = m_dir.Path("LB1~4K_missing.mot");
    const struct {
        std::string file;
        bool opens;
        Texts messages;
    } cases[] = {
        {m_dir.Path("LB1~4K_cli.mot"), true, {"You will update LB1~4K_cli.mot !"}},
        {missing,
         false,
         {"Cannot open " + missing + ": No such file or directory", "File Open fail"}},
        {m_dir.Path("LB1~4K_folder.mot"),
         false,
         {"Cannot open " + m_dir.Path("LB1~4K_folder.mot") + ": not a regular file",
          "File Open fail"}},
    };
    for (Edition edition : {Edition::A, Edition::B}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.file + (edition == Edition::A ? " A" : " B"));
            m_person.m_messages.clear();
            m_person.m_ownerShown.clear();
            CFlashToolApp app(edition);
            EXPECT_EQ(
                app.InitInstance({"QuorvaneIAP", "--simulate", QString::fromStdString(c.file)}),
                c.opens);
            EXPECT_EQ(m_person.m_messages, c.messages);
            // Each box was on screen: on the shown window, or on its own before the window shows.
            EXPECT_EQ(m_person.m_ownerShown, std::vector<bool>(c.messages.size(), true));
            EXPECT_EQ(app.Frame().isVisible(), c.opens);
        }
    }
    SetWorkFolder("");
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QStandardPaths::setTestModeEnabled(true);  // the recent-file list goes to a test location
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
