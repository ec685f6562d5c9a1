#include "app/instance_request.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "storage/test_directory.h"

namespace tessaline {
namespace {

TEST(InstanceRequest, PathsOfEveryKindTravelInOneLineAndComeBackWhole) {
  const char* const paths[] = {
      "/home/ann/news.zqj",
      "/home/ann/My Mailings/news letter.ZQJ",
      "/tmp/100% sure/a%20b.zqj",          // a "%" of the name is not an escape
      "/tmp/line\nbreak/\ttab\r.zqj",      // one line whatever the name holds
      "/home/z\xc3\xa9/\xff\xfe not utf-8.zqj",
      "/",
  };
  for (const char* path : paths) {
    String line = encode_instance_request({path});
    EXPECT_TRUE(line.starts_with("TESSALINE/1 open /")) << line.c_str();
    EXPECT_EQ(line.find('\n'), line.length() - 1) << path;
    EXPECT_LT(line.find(' ', 17), 0) << "a blank inside the path: " << line.c_str();
    InstanceRequest back;
    ASSERT_TRUE(decode_instance_request(line.view(), back)) << line.c_str();
    EXPECT_EQ(back.project, path);
  }
  EXPECT_EQ(encode_instance_request({}), "TESSALINE/1 raise\n");
  EXPECT_EQ(encode_instance_request({"/a b%"}), "TESSALINE/1 open /a%20b%25\n");
}

TEST(InstanceRequest, AnythingButAWellFormedRequestIsRefused) {
  const char* const lines[] = {
      "",
      "\n",
      "TESSALINE/2 raise\n",             // another version
      "TESSALINE/1 RAISE\n",
      "TESSALINE/1 raise now\n",
      "TESSALINE/1 close /a.zqj\n",
      "TESSALINE/1 open \n",             // no path
      "TESSALINE/1 open news.zqj\n",     // relative
      "TESSALINE/1 open /a b.zqj\n",     // a blank the encoder would have escaped
      "TESSALINE/1 open /a%2\n",         // escape cut short
      "TESSALINE/1 open /a%zz\n",
      "TESSALINE/1 open /a%00b\n",       // a 0 byte cannot be in a path
      "TESSALINE/1 open /a\n\n",         // two line ends
      "tessaline/1 raise\n",
  };
  for (const char* line : lines) {
    InstanceRequest request{"/kept"};
    EXPECT_FALSE(decode_instance_request(line, request)) << line;
    EXPECT_EQ(request.project, "/kept") << line;
  }
  InstanceRequest request;
  EXPECT_TRUE(decode_instance_request("TESSALINE/1 open /a%2fb%2Fc", request));  // no "\n"
  EXPECT_EQ(request.project, "/a/b/c");
}

TEST(InstanceRequest, OverlongLinesAreRefused) {
  String path = "/";
  path.append(String::formatted("%0*d", kMaxInstanceRequest, 0));
  String line = encode_instance_request({path});
  InstanceRequest request;
  EXPECT_FALSE(decode_instance_request(line.view(), request));
}

TEST(InstanceRequest, SocketLiesInTheUsersRuntimeFolder) {
  TestDirectory home;
  const char* saved = getenv("TESSALINE_HOME");
  String before = saved ? saved : "";
  setenv("TESSALINE_HOME", home.path().c_str(), 1);
  String path, error;
  EXPECT_TRUE(instance_socket_path(path, error)) << error.c_str();
  EXPECT_EQ(path, home / "instance.socket");

  // A folder so deep that its socket's path would not fit a local address.
  String deep = home.path();
  while (deep.length() < 120) deep += "/deeper-folder";
  setenv("TESSALINE_HOME", deep.c_str(), 1);
  path = "";
  EXPECT_FALSE(instance_socket_path(path, error));
  EXPECT_EQ(path, "");
  EXPECT_TRUE(error.contains("too long")) << error.c_str();

  if (saved) {
    setenv("TESSALINE_HOME", before.c_str(), 1);
  } else {
    unsetenv("TESSALINE_HOME");
  }
}

}  // namespace
}  // namespace tessaline
