// Fetches one path over HTTPS with the Windows program's TLS session and a
// blocking socket, for the Wine test of the SChannel back end.
//   tls_probe HOST PORT PATH OUT_FILE
// Exit 0: the body is in OUT_FILE. Exit 2: the session failed; its failure
// code is printed. Exit 1: anything else.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/tls.h"
#include "platform/win32/windows_min.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: tls_probe HOST PORT PATH OUT_FILE\n");
    return 1;
  }
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<u_short>(atoi(argv[2])));
  sa.sin_addr.s_addr = inet_addr("127.0.0.1");
  if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    printf("connect failed: %d\n", WSAGetLastError());
    return 1;
  }
  std::unique_ptr<platform::TlsSession> session = platform::StartTlsSession(argv[1]);
  std::string request = std::string("GET ") + argv[3] + " HTTP/1.1\r\nHost: " + argv[1] +
                        "\r\nConnection: close\r\n\r\n";
  session->Write(request.data(), request.size());
  std::string response;
  char buf[16384];
  for (;;) {
    size_t out;
    while ((out = session->TakeOutgoing(buf, sizeof(buf))) > 0) {
      if (send(s, buf, static_cast<int>(out), 0) != static_cast<int>(out)) break;
    }
    if (session->failure() != platform::TlsFailure::kNone || session->PeerClosed()) break;
    int got = recv(s, buf, sizeof(buf), 0);
    if (got <= 0) break;
    session->Received(buf, static_cast<size_t>(got));
    size_t plain;
    while ((plain = session->Read(buf, sizeof(buf))) > 0) response.append(buf, plain);
  }
  closesocket(s);
  if (session->failure() != platform::TlsFailure::kNone) {
    printf("failure %d\n", static_cast<int>(session->failure()));
    return 2;
  }
  size_t end = response.find("\r\n\r\n");
  if (!session->Established() || response.compare(0, 15, "HTTP/1.1 200 OK") != 0 || end == std::string::npos) {
    printf("no response (established %d): %s\n", session->Established() ? 1 : 0, response.substr(0, 200).c_str());
    return 1;
  }
  FILE* f = fopen(argv[4], "wb");
  if (!f) return 1;
  fwrite(response.data() + end + 4, 1, response.size() - end - 4, f);
  fclose(f);
  printf("ok %u\n", static_cast<unsigned>(response.size() - end - 4));
  return 0;
}
