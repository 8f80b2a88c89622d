// SPDX-License-Identifier: MIT
// relkad's requests on the emulated line: what each answers, what reaches
// the box, and that nothing a bad request asks is switched.
#include "relkad/http_api.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "control/lab_file.h"
#include "sim/frame_decoder.h"
#include "tests/api_fixture.h"
#include "tests/http_client.h"
#include "tests/line_fixture.h"

namespace {

const char kLab[] =
    "[line.bench]\ndevice = \"/dev/relka\"\n"
    "[box.top]\nline = \"bench\"\naddress = 1\ncycle_delay = 5\n"
    "[outlet.web1]\nbox = \"top\"\noutlet = 3\n"
    "[outlet.db1]\nbox = \"top\"\noutlet = 1\ncycle_delay = 0.2\n";

const char kToken[] = "correct-horse-battery-staple";

http_request request(const std::string& method, const std::string& path,
                     const std::string& body = "") {
  http_request r;
  r.method = method;
  r.path = path;
  r.body = body;
  r.client = "127.0.0.1";
  r.host = "127.0.0.1:7421";
  return r;
}

class http_api_test : public api_test {
 protected:
  http_api_test() : api_test(kLab) {}

  http_api& api(const std::string& token = "", bool loopback = true) {
    api_settings settings;
    settings.token = token;
    settings.loopback_only = loopback;
    settings.public_origin = "https://lab.example";
    return start(settings);
  }
};

TEST_F(http_api_test, SwitchesReadsAndCyclesByName) {
  http_api& a = api();
  EXPECT_EQ(409, a.handle(request("GET", "/outlet/top/3")).status)
      << "an unknown state is an error, never a guess";
  EXPECT_EQ(409, a.handle(request("PUT", "/api/v1/outlets/web1",
                                  "{\"state\":\"on\"}"))
                     .status)
      << "one outlet of a box whose state is unknown";
  http_response all = a.handle(request(
      "PUT", "/api/v1/boxes/top", "{\"state\":\"off\",\"outlets\":\"all\"}"));
  EXPECT_EQ(200, all.status) << all.body;
  http_response both =
      a.handle(request("PUT", "/api/v1/boxes/top",
                       "{\"state\":\"on\",\"outlets\":[\"db1\",3]}"));
  EXPECT_EQ(200, both.status) << both.body;
  EXPECT_NE(std::string::npos, both.body.find("\"mask\":5")) << both.body;
  EXPECT_EQ("1", a.handle(request("GET", "/outlet/top/3")).body);
  EXPECT_EQ("0", a.handle(request("PUT", "/outlet/top/3", "0\n")).body);
  auto begun = std::chrono::steady_clock::now();
  http_response cycled =
      a.handle(request("POST", "/api/v1/outlets/db1/cycle", "{}"));
  EXPECT_EQ(200, cycled.status) << cycled.body;
  EXPECT_LT(seconds_since(begun), 2) << "db1's 0.2 s wins over its box's 5 s";
  EXPECT_NE(std::string::npos, cycled.body.find("\"state\":\"on\""));
  EXPECT_EQ((std::vector<int>{0x00, 0x05, 0x01, 0x00, 0x01}), frame_masks())
      << "two outlets in one frame; a cycle off and on again";
  http_response lab = a.handle(request("GET", "/api/v1/lab"));
  EXPECT_NE(std::string::npos, lab.body.find("\"name\":\"web1\"")) << lab.body;
}

// One request as a client may send it: the path exactly as sent, more
// header lines ("Name: value\r\n" each; Host is 127.0.0.1:7421 unless
// given), and what relkad must answer.
struct hostile_case {
  const char* name;
  std::string method, path, body, headers;
  int status;
  bool odd_holder = false;  // the line held by a process named in bad UTF-8
};

// The request on the wire.
std::string wire(const hostile_case& c) {
  std::string host = c.headers.find("Host:") == std::string::npos
                         ? "Host: 127.0.0.1:7421\r\n"
                         : "";
  return c.method + " " + c.path + " HTTP/1.1\r\n" + host + c.headers +
         "Connection: close\r\nContent-Length: " +
         std::to_string(c.body.size()) + "\r\n\r\n" + c.body;
}

// The request as the fuzz target reads it: method, path, body, Origin,
// Host, Authorization, Sec-Fetch-Site and X-Relkad-Request, NUL between.
std::string fuzz_seed(const hostile_case& c) {
  auto value = [&](const std::string& name, const std::string& absent) {
    size_t at = ("\r\n" + c.headers).find("\r\n" + name + ": ");
    if (at == std::string::npos) return absent;
    at += name.size() + 2;
    return c.headers.substr(at, c.headers.find("\r\n", at) - at);
  };
  std::string seed = c.method + '\0' + c.path + '\0' + c.body;
  for (const char* name : {"Origin", "Host", "Authorization", "Sec-Fetch-Site",
                           "X-Relkad-Request"})
    seed +=
        '\0' + value(name, std::string(name) == "Host" ? "127.0.0.1:7421" : "");
  return seed;
}

// A process whose name is not UTF-8 (any user may name a process so) in
// the line's lock file, for as long as the object lives.
class odd_holder {
 public:
  explicit odd_holder(const std::string& lock) : lock_(lock) {
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_NAME, "relka\xff\xfe\x0a");
      pause();
      _exit(0);
    }
    write_file(lock_, lock_text(pid_));
  }
  ~odd_holder() {
    unlink(lock_.c_str());
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  odd_holder(const odd_holder&) = delete;
  odd_holder& operator=(const odd_holder&) = delete;

 private:
  std::string lock_;
  pid_t pid_;
};

