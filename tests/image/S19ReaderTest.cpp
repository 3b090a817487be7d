#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "image/LineReader.h"
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

using Texts = std::vector<std::string>;

TEST(LineReader, LfCrLfAndALoneCrEachEndOneLine) {
    const struct {
        std::string_view text;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\rb\r\nc\n\rd\r\r\ne\r", {"a", "b", "c", "", "d", "", "e"}},
        {"", {}},
        {"\n", {""}},
        {"\r", {""}},
        {"\r\n", {""}},
        {"\n\r", {"", ""}},
        {"a", {"a"}},  // the last line needs no line end
        {"a\nb", {"a", "b"}},
        {"a\r\nb\r", {"a", "b"}},
        {"a\rb\rc\r\nd\re\nf", {"a", "b", "c", "d", "e", "f"}},  // lone CRs before an LF
        {"a\r\rb", {"a", "", "b"}},
    };
    for (const auto& c : cases) {
        LineReader lines(c.text);
        std::vector<std::string> seen;
        std::string_view line;
        while (lines.Next(line)) {
            seen.emplace_back(line);
        }
        EXPECT_EQ(seen, c.lines) << testing::PrintToString(std::string(c.text));
        EXPECT_EQ(lines.LineNumber(), c.lines.size());
    }
}

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
    // Every character the count covers must be a digit, whichever of eight it is read with.
    const std::string s2 = S2Line(0x01ABCD, Ramp(16, 0xF0));
    for (size_t i = 2; i < s2.size(); ++i) {
        for (const char c : {'G', 'g', '/', ':', '@', '`', ' ', '\x16', '\x80', '\xC6'}) {
            std::string wrong = s2;
            wrong[i] = c;
            EXPECT_EQ(ParseRecord(record, wrong), LineKind::FormatError) << i << " " << int(c);
        }
    }
    std::string lower = s2;
    std::transform(lower.begin() + 2, lower.end(), lower.begin() + 2,
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    ASSERT_EQ(ParseRecord(record, lower), LineKind::Data);
    EXPECT_EQ(record.m_dwAddress, 0x01ABCDu);
    EXPECT_EQ(record.m_nChecksum, HexToByte(s2.substr(s2.size() - 2)));
    // Only blanks may follow the checksum.
    const std::string good = S1Line(0x10, Ramp(4));
    EXPECT_EQ(ParseRecord(record, good + " \t "), LineKind::Data);
    for (const std::string& tail : std::vector<std::string>{"0", "x", " ;note", "\f", good}) {
        EXPECT_EQ(ParseRecord(record, good + tail), LineKind::FormatError) << tail;
    }
}

TEST(ParseRecord, CountRecordsFollowTheRecordGrammar) {
    CS19Record record;
    ASSERT_EQ(ParseRecord(record, S5Line(0x1234)), LineKind::Count);
    EXPECT_EQ(record.m_dwAddress, 0x1234u);
    ASSERT_EQ(ParseRecord(record, S6Line(0x012345)), LineKind::Count);
    EXPECT_EQ(record.m_dwAddress, 0x012345u);
    EXPECT_EQ(ParseRecord(record, "S5030002FB"), LineKind::ChecksumError);
    EXPECT_EQ(ParseRecord(record, "S504000002F9"), LineKind::FormatError);  // a data byte
    EXPECT_EQ(ParseRecord(record, "S50300G2FA"), LineKind::FormatError);
    EXPECT_EQ(ParseRecord(record, "S5"), LineKind::FormatError);
    EXPECT_EQ(ParseRecord(record, S5Line(2) + "S"), LineKind::FormatError);
    EXPECT_EQ(ParseRecord(record, "S30900000000000102F3"), LineKind::WideData);
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
    Read(S1Line(0, Ramp(4)) + "\ntrailing words\n");
    EXPECT_EQ(m_image.m_listRecords.size(), 1u);
    EXPECT_TRUE(m_host.Texts().empty());
    // A foreign line between data records would drop the data after it.
    auto texts = Read(
        S1Line(0, Ramp(4)) + "\n" + S1Line(4, Ramp(4)) + "\nS4 what\n" + S1Line(8, Ramp(4)) + "\n",
        false);
    EXPECT_EQ(texts, Texts{"S19 File Format Error (line 3) !"});
    EXPECT_TRUE(m_image.m_listRecords.empty());
}

TEST_F(S19Reader, NoRecordIsDroppedWhateverTheLineEnds) {
    // Lines glued on with a lone CR are lines of their own, and counted as such.
    const std::string text = SrecFile({S1Line(0, Ramp(4)), S1Line(4, Ramp(4)), S1Line(8, Ramp(4))});
    for (const char* lineEnd : {"\r", "\r\n"}) {
        EXPECT_TRUE(Read(WithLineEnds(text, lineEnd)).empty());
        ASSERT_EQ(m_image.m_listRecords.size(), 3u) << lineEnd;
        EXPECT_EQ(m_image.m_listRecords[2].m_dwAddress, 8u);
        EXPECT_EQ(m_image.m_listRecords[2].m_strData, "00010203");
    }
    std::string bad = S1Line(0x10, Ramp(4));
    bad.back() ^= 1;
    EXPECT_EQ(Read("S00600004844521B\r\n" + S1Line(0, Ramp(4)) + "\r" + bad + "\n", false),
              Texts{"S19 File Checksum Error (line 3) !"});
}

