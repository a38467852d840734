// corvalith-update-server: a local update server for the Updater's -G, -B,
// -J and recovery queries, serving builds from a directory tree.
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/UpdateServer.h"

namespace {

constexpr int kDefaultPort = 8490;
constexpr size_t kWorkers = 32;
constexpr time_t kReadTimeoutSeconds = 1;   // per read of a request
constexpr time_t kWriteTimeoutSeconds = 5;  // per write of a reply
constexpr time_t kKeepAliveSeconds = 2;     // idle wait for a next request

const char kUsage[] =
    "Usage: corvalith-update-server --root DIR [options]\n"
    "\n"
    "Answers the Updater's update-server queries on /cgi/u from DIR.\n"
    "\n"
    "Options:\n"
    "  --root DIR        directory holding the builds (layout below)\n"
    "  --host ADDR       address to listen on [127.0.0.1]\n"
    "  --port N          port [8490]; 0 picks a free port\n"
    "  --key TEXT        key that signs device tokens (HS256)\n"
    "  --key-file FILE   the same, read from the first line of FILE\n"
    "  --log FILE        append the request log to FILE instead of stdout\n"
    "  --tls             serve HTTPS with a throw-away self-signed certificate\n"
    "                    (for checking that clients refuse unverified peers)\n"
    "  --fault OP=MODE   answer op OP (or every op, with *) wrongly on purpose;\n"
    "                    MODE: okay error empty status500 badbase64 notbird\n"
    "                    shorttoken crlf\n"
    "  --help            this text\n"
    "\n"
    "On start it prints \"LISTEN ADDR:PORT\" on stdout. Each request is logged as\n"
    "one line: the method and the request target (path and query, as sent).\n"
    "SIGTERM or SIGINT stops it.\n"
    "\n"
    "Layout of DIR:\n"
    "  DIR/fingerprints               recovery table (op=fix), one chip per line:\n"
    "                                 W0 W1 W2 W3 SERIAL BUILD (words, serial in hex)\n"
    "  DIR/SERIAL/                    one folder per device, serial as %08X\n"
    "  DIR/SERIAL/BUILD.bird          listed builds (op=builds, op=bird); the\n"
    "                                 version is read from the file's descriptor\n"
    "  DIR/SERIAL/unlisted/BUILD.bird served (op=bird) but not listed\n"
    "  DIR/SERIAL/current             current build number (op=qu) [highest listed]\n"
    "  DIR/SERIAL/firmware            firmware identifier (op=qu, op=bird) [standard]\n"
    "  DIR/SERIAL/features            one feature per line, signed into the token\n"
    "                                 (op=ent_jwt)\n"
    "Blank lines and lines starting with # are ignored in these text files.\n"
    "Files are read on every request: copy a new BUILD.bird in to publish it.\n";

struct Options {
  updateserver::Config config;
  std::string host = "127.0.0.1";
  int port = kDefaultPort;
  std::string logPath;
  bool tls = false;
};

int sUsageError(const char* what, const char* arg) {
  std::fprintf(stderr, "corvalith-update-server: %s%s\n(--help for usage)\n", what, arg ? arg : "");
  return 2;
}

// 0 when the options are usable, 1 after --help, else an exit code.
int sParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 1;
    }
    if (arg == "--tls") {
      options.tls = true;
      continue;
    }
    if (i + 1 >= argc) return sUsageError("missing value for ", arg.c_str());
    const std::string value = argv[++i];
    if (arg == "--root") {
      options.config.root = value;
    } else if (arg == "--host") {
      options.host = value;
    } else if (arg == "--port") {
      char* end = nullptr;
      const long port = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end || port < 0 || port > 65535) return sUsageError("bad port ", value.c_str());
      options.port = static_cast<int>(port);
    } else if (arg == "--key") {
      options.config.signingKey = value;
    } else if (arg == "--key-file") {
      std::ifstream in(value);
      if (!std::getline(in, options.config.signingKey))
        return sUsageError("cannot read key file ", value.c_str());
    } else if (arg == "--log") {
      options.logPath = value;
    } else if (arg == "--fault") {
      const size_t eq = value.find('=');
      updateserver::Fault fault = updateserver::Fault::None;
      if (eq == std::string::npos || !updateserver::ParseFault(value.substr(eq + 1), fault))
        return sUsageError("bad fault ", value.c_str());
      options.config.faults[value.substr(0, eq)] = fault;
    } else {
      return sUsageError("unknown option ", arg.c_str());
    }
  }
  if (options.config.root.empty()) return sUsageError("--root DIR is required", nullptr);
  return 0;
}

