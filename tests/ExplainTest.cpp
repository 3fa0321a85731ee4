// The demo host's one-line explanation of a failure, from the evidence the library left:
// the failures that cannot be staged here cheaply (a silent server, a full disk) are
// given as the lines the library writes for them.
#ifdef FLB_HOST
#include <gtest/gtest.h>

#include <string>

#include "../tools/flb-host/Explain.h"
#include "res/resource.h"

namespace {

// What the library leaves for each failure, and the part of the line that must name it.
// The unset URLs and a server's refusal are seen through the real host in FlbHostTest.
TEST(Explain, EachFailureNamesWhereItHappenedAndWhy) {
    const std::string list = "http\tverb=POST\turl=http://ads.test:8080/getlist.php3";
    const struct {
        std::vector<unsigned> messages;
        std::vector<std::string> lines;
        std::string expected;
    } cases[] = {
        {{IDP_URL_PARSE}, {"http\tverb=POST\turl=bogus\tstep=url\tstatus=0"}, "'bogus'"},
        // The request went out; the idle limit then ended the wait for the answer.
        {{IDP_SEND_REQUEST, IDP_ADS_COMM_ERROR}, {list + "\tstep=send\tstatus=0\terror=28\ttext=Operation too slow"},
         "no answer within 30 s from http://ads.test:8080/getlist.php3"},
        // After the headers the transport shows nothing of its own: the line says it stalled.
        {{IDP_ADS_COMM_ERROR},
         {list + "\tstep=done\tstatus=200", "http\tverb=POST\turl=http://d/getdata.php3\tstep=read\tstatus=200\terror=28"},
         "the answer from http://d/getdata.php3 stalled"},
        {{IDP_SEND_REQUEST}, {list + "\tstep=send\tstatus=0\terror=7\ttext=Couldn't connect"},
         "cannot connect to http://ads.test:8080/getlist.php3"},
        {{IDP_BAD_STATUS}, {list + "\tstep=send\tstatus=404"}, "HTTP 404 for http://ads.test:8080/getlist.php3"},
        // An earlier exchange that went well is not the one that failed.
        {{IDP_BAD_STATUS},
         {list + "\tstep=done\tstatus=200", "http\tverb=POST\turl=http://d/getdata.php3\tstep=send\tstatus=500"},
         "HTTP 500 for http://d/getdata.php3"},
        {{IDP_AD_FILE_SAVE},
         {"file\tstep=write\tpath=/ads/0000001.part\tok", "file\tstep=write\tpath=/ads/0000002.part\tfailed\tos_error=28"},
         "no space left on the device for /ads/0000002.part"},
        {{IDP_AD_FILE_SAVE}, {"file\tstep=write\tpath=/ads/x.part\tfailed\tos_error=13"}, "/ads/x.part: Permission denied"},
        {{IDP_CATALOG_ACCESS}, {"file\tstep=save catalogue\tpath=/ads/Flyerbank.dat\tfailed"}, "/ads/Flyerbank.dat"},
        // No failure, nothing to explain.
        {{}, {list + "\tstep=done\tstatus=200"}, ""},
    };
    for (const auto& c : cases) {
        host::Evidence e;
        e.messages = c.messages;
        e.debugLines = c.lines;
        const std::string text = host::Explain(e);
        if (c.expected.empty()) EXPECT_EQ(text, "");
        else EXPECT_NE(text.find(c.expected), std::string::npos) << text;
    }
}

}  // namespace
#endif  // FLB_HOST
