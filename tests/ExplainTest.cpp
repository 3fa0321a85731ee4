// The demo host's one-line explanation of a failure, from the evidence the library left:
// the failures that cannot be staged here cheaply (a silent server, a full disk) are
// given as the lines the library writes for them.
#ifdef FLB_HOST
#include <gtest/gtest.h>

#include <string>

#include "../tools/flb-host/Explain.h"
#include "res/resource.h"

namespace {

std::string Explained(std::vector<unsigned> messages, std::vector<std::string> lines, uint32_t result = 0) {
    host::Evidence e;
    e.messages = std::move(messages);
    e.debugLines = std::move(lines);
    e.serverResult = result;
    return host::Explain(e);
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const std::string kListUrl = "http://ads.test:8080/getlist.php3";

TEST(Explain, TransportFailuresNameTheUrlAndWhatToDo) {
    const std::string unset = Explained({IDP_URL_PARSE, IDP_ADS_COMM_ERROR}, {"http\tverb=POST\turl=\tstep=url\tstatus=0"});
    EXPECT_TRUE(Has(unset, "server URLs are not set") && Has(unset, "flb-host settings")) << unset;
    EXPECT_TRUE(Has(Explained({IDP_URL_PARSE}, {"http\tverb=POST\turl=bogus\tstep=url\tstatus=0"}), "'bogus'"));

    // The request went out; the idle limit then ended the wait for the answer.
    const std::string silent = Explained({IDP_SEND_REQUEST, IDP_ADS_COMM_ERROR},
        {"http\tverb=POST\turl=" + kListUrl + "\tstep=send\tstatus=0\terror=28\ttext=Operation too slow"});
    EXPECT_TRUE(Has(silent, "no answer within 30 s from " + kListUrl)) << silent;
    const std::string refused = Explained({IDP_SEND_REQUEST},
        {"http\tverb=POST\turl=" + kListUrl + "\tstep=send\tstatus=0\terror=7\ttext=Couldn't connect"});
    EXPECT_TRUE(Has(refused, "cannot connect to " + kListUrl)) << refused;

    const std::string status = Explained({IDP_BAD_STATUS}, {"http\tverb=POST\turl=" + kListUrl + "\tstep=send\tstatus=404"});
    EXPECT_TRUE(Has(status, "HTTP 404 for " + kListUrl)) << status;
    // An earlier exchange that went well is not the one that failed.
    const std::string second = Explained({IDP_BAD_STATUS}, {"http\tverb=POST\turl=" + kListUrl + "\tstep=done\tstatus=200",
                                                            "http\tverb=POST\turl=http://d/getdata.php3\tstep=send\tstatus=500"});
    EXPECT_TRUE(Has(second, "HTTP 500 for http://d/getdata.php3")) << second;
}

TEST(Explain, FileFailuresNameThePathAndTheSystemsReason) {
    const std::string full = Explained({IDP_AD_FILE_SAVE},
        {"file\tstep=write\tpath=/ads/0000001.part\tok", "file\tstep=write\tpath=/ads/0000002.part\tfailed\tos_error=28"});
    EXPECT_TRUE(Has(full, "no space left on the device for /ads/0000002.part")) << full;
    const std::string denied = Explained({IDP_AD_FILE_SAVE}, {"file\tstep=write\tpath=/ads/x.part\tfailed\tos_error=13"});
    EXPECT_TRUE(Has(denied, "/ads/x.part: Permission denied")) << denied;
    EXPECT_TRUE(Has(Explained({IDP_CATALOG_ACCESS}, {"file\tstep=save catalogue\tpath=/ads/Flyerbank.dat\tfailed"}),
                    "/ads/Flyerbank.dat"));
}

TEST(Explain, ServerRefusalWinsAndNoEvidenceExplainsNothing) {
    EXPECT_TRUE(Has(Explained({}, {}, 5), "the ad server refused with result 5"));
    EXPECT_EQ(Explained({}, {"http\tverb=POST\turl=" + kListUrl + "\tstep=done\tstatus=200"}), "");
}

}  // namespace
#endif  // FLB_HOST
