// Why a TLS connection to the directory failed, in the TLS library's
// words: the LDAP library says only that the server can't be contacted.
// A second handshake, with the same CA and the same name check, asks
// OpenSSL for its verification result.
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <ldap.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "map/files.h"
#include "sync.h"

namespace vesk::sync {

namespace {

int connect_to(const std::string &host, const std::string &port, int timeout) {
  struct addrinfo hints{}, *list = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0) return -1;
  int fd = -1;
  for (struct addrinfo *a = list; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(list);
  if (fd >= 0) {
    struct timeval tv = {timeout, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  return fd;
}

// The StartTLS extended request, message id 1, and the start of its
// response (whose result code is then checked loosely: the handshake
// tells the rest).
bool start_tls(int fd) {
  static const char oid[] = "1.3.6.1.4.1.1466.20037";
  unsigned char request[64] = {0x30, 0x1d, 0x02, 0x01, 0x01, 0x77, 0x18, 0x80, 0x16};
  memcpy(request + 9, oid, 22);
  if (write(fd, request, 31) != 31) return false;
  unsigned char reply[256];
  ssize_t n = read(fd, reply, sizeof reply);
  return n > 2 && reply[0] == 0x30;
}

}  // namespace

std::string tls_failure(const Settings &s, const std::string &uri) {
  LDAPURLDesc *url = nullptr;
  if (ldap_url_parse(uri.c_str(), &url) != LDAP_URL_SUCCESS) return {};
  std::string host = url->lud_host != nullptr ? url->lud_host : "";
  bool ldaps = strcasecmp(url->lud_scheme, "ldaps") == 0;
  std::string port = std::to_string(url->lud_port != 0 ? url->lud_port : ldaps ? 636 : 389);
  ldap_free_urldesc(url);
  if (host.empty()) return {};
  Fd fd(connect_to(host, port, s.timeout));
  if (fd.fd < 0 || (!ldaps && !start_tls(fd.fd))) return {};
  std::string out;
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  SSL *ssl = nullptr;
  if (ctx != nullptr &&
      (s.tls_ca_file.empty() ? SSL_CTX_set_default_verify_paths(ctx)
                             : SSL_CTX_load_verify_locations(ctx, s.tls_ca_file.c_str(), nullptr)) ==
          1 &&
      (ssl = SSL_new(ctx)) != nullptr) {
    SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);  // the result is read, not acted on
    SSL_set1_host(ssl, host.c_str());
    SSL_set_tlsext_host_name(ssl, host.c_str());
    SSL_set_fd(ssl, fd.fd);
    if (SSL_connect(ssl) == 1) {
      long result = SSL_get_verify_result(ssl);
      if (result != X509_V_OK)
        out = std::string("the server's certificate fails verification: ") +
              X509_verify_cert_error_string(result);
    } else {
      unsigned long e = ERR_get_error();
      char text[256] = "";
      if (e != 0) ERR_error_string_n(e, text, sizeof text);
      out = std::string("the TLS handshake failed: ") + (text[0] != '\0' ? text : "no reason given");
    }
  }
  if (ssl != nullptr) SSL_free(ssl);
  if (ctx != nullptr) SSL_CTX_free(ctx);
  ERR_clear_error();
  return printable(out);
}

}  // namespace vesk::sync
