#include "shell/qt/QtHost.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "framework/Dialog.h"
#include "framework/Globals.h"
#include "link/PortList.h"
#include "shell/qt/FormView.h"
#include "view/DesktopTexts.h"
#include "view/ShellDialogs.h"

namespace {

constexpr int kPaintSliceMs = 20;

QMessageBox::Icon IconOf(unsigned type) {
    switch (type & MB_ICONMASK) {
        case MB_ICONSTOP:
            return QMessageBox::Critical;
        case MB_ICONQUESTION:
            return QMessageBox::Question;
        case MB_ICONEXCLAMATION:
            return QMessageBox::Warning;
        case MB_ICONINFORMATION:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

// Room beside a message box's caption for the title bar's own buttons.
constexpr int kCaptionMarginPx = 120;

// A dialog of fixed size: no sizing border, no maximise box, sized to its contents.
void MakeFixed(QDialog& dialog) {
    dialog.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    if (QLayout* layout = dialog.layout()) {
        layout->setSizeConstraint(QLayout::SetFixedSize);
    }
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

// A transfer's window. Escape and its close box do not close it: they tell the host, which
// stops the transfer at once or, for the programming transfer, asks first.
class QtHost::TransferDialog : public QDialog {
public:
    explicit TransferDialog(QWidget* parent) : QDialog(parent) {}
    std::function<void()> onClose;

protected:
    void reject() override {
        if (onClose) {
            onClose();
        }
    }
};

// Keeps a person's input away from the main window while a transfer runs. The transfer window
// is not modal, so the main window's close box still reaches the main window.
class QtHost::InputBlocker : public QObject {
public:
    explicit InputBlocker(QWidget* window) : m_window(window) {
        QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::Wheel:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::Shortcut:
            case QEvent::ShortcutOverride:
            case QEvent::ContextMenu:
            case QEvent::DragEnter:
            case QEvent::DragMove:
            case QEvent::Drop:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
                break;
            default:
                return false;
        }
        // A shortcut is an object of its window, not a widget.
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget == nullptr && watched->parent() != nullptr) {
            widget = qobject_cast<QWidget*>(watched->parent());
        }
        return widget != nullptr && m_window != nullptr && widget->window() == m_window;
    }

private:
    QPointer<QWidget> m_window;
};

// The window of a running transfer dialog.
struct QtHost::TransferWindow {
    TransferDialog dialog;
    InputBlocker blocker;
    QLabel* text = nullptr;
    QProgressBar* bar = nullptr;
    // A person stopped the transfer; the wait that sees it ends the dialog.
    bool stopped = false;
    // The programming transfer is only stopped once the person confirms it.
    bool asksBeforeStop = false;
    QPointer<QMessageBox> question;
    QEventLoop* waiting = nullptr;

    TransferWindow(QWidget* parent, const CDialog& dlg) : dialog(parent), blocker(parent) {
        dialog.setObjectName("transfer");
        dialog.setWindowTitle(Q(dlg.Title()));
        asksBeforeStop = AsksBeforeStop(dlg);
        auto* layout = new QVBoxLayout(&dialog);
        if (dlg.HasProgress()) {
            bar = new QProgressBar(&dialog);
            bar->setTextVisible(false);
            layout->addWidget(bar);
        }
        text = new QLabel(&dialog);
        text->setMinimumWidth(220);
        layout->addWidget(text);
        if (dlg.HasStopButton()) {
            // A deliberate press: it stops at once.
            auto* stop = new QPushButton("Stop", &dialog);
            layout->addWidget(stop, 0, Qt::AlignHCenter);
            QObject::connect(stop, &QPushButton::clicked, [this] { Stop(); });
        }
        dialog.setWindowIcon(QApplication::windowIcon());
        MakeFixed(dialog);
    }

    void Stop() {
        stopped = true;
        if (waiting != nullptr) {
            waiting->quit();
        }
    }
};

QtHost::QtHost(Clock& clock, bool virtualTime, std::string applicationName)
    : Host(clock), m_virtualTime(virtualTime), m_applicationName(std::move(applicationName)) {}

QtHost::~QtHost() = default;

void QtHost::SetWindow(QWidget* window, CFormView* form) {
    m_window = window;
    m_form = form;
}

QWidget* QtHost::BoxOwner() const {
    if (m_transfer) {
        return &m_transfer->dialog;
    }
    // A box owned by a window that is not on screen (a file named on the command line is
    // opened before the window shows) stands on its own, so every window manager shows it.
    return m_window != nullptr && m_window->isVisible() ? m_window.data() : nullptr;
}

std::unique_ptr<QMessageBox> QtHost::MakeBox(const std::string& text, unsigned type) const {
    QMessageBox::StandardButton first = QMessageBox::Ok;
    QMessageBox::StandardButton second = QMessageBox::NoButton;
    if ((type & MB_TYPEMASK) == MB_OKCANCEL) {
        second = QMessageBox::Cancel;
    } else if ((type & MB_TYPEMASK) == MB_YESNO) {
        first = QMessageBox::Yes;
        second = QMessageBox::No;
    }
    auto box = std::make_unique<QMessageBox>(IconOf(type), Q(m_applicationName), Q(text),
                                             first | second, BoxOwner());
    box->setDefaultButton(
        second != QMessageBox::NoButton && (type & MB_DEFMASK) == MB_DEFBUTTON2 ? second : first);
    if (second != QMessageBox::NoButton) {
        box->setEscapeButton(second);
    }
    // Wide enough that the caption is not cut off.
    const int captionWidth = box->fontMetrics().horizontalAdvance(Q(m_applicationName));
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
        grid->addItem(new QSpacerItem(captionWidth + kCaptionMarginPx, 0, QSizePolicy::Minimum,
                                      QSizePolicy::Expanding),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    return box;
}

int QtHost::MessageBox(const std::string& text, unsigned type) {
    const std::unique_ptr<QMessageBox> box = MakeBox(text, type);
    box->setWindowModality(Qt::ApplicationModal);
    switch (box->exec()) {
        case QMessageBox::Cancel:
            return IDCANCEL;
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        default:
            return IDOK;
    }
}

int QtHost::RunModal(CDialog& dlg) {
    if (auto* password = dynamic_cast<CPasswordDlg*>(&dlg)) {
        return RunPasswordDialog(*password);
    }
    if (auto* port = dynamic_cast<CPortSettingDlg*>(&dlg)) {
        return RunPortDialog(*port);
    }
    if (auto* about = dynamic_cast<CAboutDlg*>(&dlg)) {
        return RunAboutDialog(*about);
    }
    return Host::RunModal(dlg);
}

void QtHost::OpenDialog(CDialog& dlg) {
    m_transfer = std::make_unique<TransferWindow>(m_window.data(), dlg);
    m_transfer->dialog.onClose = [this] { CloseTransfer(); };
    m_transfer->dialog.show();
    Pump(0, true);
}

void QtHost::CloseDialog(CDialog&) {
    if (m_transfer) {
        m_transfer->dialog.hide();
        m_transfer.reset();
    }
}

void QtHost::CloseTransfer() {
    if (!m_transfer) {
        return;
    }
    TransferWindow& transfer = *m_transfer;
    if (!transfer.asksBeforeStop) {
        transfer.Stop();
        return;
    }
    if (transfer.question != nullptr) {
        transfer.question->raise();
        return;
    }
    // The transfer goes on while the person reads: the unit's loader gives up a transfer that
    // pauses, and the dialog times out an answer it waited for too long.
    std::unique_ptr<QMessageBox> box =
        MakeBox(StopProgrammingQuestion(), MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QMessageBox* question = box.release();  // the transfer window owns it now
    transfer.question = question;
    QObject::connect(question, &QMessageBox::finished, [this, question] {
        if (m_transfer && question->clickedButton() == question->button(QMessageBox::Yes)) {
            m_transfer->Stop();
        }
    });
    question->open();
}

void QtHost::Show(const CDialog& dlg) {
    if (!m_transfer) {
        return;
    }
    m_transfer->text->setText(Q(dlg.StatusText()));
    if (m_transfer->bar != nullptr) {
        m_transfer->bar->setRange(dlg.ProgressLow(),
                                  std::max(dlg.ProgressHigh(), dlg.ProgressLow() + 1));
        m_transfer->bar->setValue(dlg.ProgressPos());
    }
    Pump(0, true);
}

bool QtHost::WaitUntil(CDialog& dlg, int64_t ns) {
    for (;;) {
        Pump(0, false);
        if (m_transfer && m_transfer->stopped) {
            m_transfer->stopped = false;
            return false;
        }
        const int64_t now = m_clock.NowNs();
        if (ns != kForever && now >= ns) {
            // A tick with nothing to do before input comes waits on the port, painting between.
            const int64_t idle = dlg.IdleUntilNs();
            if (m_virtualTime || idle <= now ||
                WatchInputUntil(std::min(idle, now + kPaintSliceMs * kNsPerMs))) {
                return true;
            }
            continue;
        }
        if (m_virtualTime) {
            if (ns == kForever) {
                return false;  // nobody will press anything in virtual time
            }
            m_clock.SleepUntilNs(ns);
            continue;
        }
        const int64_t remainingMs =
            ns == kForever ? kPaintSliceMs : (ns - now + kNsPerMs - 1) / kNsPerMs;
        Pump(static_cast<int>(std::min<int64_t>(remainingMs, kPaintSliceMs)), false);
    }
}

void QtHost::Sleep(int ms) {
    // The thread is held, but the windows keep painting.
    const int64_t until = m_clock.NowNs() + static_cast<int64_t>(ms) * kNsPerMs;
    if (m_virtualTime) {
        m_clock.SleepUntilNs(until);
        Pump(0, true);
        return;
    }
    for (int64_t now = m_clock.NowNs(); now < until; now = m_clock.NowNs()) {
        const int64_t slice = std::min<int64_t>(until - now, kPaintSliceMs * kNsPerMs);
        m_clock.SleepUntilNs(now + slice);
        Pump(0, true);
    }
}

void QtHost::WaitForInputUntil(int64_t ns) {
    if (m_virtualTime) {
        return;  // a busy poll in virtual time moves the clock by its own reads
    }
    // The windows keep painting; what a person does waits until the logic is ready for it.
    Host::WaitForInputUntil(std::min(ns, m_clock.NowNs() + kPaintSliceMs * kNsPerMs));
    Pump(0, true);
}

void QtHost::PauseUntil(int64_t ns) {
    for (int64_t now = m_clock.NowNs(); now < ns; now = m_clock.NowNs()) {
        m_clock.SleepUntilNs(m_virtualTime ? ns : std::min(ns, now + kPaintSliceMs * kNsPerMs));
        Pump(0, true);
    }
}

void QtHost::DrawText(int x, int y, const std::string& text) {
    if (m_form != nullptr) {
        m_form->SetStatus(x, y, text);
    }
}

void QtHost::Pump(int ms, bool paintOnly) {
    const QEventLoop::ProcessEventsFlags flags =
        paintOnly ? QEventLoop::ExcludeUserInputEvents : QEventLoop::AllEvents;
    if (ms <= 0) {
        QCoreApplication::processEvents(flags);
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    // A stop ends the wait at once.
    TransferWindow* transfer = m_transfer.get();
    if (transfer != nullptr) {
        transfer->waiting = &loop;
    }
    loop.exec(flags);
    if (transfer != nullptr && transfer == m_transfer.get()) {
        transfer->waiting = nullptr;
    }
}

int QtHost::RunPasswordDialog(CPasswordDlg& dlg) {
    dlg.BeginModal();
    dlg.OnInitDialog();
    QDialog window(m_window.data());
    window.setWindowTitle(Q(dlg.Title()));
    auto* layout = new QHBoxLayout(&window);
    auto* field = new QLineEdit(&window);
    field->setEchoMode(QLineEdit::Password);
    field->setText(Q(dlg.m_strPassword));
    field->setObjectName("password");
    auto* ok = new QPushButton("OK", &window);
    ok->setAutoDefault(false);
    ok->setDefault(false);
    layout->addWidget(field);
    layout->addWidget(ok);
    QObject::connect(ok, &QPushButton::clicked, &window, &QDialog::accept);
    QObject::connect(field, &QLineEdit::returnPressed, &window, &QDialog::accept);
    MakeFixed(window);
    if (window.exec() != QDialog::Accepted) {
        dlg.OnCancel();
        return dlg.Result();
    }
    dlg.m_strPassword = field->text().toStdString();
    dlg.OnOK();
    return dlg.Result();
}

int QtHost::RunPortDialog(CPortSettingDlg& dlg) {
    dlg.BeginModal();
    dlg.OnInitDialog();
    QDialog window(m_window.data());
    window.setWindowTitle(Q(dlg.Title()));
    auto* layout = new QHBoxLayout(&window);
    auto* group = new QGroupBox("Port", &window);
    auto* grid = new QGridLayout(group);
    for (int port = 1; port <= CPortSettingDlg::kPorts; ++port) {
        auto* radio = new QRadioButton(QString("COM%1").arg(port), group);
        radio->setObjectName(QString("COM%1").arg(port));
        radio->setChecked(port == dlg.Checked());
        if (m_portNamer) {
            radio->setToolTip(Q(m_portNamer(static_cast<short>(port))));
        }
        // COM1, COM3 and COM5 on the left, COM2, COM4 and COM6 on the right.
        grid->addWidget(radio, (port - 1) / 2, (port - 1) % 2);
        QObject::connect(radio, &QRadioButton::clicked, [&dlg, port] { dlg.OnRadio(port); });
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel,
                                         Qt::Vertical, &window);
    layout->addWidget(buttons);
    auto* choices = new QVBoxLayout;
    choices->addWidget(group);
    // Beyond COM6: every port the system has, or a device path or network address typed in.
    // A name, when given, is used instead of the numbered port.
    auto* system = new QComboBox(&window);
    system->setObjectName("systemPorts");
    system->addItem("System ports...", QString());
    for (const SerialPortInfo& port : ListSerialPorts()) {
        const std::string text =
            port.name + (port.description.empty() ? "" : "  " + port.description);
        system->addItem(Q(text), Q(port.name));
    }
    auto* name = new QLineEdit(Q(dlg.m_strPortName), &window);
    name->setObjectName("portName");
    name->setPlaceholderText("Device, COM7, rfc2217://HOST:PORT or tcp://HOST:PORT");
    name->setToolTip("A port by name; leave empty to use the numbered port above");
    QObject::connect(system, &QComboBox::activated, [system, name](int index) {
        if (index > 0) {
            name->setText(system->itemData(index).toString());
        }
    });
    QObject::connect(name, &QLineEdit::textChanged,
                     [&dlg](const QString& text) { dlg.OnPortName(text.trimmed().toStdString()); });
    choices->addWidget(system);
    choices->addWidget(name);
    layout->addLayout(choices);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &window, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &window, &QDialog::reject);
    MakeFixed(window);
    if (window.exec() == QDialog::Accepted) {
        dlg.OnOK();  // the frame keeps the choice in the settings
    } else {
        dlg.OnCancel();
    }
    return dlg.Result();
}

int QtHost::RunAboutDialog(CAboutDlg& dlg) {
    dlg.BeginModal();
    QDialog window(m_window.data());
    window.setWindowTitle(Q(dlg.Title()));
    auto* layout = new QGridLayout(&window);
    auto* icon = new QLabel(&window);
    icon->setPixmap(QApplication::windowIcon().pixmap(32, 32));
    layout->addWidget(icon, 0, 0, Qt::AlignTop);
    const auto block = [](const std::vector<std::string>& lines) {
        QStringList joined;
        for (const std::string& line : lines) {
            joined << Q(line);
        }
        return joined.join('\n');
    };
    auto* version = new QLabel(Q(dlg.m_strVersion), &window);
    version->setObjectName("version");
    auto* first = new QLabel(block(dlg.m_firstBlock), &window);
    first->setObjectName("first");
    auto* second = new QLabel(block(dlg.m_secondBlock), &window);
    second->setObjectName("second");
    auto* ok = new QPushButton("OK", &window);
    ok->setDefault(true);
    layout->addWidget(version, 0, 1);
    layout->addWidget(ok, 0, 2, Qt::AlignTop);
    layout->addWidget(first, 1, 1);
    layout->addWidget(second, 2, 1);
    QObject::connect(ok, &QPushButton::clicked, &window, &QDialog::accept);
    MakeFixed(window);
    window.exec();
    dlg.OnOK();
    return dlg.Result();
}
