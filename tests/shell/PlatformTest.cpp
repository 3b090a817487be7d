#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtEndian>

#include "shell/qt/platform/FileTypes.h"
#include "shell/qt/platform/Icons.h"
#include "shell/qt/platform/SuspendBlocker.h"

#ifdef FLASHTOOL_HAVE_DBUS
#include <poll.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QThread>
#include <mutex>
#endif

QT_BEGIN_NAMESPACE
// Readable failures.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

const QString kPlatformDir = QStringLiteral(PLATFORM_DIR);
const char kAppName[] = "Flash tool platform test";

TEST(PowerBroadcast, DeniesSuspendQueriesAndAcknowledgesTheRest) {
    EXPECT_EQ(PowerBroadcastReply(0x0000), 0x424D5144);  // PBT_APMQUERYSUSPEND
    // PBT_APMSUSPEND, PBT_APMRESUMESUSPEND, PBT_APMPOWERSTATUSCHANGE, PBT_APMRESUMEAUTOMATIC,
    // PBT_POWERSETTINGCHANGE
    for (unsigned long event : {0x0004ul, 0x0007ul, 0x000Aul, 0x0012ul, 0x8013ul}) {
        EXPECT_EQ(PowerBroadcastReply(event), 1) << event;
    }
}

#ifdef FLASHTOOL_HAVE_DBUS

TEST(SuspendBlocker, RunsWithoutALoginManager) {
    const SuspendBlocker unreachable(QStringLiteral("test"),
                                     QStringLiteral("unix:path=/nonexistent/flashtool-test-bus"));
    EXPECT_FALSE(unreachable.Active());

    const QDBusConnection system = QDBusConnection::systemBus();
    const bool haveLogind = system.isConnected() && system.interface()->isServiceRegistered(
                                                        QStringLiteral("org.freedesktop.login1"));
    const SuspendBlocker blocker;
    EXPECT_EQ(blocker.Active(), haveLogind);
}

// Answers Inhibit with the write end of a pipe and keeps the read end: the read end reports
// end of file once every copy of the lock is closed, as the real login manager notices.
class FakeLoginManager final : public QDBusVirtualObject {
public:
    ~FakeLoginManager() override {
        if (m_readEnd >= 0) {
            ::close(m_readEnd);
        }
    }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != "org.freedesktop.login1.Manager" ||
            message.member() != "Inhibit" || message.signature() != "ssss") {
            return false;
        }
        int ends[2];
        if (::pipe(ends) != 0) {
            return false;
        }
        {
            std::lock_guard lock(m_mutex);
            for (const QVariant& argument : message.arguments()) {
                m_arguments.append(argument.toString());
            }
            m_readEnd = ends[0];
        }
        connection.send(message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(ends[1]))));
        ::close(ends[1]);
        return true;
    }
    QStringList Arguments() const {
        std::lock_guard lock(m_mutex);
        return m_arguments;
    }
    int ReadEnd() const {
        std::lock_guard lock(m_mutex);
        return m_readEnd;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_arguments;
    int m_readEnd = -1;
};

// A bus daemon of the test's own, stopped with the object.
class PrivateBus {
public:
    PrivateBus() {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
        if (daemon.isEmpty() || !config.open(QIODevice::WriteOnly)) {
            return;
        }
        config.write(QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                                    "<auth>EXTERNAL</auth><policy context=\"default\">"
                                    "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                    "<allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                                    "</policy></busconfig>")
                         .arg(m_dir.path())
                         .toUtf8());
        config.close();
        m_daemon.start(daemon,
                       {"--config-file=" + config.fileName(), "--nofork", "--print-address"});
        if (m_daemon.waitForStarted() && m_daemon.waitForReadyRead(5000)) {
            m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        }
    }
    ~PrivateBus() {
        m_daemon.terminate();
        m_daemon.waitForFinished();
    }
    const QString& Address() const { return m_address; }

private:
    // A bus address takes no spaces, which the application name would bring into the default.
    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/flashtool-bus-XXXXXX")};
    QProcess m_daemon;
    QString m_address;
};

// The fake answers on its own thread: the blocker's call blocks the test's.
struct ServiceThread {
    ServiceThread() { m_thread.start(); }
    ~ServiceThread() {
        m_thread.quit();
        m_thread.wait();
    }
    QThread m_thread;
};

struct BusConnection {
    BusConnection(const QString& address, const QString& name)
        : m_name(name), m_bus(QDBusConnection::connectToBus(address, name)) {}
    ~BusConnection() { QDBusConnection::disconnectFromBus(m_name); }
    QString m_name;
    QDBusConnection m_bus;
};

