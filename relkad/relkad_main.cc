// SPDX-License-Identifier: MIT
#include "relkad/relkad_main.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "control/clean_text.h"
#include "control/lab_file.h"
#include "outlet/exact_number.h"
#include "front/version.h"
#include "outlet/outlet_state.h"
#include "relkad/answers.h"
#include "relkad/connection_slots.h"
#include "relkad/http_api.h"
#include "relkad/line_workers.h"

namespace {

const char kUsage[] =
    "Usage: relkad [OPTION]...\n"
    "Serve the lab file's boxes and outlets over HTTP: a JSON API, labgrid's\n"
    "rest power model and a web page.\n"
    "\n"
    "  --listen=ADDRESS:PORT  where to listen (default 127.0.0.1:7421); not\n"
    "                         used when systemd passes a socket\n"
    "  --token-file=FILE      HTTP Basic password for every request (default\n"
    "                         $CREDENTIALS_DIRECTORY/token when there)\n"
    "  --no-auth              serve a non-loopback address without a token\n"
    "  --users=FILE           users, their tokens' SHA-256 and their rights,\n"
    "                         instead of one token (default\n"
    "                         $CREDENTIALS_DIRECTORY/users when there)\n"
    "  --hash-token           read a token on standard input and print the\n"
    "                         users file's line for it\n"
    "  --lab=FILE             the lab file (default $RELKA_LAB, else\n"
    "                         /etc/relka/lab.toml)\n"
    "  --state-dir=DIR        remembered state (default $RELKA_STATE_DIR,\n"
    "                         else /var/lib/relka)\n"
    "  --wait=SECONDS         wait for a busy line or outlet (default 10)\n"
    "  --public-origin=URL    where browsers reach relkad besides its Host,\n"
    "                         as https://NAME[:PORT] (a proxy in front)\n"
    "  --request-timeout=SECONDS  time for a whole request to arrive (default\n"
    "                         5)\n"
    "  --connections=N        connections held at once (default 64; a quarter\n"
    "                         kept for clients that show the token)\n"
    "  -h, --help             this text\n"
    "      --version          the version\n"
    "\n"
    "Listening on anything but 127.0.0.1 or ::1 needs --token-file (or\n"
    "--no-auth). Exit status: 0 stopped by a signal; 2 usage or setup.\n";

// How long a stop waits for the answers under way.
constexpr double kFinishSeconds = 10;

enum option_id {
  opt_listen = 256,
  opt_token,
  opt_no_auth,
  opt_lab,
  opt_state_dir,
  opt_wait,
  opt_public_origin,
  opt_request_timeout,
  opt_connections,
  opt_version,
  opt_users,
  opt_hash_token
};

const option kOptions[] = {
    {"listen", required_argument, nullptr, opt_listen},
    {"token-file", required_argument, nullptr, opt_token},
    {"no-auth", no_argument, nullptr, opt_no_auth},
    {"lab", required_argument, nullptr, opt_lab},
    {"state-dir", required_argument, nullptr, opt_state_dir},
    {"wait", required_argument, nullptr, opt_wait},
    {"public-origin", required_argument, nullptr, opt_public_origin},
    {"request-timeout", required_argument, nullptr, opt_request_timeout},
    {"connections", required_argument, nullptr, opt_connections},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, opt_version},
    {"users", required_argument, nullptr, opt_users},
    {"hash-token", no_argument, nullptr, opt_hash_token},
    {nullptr, 0, nullptr, 0},
};

struct options {
  std::string listen = "127.0.0.1:7421";
  bool listen_given = false;
  std::string token_file;
  bool no_auth = false;
  std::string lab;
  std::string state_dir;
  double wait = 10;
  std::string public_origin;
  slot_limits limits;
  bool help = false;
  bool version = false;
  std::string users;        // --users
  bool hash_token = false;  // --hash-token
};

void complain(const std::string& text) {
  fprintf(stderr, "relkad: %s\n", text.c_str());
}