// A fresh P-256 key and a one-day self-signed certificate for 127.0.0.1.
bool sMakeSelfSigned(X509*& cert, EVP_PKEY*& key) {
  key = EVP_EC_gen("P-256");
  cert = X509_new();
  if (!key || !cert) return false;
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 60 * 60);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"),
                             -1, -1, 0);
  X509_set_issuer_name(cert, name);
  return X509_sign(cert, key, EVP_sha256()) > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = sParseOptions(argc, argv, options);
  if (parsed == 1) return 0;
  if (parsed) return parsed;

  FILE* log = stdout;
  if (!options.logPath.empty()) {
    log = std::fopen(options.logPath.c_str(), "a");
    if (!log) return sUsageError("cannot open log ", options.logPath.c_str());
  }

  // The signals are taken by sigwait below; every thread created from here
  // on inherits the mask, so none of them is interrupted by them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The TLS context takes its own references; these are dropped after the
  // server is gone.
  std::unique_ptr<X509, decltype(&X509_free)> cert(nullptr, &X509_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(nullptr, &EVP_PKEY_free);
  std::unique_ptr<httplib::Server> server;
  if (options.tls) {
    X509* rawCert = nullptr;
    EVP_PKEY* rawKey = nullptr;
    const bool made = sMakeSelfSigned(rawCert, rawKey);
    cert.reset(rawCert);
    key.reset(rawKey);
    if (!made) return sUsageError("cannot make a TLS certificate", nullptr);
    server = std::make_unique<httplib::SSLServer>(cert.get(), key.get());
  } else {
    server = std::make_unique<httplib::Server>();
  }
  if (!server->is_valid()) return sUsageError("cannot set up the server", nullptr);
  // A lab shares one server; clients that dribble their request in hold a
  // worker only until a read waits kReadTimeoutSeconds, and there are
  // enough workers that a few of them cannot starve the rest.
  server->set_read_timeout(kReadTimeoutSeconds, 0);
  server->set_write_timeout(kWriteTimeoutSeconds, 0);
  server->set_keep_alive_timeout(kKeepAliveSeconds);
  server->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };

  const updateserver::UpdateServer handler(options.config);
  std::mutex logLock;
  server->Get("/cgi/u", [&](const httplib::Request& request, httplib::Response& response) {
    std::map<std::string, std::string> params;
    for (const auto& [key, value] : request.params) params.emplace(key, value);
    const updateserver::Reply reply = handler.Answer(params);
    response.status = reply.status;
    response.set_content(reply.body, "text/plain");
  });
  // Logged before the reply leaves, so a client that has its answer can rely
  // on finding its request in the log.
  server->set_pre_routing_handler([&](const httplib::Request& request, httplib::Response&) {
    std::lock_guard<std::mutex> guard(logLock);
    std::fprintf(log, "%s %s\n", request.method.c_str(), request.target.c_str());
    std::fflush(log);
    return httplib::Server::HandlerResponse::Unhandled;
  });

  int port = options.port;
  if (port == 0) {
    port = server->bind_to_any_port(options.host);
    if (port < 0) return sUsageError("cannot listen on ", options.host.c_str());
  } else if (!server->bind_to_port(options.host, port)) {
    return sUsageError("cannot listen on ", (options.host + ":" + std::to_string(port)).c_str());
  }
  std::printf("LISTEN %s:%d\n", options.host.c_str(), port);
  std::fflush(stdout);

  std::thread listener([&] {
    server->listen_after_bind();
    // Ends main's wait if the server stops by itself.
    kill(getpid(), SIGTERM);
  });
  int signalNumber = 0;
  sigwait(&stopSignals, &signalNumber);
  server->stop();
  listener.join();
  if (log != stdout) std::fclose(log);
  return 0;
}
