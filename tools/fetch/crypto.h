// SHA-256 and Ed25519 with libcrypto: what the manifest's hashes and its
// signature are made and checked with.
#pragma once

#include <stddef.h>

#include <string>
#include <string_view>

namespace vesk::fetch {

inline constexpr size_t kSignatureSize = 64;  // an Ed25519 signature

// The SHA-256 of `data`, as 64 lowercase hex digits.
std::string sha256_hex(std::string_view data);

// Signs `message` with the Ed25519 private key in the PEM file at
// `key_file` (as "openssl genpkey -algorithm ed25519" writes it).  The
// signature is the 64 raw bytes.  False with *error set on failure.
bool sign(const std::string &key_file, std::string_view message, std::string *signature,
          std::string *error);

// True when `signature` is a valid Ed25519 signature of `message` by the
// public key in the PEM file at `key_file` ("openssl pkey -pubout").  False
// with *error set otherwise: a bad signature, or a key that can't be read
// or is not Ed25519.
bool verify(const std::string &key_file, std::string_view message, std::string_view signature,
            std::string *error);

}  // namespace vesk::fetch