bool parse(int argc, char** argv, options* o, std::string* error) {
  o->state_dir = state_dir_from_env();
  optind = 0;
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
    switch (c) {
      case opt_listen:
        o->listen = optarg;
        o->listen_given = true;
        break;
      case opt_token: o->token_file = optarg; break;
      case opt_no_auth: o->no_auth = true; break;
      case opt_lab: o->lab = optarg; break;
      case opt_state_dir: o->state_dir = optarg; break;
      case opt_wait:
        if (!read_seconds(optarg, 3600, &o->wait)) {
          *error = std::string("--wait: '") + optarg +
                   "' is not a number of seconds";
          return false;
        }
        break;
      case opt_request_timeout:
        if (!read_seconds(optarg, 3600, &o->limits.request_timeout) ||
            o->limits.request_timeout < 0.1) {
          *error = std::string("--request-timeout: '") + optarg +
                   "' is not a number of seconds from 0.1 to 3600";
          return false;
        }
        break;
      case opt_connections:
        if (!read_whole(optarg, 4, 400, &o->limits.capacity)) {
          *error = std::string("--connections: '") + optarg +
                   "' is not a whole number from 4 to 400";
          return false;
        }
        o->limits.reserve = o->limits.capacity / 4;
        break;
      case opt_public_origin:
        if (!origin_of(optarg, &o->public_origin)) {
          *error = std::string("--public-origin: '") + optarg +
                   "' is not an origin such as https://lab.example";
          return false;
        }
        break;
      case 'h': o->help = true; break;
      case opt_version: o->version = true; break;
      case opt_users: o->users = optarg; break;
      case opt_hash_token: o->hash_token = true; break;
      case ':':
        *error = std::string("option '") + argv[optind - 1] + "' needs a value";
        return false;
      default:
        *error = std::string("unknown option '") + argv[optind - 1] + "'";
        return false;
    }
  }
  if (optind < argc) {
    *error = std::string("unexpected argument '") + argv[optind] + "'";
    return false;
  }
  return true;
}

// The token: the file's first line, from a file only we may read.
bool read_token(const std::string& path, std::string* token,
                std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot read the token file " + path + ": " + strerror(errno);
    return false;
  }
  struct stat st {};
  char text[512];
  ssize_t n = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) == 0)
    n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n < 0) {
    *error = "the token file " + path +
             " must be a regular file that only relkad may read (mode 0600 "
             "or 0400)";
    return false;
  }
  token->assign(text, static_cast<size_t>(n));
  token->erase(token->find_first_of("\r\n") == std::string::npos
                   ? token->size()
                   : token->find_first_of("\r\n"));
  if (token->size() < 16) {
    *error = "the token in " + path + " is shorter than 16 characters";
    return false;
  }
  return true;
}

// A listening TCP socket for "ADDRESS:PORT" ("[::1]:7421" for IPv6).
int listen_on(const std::string& where, std::string* error) {
  size_t colon = where.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    *error = "--listen wants ADDRESS:PORT, not '" + where + "'";
    return -1;
  }
  std::string host = where.substr(0, colon);
  std::string port = where.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
    *error = "--listen: '" + where + "' is not a numeric address and port";
    return -1;
  }
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    *error = "cannot listen on " + where + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  return fd;
}

// The socket's own address, and whether it is 127.0.0.1 or ::1 (the only
// addresses served without a token).
std::string local_address(int fd, bool* plain_loopback) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  *plain_loopback = false;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return "?";
  char text[INET6_ADDRSTRLEN] = "?";
  int port = 0;
  if (address.ss_family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&address);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    port = ntohs(in->sin_port);
    *plain_loopback = in->sin_addr.s_addr == htonl(INADDR_LOOPBACK);
    return std::string(text) + ":" + std::to_string(port);
  }
  if (address.ss_family == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    port = ntohs(in6->sin6_port);
    *plain_loopback = IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    return "[" + std::string(text) + "]:" + std::to_string(port);
  }
  return "?";
}

std::string client_of(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return "?";
  char text[INET6_ADDRSTRLEN] = "?";
  const sockaddr* a = info->client_addr;
  if (a->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text,
              sizeof text);
  else if (a->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
              text, sizeof text);
  return text;
}

std::string header(MHD_Connection* connection, const char* name) {
  const char* value =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value != nullptr ? value : "";
}

// One request as it arrives: its body, gathered up to the bound.
struct request_in {
  http_request request;
};

// The path exactly as sent. libmicrohttpd hands it over as a C string in
// the buffer of the request line, cut at a '?' or at a NUL byte the client
// put in it, with the version after it: unless the version follows right
// after the path, something was cut off, and the path keeps a NUL byte so
// that no route takes it (relkad takes no query).
std::string sent_path(const char* url, const char* version) {
  std::string path = url;
  if (url + path.size() + 1 != version) path += '\0';
  return path;
}

// What the HTTP library's callbacks work with.
struct service {
  http_api* api;
  connection_slots* slots;
};

// The slot of a connection: its id, kept in the socket context from the
// "started" notice to the "closed" one.
std::uint64_t slot_of(void* socket_context) {
  auto* id = static_cast<std::uint64_t*>(socket_context);
  return id != nullptr ? *id : 0;
}

std::uint64_t slot_of(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info != nullptr ? slot_of(info->socket_context) : 0;
}

