#include <gtest/gtest.h>

#include "framework/Globals.h"
#include "image/DrovaneDoc.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"

namespace {

using Texts = std::vector<std::string>;

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

class DocumentOpen : public ::testing::Test {
protected:
    void SetUp() override {
        g_nFirmwareModel = 0;
        m_doc.OnNewDocument();
    }

    // Writes `text` under `name`, opens it and returns the messages shown.
    Texts Open(const std::string& name, const std::string& text, bool expectOk) {
        m_host.m_messages.clear();
        WriteText(name, text);
        EXPECT_EQ(m_doc.OnOpenDocument(m_dir.Path(name)), expectOk) << name;
        return m_host.Texts();
    }

    TempDir m_dir;
    RecordingHost m_host;
    ScopedHost m_installed{m_host};
    CDrovaneDoc m_doc;
    const std::string m_plain = SrecFile(RecordLines(4));
};

TEST(ModelTable, FirstMatchingPrefixWinsCaseSensitively) {
    EXPECT_EQ(LookUpModel("LB1~4K_a.mot"), 0x10);
    EXPECT_EQ(LookUpModel("LB4KA_1.mot"), 0x20);
    EXPECT_EQ(LookUpModel("Tilm1~4K.mot"), 0x10);
    EXPECT_EQ(LookUpModel("Tilm4KA.mot"), 0x20);
    EXPECT_EQ(LookUpModel("LB6Kctrl_v2.mot"), 0x31);
    EXPECT_EQ(LookUpModel("LB6Kmppt.mot"), 0x32);
    EXPECT_EQ(LookUpModel("LB6K_01.mot"), 0x33);
    EXPECT_EQ(LookUpModel("LB6KCTRL.mot"), 0x33);
    EXPECT_EQ(LookUpModel("Tilm6Kctrl.mot"), 0x131);
    EXPECT_EQ(LookUpModel("Tilm6Kmppt.mot"), 0x132);
    EXPECT_EQ(LookUpModel("Tilm6K.mot"), 0x133);
    EXPECT_EQ(LookUpModel("lb1~4k.mot"), 0);
    EXPECT_EQ(FileNameOf("/home/fw/LB4KA_1.mot"), "LB4KA_1.mot");
    // A backslash separates folders on Windows only; elsewhere it is a character of the name.
#ifdef _WIN32
    EXPECT_EQ(FileNameOf("C:\\fw\\LB4KA_1.mot"), "LB4KA_1.mot");
    EXPECT_EQ(FileNameOf("C:\\fw/LB4KA_1.mot"), "LB4KA_1.mot");
    EXPECT_EQ(LookUpModel(FileNameOf("fw/Tilm6Kmppt_\\LB1~4K_x.mot")), 0x10);
#else
    EXPECT_EQ(FileNameOf("fw/C:\\fw\\LB4KA_1.mot"), "C:\\fw\\LB4KA_1.mot");
    EXPECT_EQ(LookUpModel(FileNameOf("fw/Tilm6Kmppt_\\LB1~4K_x.mot")), 0x132);
#endif
}

TEST_F(DocumentOpen, PlainFileBuildsTheImageAndAnnouncesItself) {
    // The extension is not checked, and names of any length work.
    const std::string name = "LB1~4K_" + std::string(120, 'x') + ".txt";
    EXPECT_EQ(Open(name, m_plain, true), Texts{"You will update " + name + " !"});
    EXPECT_EQ(m_host.m_messages[0].type, MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(g_nFirmwareModel, 0x10);
    EXPECT_EQ(g_bDataReady, 1);
    EXPECT_EQ(ReadText("tmp.bin").size(), 64u);
    EXPECT_FALSE(Exists("log1.bin"));
    EXPECT_EQ(Open("lb1~4k.mot", m_plain, false),
              Texts{"This filename is unknown! Please confirm it !"});
}

TEST_F(DocumentOpen, PlainFileMustEndWithAnEndRecordWhereABlockNeedNot) {
    const auto lines = RecordLines(2);
    EXPECT_EQ(Open("LB4KA.mot", "S00600004844521B\n" + Joined(lines), false),
              Texts{"S19 File Format Error (line 4) !"});
    EXPECT_FALSE(Exists("tmp.bin"));
    // A lone CR ends every line: none is glued to the one before.
    EXPECT_EQ(Open("LB4KA.mot", WithLineEnds(SrecFile(RecordLines(4)), "\r"), true).size(), 1u);
    EXPECT_EQ(ReadText("tmp.bin").size(), 64u);
    EXPECT_EQ(ReadText("tmp.bin").substr(0x30, 4), std::string("\x03\x04\x05\x06"));
    EXPECT_EQ(Open("LB6Kmppt.mot", Container({}, 0, lines, 2), true).size(), 1u);
}

TEST_F(DocumentOpen, SixKContainerIsCutIntoBlockFiles) {
    const auto control = RecordLines(2000);
    const auto mppt = RecordLines(3, 0x100);
    EXPECT_EQ(Open("LB6K_01.mot", Container(control, 2000, mppt, 3), true),
              Texts{"You will update LB6K_01.mot !"});
    EXPECT_EQ(g_nFirmwareModel, 0x33);
    EXPECT_EQ(ReadText("log1.bin"), Joined(control));
    EXPECT_EQ(ReadText("log2.bin"), Joined(mppt));
    EXPECT_EQ(ReadText("tmp.bin").size(), 2000u * 16);  // built from the control block only

    EXPECT_EQ(Open("LB6Kmppt.mot", Container({}, 0, mppt, 3), true).size(), 1u);
    EXPECT_EQ(ReadText("log2.bin"), Joined(mppt));
    EXPECT_EQ(ReadText("tmp.bin").size(), 0x140u);  // built from the MPPT block

    // Lines that end in a lone CR are counted like any others.
    EXPECT_EQ(Open("LB6K_cr.mot", WithLineEnds(Container(control, 2000, mppt, 3), "\r"), true),
              Texts{"You will update LB6K_cr.mot !"});
    EXPECT_EQ(ReadText("log1.bin"), Joined(control));
    EXPECT_EQ(ReadText("log2.bin"), Joined(mppt));
}

TEST_F(DocumentOpen, BlockCountLimits) {
    const auto control = RecordLines(4);
    const std::string format = "The file formate is error! Please confirm it !";
    const std::string unknown = "This filename is unknown! Please confirm it !";
    EXPECT_EQ(Open("LB6Kctrl.mot", Container(control, 1999, {}, 0), false), Texts{format});
    EXPECT_EQ(Open("LB6Kctrl.mot", Container(control, 5001, {}, 0), false), Texts{format});
    EXPECT_EQ(Open("LB6Kctrl.mot", Container(Padded(control, 5000), 5000, {}, 0), true).size(), 1u);
    // A block with fewer lines than its count was cut short.
    EXPECT_EQ(Open("LB6Kctrl.mot", Container(Padded(control, 4999), 5000, {}, 0), false),
              Texts{format});
    EXPECT_EQ(Open("LB6Kmppt.mot", Container({}, 0, control, 5), false), Texts{format});
    const auto full = RecordLines(2000);
    EXPECT_EQ(Open("LB6K.mot", Container(full, 2000, control, 2001), false), Texts{format});
    EXPECT_EQ(Open("LB6Kmppt.mot", "MPPT_BLOCK\n", false), Texts{format});  // no count line
    EXPECT_EQ(Open("LB6Kmppt.mot", "CTRL_BLOCK\n0\n", false), Texts{unknown});
    EXPECT_EQ(Open("LB6K.mot", Container(full, 2000, {}, 0), false), Texts{unknown});
    // An MPPT count of 0 gives an empty block, which holds nothing to build.
    EXPECT_EQ(Open("LB6Kmppt.mot", "MPPT_BLOCK\n0\n" + control[0] + "\n", false),
              Texts{"Mot File Error (not S19 format) !"});
}

TEST_F(DocumentOpen, ByteOrderMarkIsSkippedOnlyAtTheStartOfTheFile) {
    const std::string mark = "\xEF\xBB\xBF";
    const auto mppt = RecordLines(3, 0x100);
    const std::string notS19 = "Mot File Error (not S19 format) !";
    const struct {
        const char* name;
        std::string text;
        bool opens;
    } cases[] = {
        {"LB4KA.mot", mark + m_plain, true},
        {"LB6Kmppt.mot", mark + Container({}, 0, mppt, 3), true},
        {"LB4KA.mot", "S00600004844521B\n" + mark + m_plain, false},
        {"LB4KA.mot", mark + mark + m_plain, false},
        {"LB6Kmppt.mot", "MPPT_BLOCK\n3\n" + mark + Joined(mppt), false},
    };
    for (const auto& file : cases) {
        EXPECT_EQ(Open(file.name, file.text, file.opens),
                  Texts{file.opens ? "You will update " + std::string(file.name) + " !" : notS19})
            << file.text.substr(0, 24);
    }
    Open("LB6Kmppt.mot", mark + Container({}, 0, mppt, 3), true);
    EXPECT_EQ(ReadText("log2.bin"), Joined(mppt));  // the block files hold no mark
}

#ifndef _WIN32
TEST_F(DocumentOpen, BackslashIsPartOfTheNameHere) {
    EXPECT_EQ(Open("Tilm6Kmppt_\\LB1~4K_x.mot", Container({}, 0, RecordLines(3), 3), true),
              Texts{"You will update Tilm6Kmppt_\\LB1~4K_x.mot !"});
    EXPECT_EQ(g_nFirmwareModel, 0x132);
}
#endif

TEST_F(DocumentOpen, WorkingFilesReplacePlantedLinksAndNeverWriteThroughThem) {
    const auto control = RecordLines(2000);
    const auto mppt = RecordLines(3, 0x100);
    const std::string container = Container(control, 2000, mppt, 3);
    const std::string decoyBytes = "the decoy's own bytes";
    // Each working file, and the names each was once staged under beside it.
    for (const std::string planted :
         {"tmp.bin", "log1.bin", "log2.bin", "tmp.bin.new", "tmp.bin.new.part", "log1.bin.new",
          "log1.bin.new.part", "log2.bin.new", "log2.bin.new.part"}) {
        for (const char* target : {"decoy", "absent"}) {
            for (const char* output : {"tmp.bin", "log1.bin", "log2.bin"}) {
                std::filesystem::remove(output);
            }
            std::filesystem::remove(planted);
            WriteText("decoy", decoyBytes);
            if (!PlantLink(target, planted)) {
                GTEST_SKIP() << "no symbolic links here";
            }
            const std::string what = planted + " -> " + target;
            EXPECT_EQ(Open("LB6K_01.mot", container, true).size(), 1u) << what;
            EXPECT_EQ(ReadText("decoy"), decoyBytes) << what;
            EXPECT_FALSE(Exists("absent")) << what;
            for (const char* output : {"tmp.bin", "log1.bin", "log2.bin"}) {
                EXPECT_TRUE(
                    std::filesystem::is_regular_file(std::filesystem::symlink_status(output)))
                    << what << ": " << output;
            }
            EXPECT_EQ(ReadText("log1.bin"), Joined(control)) << what;
            EXPECT_EQ(ReadText("log2.bin"), Joined(mppt)) << what;
            EXPECT_EQ(ReadText("tmp.bin").size(), 2000u * 16) << what;
        }
    }
}

TEST_F(DocumentOpen, FailedOpenChangesNothing) {
    ASSERT_EQ(Open("LB6K.mot", Container(RecordLines(2000), 2000, RecordLines(1), 1), true).size(),
              1u);
    const std::string image = ReadText("tmp.bin");
    const std::string log1 = ReadText("log1.bin");
    const std::string log2 = ReadText("log2.bin");

    auto control = RecordLines(2000, 0x40);
    control.back().back() ^= 1;  // spoil the checksum of the last control record
    EXPECT_EQ(Open("Tilm6K.mot", Container(control, 2000, RecordLines(2), 2), false),
              Texts{"S19 File Checksum Error (line 2000) !"});
    EXPECT_EQ(Open("LB4KA.mot", SrecFile({S1Line(4, Ramp(16)), S1Line(4, Ramp(16))}), false),
              Texts{"S19 File Format Error (line 3) !"});
    m_host.m_messages.clear();
    EXPECT_FALSE(m_doc.OnOpenDocument("absent.mot"));
    EXPECT_EQ(m_host.Texts().size(), 2u);
    EXPECT_EQ(m_host.Texts().back(), "File Open fail");

    EXPECT_EQ(g_nFirmwareModel, 0x33);
    EXPECT_EQ(ReadText("tmp.bin"), image);
    EXPECT_EQ(ReadText("log1.bin"), log1);
    EXPECT_EQ(ReadText("log2.bin"), log2);
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.ends_with(".mot") || name.ends_with(".bin")) << name;
    }
}

}  // namespace