bool EndOfFile(int fd, int waitMs) {
    pollfd poller{fd, POLLIN, 0};
    char byte = 0;
    return ::poll(&poller, 1, waitMs) == 1 && ::read(fd, &byte, 1) == 0;
}

TEST(SuspendBlocker, HoldsTheSleepLockForItsLife) {
    PrivateBus bus;
    if (bus.Address().isEmpty()) {
        GTEST_SKIP() << "no dbus-daemon to run a private bus";
    }
    FakeLoginManager manager;
    ServiceThread thread;
    manager.moveToThread(&thread.m_thread);
    BusConnection service(bus.Address(), QStringLiteral("fake-login1"));
    ASSERT_TRUE(service.m_bus.registerService(QStringLiteral("org.freedesktop.login1")));
    ASSERT_TRUE(
        service.m_bus.registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), &manager));

    int lock = -1;
    {
        const SuspendBlocker blocker(QStringLiteral("Writing firmware"), bus.Address());
        EXPECT_TRUE(blocker.Active());
        EXPECT_EQ(manager.Arguments(),
                  QStringList({"sleep", kAppName, "Writing firmware", "block"}));
        lock = manager.ReadEnd();
        ASSERT_GE(lock, 0);
        EXPECT_FALSE(EndOfFile(lock, 200)) << "the lock was let go while the blocker lives";
    }
    EXPECT_TRUE(EndOfFile(lock, 5000)) << "the lock outlived the blocker";
}

#endif  // FLASHTOOL_HAVE_DBUS

double Coverage(const QImage& image) {
    int drawn = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            drawn += qAlpha(image.pixel(x, y)) > 0;
        }
    }
    return double(drawn) / (image.width() * image.height());
}

// Each icon has its sizes, is drawn (neither empty nor a filled box) and differs from the others.
void ExpectDrawn(const QList<QIcon>& icons, const QList<QSize>& sizes, double least) {
    QList<QImage> seen;
    for (const QIcon& icon : icons) {
        ASSERT_FALSE(icon.isNull());
        for (QSize size : sizes) {
            EXPECT_TRUE(icon.availableSizes().contains(size)) << size.width();
            const QImage image = icon.pixmap(size, 1.0).toImage();
            ASSERT_EQ(image.size(), size);
            EXPECT_GT(Coverage(image), least) << size.width();
            EXPECT_LT(Coverage(image), 0.9) << size.width();
            EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << size.width();
            for (const QImage& other : seen) {
                EXPECT_NE(image, other);
            }
            seen.append(image);
        }
    }
}

TEST(Icons, ToolbarIconsFitTheButtons) {
    ExpectDrawn({OpenIcon(), FlashIcon(), AboutIcon()}, {QSize(39, 30), QSize(78, 60)}, 0.05);
}

TEST(Icons, ProgramAndDocumentIcons) {
    ExpectDrawn({MainIcon(), DocumentIcon()}, {QSize(16, 16), QSize(32, 32)}, 0.25);
}

TEST(Icons, IcoFileHoldsEverySizeAsPng) {
    const QIcon icon = DocumentIcon();
    const QByteArray ico = IcoFile(icon);
    const auto le16 = [&](qsizetype at) {
        return qFromLittleEndian<quint16>(ico.constData() + at);
    };
    const auto le32 = [&](qsizetype at) {
        return qFromLittleEndian<quint32>(ico.constData() + at);
    };
    ASSERT_GE(ico.size(), 6);
    EXPECT_EQ(le16(0), 0);
    EXPECT_EQ(le16(2), 1);
    const QList<QSize> sizes = icon.availableSizes();
    ASSERT_EQ(le16(4), sizes.size());
    for (int i = 0; i < sizes.size(); ++i) {
        const qsizetype entry = 6 + 16 * i;
        const int side = quint8(ico[entry]) == 0 ? 256 : quint8(ico[entry]);
        const qsizetype length = le32(entry + 8), offset = le32(entry + 12);
        ASSERT_LE(offset + length, ico.size());
        const QImage image = QImage::fromData(ico.mid(offset, length), "PNG");
        EXPECT_EQ(image.size(), QSize(side, side));
        EXPECT_TRUE(sizes.contains(image.size()));
    }
}

// Runs a desktop tool: empty when it succeeds, else what it said.
std::string RunTool(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(30000);
    if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0) {
        return {};
    }
    return (program + " failed: ").toStdString() + process.readAll().toStdString();
}