MHD_Result send_answer(MHD_Connection* connection, const http_response& out) {
  MHD_Response* response = MHD_create_response_from_buffer(
      out.body.size(), const_cast<char*>(out.body.data()),
      MHD_RESPMEM_MUST_COPY);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                          out.content_type.c_str());
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  for (const auto& [name, value] : out.headers)
    MHD_add_response_header(response, name.c_str(), value.c_str());
  MHD_Result queued = MHD_queue_response(
      connection, static_cast<unsigned>(out.status), response);
  MHD_destroy_response(response);
  return queued;
}

// A body framed two ways is read one way here and another by a proxy in
// front (request smuggling): refused before any of it is read.
bool framed_twice(MHD_Connection* connection) {
  return !header(connection, MHD_HTTP_HEADER_TRANSFER_ENCODING).empty() &&
         !header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH).empty();
}

MHD_Result refuse_framing(MHD_Connection* connection,
                          const http_request& request) {
  const std::string why =
      "both Transfer-Encoding and Content-Length: the body's length is "
      "ambiguous";
  log_refusal(client_of(connection), request, 400, why);
  http_response out = error_answer(400, why);
  out.headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
  return send_answer(connection, out);
}

// Nothing thrown here may end the service: the client gets a bare 500.
MHD_Result answer(void* self, MHD_Connection* connection, const char* url,
                  const char* method, const char* version, const char* upload,
                  size_t* upload_size, void** context) try {
  auto* served = static_cast<service*>(self);
  http_api* api = served->api;
  if (*context == nullptr) {
    auto* in = new request_in;
    in->request.method = method;
    in->request.path = sent_path(url, version);
    *context = in;
    if (framed_twice(connection))
      return refuse_framing(connection, in->request);
    return MHD_YES;
  }
  auto* in = static_cast<request_in*>(*context);
  if (*upload_size > 0) {
    if (in->request.body.size() + *upload_size > http_api::max_body)
      in->request.body_too_large = true;
    else
      in->request.body.append(upload, *upload_size);
    *upload_size = 0;
    return MHD_YES;
  }
  http_request& r = in->request;
  r.client = client_of(connection);
  r.authorization = header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
  r.host = header(connection, MHD_HTTP_HEADER_HOST);
  r.origin = header(connection, "Origin");
  r.fetch_site = header(connection, "Sec-Fetch-Site");
  r.page_request = header(connection, "X-Relkad-Request");
  // Let go of to make room while it arrived: not answered.
  if (!served->slots->request_arrived(slot_of(connection),
                                      api->authenticated(r)))
    return MHD_NO;
  return send_answer(connection, api->handle(r));
} catch (...) {
  static const char failed[] = "{\"error\":\"internal error\"}\n";
  MHD_Response* response = MHD_create_response_from_buffer(
      sizeof failed - 1, const_cast<char*>(failed), MHD_RESPMEM_PERSISTENT);
  if (response == nullptr) return MHD_NO;
  MHD_Result queued = MHD_queue_response(connection, 500, response);
  MHD_destroy_response(response);
  return queued;
}

// The path stays as sent: it is checked before any decoding, and an escape
// in it is refused (see http_api).
size_t keep_escapes(void*, MHD_Connection*, char* text) { return strlen(text); }

void finished(void* self, MHD_Connection* connection, void** context,
              MHD_RequestTerminationCode) {
  delete static_cast<request_in*>(*context);
  *context = nullptr;
  static_cast<service*>(self)->slots->answered(slot_of(connection));
}

void connection_event(void* self, MHD_Connection* connection,
                      void** socket_context,
                      MHD_ConnectionNotificationCode code) {
  auto* slots = static_cast<connection_slots*>(self);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    slots->closed(slot_of(*socket_context));
    delete static_cast<std::uint64_t*>(*socket_context);
    *socket_context = nullptr;
    return;
  }
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info != nullptr)
    *socket_context = new std::uint64_t(slots->started(info->connect_fd));
}

// libmicrohttpd's own complaints (a client that went away, a bad request
// line) go to standard error, which the journal keeps, escaped as a line.
void mhd_log(void*, const char* format, va_list arguments) {
  char text[1024];
  vsnprintf(text, sizeof text, format, arguments);
  std::string line = text;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  fprintf(stderr, "relkad: %s\n", log_text(line).c_str());
}

}  // namespace