const std::string kOn = "{\"state\":\"on\"}";
const std::string kPage = "X-Relkad-Request: 1\r\n";

// clang-format off
const hostile_case kHostile[] = {
    {"UnknownOutlet", "PUT", "/api/v1/outlets/web9", kOn, "", 404},
    {"UnknownBox", "PUT", "/outlet/rack/3", "1", "", 404},
    {"OutletNine", "PUT", "/outlet/top/9", "1", "", 404},
    {"NotJson", "PUT", "/api/v1/outlets/web1", "on", "", 400},
    {"NoState", "PUT", "/api/v1/outlets/web1", "{\"state\":1}", "", 400},
    {"BadOutletList", "PUT", "/api/v1/boxes/top", "{\"state\":\"on\",\"outlets\":[0,9]}", "", 400},
    {"NegativeDelay", "POST", "/api/v1/outlets/web1/cycle", "{\"delay\":-1}", "", 400},
    {"LabgridBody", "PUT", "/outlet/top/3", "on", "", 400},
    {"DotDot", "PUT", "/api/v1/outlets/../lab", kOn, "", 404},
    {"Escaped", "PUT", "/api/v1/outlets/web1%00", kOn, "", 404},
    {"DoubleSlash", "PUT", "/api/v1//outlets/web1", kOn, "", 404},
    {"WrongMethod", "DELETE", "/api/v1/outlets/web1", "", "", 405},
    {"LeaseWithoutUsers", "POST", "/api/v1/outlets/web1/lease", "{}", "", 404},
    {"CycleByPut", "PUT", "/api/v1/outlets/web1/cycle", "{}", "", 405},
    {"BoxCycleByPut", "PUT", "/api/v1/boxes/top/cycle", "{}", "", 405},
    {"StateChangeByGet", "GET", "/api/v1/outlets/web1/cycle", "", "", 405},
    {"TooLarge", "PUT", "/api/v1/outlets/web1", std::string(5000, ' ') + kOn, "", 413},
    {"OtherSite", "PUT", "/outlet/top/3", "1", "Origin: http://evil.example\r\n", 403},
    {"OwnOriginWithoutPageHeader", "PUT", "/outlet/top/3", "1", "Origin: http://127.0.0.1:7421\r\n", 403},
    {"CrossSiteFetch", "POST", "/api/v1/outlets/web1/cycle", "{}", "Sec-Fetch-Site: cross-site\r\n" + kPage, 403},
    {"ReboundName", "PUT", "/outlet/top/3", "1", "Host: evil.example:7421\r\n", 403},
    {"OutletPast32Bits", "PUT", "/api/v1/boxes/top", "{\"state\":\"on\",\"outlets\":[4294967297]}", "", 400},
    {"OutletNegativeWraps", "PUT", "/api/v1/boxes/top", "{\"state\":\"on\",\"outlets\":[-4294967293]}", "", 400},
    {"OutletPast63Bits", "PUT", "/api/v1/boxes/top", "{\"state\":\"on\",\"outlets\":[9223372036854775811]}", "", 400},
    {"OutletAsFraction", "PUT", "/api/v1/boxes/top", "{\"state\":\"on\",\"outlets\":[3.0]}", "", 400},
    {"OutletAsText", "PUT", "/api/v1/boxes/top", "{\"state\":\"on\",\"outlets\":[\"3\"]}", "", 400},
    {"OutletOfAnotherBox", "POST", "/api/v1/boxes/top/cycle", "{\"outlets\":[\"web2\"]}", "", 400},
    {"DelayAsText", "POST", "/api/v1/outlets/web1/cycle", "{\"delay\":\"1\"}", "", 400},
    {"DelayPast64Bits", "POST", "/api/v1/outlets/web1/cycle", "{\"delay\":18446744073709551617}", "", 400},
    {"KeyTwice", "PUT", "/api/v1/outlets/web1", "{\"state\":\"off\",\"state\":\"on\"}", "", 400},
    {"EscapedNulSuffix", "PUT", "/api/v1/outlets/web1%00.json", kOn, "", 404},
    {"EscapedTraversal", "PUT", "/api/v1/outlets/web1%00%2f..%2fweb2", kOn, "", 404},
    {"EscapedLetter", "PUT", "/api/v1/%6futlets/web1", kOn, "", 404},
    {"EscapedDigit", "PUT", "/api/v1/outlets/web%31", kOn, "", 404},
    {"RawNul", "PUT", std::string("/api/v1/outlets/web1\0.json", 26), kOn, "", 404},
    {"Query", "PUT", "/api/v1/outlets/web1?state=off", kOn, "", 404},
    {"LogLinesInPath", "GET", "/x%0a%0dFAKE", "", "", 404},
    {"OtherSchemeOtherHost", "PUT", "/outlet/top/3", "1", "Origin: https://evil.example\r\n" + kPage, 403},
    {"OwnHostOtherPort", "PUT", "/outlet/top/3", "1", "Origin: https://127.0.0.1:7422\r\n" + kPage, 403},
    {"PublicOriginOtherScheme", "PUT", "/outlet/top/3", "1", "Origin: http://lab.example\r\n" + kPage, 403},
    {"NullOrigin", "PUT", "/outlet/top/3", "1", "Origin: null\r\n" + kPage, 403},
    {"HolderNameNotUtf8", "PUT", "/api/v1/outlets/web1", kOn, "", 503, true},
    {"Head", "HEAD", "/api/v1/outlets/web1", "", "", 200},
    // Content-Length and a chunked body: a proxy in front may read either.
    {"FramedTwice", "PUT", "/api/v1/outlets/web1", "e\r\n" + kOn + "\r\n0\r\n\r\n", "Transfer-Encoding: chunked\r\n", 400},
};
// clang-format on

