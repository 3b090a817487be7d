#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iterator>

#include "image/MotImage.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"

namespace {

class ImageBuilder : public ::testing::Test {
protected:
    // Builds "tmp.bin" from the records and returns its bytes, or nothing when a step failed.
    Bytes Build(const std::vector<std::string>& lines) {
        WriteText("in.mot", SrecFile(lines));
        if (!m_image.Build("in.mot", "tmp.bin")) {
            return {};
        }
        const std::string text = ReadText("tmp.bin");
        return Bytes(text.begin(), text.end());
    }

    // The expected image: 0xFF everywhere, `length` bytes.
    static Bytes Blank(size_t length) { return Bytes(length, 0xFF); }
    static void Put(Bytes& image, uint32_t address, const Bytes& data) {
        std::copy(data.begin(), data.end(), image.begin() + address);
    }

    TempDir m_dir;
    RecordingHost m_host;
    ScopedHost m_installed{m_host};
    CMotImage m_image;
};

TEST_F(ImageBuilder, AlignedRecordsMakeRowsWithFillAndEndPadding) {
    Bytes expected = Blank(256);
    std::vector<std::string> lines;
    for (uint32_t address = 0; address < 256; address += 16) {
        lines.push_back(S1Line(address, Ramp(16, uint8_t(address))));
        Put(expected, address, Ramp(16, uint8_t(address)));
    }
    EXPECT_EQ(Build(lines), expected);
    EXPECT_EQ(m_image.m_listImage.size(), 16u);
    // Every byte value, in lower-case digits too.
    for (std::string& line : lines) {
        std::transform(line.begin() + 2, line.end(), line.begin() + 2,
                       [](char c) { return static_cast<char>(std::tolower(c)); });
    }
    EXPECT_EQ(Build(lines), expected);

    expected = Blank(128);
    Put(expected, 0x00, Ramp(16));
    Put(expected, 0x40, Ramp(16, 0x40));
    EXPECT_EQ(Build({S1Line(0x00, Ramp(16)), S1Line(0x40, Ramp(16, 0x40))}), expected);
    EXPECT_TRUE(m_host.Texts().empty());
}

TEST_F(ImageBuilder, UnalignedAndSharedRowsMerge) {
    Bytes expected = Blank(64);
    Put(expected, 0x08, Ramp(16));
    EXPECT_EQ(Build({S1Line(0x08, Ramp(16))}), expected);

    // A 20-byte record and a 12-byte record meeting inside the row at 0x1010.
    expected = Blank(0x1040);
    Put(expected, 0x1000, Ramp(20));
    Put(expected, 0x1014, Ramp(12, 0x80));
    EXPECT_EQ(Build({S1Line(0x1000, Ramp(20)), S1Line(0x1014, Ramp(12, 0x80))}), expected);

    // Three records in one row, with a gap between two of them.
    expected = Blank(64);
    Put(expected, 0x00, Ramp(4));
    Put(expected, 0x04, Ramp(4, 0x10));
    Put(expected, 0x0C, Ramp(4, 0x20));
    EXPECT_EQ(
        Build({S1Line(0x0C, Ramp(4, 0x20)), S1Line(0x00, Ramp(4)), S1Line(0x04, Ramp(4, 0x10))}),
        expected);
}

TEST_F(ImageBuilder, LongRecordsAreCutIntoEveryRowTheyCover) {
    // 64 bytes at 0x05 cover five rows.
    Bytes expected = Blank(128);
    Put(expected, 0x05, Ramp(64, 1));
    EXPECT_EQ(Build({S2Line(0x05, Ramp(64, 1))}), expected);
    EXPECT_EQ(m_image.m_listRows.size(), 5u);
}

TEST_F(ImageBuilder, ImageStartsAtAddressZeroWhateverTheLowestRecord) {
    Bytes expected = Blank(0x140);
    Put(expected, 0x110, Ramp(16));
    EXPECT_EQ(Build({S1Line(0x110, Ramp(16))}), expected);
}

TEST_F(ImageBuilder, SortsLateRecordsIn) {
    Bytes expected = Blank(128);
    Put(expected, 0x00, Ramp(16, 0x50));
    Put(expected, 0x10, Ramp(8, 0x10));
    Put(expected, 0x18, Ramp(8, 0x18));
    Put(expected, 0x40, Ramp(16, 0x40));
    EXPECT_EQ(Build({S1Line(0x18, Ramp(8, 0x18)), S1Line(0x40, Ramp(16, 0x40)),
                     S1Line(0x10, Ramp(8, 0x10)), S1Line(0x00, Ramp(16, 0x50))}),
              expected);
    EXPECT_TRUE(m_host.Texts().empty());
}

TEST_F(ImageBuilder, WindowLimitAndItsMessages) {
    // A record just below the limit stays whole and runs past it.
    Bytes expected = Blank(0x20040);
    Put(expected, 0x1FFF8, Ramp(16));
    EXPECT_EQ(
        Build({S2Line(0x1FFF8, Ramp(16)), S2Line(0x20008, Ramp(16)), S2Line(0xFFFFF0, Ramp(16))}),
        expected);
    EXPECT_TRUE(m_host.Texts().empty());
    EXPECT_EQ(m_image.m_nOutsideFlash, 2u);  // for the command line to tell

    EXPECT_EQ(Build({S2Line(0x20000, Ramp(16))}), Bytes());
    EXPECT_EQ(m_image.m_nOutsideFlash, 1u);
    EXPECT_EQ(Build({}), Bytes());
    EXPECT_EQ(m_image.m_nOutsideFlash, 0u);
    EXPECT_EQ(m_host.Texts(), (std::vector<std::string>{"Mot File Data Range Error !",
                                                        "Mot File Error (not S19 format) !"}));
}

TEST_F(ImageBuilder, RecordsAtOneAddressAreRefused) {
    // Of two records for one byte, neither may win.
    EXPECT_EQ(Build({S1Line(0x04, Ramp(16)), S1Line(0x04, Ramp(16))}), Bytes());
    EXPECT_EQ(m_host.Texts(), std::vector<std::string>{"S19 File Format Error (line 3) !"});
}

TEST_F(ImageBuilder, FailedWriteLeavesThePreviousImageWhole) {
#ifdef _WIN32
    GTEST_SKIP() << "a name this long does not fit a Windows path";
#endif
    // The longest name a folder takes: the fresh file beside it, named after it, cannot be made.
    const std::string image(255, 'i');
    WriteText(image, "previous");
    WriteText("in.mot", SrecFile({S1Line(0, Ramp(16))}));
    EXPECT_FALSE(m_image.Build("in.mot", image));
    EXPECT_EQ(m_host.Texts(), std::vector<std::string>{"BIN File Write Error !"});
    EXPECT_EQ(ReadText(image), "previous");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 2);  // nothing beside
}

}  // namespace
