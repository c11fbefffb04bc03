// The library's own objects linked as a release build links them (development overrides
// refused): whatever the environment says, the traffic goes to the built-in origin and only the
// system's roots are trusted.
#include <gtest/gtest.h>

#include <string>

#include "http/CVondApi.h"
#include "http/Sion.h"
#include "support/LoopbackServer.h"
#include "support/TestEnv.h"
#include "utils/VondDevOverrides.h"

namespace {

TEST(ReleaseBuild, IgnoresTheDevelopmentOverrides) {
    vondtest::LoopbackServer server(vondtest::ServerCert::Trusted);
    vondtest::SetEnv(VondSdk::kOriginOverride, server.Url(""));
    const std::string caFile = vondtest::TrustTestCa();  // sets VOND_SDK_CA_FILE

    EXPECT_FALSE(VondSdk::DevOverridesAllowed());
    std::string value;
    EXPECT_FALSE(VondSdk::ReadDevOverride(VondSdk::kOriginOverride, value));
    EXPECT_FALSE(VondSdk::ReadDevOverride(VondSdk::kCaFileOverride, value));

    EXPECT_EQ(std::string(VOND_BACKEND_ORIGIN) + "/sdkapi", VondSdk::CVondApi::Instance().baseUrl);
    EXPECT_EQ(std::string(VOND_BACKEND_ORIGIN) + "/data/h5/v1.do", VondSdk::CVondApi::Instance().trackUrl);

    // The test CA named by the variable is not trusted: the server's certificate is refused
    // before a byte of the request leaves.
    sion::Request request;
    request.SetMethod(sion::Method::Post).SetBody("a=1");
    try {
        request.Send(server.Url("/"));
        ADD_FAILURE() << "a certificate from the CA in " << caFile << " was trusted";
    } catch (const sion::Error& error) {
        EXPECT_EQ(0u, std::string(error.what()).find(sion::kCertificateMessage)) << error.what();
    }
    EXPECT_TRUE(server.Requests().empty());
}

}  // namespace