// Every hostile request is answered with its status, switches nothing on
// any line, and leaves relkad answering; each is a seed of the fuzz
// target (RELKA_WRITE_SEEDS=1 writes missing or changed seeds).
TEST_F(http_api_test, HostileRequestsSwitchNothing) {
  modem_line* second = add_line("/dev/relka2");
  ASSERT_NE(nullptr, second);
  write_file(folder_.file("lab.toml"),
             std::string(kLab) +
                 "[line.other]\ndevice = \"/dev/relka2\"\n"
                 "[box.bottom]\nline = \"other\"\naddress = 2\n"
                 "[outlet.web2]\nbox = \"bottom\"\noutlet = 1\n");
  child_process relkad;
  int port = start_http_server(
      relkad, RELKAD_BINARY,
      {"--lab", folder_.file("lab.toml"), "--state-dir", folder_.path(),
       "--wait", "0", "--public-origin", "https://lab.example"});
  ASSERT_NE(0, port);
  for (const char* box : {"top", "bottom"})
    ASSERT_EQ(
        200,
        http_status_of(http_exchange(
            port, wire({"", "PUT", std::string("/api/v1/boxes/") + box,
                        "{\"state\":\"off\",\"outlets\":\"all\"}", "", 0}))));
  for (const hostile_case& c : kHostile) {
    SCOPED_TRACE(c.name);
    settle_closed();
    second->clear_record();
    std::string answer;
    {
      std::unique_ptr<odd_holder> holder;
      if (c.odd_holder)
        holder = std::make_unique<odd_holder>(line->lock_path());
      answer = http_exchange(port, wire(c));
    }
    EXPECT_EQ(c.status, http_status_of(answer)) << answer;
    if (c.method == "HEAD") {
      EXPECT_EQ(answer.size(), answer.find("\r\n\r\n") + 4) << "a body";
    }
    EXPECT_EQ(200, http_status_of(http_exchange(
                       port, wire({"", "GET", "/api/v1/lab", "", "", 0}))));
    EXPECT_TRUE(port_writes(line->changes()).empty()) << "sent on the line";
    EXPECT_TRUE(port_writes(second->changes()).empty()) << "sent on line 2";
    std::string seed =
        RELKA_SOURCE_DIR "/fuzz/corpus/relkad_api/" + std::string(c.name);
    if (getenv("RELKA_WRITE_SEEDS") != nullptr) write_file(seed, fuzz_seed(c));
    EXPECT_EQ(fuzz_seed(c), read_file(seed)) << "no fuzz seed " << seed;
  }
}

