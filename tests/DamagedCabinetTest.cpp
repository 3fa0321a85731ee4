// Damaged cabinets through the update job's own unpacking: each one either ends as the
// ad's movie and thumbnail exactly as packed, or is refused and leaves nothing behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "frame/App.h"
#include "frame/Exceptions.h"
#include "res/resource.h"
#include "update/UpdateJob.h"
#include "DamagedCabinets.h"
#include "UpdateFixture.h"

namespace {

TEST(DamagedCabinet, GivesTheAdItsMovieAndThumbnailOrIsRefusedLeavingNothing) {
    const std::map<std::string, std::string> whole = {{"0000042.asf", SampleMovie()},
                                                      {"0000042.jpg", SampleThumbnail()}};
    for (const DamagedCabinet& cabinet : DamagedCabinets()) {
        TempFolder root;
        ASSERT_TRUE(platform::MakeDirectory(root.Path("ads")));
        theApp.m_strFolder = root.Path("ads/");
        MessageRecorder messages;
        CUpdateJob job;
        const std::string answer = "0\r\nRESULT:0\r\nCONTS_CODE:0000042\r\nCONTS_NAME:m\r\nPRIORITY:1\r\nJUMPHTTP:\r\n" +
                                   cabinet.bytes;
        auto* block = static_cast<unsigned char*>(std::malloc(answer.size()));
        std::memcpy(block, answer.data(), answer.size());
        job.SetAnswer(block, static_cast<DWORD>(answer.size()));
        CAdRecord record(42);
        record.Cabinet = 1;
        record.File = theApp.m_strFolder + "0000042.cab";
        bool accepted = true;
        try {
            job.TakeDataAnswer(record);
        } catch (const CUserException&) {
            accepted = false;
        }

        std::map<std::string, std::string> files;
        for (const std::string& name : FilesIn(theApp.m_strFolder)) files[name] = ReadText(theApp.m_strFolder + name);
        EXPECT_EQ(FilesIn(root.Folder()), std::set<std::string>{"ads"}) << cabinet.name;
        if (accepted) {
            EXPECT_NE(cabinet.expect, 'R') << cabinet.name << " was taken";
            EXPECT_EQ(files, whole) << cabinet.name;
            EXPECT_EQ(record.File, theApp.m_strFolder + "0000042.asf") << cabinet.name;
        } else {
            EXPECT_NE(cabinet.expect, 'A') << cabinet.name << " was refused";
            EXPECT_TRUE(files.empty()) << cabinet.name;
            EXPECT_EQ(messages.Ids(), std::vector<unsigned>{IDP_ADS_COMM_ERROR}) << cabinet.name;
        }
    }
    theApp.m_strFolder.clear();
}

}  // namespace
