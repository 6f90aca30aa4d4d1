#include "support/servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/temp_dir.h"

extern char** environ;

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  pid_t pid;
  if (posix_spawnp(&pid, args[0], nullptr, &attr, args.data(), environ) == 0) pid_ = pid;
  posix_spawnattr_destroy(&attr);
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  socklen_t len = sizeof(sa);
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  close(fd);
  return ntohs(sa.sin_port);
}

bool WaitForPort(int port, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool up = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    close(fd);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string FindProgram(const std::string& name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/bin"}) {
    std::string path = std::string(dir) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return std::string();
}

namespace {

std::string ScratchDir(const std::string& tag) {
  std::string base = std::string(UPDATER_BINARY_DIR) + "/test-scratch";
  mkdir(base.c_str(), 0755);
  std::string pattern = base + "/" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  return mkdtemp(buf.data());
}

}  // namespace

TestUpdateServer::TestUpdateServer(const std::string& root, const std::string& path_encoding)
    : dir_(ScratchDir("server")) {
  rules_ = dir_ + "/rules.json";
  log_ = dir_ + "/requests.log";
  std::string port_file = dir_ + "/port";
  WriteFileBytes(rules_, "{}");
  process_.reset(new ChildProcess({"python3", std::string(UPDATER_SOURCE_DIR) + "/tools/test_server.py",
                                   "--root", root, "--rules", rules_, "--log", log_, "--port-file",
                                   port_file, "--path-encoding", path_encoding}));
  for (int i = 0; i < 500 && !PathExists(port_file); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  port_ = atoi(ReadFileBytes(port_file).c_str());
}

void TestUpdateServer::SetRules(const std::string& json) {
  WriteFileBytes(rules_ + ".tmp", json);
  rename((rules_ + ".tmp").c_str(), rules_.c_str());
}

std::string TestUpdateServer::RequestLog() const { return ReadFileBytes(log_); }

int TestUpdateServer::CountRequests(const std::string& fragment) const {
  std::istringstream in(RequestLog());
  std::string line;
  int count = 0;
  while (std::getline(in, line)) count += line.find(fragment) != std::string::npos;
  return count;
}

NginxServer::NginxServer(const std::string& root, const std::string& extra, const TlsFiles& tls)
    : dir_(ScratchDir("nginx")), tls_(!tls.certificate.empty()) {
  std::string nginx = FindProgram("nginx");
  if (nginx.empty()) return;
  int port = FreePort();
  std::ostringstream conf;
  conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
       << "error_log " << dir_ << "/error.log;\npid " << dir_ << "/nginx.pid;\n"
       << "events { worker_connections 64; }\n"
       << "http {\n  log_format serial '$remote_addr - $remote_user [$time_local] \"$request\" $status "
       << "$body_bytes_sent \"$http_referer\" \"$http_user_agent\" $pipe $connection';\n"
       << "  access_log " << dir_ << "/access.log serial;\n"
       << "  client_body_temp_path " << dir_ << "/body;\n  proxy_temp_path " << dir_ << "/proxy;\n"
       << "  fastcgi_temp_path " << dir_ << "/fastcgi;\n  uwsgi_temp_path " << dir_ << "/uwsgi;\n"
       << "  scgi_temp_path " << dir_ << "/scgi;\n"
       << "  types { application/octet-stream bin; }\n  default_type application/octet-stream;\n"
       << "  sendfile on;\n"
       << "  server {\n    listen 127.0.0.1:" << port << (tls_ ? " ssl" : "") << ";\n    root " << root
       << ";\n";
  if (tls_) {
    conf << "    ssl_certificate " << tls.certificate << ";\n    ssl_certificate_key " << tls.key << ";\n";
  }
  conf << "    location = /moved { return 302 /update/sub/file.bin; }\n"
       << "    " << extra << "\n  }\n}\n";
  WriteFileBytes(dir_ + "/nginx.conf", conf.str());
  process_.reset(new ChildProcess({nginx, "-p", dir_, "-c", dir_ + "/nginx.conf"}));
  if (WaitForPort(port, 5000)) port_ = port;
}

NginxServer::~NginxServer() { process_.reset(); }

std::string NginxServer::AccessLog() const { return ReadFileBytes(dir_ + "/access.log"); }

std::unique_ptr<ChildProcess> StartOnFreePort(const std::function<std::vector<std::string>(int)>& argv,
                                              int* port) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    *port = FreePort();
    std::unique_ptr<ChildProcess> child(new ChildProcess(argv(*port)));
    if (WaitForPort(*port, 5000)) return child;
  }
  return nullptr;
}

std::vector<std::string> TinyproxyCommand(const std::string& dir, int port) {
  const std::string conf = dir + "/tinyproxy.conf";
  WriteFileBytes(conf, "Port " + std::to_string(port) +
                           "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nLogLevel Critical\nMaxClients 5\n");
  return {FindProgram("tinyproxy"), "-d", "-c", conf};
}

std::vector<std::string> MicrosocksCommand(int port, const std::string& user, const std::string& password) {
  std::vector<std::string> argv = {FindProgram("microsocks"), "-i", "127.0.0.1", "-p", std::to_string(port)};
  if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
  return argv;
}
