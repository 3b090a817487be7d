#include <gtest/gtest.h>

#include "image/MotImage.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/SrecFiles.h"
#include "tests/support/TempDir.h"

namespace {

class S19Reader : public ::testing::Test {
protected:
    // Reads `text` as a file and returns the messages shown.
    std::vector<std::string> Read(const std::string& text, bool expectOk = true) {
        WriteText("in.mot", text);
        EXPECT_EQ(m_image.ReadMotFile("in.mot"), expectOk);
        return m_host.Texts();
    }

    TempDir m_dir;
    RecordingHost m_host;
    ScopedHost m_installed{m_host};
    CMotImage m_image;
};

TEST(HexToByte, TakesExactlyTwoHexCharactersOfEitherCase) {
    EXPECT_EQ(HexToByte("1a"), 0x1A);
    EXPECT_EQ(HexToByte("fF"), 0xFF);
    EXPECT_EQ(HexToByte("G1"), 0);
    EXPECT_EQ(HexToByte("123"), 0);
    EXPECT_EQ(HexToByte("1"), 0);
}

TEST(ParseRecord, ReadsCountAddressDataAndChecksum) {
    CS19Record record;
    const std::string s1 = S1Line(0x1234, Ramp(16));  // the record points into its line
    ASSERT_EQ(ParseRecord(record, s1), LineKind::Data);
    EXPECT_EQ(record.m_nCount, 16);  // count field 0x13
    EXPECT_EQ(record.m_dwAddress, 0x1234u);
    EXPECT_EQ(record.m_strData, "000102030405060708090A0B0C0D0E0F");

    ASSERT_EQ(ParseRecord(record, S2Line(0x01ABCD, Ramp(16, 0xF0))), LineKind::Data);
    EXPECT_EQ(record.m_nCount, 16);  // count field 0x14
    EXPECT_EQ(record.m_dwAddress, 0x01ABCDu);

    // Lower-case digits are accepted and kept as they stand.
    ASSERT_EQ(ParseRecord(record, "S1050010abcd72"), LineKind::Data);
    EXPECT_EQ(record.m_strData, "abcd");
    EXPECT_EQ(record.m_nChecksum, 0x72);
}

TEST(ParseRecord, RefusesMalformedAndMisSummedRecords) {
    CS19Record record;
    std::string bad = S1Line(0x10, Ramp(4));
    bad[bad.size() - 1] ^= 1;
    EXPECT_EQ(ParseRecord(record, bad), LineKind::ChecksumError);
    EXPECT_EQ(ParseRecord(record, "S1020010ED"), LineKind::FormatError);    // count below 3
    EXPECT_EQ(ParseRecord(record, "S203000010EC"), LineKind::FormatError);  // count below 4
    EXPECT_EQ(ParseRecord(record, "S1070010ABCD"), LineKind::FormatError);  // short of data
    EXPECT_EQ(ParseRecord(record, "S1050010ABXD71"), LineKind::FormatError);
    EXPECT_EQ(ParseRecord(record, "S1"), LineKind::FormatError);
    EXPECT_EQ(ParseRecord(record, "s1050010ABCD71"), LineKind::Other);
    EXPECT_EQ(ParseRecord(record, S1Line(0, Ramp(0))), LineKind::Data);
    EXPECT_EQ(record.m_nCount, 0);
}

TEST_F(S19Reader, KeepsDataRecordsInFileOrderAndSkipsHeaderBlankAndCountLines) {
    const std::string text = "\nS00600004844521B\n" + S2Line(0x20, Ramp(16)) + "\r\n" +
                             S1Line(0x10, Ramp(8)) + "\n\nS5030002FA\n" + S1Line(0x40, {}) + "\n" +
                             S1Line(0x00, Ramp(1));  // no line end on the last line
    EXPECT_TRUE(Read(text).empty());
    ASSERT_EQ(m_image.m_listRecords.size(), 3u);  // the record without data is skipped
    EXPECT_EQ(m_image.m_listRecords[0].m_dwAddress, 0x20u);
    EXPECT_EQ(m_image.m_listRecords[1].m_dwAddress, 0x10u);
    EXPECT_EQ(m_image.m_listRecords[2].m_dwAddress, 0x00u);
}

TEST_F(S19Reader, StopsAtEndRecordsAndNeverReadsPastThem) {
    for (const char* end : {"S9030000FC", "S804000000FB", "S70500000000FA"}) {
        Read(S1Line(0, Ramp(4)) + "\n" + end + "\n" + S1Line(0x10, Ramp(4)) + "\ngarbage\n");
        EXPECT_EQ(m_image.m_listRecords.size(), 1u) << end;
    }
    EXPECT_TRUE(m_host.Texts().empty());
}

TEST_F(S19Reader, OtherLinesEndReadingQuietlyOnlyWhenNoDataWouldBeLost) {
    // An S3 file has no S1/S2 record before its first line, so it reads as empty.
    Read("S00600004844521B\nS30900000000000102F3\nS30900000004000102EF\n");
    EXPECT_TRUE(m_image.m_listRecords.empty());
    // Trailing text after the data, with nothing after it, ends reading quietly.
    Read(S1Line(0, Ramp(4)) + "\nS3090000000000010203\ntrailing words\n");
    EXPECT_EQ(m_image.m_listRecords.size(), 1u);
    EXPECT_TRUE(m_host.Texts().empty());
    // A foreign line between data records would drop the data after it.
    auto texts = Read(
        S1Line(0, Ramp(4)) + "\n" + S1Line(4, Ramp(4)) + "\nS4 what\n" + S1Line(8, Ramp(4)) + "\n",
        false);
    EXPECT_EQ(texts, std::vector<std::string>{"S19 File Format Error (line 3) !"});
    EXPECT_TRUE(m_image.m_listRecords.empty());
}

TEST_F(S19Reader, ReportsTheLineOfABadRecord) {
    std::string bad = S2Line(0x100, Ramp(16));
    bad[12] = bad[12] == '0' ? '1' : '0';
    EXPECT_EQ(Read(SrecFile({S2Line(0, Ramp(16)), bad}), false),
              std::vector<std::string>{"S19 File Checksum Error (line 3) !"});
    m_host.m_messages.clear();
    EXPECT_EQ(Read(SrecFile({"S1070010ABCD"}), false),
              std::vector<std::string>{"S19 File Format Error (line 2) !"});
}

TEST_F(S19Reader, MissingFileIsAReadError) {
    EXPECT_FALSE(m_image.ReadMotFile("absent.mot"));
    EXPECT_EQ(m_host.Texts(), std::vector<std::string>{"Read File Error !"});
}

}  // namespace