int relkad_main(int argc, char** argv) {
  options o;
  std::string error;
  if (!parse(argc, argv, &o, &error)) {
    complain(error);
    fprintf(stderr, "Try 'relkad --help' for more information.\n");
    return 2;
  }
  if (o.help) {
    fputs(kUsage, stdout);
    return fflush(stdout) == 0 ? 0 : 2;
  }
  if (o.version) {
    printf("relkad %s\n", RELKA_VERSION);
    return fflush(stdout) == 0 ? 0 : 2;
  }
  if (o.hash_token) return hash_token_main();

  bool chosen = false;
  lab_file lab;
  if (!load_lab_file(lab_file_path(o.lab, &chosen), &lab, &error)) {
    complain(error + "; relkad serves the outlets a lab file names");
    return 2;
  }
  api_settings settings;
  settings.state_dir = o.state_dir;
  settings.wait = o.wait;
  settings.public_origin = o.public_origin;
  if (o.token_file.empty()) {
    const char* credentials = getenv("CREDENTIALS_DIRECTORY");
    std::string given = credentials != nullptr
                            ? std::string(credentials) + "/token"
                            : std::string();
    struct stat st {};
    if (!given.empty() && stat(given.c_str(), &st) == 0) o.token_file = given;
  }
  if (!o.token_file.empty() &&
      !read_token(o.token_file, &settings.token, &error)) {
    complain(error);
    return 2;
  }
  if (!load_users_option(o.users, !o.token_file.empty(), lab, &settings.users,
                         &error)) {
    complain(error);
    return 2;
  }

  // systemd's socket, or our own.
  int listener = -1;
  int passed = sd_listen_fds(1);
  if (passed > 1) {
    complain("systemd passed " + std::to_string(passed) +
             " sockets; relkad serves one: give relkad.socket one "
             "ListenStream= (replace the address, do not add one)");
    return 2;
  }
  if (passed == 1 && !o.listen_given) {
    listener = SD_LISTEN_FDS_START;
  } else {
    listener = listen_on(o.listen, &error);
    if (listener < 0) {
      complain(error);
      return 2;
    }
  }
  bool plain_loopback = false;
  std::string where = local_address(listener, &plain_loopback);
  settings.loopback_only = plain_loopback;
  if (!plain_loopback && !settings.asks_auth() && !o.no_auth) {
    complain("listening on " + where +
             " needs authentication: give --token-file (or systemd's "
             "LoadCredential=token:...), or --no-auth to serve without it");
    close(listener);
    return 2;
  }

  // Ending signals are taken here, by sigwait; every thread starts with
  // them blocked.
  sigset_t ending;
  sigemptyset(&ending);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ending, sig);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  signal(SIGPIPE, SIG_IGN);

  line_workers lines;
  http_api api(lab, settings, lines);
  allow_descriptors(o.limits);
  connection_slots slots(o.limits);  // outlives the daemon: it calls in
  service served{&api, &slots};
  // relkad accepts (connection_slots) and hands each connection over. The
  // library's own limit is above ours, never reached; its idle timeout only
  // ends a client that stops reading its answer. The logger goes first:
  // libmicrohttpd uses it for the options after it.
  MHD_Daemon* daemon = MHD_start_daemon(
      MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD |
          MHD_USE_POLL | MHD_USE_ERROR_LOG | MHD_USE_NO_LISTEN_SOCKET |
          MHD_USE_ITC,
      0, nullptr, nullptr, &answer, &served, MHD_OPTION_EXTERNAL_LOGGER,
      &mhd_log, nullptr, MHD_OPTION_CONNECTION_LIMIT,
      static_cast<unsigned>(2 * max_handed_over(o.limits)),
      MHD_OPTION_UNESCAPE_CALLBACK, &keep_escapes, nullptr,
      MHD_OPTION_CONNECTION_TIMEOUT, 60u, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<size_t>(32 * 1024), MHD_OPTION_NOTIFY_COMPLETED, &finished,
      &served, MHD_OPTION_NOTIFY_CONNECTION, &connection_event, &slots,
      MHD_OPTION_END);
  auto give = [daemon](int fd, const sockaddr* peer, socklen_t size) {
    return MHD_add_connection(daemon, fd, peer, size) == MHD_YES;
  };
  if (daemon == nullptr) {
    complain("cannot start the HTTP service on " + where);
    close(listener);
    return 2;
  }
  if (!slots.start(listener, give)) {  // the listener is the slots' now
    complain("cannot accept connections on " + where);
    MHD_stop_daemon(daemon);
    return 2;
  }
  fprintf(stderr, "relkad: serving %zu outlets of %zu boxes on http://%s/%s\n",
          lab.outlets.size(), lab.boxes.size(), where.c_str(),
          settings.users           ? " (users)"
          : settings.token.empty() ? " (no authentication)"
                                   : "");
  sd_notify(0, "READY=1");

  int sig = 0;
  sigwait(&ending, &sig);
  sd_notify(0, "STOPPING=1");
  // No new connections; pauses under way end, their outlets go back on;
  // the answers under way go out (bounded); only then the rest closes.
  slots.stop_accepting();
  lines.stop();
  if (!slots.finish(kFinishSeconds))
    complain("stopping with requests still unanswered after " +
             std::to_string(static_cast<int>(kFinishSeconds)) + " s");
  MHD_stop_daemon(daemon);
  fprintf(stderr, "relkad: stopped by signal %d\n", sig);
  return 0;
}