TEST(FileTypes, MimePackageDeclaresTheMotType) {
    QFile file(kPlatformDir + "/flashtool-mot.xml");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QStringList found;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) {
            continue;
        }
        const auto attributes = xml.attributes();
        if (xml.name() == u"mime-type") {
            found << "type " + attributes.value("type").toString();
        } else if (xml.name() == u"glob") {
            found << "glob " + attributes.value("pattern").toString();
        } else if (xml.name() == u"icon") {
            found << "icon " + attributes.value("name").toString();
        } else if (xml.name() == u"comment") {
            found << "comment " + xml.readElementText();
        }
    }
    ASSERT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(found,
              QStringList({QStringLiteral("type ") + kMotMimeType, "comment Kestrun Document",
                           QStringLiteral("icon ") + kDocumentIconName, "glob *.mot"}));

    // The desktop's own tool must take it and map *.mot to the type.
    const QString update = QStandardPaths::findExecutable(QStringLiteral("update-mime-database"));
    if (update.isEmpty()) {
        GTEST_SKIP() << "update-mime-database is not installed";
    }
    QTemporaryDir mime;
    ASSERT_TRUE(QDir(mime.path()).mkpath(QStringLiteral("packages")));
    ASSERT_TRUE(file.copy(mime.filePath(QStringLiteral("packages/flashtool-mot.xml"))));
    ASSERT_EQ(RunTool(update, {mime.path()}), "");
    QFile globs(mime.filePath(QStringLiteral("globs2")));
    ASSERT_TRUE(globs.open(QIODevice::ReadOnly));
    EXPECT_TRUE(globs.readAll().contains(QByteArray(":") + kMotMimeType + ":*.mot\n"));
}

// The keys of a desktop entry's main group, as the desktop reads them (QSettings would take ';'
// for a comment).
QMap<QString, QString> DesktopEntry(const QString& path) {
    QMap<QString, QString> keys;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return keys;
    }
    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == QStringLiteral("[Desktop Entry]");
        } else if (inMainGroup && line.contains('=') && !line.startsWith('#')) {
            keys.insert(line.section('=', 0, 0).trimmed(), line.section('=', 1).trimmed());
        }
    }
    return keys;
}

TEST(FileTypes, DesktopEntriesOpenMotFiles) {
    const QString validate =
        QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    // Edition A alone is the type's handler, so the desktop has one default for ".mot".
    const struct {
        const char* fileName;
        const char* appName;
        QString mimeType;
    } editions[] = {
        {"QuorvaneIAP.desktop", "QUORVANE Series Flash Tool", QString(kMotMimeType) + ';'},
        {"Flash_LB1-6K.desktop", "Lumbrook Series Flash Tool", QString()}};
    for (const auto& [fileName, appName, mimeType] : editions) {
        SCOPED_TRACE(fileName);
        const QString path = kPlatformDir + '/' + fileName;
        const QMap<QString, QString> entry = DesktopEntry(path);
        EXPECT_EQ(entry.value("Type"), "Application");
        EXPECT_EQ(entry.value("Name"), appName);
        EXPECT_TRUE(entry.value("Exec").endsWith(" %f")) << entry.value("Exec").toStdString();
        EXPECT_EQ(entry.value("MimeType"), mimeType);
        EXPECT_EQ(entry.value("Icon"), kMainIconName);
        if (!validate.isEmpty()) {
            EXPECT_EQ(RunTool(validate, {path}), "");
        }
    }
}

TEST(FileTypes, WindowsKeysNameTheProgramAsOpener) {
    QTemporaryDir dir;
    QSettings classes(dir.filePath(QStringLiteral("classes.ini")), QSettings::IniFormat);
    const QString program = QStringLiteral("C:/Program Files/Kestrune/QuorvaneIAP.exe");
    const QString icon = QStringLiteral("C:/Users/u/AppData/kestrune-document.ico");
    WriteFileTypeKeys(classes, program, icon);
    EXPECT_EQ(classes.value(".mot/Default").toString(), "Kestrune.Document");
    EXPECT_EQ(classes.value("Kestrune.Document/Default").toString(), "Kestrun Document");
    EXPECT_EQ(classes.value("Kestrune.Document/shell/open/command/Default").toString(),
              '"' + QDir::toNativeSeparators(program) + "\" \"%1\"");
    EXPECT_EQ(classes.value("Kestrune.Document/DefaultIcon/Default").toString(),
              QDir::toNativeSeparators(icon) + ",0");
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(kAppName);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
