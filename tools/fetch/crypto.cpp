#include "crypto.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <memory>

namespace vesk::fetch {

namespace {

struct KeyDeleter {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct MdDeleter {
  void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdDeleter>;

std::string ssl_error() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

// Reads a PEM key: a private one or a public one.
Key read_key(const std::string &path, bool private_key, std::string *error) {
  FILE *f = fopen(path.c_str(), "re");
  if (f == nullptr) {
    *error = path + ": " + strerror(errno);
    return nullptr;
  }
  Key key(private_key ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr)
                      : PEM_read_PUBKEY(f, nullptr, nullptr, nullptr));
  fclose(f);
  if (key == nullptr) {
    *error = path + ": not a PEM " + (private_key ? "private" : "public") + " key (" +
             ssl_error() + ")";
    return nullptr;
  }
  if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
    *error = path + ": not an Ed25519 key";
    return nullptr;
  }
  return key;
}

}  // namespace

std::string sha256_hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

bool sign(const std::string &key_file, std::string_view message, std::string *signature,
          std::string *error) {
  Key key = read_key(key_file, true, error);
  if (key == nullptr) return false;
  MdCtx ctx(EVP_MD_CTX_new());
  size_t length = kSignatureSize;
  signature->assign(kSignatureSize, '\0');
  // Ed25519 signs the message itself: no digest of it is named.
  if (ctx == nullptr || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(signature->data()), &length,
                     reinterpret_cast<const unsigned char *>(message.data()),
                     message.size()) != 1 ||
      length != kSignatureSize) {
    *error = key_file + ": can't sign: " + ssl_error();
    return false;
  }
  return true;
}

bool verify(const std::string &key_file, std::string_view message, std::string_view signature,
            std::string *error) {
  Key key = read_key(key_file, false, error);
  if (key == nullptr) return false;
  if (signature.size() != kSignatureSize) {
    *error = "the signature is " + std::to_string(signature.size()) + " bytes, not " +
             std::to_string(kSignatureSize);
    return false;
  }
  MdCtx ctx(EVP_MD_CTX_new());
  if (ctx == nullptr ||
      EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
    *error = key_file + ": can't verify: " + ssl_error();
    return false;
  }
  int rc = EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char *>(message.data()),
                            message.size());
  ERR_clear_error();
  if (rc != 1) {
    *error = "the signature does not match the manifest under the key of " + key_file;
    return false;
  }
  return true;
}

}  // namespace vesk::fetch
