// The ad-server answers as the update job reads them, without a server: cutting the list
// text, the data answer's lines within its length, and the fields of each line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "frame/Exceptions.h"
#include "res/resource.h"
#include "update/UpdateJob.h"
#include "TestSupport.h"

namespace {

unsigned char* Copy(const std::string& bytes) {
    auto* block = static_cast<unsigned char*>(std::malloc(bytes.size() ? bytes.size() : 1));
    std::memcpy(block, bytes.data(), bytes.size());
    return block;
}

TEST(UpdateJob, CutTokenTakesUpToTheSeparatorOrEverything) {
    CString text = "RESULT: 0\n0000123.jpg\n";
    EXPECT_EQ(CUpdateJob::CutToken(text, ":"), "RESULT");
    EXPECT_EQ(CUpdateJob::CutToken(text, "\n"), " 0");
    EXPECT_EQ(CUpdateJob::CutToken(text, "."), "0000123");
    EXPECT_EQ(CUpdateJob::CutToken(text, "\n"), "jpg");
    EXPECT_EQ(text, "");
    text = "no separator";
    EXPECT_EQ(CUpdateJob::CutToken(text, ":"), "no separator");
    EXPECT_EQ(text, "");
}

TEST(UpdateJob, CutLineStaysWithinTheAnswer) {
    CUpdateJob job;
    // No terminating NUL: the last line ends where the block ends.
    const std::string answer = "12\r\nRESULT:0\r\nlast";
    job.SetAnswer(Copy(answer), static_cast<DWORD>(answer.size()));
    const unsigned char* cursor = job.m_pAnswer;
    EXPECT_EQ(job.CutLine(cursor, "\r\n"), "12");
    EXPECT_EQ(job.CutLine(cursor, "\r\n"), "RESULT:0");
    EXPECT_EQ(job.CutLine(cursor, "\r\n"), "last");
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(job.CutLine(cursor, "\r\n"), "");

    // A CR at the very end is no separator, and the search must not read past it.
    const std::string cut = "a\r";
    job.SetAnswer(Copy(cut), static_cast<DWORD>(cut.size()));
    cursor = job.m_pAnswer;
    EXPECT_EQ(job.CutLine(cursor, "\r\n"), "a\r");
    EXPECT_EQ(cursor, nullptr);

    // Binary payload bytes, zeros included, come through whole.
    const std::string binary = std::string("x\r\n") + std::string("\0\x01\xFF", 3);
    job.SetAnswer(Copy(binary), static_cast<DWORD>(binary.size()));
    cursor = job.m_pAnswer;
    job.CutLine(cursor, "\r\n");
    ASSERT_NE(cursor, nullptr);
    EXPECT_EQ(job.m_pAnswer + job.m_nAnswerSize - cursor, 3);
}

TEST(UpdateJob, ParseFieldReadsByModeAndRefusesWrongKeys) {
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

    uint32_t hex = 0;
    line = "K:1aF";
    CUpdateJob::ParseField("K", line, &hex, CUpdateJob::kHex);
    EXPECT_EQ(hex, 0x1AFu);

    CString text;
    line = "JUMPHTTP:http://host:8080/a?b=c:d";
    CUpdateJob::ParseField("JUMPHTTP", line, &text, CUpdateJob::kText);
    EXPECT_EQ(text, "http://host:8080/a?b=c:d");
    line = "CONTS_NAME: abc ";
    CUpdateJob::ParseField("CONTS_NAME", line, &text, CUpdateJob::kText);
    EXPECT_EQ(text, " abc ");
    EXPECT_TRUE(messages.Ids().empty());

    line = "result:0";  // keys are exact
    EXPECT_THROW(CUpdateJob::ParseField("RESULT", line, &number, CUpdateJob::kDecimal), CUserException);
    line = " RESULT:0";
    EXPECT_THROW(CUpdateJob::ParseField("RESULT", line, &number, CUpdateJob::kDecimal), CUserException);
    line = "RESULT:0";
    EXPECT_THROW(CUpdateJob::ParseField("RESULT", line, &number, 3), CUserException);
    EXPECT_EQ(messages.Ids(), (std::vector<unsigned>{IDP_ADS_COMM_ERROR, IDP_ADS_COMM_ERROR, IDP_INTERNAL_ERROR}));
}

}  // namespace