// Off loopback a token is needed, by HTTP Basic, any user name (an empty
// one too), the scheme's name in any case.
TEST_F(http_api_test, TokenIsNeededWhereAsked) {
  http_api& a = api(kToken, false);
  http_request get = request("GET", "/api/v1/lab");
  get.host = "192.0.2.1:7421";
  http_response none = a.handle(get);
  EXPECT_EQ(401, none.status);
  ASSERT_FALSE(none.headers.empty());
  EXPECT_EQ("WWW-Authenticate", none.headers[0].first);
  const std::pair<const char*, int> credentials[] = {
      {"Basic bGFiOndyb25nLXRva2Vu", 401},  // lab:wrong-token
      // lab:correct-horse-battery-staple
      {"Basic bGFiOmNvcnJlY3QtaG9yc2UtYmF0dGVyeS1zdGFwbGU=", 200},
      {"basic bGFiOmNvcnJlY3QtaG9yc2UtYmF0dGVyeS1zdGFwbGU=", 200},
      {"Basic OmNvcnJlY3QtaG9yc2UtYmF0dGVyeS1zdGFwbGU=", 200},  // no user
      {"Bearer bGFiOmNvcnJlY3QtaG9yc2UtYmF0dGVyeS1zdGFwbGU=", 401}};
  for (const auto& [header, status] : credentials) {
    get.authorization = header;
    EXPECT_EQ(status, a.handle(get).status) << header;
  }
}

// A page of our own switches: same origin (the Host by http or https, as
// behind a TLS proxy, or the public origin), and the header only it sends.
TEST_F(http_api_test, OwnPageMaySwitch) {
  http_api& a = api();
  http_request r = request("PUT", "/api/v1/boxes/top",
                           "{\"state\":\"on\",\"outlets\":[1,2,3,4,5,6,7,8]}");
  r.fetch_site = "same-origin";
  r.page_request = "1";
  for (const char* origin : {"http://127.0.0.1:7421", "https://127.0.0.1:7421",
                             "https://lab.example"}) {
    r.origin = origin;
    EXPECT_EQ(200, a.handle(r).status) << origin;
  }
  http_response page = a.handle(request("GET", "/"));
  EXPECT_EQ("text/html; charset=utf-8", page.content_type);
  EXPECT_NE(std::string::npos, page.body.find("X-Relkad-Request"));
}

// What a client sent reaches the log as one line of valid UTF-8.
TEST(http_api_log_test, ClientTextIsEscaped) {
  http_request r = request("GET", "/x\n\rFAKE relkad: done\xff");
  std::string line = refusal_log_line("127.0.0.1 (a\nb)", r, 404, "no");
  EXPECT_EQ(
      "127.0.0.1 (a\\x0ab): GET /x\\x0a\\x0dFAKE relkad: done\\xff "
      "refused with 404: no",
      line);
}

}  // namespace