TEST_F(S19Reader, RefusesWhatReadingWouldDrop) {
    const std::string first = S1Line(0, Ramp(4));
    // Text after a checksum, such as a record glued on.
    EXPECT_EQ(Read(SrecFile({first + S1Line(4, Ramp(4))}), false),
              Texts{"S19 File Format Error (line 2) !"});
    m_host.m_messages.clear();
    EXPECT_TRUE(Read(SrecFile({first + " \t"})).empty());
    // An S3 record after S1/S2 data, which reading would otherwise stop at.
    EXPECT_EQ(Read(first + "\nS30900000010000102E3\n", false),
              Texts{"S19 File Format Error (line 2) !"});
    EXPECT_TRUE(m_image.m_listRecords.empty());
}

TEST_F(S19Reader, RecordsSharingAByteAreRefusedAtTheFirstLineThatDoes) {
    const auto overlapLine = [this](const std::vector<std::string>& lines) {
        m_host.m_messages.clear();
        return Read(SrecFile(lines), false);
    };
    // The later record in the file is reported, whichever address comes first.
    EXPECT_EQ(overlapLine({S1Line(0x00, Ramp(32)), S1Line(0x10, Ramp(4))}),
              Texts{"S19 File Format Error (line 3) !"});
    EXPECT_EQ(overlapLine({S1Line(0x10, Ramp(4)), S1Line(0x00, Ramp(32))}),
              Texts{"S19 File Format Error (line 3) !"});
    // Line 4 overlaps line 3 before line 5 overlaps line 2, though 0x04 is the lower address.
    EXPECT_EQ(overlapLine({S1Line(0x00, Ramp(16)), S1Line(0x100, Ramp(16)), S1Line(0x108, Ramp(4)),
                           S1Line(0x04, Ramp(4))}),
              Texts{"S19 File Format Error (line 4) !"});
    // Beyond the image's address limit too.
    EXPECT_EQ(overlapLine({S2Line(0x30000, Ramp(4)), S2Line(0x30003, Ramp(4))}),
              Texts{"S19 File Format Error (line 3) !"});

    // Records that only meet, share a row or have no data are no overlap.
    m_host.m_messages.clear();
    EXPECT_TRUE(Read(SrecFile({S1Line(0x04, Ramp(4)), S1Line(0x00, Ramp(4)), S1Line(0x08, {}),
                               S1Line(0x08, Ramp(8)), S1Line(0x0A, {})}))
                    .empty());
    EXPECT_EQ(m_image.m_listRecords.size(), 3u);
}

TEST_F(S19Reader, EndRecordIsRequiredOnlyWhenAsked) {
    const std::string data = "S00600004844521B\n" + S1Line(0, Ramp(4)) + "\n" + S1Line(4, Ramp(4));
    // Taken as it stands by default, as the blocks of a container and installation files are.
    EXPECT_TRUE(Read(data + "\n").empty());
    EXPECT_EQ(m_image.m_listRecords.size(), 2u);

    m_image.m_bRequireEnd = true;
    EXPECT_EQ(Read(data, false), Texts{"S19 File Format Error (line 4) !"});
    m_host.m_messages.clear();
    EXPECT_EQ(Read(data + "\r\n\n", false), Texts{"S19 File Format Error (line 5) !"});
    m_host.m_messages.clear();
    EXPECT_EQ(Read(data + "\nstray words\nS9030000FC\n", false),
              Texts{"S19 File Format Error (line 4) !"});
    m_host.m_messages.clear();
    EXPECT_TRUE(Read(data + "\nS804000000FB").empty());
    // A file without data needs none: it is refused later as holding no records.
    EXPECT_TRUE(Read("S00600004844521B\n").empty());
}

TEST_F(S19Reader, CountRecordsMustCountTheDataRecordsBeforeThem) {
    const std::string a = S1Line(0, Ramp(4));
    const std::string empty = S1Line(0x10, {});  // counted, though it holds no byte
    EXPECT_TRUE(
        Read(SrecFile({S5Line(0), a, empty, S5Line(2), S1Line(4, Ramp(4)), S6Line(3)})).empty());
    EXPECT_EQ(Read(SrecFile({a, empty, S5Line(1)}), false),
              Texts{"S19 File Format Error (line 4) !"});
    m_host.m_messages.clear();
    EXPECT_EQ(Read(SrecFile({a, S6Line(2)}), false), Texts{"S19 File Format Error (line 3) !"});
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

TEST_F(S19Reader, ByteOrderMarkOfAFileIsSkipped) {
    EXPECT_TRUE(Read("\xEF\xBB\xBF" + SrecFile(RecordLines(2))).empty());
    EXPECT_EQ(m_image.m_listRecords.size(), 2u);
    // Anywhere else it is text that is no record.
    const auto lines = RecordLines(3);
    EXPECT_EQ(Read(SrecFile({lines[0], "\xEF\xBB\xBF" + lines[1], lines[2]}), false),
              Texts{"S19 File Format Error (line 3) !"});
}

TEST_F(S19Reader, MissingFileIsAReadError) {
    EXPECT_FALSE(m_image.ReadMotFile("absent.mot"));
    EXPECT_EQ(m_host.Texts(), std::vector<std::string>{"Read File Error !"});
}

}  // namespace
