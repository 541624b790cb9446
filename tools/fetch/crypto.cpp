#include "crypto.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

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

// The identity of a key: see key_id in crypto.h.
std::string key_id(EVP_PKEY *key) {
  unsigned char raw[32];
  size_t length = sizeof raw;
  if (EVP_PKEY_get_raw_public_key(key, raw, &length) != 1 || length != sizeof raw) return "";
  return sha256_hex(std::string_view(reinterpret_cast<char *>(raw), length)).substr(0, 16);
}

// Every public key of the PEM file at `path`: at least one, all Ed25519,
// as many as the file has BEGIN lines.
bool read_public_keys(const std::string &path, std::vector<Key> *keys, std::string *error) {
  FILE *f = fopen(path.c_str(), "re");
  if (f == nullptr) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() < 1 << 20)
    text.append(buffer, n);
  fclose(f);
  size_t begins = 0;
  for (size_t at = text.find("-----BEGIN "); at != std::string::npos;
       at = text.find("-----BEGIN ", at + 1))
    ++begins;
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())),
                                              &BIO_free);
  for (size_t i = 0; i < begins && bio != nullptr; ++i) {
    Key key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (key == nullptr) {
      *error = path + ": key " + std::to_string(i + 1) + " is not a PEM public key (" +
               ssl_error() + ")";
      return false;
    }
    if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
      *error = path + ": key " + std::to_string(i + 1) + " is not an Ed25519 key";
      return false;
    }
    keys->push_back(std::move(key));
  }
  ERR_clear_error();
  if (begins == 0) {
    *error = path + ": not a PEM public key";
    return false;
  }
  return true;
}

}  // namespace

bool signing_key_id(const std::string &key_file, std::string *id, std::string *error) {
  Key key = read_key(key_file, true, error);
  if (key == nullptr) return false;
  *id = key_id(key.get());
  if (id->empty()) *error = key_file + ": can't read its public key";
  return !id->empty();
}

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

bool verify(const std::string &keys_path, std::string_view message, std::string_view signature,
            std::string *id, std::string *error) {
  std::vector<Key> keys;
  struct stat st;
  if (stat(keys_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    DIR *d = opendir(keys_path.c_str());
    if (d == nullptr) {
      *error = keys_path + ": " + strerror(errno);
      return false;
    }
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() > 4 && name[0] != '.' && name.compare(name.size() - 4, 4, ".pem") == 0)
        names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names)
      if (!read_public_keys(keys_path + "/" + name, &keys, error)) return false;
    if (keys.empty()) {
      *error = keys_path + ": no *.pem key in it";
      return false;
    }
  } else if (!read_public_keys(keys_path, &keys, error)) {
    return false;
  }
  if (signature.size() != kSignatureSize) {
    *error = "the signature is " + std::to_string(signature.size()) + " bytes, not " +
             std::to_string(kSignatureSize);
    return false;
  }
  for (const Key &key : keys) {
    MdCtx ctx(EVP_MD_CTX_new());
    if (ctx == nullptr ||
        EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
      *error = keys_path + ": can't verify: " + ssl_error();
      return false;
    }
    int rc = EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.data()),
                              signature.size(),
                              reinterpret_cast<const unsigned char *>(message.data()),
                              message.size());
    ERR_clear_error();
    if (rc == 1) {
      *id = key_id(key.get());
      return true;
    }
  }
  *error = "the signature does not match the manifest under any key of " + keys_path;
  return false;
}

}  // namespace vesk::fetch
