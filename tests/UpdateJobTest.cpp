// The ad-server answers as the update job reads them, without a server: cutting the list
// text, the data answer's lines within its length, and the fields of each line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "frame/App.h"
#include "frame/Exceptions.h"
#include "res/resource.h"
#include "update/UpdateJob.h"
#include "UpdateFixture.h"

namespace {

TEST(UpdateJob, CutLineStaysWithinTheAnswer) {
    CUpdateJob job;
    // No terminating NUL: the last line ends where the block ends.
    const std::string answer = "12\r\nRESULT:0\r\nlast";
    job.SetAnswer(AnswerBlock(answer), static_cast<DWORD>(answer.size()));
    const unsigned char* cursor = job.m_pAnswer;
    EXPECT_EQ(job.CutLine(cursor, "\r\n"), "12");
    EXPECT_EQ(job.CutLine(cursor, "\r\n"), "RESULT:0");
    EXPECT_EQ(job.CutLine(cursor, "\r\n"), "last");
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(job.CutLine(cursor, "\r\n"), "");

    // A CR at the very end is no separator, and the search must not read past it.
    const std::string cut = "a\r";
    job.SetAnswer(AnswerBlock(cut), static_cast<DWORD>(cut.size()));
    cursor = job.m_pAnswer;
    EXPECT_EQ(job.CutLine(cursor, "\r\n"), "a\r");
    EXPECT_EQ(cursor, nullptr);
}

TEST(UpdateJob, ParseFieldReadsLeadingDigits) {
    MessageRecorder messages;
    int32_t number = 77;
    CString line = "PRIORITY: 12abc";
    CUpdateJob::ParseField("PRIORITY", line, &number, CUpdateJob::kDecimal);
    EXPECT_EQ(number, 12);
    line = "PRIORITY:x";  // no digits: the target keeps its value
    CUpdateJob::ParseField("PRIORITY", line, &number, CUpdateJob::kDecimal);
    EXPECT_EQ(number, 12);
    line = "-5";
    CUpdateJob::ParseField(nullptr, line, &number, CUpdateJob::kDecimal);
    EXPECT_EQ(number, -5);
    EXPECT_TRUE(messages.Ids().empty());
}

// A list answer read against an empty catalogue in a scratch folder.
struct ListRead {
    std::vector<CAdRecord> downloads;
    std::vector<unsigned> messages;
    bool refused = false;
    int result = 0;
};

ListRead ReadList(const std::string& answer) {
    TempFolder folder;
    theApp.m_strFolder = folder.Folder();
    theApp.m_announcedAds.clear();
    MessageRecorder messages;
    ListRead read;
    CUpdateJob job;
    CString text = answer;
    try {
        job.ParseList(text, read.downloads);
    } catch (const CUserException&) {
        read.refused = true;
    } catch (const CADSException& e) {
        read.result = e.m_nResult;
    }
    read.messages = messages.Ids();
    theApp.m_announcedAds.clear();
    theApp.m_strFolder.clear();
    return read;
}

// Each download as "code file type", the type with a c for a cabinet.
std::string Downloads(const ListRead& r) {
    std::string text;
    for (const CAdRecord& d : r.downloads)
        text += std::to_string(d.ID) + " " + d.File.substr(d.File.rfind('/') + 1) + " " + std::to_string(d.Type) +
                (d.Cabinet ? "c; " : "; ");
    return text;
}

TEST(UpdateJob, ListAnswerNamesEachAdByCodeAndExtension) {
    ListRead r = ReadList(" RESULT : 0 \r\n0000123.jpg\n0000042.CAB\n0000007.wmv");
    EXPECT_EQ(Downloads(r), "123 0000123.jpg 0; 42 0000042.CAB 1c; 7 0000007.wmv 1; ");
    EXPECT_TRUE(r.messages.empty());

    // A short code ends the list quietly; what came before stays.
    r = ReadList("RESULT:0\n0000123.jpg\n000124.jpg\n0000125.jpg\n");
    EXPECT_EQ(Downloads(r), "123 0000123.jpg 0; ");
    EXPECT_FALSE(r.refused);

    // Codes read as "%07u" reads them: white space first is skipped (a blank line between
    // two items is no end), and a short run of digits followed by another byte counts.
    r = ReadList("RESULT:0\n0000123.jpg\n\n0000125.jpg\n \t0000126.png\n00001x3.jpg\n0000127x.jpg\n");
    EXPECT_EQ(Downloads(r), "123 0000123.jpg 0; 125 0000125.jpg 0; 126 0000126.png 0; 1 0000001.jpg 0; "
                            "127 0000127.jpg 0; ");
    EXPECT_FALSE(r.refused);

    EXPECT_EQ(ReadList("RESULT:5\n0000123.jpg\n").result, 5);
    EXPECT_TRUE(ReadList("RESULT:5\n").messages.empty());
}

TEST(UpdateJob, ListAnswersThatCannotBeTrustedAreRefused) {
    for (const char* answer : {
             "",                              // no header at all
             "result:0\n0000123.jpg\n",       // the key is exact
             "RESULT:0\n0000123.jpg\r\n",     // CR belongs to the extension
             "RESULT:0\n0000123.gif\n",       // no such type
             "RESULT:0\n0000123.jpg/x\n",     // an extension with a path
             "RESULT:0\n0000000.jpg\n",       // no code
             "RESULT:0\n12345678.jpg\n",      // eight digits would be cut to another ad's code
             "RESULT:0\n-000001.jpg\n",       // a sign would wrap around
             "RESULT:0\n\n12345678.jpg\n",    // still eight digits after the blank line
             "RESULT:0\nabcdefg.jpg\n",       // no digits at all
         }) {
        ListRead r = ReadList(answer);
        EXPECT_TRUE(r.refused) << answer;
        EXPECT_EQ(r.messages, (std::vector<unsigned>{IDP_ADS_COMM_ERROR})) << answer;
    }
}

TEST(UpdateJob, DataAnswersThatCannotBeTrustedAreRefused) {
    MessageRecorder messages;
    CUpdateJob job;
    CAdRecord record(42);
    const std::string head = "7\r\nRESULT:x\r\nCONTS_CODE:0000042\r\nCONTS_NAME: abc\r\nPRIORITY:19\r\n"
                             "JUMPHTTP:http://a:1/b?c:d\r\n";
    // RESULT without digits counts as 0.
    job.SetAnswer(AnswerBlock(head + "PAY"), static_cast<DWORD>(head.size() + 3));
    EXPECT_EQ(job.ParseDataAnswer(record) - job.m_pAnswer, static_cast<ptrdiff_t>(head.size()));
    EXPECT_EQ(record.Name, " abc");  // the text after the key's colon, whole
    EXPECT_EQ(record.Priority, 19);
    EXPECT_EQ(record.URL, "http://a:1/b?c:d");
    for (const std::string& bad : {
             head.substr(0, head.size() - 2),                                 // no payload part at all
             std::string("7\r\nRESULT:0\r\nCONTS_CODE:43\r\n") + head.substr(head.find("CONTS_NAME")),  // another ad
             std::string("7\r\nRESULT:0\r\nCONTS_CODE:42\r\nNAME:x\r\n"),   // a wrong key
             std::string("7\r\nresult:0\r\n") + head.substr(head.find("CONTS_CODE")),  // keys are exact
             std::string("7\r\n RESULT:0\r\n") + head.substr(head.find("CONTS_CODE")),
         }) {
        job.SetAnswer(AnswerBlock(bad), static_cast<DWORD>(bad.size()));
        EXPECT_THROW(job.ParseDataAnswer(record), CUserException) << bad;
    }
    EXPECT_EQ(messages.Ids(), std::vector<unsigned>(5, IDP_ADS_COMM_ERROR));
}

}  // namespace
