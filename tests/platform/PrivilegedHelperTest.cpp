#include "HelperProtocol.h"
#include "PrivilegedHelper.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

}  // namespace

// A helper that cannot be used must leave the program running with a clear state, a message that names the
// fix, and calls that fail at once with the matching errno (never a hang, never a descriptor).
TEST(PrivilegedHelperTest, UnusableHelpersFailClearly) {
    char directory[] = "/tmp/privileged-helper-test-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string notExecutable = std::string(directory) + "/camera-setup-helper";
    std::ofstream(notExecutable) << "#!/bin/sh\n";
    chmod(notExecutable.c_str(), 0644);

    struct Case {
        std::string path;
        PrivilegedHelper::State state;
        int code;
        std::string fix;
    };
    const Case cases[] = {
        {std::string(directory) + "/absent", PrivilegedHelper::State::Missing, ENOENT, "cmake --install"},
        {notExecutable, PrivilegedHelper::State::NotExecutable, EACCES, "usermod -aG camera-setup"},
        {"/bin/true", PrivilegedHelper::State::Failed, EPIPE, "did not start"},  // ends without a word
    };
    for (const Case& c : cases) {
        PrivilegedHelper helper;
        EXPECT_EQ(helper.Start(c.path), c.state) << c.path;
        EXPECT_NE(helper.Shortfall().find(c.fix), std::string::npos) << helper.Shortfall();
        EXPECT_NE(helper.Shortfall().find("the XRM search works"), std::string::npos) << helper.Shortfall();
        HelperRequest request;
        request.verb = HelperVerb::DhcpRelay;
        request.port = 67;
        int fd = 0;
        const PrivilegedHelper::Reply reply = helper.OpenChannel(request, &fd);
        EXPECT_EQ(reply.code, c.code) << c.path;
        EXPECT_EQ(fd, -1);
    }
    unlink(notExecutable.c_str());
    rmdir(directory);
}

// Descriptors go only to the helper: exactly one with the requests that need one, none with the others, and a
// reply that brings one is refused (and the descriptor closed).
TEST(PrivilegedHelperTest, DescriptorsOnlyEverGoToTheHelper) {
    PrivilegedHelper helper;
    ASSERT_EQ(helper.Start(FAKE_HELPER_PATH), PrivilegedHelper::State::Running) << helper.Shortfall();
    HelperRequest request;
    request.verb = HelperVerb::EchoOpen;
    int fd = -1;
    PrivilegedHelper::Reply reply = helper.OpenChannel(request, &fd);
    EXPECT_EQ(reply.code, 0);
    EXPECT_EQ(reply.text, "fds=1 type=" + std::to_string(SOCK_SEQPACKET));
    EXPECT_GE(fd, 0);
    close(fd);
    request.verb = HelperVerb::InstallEnd;
    EXPECT_EQ(helper.Call(request).text, "fds=0 type=0");

    const int before = OpenDescriptors();
    request.verb = HelperVerb::Cleanup;
    reply = helper.Call(request);
    EXPECT_EQ(reply.code, EPROTO) << reply.text;
    EXPECT_EQ(OpenDescriptors(), before);
}
