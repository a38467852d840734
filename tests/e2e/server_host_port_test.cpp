// -u given as host:port, the form the usage text asks for, reaches the update
// server's query path; failures still name the server as the user typed it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/RunProcess.h"
#include "support/TempFiles.h"
#include "support/UpdateServerProcess.h"

namespace fs = std::filesystem;

namespace {

const std::string kUpdater = CV_BINARY_DIR "/Updater";

std::string sHostPort(const std::string& url) {
  const std::string scheme = "http://";
  const size_t start = url.rfind(scheme, 0) == 0 ? scheme.size() : 0;
  return url.substr(start, url.find('/', start) - start);
}

TEST(ServerHostPortTest, HostAndPortListTheServersBuilds) {
  TempDir temp;
  const fs::path root = fs::path(temp.path()) / "served";
  fs::create_directories(root / "00001A2B");
  // Listed by its name; its version is unreadable, so it shows none.
  std::ofstream(root / "00001A2B" / "1200.bird", std::ios::binary) << "not a firmware file";
  UpdateServerProcess server(root.string(), (fs::path(temp.path()) / "requests.log").string());
  ASSERT_TRUE(server.running()) << server.startOutput();
  const std::string hostPort = sHostPort(server.url());
  ASSERT_EQ(hostPort.find('/'), std::string::npos) << server.url();

  ProcessOptions options;
  options.unsetEnv = {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"};
  const std::string store = (fs::path(temp.path()) / "home").string();
  ProcessResult r = RunProcess(kUpdater, {"-B", "-d", "1A2B", "-u", hostPort, "-i", store}, options);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("Build List for device [00001A2B]:\n\n"), std::string::npos) << r.out;
  EXPECT_EQ(server.requests(),
            (std::vector<std::string>{"GET /cgi/u?op=hi&rv=2&", "GET /cgi/u?op=builds&sn=00001A2B&"}));

  // A dead port: the message shows the text as given.
  r = RunProcess(kUpdater, {"-J", "-d", "1A2B", "-u", "127.0.0.1:1", "-i", store}, options);
  EXPECT_EQ(r.exitCode, 1) << "a failed request fails -J";
  EXPECT_EQ(r.err, "Server request failed for 127.0.0.1:1\n");
}

}  // namespace
