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

// A key's identity, as a manifest names it: the first 16 hex digits of the
// SHA-256 of its 32-byte public key.  signing_key_id: that of the private
// key in `key_file`.
bool signing_key_id(const std::string &key_file, std::string *id, std::string *error);

// True when `signature` is a valid Ed25519 signature of `message` by one of
// the trusted public keys ("openssl pkey -pubout"): those of the PEM file
// `keys` (one or several keys, one after the other), or of every *.pem file
// in it if it is a directory.  *id is set to the identity of the key that
// verified it.  False with *error set otherwise: a bad signature, or keys
// that can't be read or are not Ed25519 (any such key fails the whole set:
// a damaged file is noticed, not half read).
bool verify(const std::string &keys, std::string_view message, std::string_view signature,
            std::string *id, std::string *error);

}  // namespace vesk::fetch
